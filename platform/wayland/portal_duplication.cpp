// Frames come from the PipeWire stream's loop thread, often only when the output changed;
// a watcher thread keeps a Wayland connection of its own to see the output change its
// mode (AccessLost) or the compositor go (DeviceError), which the stream may never say.
#include "platform/wayland/portal_duplication.h"

#include <unistd.h>

#include <chrono>
#include <cstring>

#include "platform/os.h"
#include "platform/posix/com_object.h"
#include "platform/posix/error_info.h"
#include "platform/posix/texture.h"
#include "platform/wayland/duplication.h"
#include "platform/wayland/frame_exchange.h"
#include "platform/wayland/globals.h"
#include "platform/wayland/pipewire_library.h"
#include "platform/wayland/pipewire_stream.h"
#include "platform/wayland/portal_session.h"
#include "platform/wayland/restore_tokens.h"
#include "platform/wayland/wake_event.h"

namespace vistrel::wayland {
namespace {

LONGLONG ticks_now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count() / 100;
}

// The pointer shape offered with the first frame: one transparent pixel, drawn as nothing
// (the compositor draws the pointer into the frames, or leaves it out).
constexpr UINT kPointerProbeSize = 4;
// How long a new stream's first frame is waited for before a screencopy stands in, and
// how long that copy may take (the next repaint, normally).
constexpr std::uint32_t kFirstFrameMs = 100, kSeedCopyMs = 500;

class PortalDuplication final : public posix::ComObject<IDXGIOutputDuplication, IDXGIObject> {
public:
    PortalDuplication(std::unique_ptr<Globals> globals, OutputState* output)
        : globals_(std::move(globals)), output_(output), width_(output->width), height_(output->height) {}
    ~PortalDuplication() override;

    // Opens the portal session and its stream, then starts the watcher.
    bool start(const std::string& restore_token, WlFailure& failure);

    void STDMETHODCALLTYPE GetDesc(DXGI_OUTDUPL_DESC* desc) override {
        *desc = DXGI_OUTDUPL_DESC{};
        desc->ModeDesc.Width = width_;
        desc->ModeDesc.Height = height_;
        desc->ModeDesc.RefreshRate = {60, 1};
        desc->ModeDesc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
        desc->Rotation = DXGI_MODE_ROTATION_IDENTITY;
        desc->DesktopImageInSystemMemory = TRUE;
    }
    HRESULT STDMETHODCALLTYPE AcquireNextFrame(UINT timeout_ms, DXGI_OUTDUPL_FRAME_INFO* info,
                                               IDXGIResource** resource) override;
    HRESULT STDMETHODCALLTYPE GetFramePointerShape(UINT buffer_size, void* buffer, UINT* required_size,
                                                   DXGI_OUTDUPL_POINTER_SHAPE_INFO* shape_info) override;
    HRESULT STDMETHODCALLTYPE ReleaseFrame() override {
        if (!held_) return DXGI_ERROR_INVALID_CALL;
        held_ = false;
        return S_OK;
    }

private:
    void watch();
    bool output_changed() const {
        return output_->removed || (output_->width != 0 && (output_->width != width_ || output_->height != height_));
    }

    // In this order, so the stream goes before the frames it fills and the session it
    // belongs to, and the connection last.
    std::unique_ptr<Globals> globals_;
    OutputState* output_;  // owned by globals_
    const std::uint32_t width_, height_;
    std::unique_ptr<PortalSession> session_;
    FrameExchange frames_;
    std::unique_ptr<PipeWireStream> stream_;

    bool first_ = true, held_ = false;  // the acquiring thread's
    const pid_t owner_ = getpid();
    std::mutex mutex_;
    bool stop_ = false;  // under mutex_
    WakeEvent wake_;
    std::unique_ptr<os::Thread> watcher_;  // last: joined before anything above goes
};

bool PortalDuplication::start(const std::string& restore_token, WlFailure& failure) {
    if (!wake_.valid()) {
        failure = {E_OUTOFMEMORY, "cannot create an eventfd"};
        return false;
    }
    // Both libraries before the portal is asked: a session that could never stream would
    // only cost the user a dialog.
    std::string load_error;
    if (!pipewire_api(load_error)) {
        failure = {DXGI_ERROR_UNSUPPORTED, "the screen-cast portal needs PipeWire: " + load_error};
        return false;
    }
    session_ = PortalSession::open({restore_token}, failure);
    if (!session_) return false;
    store_restore_token(output_->name, session_->stream().restore_token);
    stream_ = PipeWireStream::open(session_->take_pipewire_fd(), session_->stream().node, frames_, failure);
    if (!stream_) return false;
    if (stream_->width() != width_ || stream_->height() != height_) {
        failure = {E_ACCESSDENIED, "the monitor chosen in the portal dialog is " + std::to_string(stream_->width()) +
                                       "x" + std::to_string(stream_->height()) + ", not output '" + output_->name +
                                       "' (" + std::to_string(width_) + "x" + std::to_string(height_) + ")"};
        return false;
    }
    // Some portals send frames only on change, so a still screen would never give a first
    // image: where the compositor offers screencopy, one copy stands in for it.
    if (!frames_.wait_for_frame(kFirstFrameMs) && globals_->screencopy()) {
        WlFailure ignored;  // the stream may still bring the first frame
        copy_output_once(globals_->connection().name(), output_->name, frames_, kSeedCopyMs, ignored);
    }
    watcher_ = os::Thread::start([this] { watch(); });
    if (!watcher_) {
        failure = {E_OUTOFMEMORY, "cannot start the output watcher thread"};
        return false;
    }
    return true;
}

PortalDuplication::~PortalDuplication() {
    if (getpid() != owner_) {
        // A forked child: the loop and watcher threads are the parent's, and so are the
        // bus and the connection; nothing of them is touched here.
        if (stream_) stream_->abandon();
        if (session_) session_->abandon();
        (void)stream_.release();
        (void)globals_.release();
        (void)watcher_.release();
        return;
    }
    if (watcher_) {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.signal();
        watcher_->join();
    }
}

void PortalDuplication::watch() {
    Connection& c = globals_->connection();
    c.wait(
        Clock::time_point::max(),
        [&] {
            std::lock_guard lock(mutex_);
            return stop_ || output_changed();
        },
        wake_.fd());
    {
        std::lock_guard lock(mutex_);
        if (stop_) return;
    }
    if (c.broken()) return frames_.end(DXGI_ERROR_DEVICE_REMOVED, lost_connection_text(c));
    frames_.end(DXGI_ERROR_ACCESS_LOST, "Wayland output '" + output_->name + "' changed its mode");
}

HRESULT STDMETHODCALLTYPE PortalDuplication::AcquireNextFrame(UINT timeout_ms, DXGI_OUTDUPL_FRAME_INFO* info,
                                                              IDXGIResource** resource) {
    *resource = nullptr;
    *info = DXGI_OUTDUPL_FRAME_INFO{};
    if (held_) return DXGI_ERROR_INVALID_CALL;
    if (getpid() != owner_)
        return posix::fail_with(DXGI_ERROR_ACCESS_LOST, "the duplication belongs to the parent process");
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

HRESULT STDMETHODCALLTYPE PortalDuplication::GetFramePointerShape(UINT buffer_size, void* buffer, UINT* required_size,
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
    return S_OK;
}

}  // namespace

IDXGIOutputDuplication* new_portal_duplication(const std::string& display, const std::string& output,
                                               WlFailure& failure) {
    std::unique_ptr<Globals> globals = Globals::open(display, failure);
    if (!globals) {
        failure.code = DXGI_ERROR_DEVICE_REMOVED;
        return nullptr;
    }
    OutputState* state = globals->find(output);
    if (!state || state->width == 0) {
        failure = {DXGI_ERROR_NOT_CURRENTLY_AVAILABLE, "Wayland output '" + output + "' is gone"};
        return nullptr;
    }
    auto* duplication = new PortalDuplication(std::move(globals), state);
    if (duplication->start(load_restore_token(output), failure)) return duplication;
    duplication->Release();
    return nullptr;
}

}  // namespace vistrel::wayland
