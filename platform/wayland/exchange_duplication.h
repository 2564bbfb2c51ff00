// What both Wayland routes' duplications share: the DXGI side of a FrameExchange that a
// reader thread of their own fills. Where the compositor draws the pointer into the
// frames, the first frame offers a pointer shape of one transparent pixel, drawn as
// nothing, and a caller that fetches the shape has asked for the pointer. Where the
// stream describes the pointer apart (pointer_from_stream_), every frame reports it as a
// DXGI duplication does, and a caller that fetched the shape also gets frames in which
// only the pointer changed.
#pragma once

#include <unistd.h>

#include "platform/posix/com_object.h"
#include "platform/wayland/frame_exchange.h"

namespace vistrel::wayland {

class ExchangeDuplication : public posix::ComObject<IDXGIOutputDuplication, IDXGIObject> {
public:
    void STDMETHODCALLTYPE GetDesc(DXGI_OUTDUPL_DESC* desc) override;
    HRESULT STDMETHODCALLTYPE AcquireNextFrame(UINT timeout_ms, DXGI_OUTDUPL_FRAME_INFO* info,
                                               IDXGIResource** resource) override;
    HRESULT STDMETHODCALLTYPE GetFramePointerShape(UINT buffer_size, void* buffer, UINT* required_size,
                                                   DXGI_OUTDUPL_POINTER_SHAPE_INFO* shape_info) override;
    HRESULT STDMETHODCALLTYPE ReleaseFrame() override;

protected:
    ExchangeDuplication(std::uint32_t width, std::uint32_t height,
                        DXGI_MODE_ROTATION rotation = DXGI_MODE_ROTATION_IDENTITY)
        : width_(width), height_(height), rotation_(rotation) {}
    // The caller fetched the pointer shape: it wants the pointer in its frames.
    virtual void pointer_wanted() {}
    // In a forked child, whose copy of the reader thread has no thread behind it.
    bool forked() const { return getpid() != owner_; }

    // The mode at opening: frames of any other size end the duplication.
    const std::uint32_t width_, height_;
    const DXGI_MODE_ROTATION rotation_;  // how the desktop lies in the frames
    FrameExchange frames_;
    bool pointer_from_stream_ = false;  // set before the first acquisition

private:
    const pid_t owner_ = getpid();
    bool first_ = true, held_ = false, wanted_ = false;  // the acquiring thread's
    StreamPointer pointer_;                              // the acquiring thread's
    bool reshaped_ = false;                              // the held frame brought a new image of it
};

}  // namespace vistrel::wayland
