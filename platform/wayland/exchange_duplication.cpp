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
    FrameExchange::News news;
    // Only a caller that draws the pointer takes frames where nothing else changed.
    const HRESULT acquired = frames_.acquire(timeout_ms, pointer_from_stream_ ? &pointer_ : nullptr, wanted_, &news);
    if (acquired != S_OK) return acquired;
    const LONGLONG now = ticks_now();
    if (news.image) {
        info->LastPresentTime.QuadPart = now;
        info->AccumulatedFrames = 1;
    }
    reshaped_ = news.reshaped || (first_ && !pointer_.bgra.empty());
    if (pointer_from_stream_) {
        info->LastMouseUpdateTime.QuadPart = now;
        info->PointerPosition.Position = {pointer_.x - pointer_.hotspot_x, pointer_.y - pointer_.hotspot_y};
        info->PointerPosition.Visible = pointer_.visible ? TRUE : FALSE;
    } else if (first_) {
        info->LastMouseUpdateTime.QuadPart = now;
    }
    if (reshaped_)
        info->PointerShapeBufferSize = static_cast<UINT>(pointer_.bgra.size());
    else if (first_)
        info->PointerShapeBufferSize = kPointerProbeSize;
    first_ = false;
    held_ = true;
    *resource = posix::new_desktop_resource(frames_.image());
    return S_OK;
}

HRESULT STDMETHODCALLTYPE ExchangeDuplication::GetFramePointerShape(UINT buffer_size, void* buffer, UINT* required_size,
                                                                    DXGI_OUTDUPL_POINTER_SHAPE_INFO* shape_info) {
    if (!held_) return DXGI_ERROR_INVALID_CALL;
    *shape_info = DXGI_OUTDUPL_POINTER_SHAPE_INFO{};
    const bool own = reshaped_ && !pointer_.bgra.empty();
    const UINT size = own ? static_cast<UINT>(pointer_.bgra.size()) : kPointerProbeSize;
    *required_size = size;
    if (buffer_size < size) return DXGI_ERROR_MORE_DATA;
    shape_info->Type = DXGI_OUTDUPL_POINTER_SHAPE_TYPE_COLOR;
    if (own) {
        std::memcpy(buffer, pointer_.bgra.data(), size);
        shape_info->Width = pointer_.width;
        shape_info->Height = pointer_.height;
        shape_info->Pitch = pointer_.width * 4;
        shape_info->HotSpot = {pointer_.hotspot_x, pointer_.hotspot_y};
    } else {
        std::memset(buffer, 0, kPointerProbeSize);
        shape_info->Width = 1;
        shape_info->Height = 1;
        shape_info->Pitch = 4;
    }
    wanted_ = true;
    pointer_wanted();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE ExchangeDuplication::ReleaseFrame() {
    if (!held_) return DXGI_ERROR_INVALID_CALL;
    held_ = false;
    return S_OK;
}

}  // namespace vistrel::wayland
