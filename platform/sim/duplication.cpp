// The simulated desktop duplication: one pending update that presents coalesce into,
// real timed waits, one held frame at a time, and loss of access.
#include <chrono>
#include <cstring>

#include "platform/sim/objects.h"

namespace vistrel::sim {
namespace {

// An acquired frame's desktop image, its query for the texture open to faults.
class DesktopResource final : public posix::DesktopResource {
public:
    using posix::DesktopResource::DesktopResource;

protected:
    HRESULT query_other(REFIID riid, void** object) override {
        if (!(riid == iid_of<ID3D11Texture2D>() || riid == iid_of<ID3D11Resource>())) return E_NOINTERFACE;
        CallResult call = enter("QueryInterface(ID3D11Texture2D)");
        if (call.outcome == Outcome::Fail) return call.hresult;
        if (call.outcome == Outcome::Null) return S_OK;
        return posix::DesktopResource::query_other(riid, object);
    }
};

class Duplication final : public posix::ComObject<IDXGIOutputDuplication, IDXGIObject> {
public:
    explicit Duplication(std::shared_ptr<OutputState> output)
        : output_(std::move(output)), rotation_(output_->config.rotation) {}
    ~Duplication() override { output_->remove_duplication(&state_); }

    // Registers with the output, which may refuse as Windows does.
    HRESULT attach() { return output_->add_duplication(&state_); }

    void STDMETHODCALLTYPE GetDesc(DXGI_OUTDUPL_DESC* desc) override {
        record("IDXGIOutputDuplication::GetDesc");
        std::lock_guard lock(output_->mutex);
        *desc = DXGI_OUTDUPL_DESC{};
        desc->ModeDesc.Width = state_.mode_width;
        desc->ModeDesc.Height = state_.mode_height;
        desc->ModeDesc.RefreshRate = {60, 1};
        desc->ModeDesc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
        desc->Rotation = static_cast<DXGI_MODE_ROTATION>(rotation_);
        desc->DesktopImageInSystemMemory = FALSE;
    }

    HRESULT STDMETHODCALLTYPE AcquireNextFrame(UINT timeout_ms, DXGI_OUTDUPL_FRAME_INFO* info,
                                               IDXGIResource** resource) override {
        *resource = nullptr;
        *info = DXGI_OUTDUPL_FRAME_INFO{};
        CallResult call = enter("IDXGIOutputDuplication::AcquireNextFrame");
        if (call.outcome == Outcome::Fail) return call.hresult;
        std::unique_lock lock(output_->mutex);
        if (state_.lost) return DXGI_ERROR_ACCESS_LOST;
        if (state_.held) return DXGI_ERROR_INVALID_CALL;
        auto has_update = [this] {
            const PendingUpdate& p = state_.pending;
            return state_.lost || p.image || p.position || p.shape;
        };
        if (!output_->changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), has_update))
            return DXGI_ERROR_WAIT_TIMEOUT;
        if (state_.lost) return DXGI_ERROR_ACCESS_LOST;
        const PendingUpdate pending = std::exchange(state_.pending, PendingUpdate{});
        info->LastPresentTime.QuadPart = pending.image ? pending.present_time : 0;
        info->LastMouseUpdateTime.QuadPart = pending.position ? pending.mouse_time : 0;
        info->AccumulatedFrames = pending.accumulated;
        info->PointerPosition.Position = {output_->pointer_x, output_->pointer_y};
        info->PointerPosition.Visible = output_->pointer_visible ? TRUE : FALSE;
        held_shape_ = output_->shape;
        info->PointerShapeBufferSize = pending.shape && held_shape_ ? static_cast<UINT>(held_shape_->data.size()) : 0;
        state_.held = true;
        if (call.outcome != Outcome::Null) *resource = desktop_resource(pending);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetFramePointerShape(UINT buffer_size, void* buffer, UINT* required_size,
                                                   DXGI_OUTDUPL_POINTER_SHAPE_INFO* shape_info) override {
        CallResult call = enter("IDXGIOutputDuplication::GetFramePointerShape");
        if (call.outcome == Outcome::Fail) return call.hresult;
        std::lock_guard lock(output_->mutex);
        if (!state_.held) return DXGI_ERROR_INVALID_CALL;
        if (state_.lost) return DXGI_ERROR_ACCESS_LOST;
        *shape_info = DXGI_OUTDUPL_POINTER_SHAPE_INFO{};
        if (!held_shape_) {
            *required_size = 0;
            return S_OK;
        }
        *required_size = static_cast<UINT>(held_shape_->data.size());
        if (buffer_size < held_shape_->data.size()) return DXGI_ERROR_MORE_DATA;
        if (!held_shape_->data.empty()) std::memcpy(buffer, held_shape_->data.data(), held_shape_->data.size());
        shape_info->Type = held_shape_->type;
        shape_info->Width = held_shape_->width;
        shape_info->Height = held_shape_->height;
        shape_info->Pitch = held_shape_->pitch;
        shape_info->HotSpot = {held_shape_->hotspot_x, held_shape_->hotspot_y};
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE ReleaseFrame() override {
        CallResult call = enter("IDXGIOutputDuplication::ReleaseFrame");
        if (call.outcome == Outcome::Fail) return call.hresult;  // the frame stays held
        std::lock_guard lock(output_->mutex);
        if (!state_.held) return DXGI_ERROR_INVALID_CALL;
        state_.held = false;
        held_shape_.reset();
        return S_OK;
    }

protected:
    const char* trace_name() const override { return "IDXGIOutputDuplication"; }

private:
    // The surface a frame carries: the current image, a blank one for a first frame that
    // has none yet, and with HDR on a 16-bit float one for frames without a new image.
    IDXGIResource* desktop_resource(const PendingUpdate& pending) const {
        const OutputConfig& config = output_->config;
        const auto format = static_cast<DXGI_FORMAT>(config.surface_format);
        if (pending.blank) return new DesktopResource(zero_surface(state_.mode_width, state_.mode_height), format);
        if (!pending.image && config.hdr) return new DesktopResource(output_->image, DXGI_FORMAT_R16G16B16A16_FLOAT);
        return new DesktopResource(output_->image, format);
    }

    std::shared_ptr<OutputState> output_;
    DuplicationState state_;  // guarded by output_->mutex
    std::shared_ptr<const PointerShape> held_shape_;
    std::uint32_t rotation_;
};

}  // namespace

HRESULT new_duplication(std::shared_ptr<OutputState> output, IDXGIOutputDuplication** duplication) {
    // Asked first, so a refusal creates no object; attaching asks again under the same lock.
    if (HRESULT hr = output->admission(); FAILED(hr)) return hr;
    auto* fresh = new Duplication(std::move(output));
    if (HRESULT hr = fresh->attach(); FAILED(hr)) {
        fresh->Release();
        return hr;
    }
    *duplication = fresh;
    return S_OK;
}

}  // namespace vistrel::sim
