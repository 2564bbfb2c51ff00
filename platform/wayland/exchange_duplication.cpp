#include "platform/wayland/exchange_duplication.h"

#include <chrono>
#include <cstring>

#include "platform/posix/error_info.h"
#include "platform/posix/texture.h"

namespace vistrel::wayland {
namespace {

// Present times in the 100 ns ticks of a performance counter.
LONGLONG ticks_now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
               .count() /
           100;
}

constexpr UINT kPointerProbeSize = 4;

}  // namespace

void STDMETHODCALLTYPE ExchangeDuplication::GetDesc(DXGI_OUTDUPL_DESC* desc) {
    *desc = DXGI_OUTDUPL_DESC{};
    desc->ModeDesc.Width = width_;
    desc->ModeDesc.Height = height_;
    desc->ModeDesc.RefreshRate = {60, 1};
    desc->ModeDesc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    desc->Rotation = rotation_;
    desc->DesktopImageInSystemMemory = TRUE;
}

HRESULT STDMETHODCALLTYPE ExchangeDuplication::AcquireNextFrame(UINT timeout_ms, DXGI_OUTDUPL_FRAME_INFO* info,
                                                                IDXGIResource** resource) {
    *resource = nullptr;
    *info = DXGI_OUTDUPL_FRAME_INFO{};
    if (held_) return DXGI_ERROR_INVALID_CALL;
    if (forked()) return posix::fail_with(DXGI_ERROR_ACCESS_LOST, "the duplication belongs to the parent process");
    const HRESULT acquired = frames_.acquire(timeout_ms);
    if (acquired != S_OK) return acquired;
    const LONGLONG now = ticks_now();
    info->LastPresentTime.QuadPart = now;
    info->AccumulatedFrames = 1;
    if (first_) {
        info->LastMouseUpdateTime.QuadPart = now;
        info->PointerShapeBufferSize = kPointerProbeSize;
    }
    first_ = false;
    held_ = true;
    *resource = posix::new_desktop_resource(frames_.image());
    return S_OK;
}

HRESULT STDMETHODCALLTYPE ExchangeDuplication::GetFramePointerShape(UINT buffer_size, void* buffer, UINT* required_size,
                                                                    DXGI_OUTDUPL_POINTER_SHAPE_INFO* shape_info) {
    if (!held_) return DXGI_ERROR_INVALID_CALL;
    *shape_info = DXGI_OUTDUPL_POINTER_SHAPE_INFO{};
    *required_size = kPointerProbeSize;
    if (buffer_size < kPointerProbeSize) return DXGI_ERROR_MORE_DATA;
    std::memset(buffer, 0, kPointerProbeSize);
    shape_info->Type = DXGI_OUTDUPL_POINTER_SHAPE_TYPE_COLOR;
    shape_info->Width = 1;
    shape_info->Height = 1;
    shape_info->Pitch = 4;
    pointer_wanted();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE ExchangeDuplication::ReleaseFrame() {
    if (!held_) return DXGI_ERROR_INVALID_CALL;
    held_ = false;
    return S_OK;
}

}  // namespace vistrel::wayland
