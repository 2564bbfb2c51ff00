// Frames come from the PipeWire stream's loop thread, often only when the output changed;
// a watcher thread keeps a Wayland connection of its own to see the output change its
// mode (AccessLost) or the compositor go (DeviceError), which the stream may never say.
#include "platform/wayland/portal_duplication.h"

#include <unistd.h>

#include "platform/os.h"
#include "platform/pixel_path.h"
#include "platform/wayland/duplication.h"
#include "platform/wayland/exchange_duplication.h"
#include "platform/wayland/globals.h"
#include "platform/wayland/pipewire_library.h"
#include "platform/wayland/pipewire_stream.h"
#include "platform/wayland/portal_session.h"
#include "platform/wayland/restore_tokens.h"
#include "platform/wayland/wake_event.h"

namespace vistrel::wayland {
namespace {

// How long a new stream's first frame is waited for before a screencopy stands in, and
// how long that copy may take (the next repaint, normally).
constexpr std::uint32_t kFirstFrameMs = 100, kSeedCopyMs = 500;
constexpr std::uint32_t kCursorMetadataMode = 4;

class PortalDuplication final : public ExchangeDuplication {
public:
    PortalDuplication(std::unique_ptr<Globals> globals, OutputState* output)
        : ExchangeDuplication(output->width, output->height), globals_(std::move(globals)), output_(output) {}
    ~PortalDuplication() override;

    // Opens the portal session and its stream, then starts the watcher.
    bool start(const std::string& restore_token, WlFailure& failure);

    const std::string& restore_token() const { return session_->stream().restore_token; }

    // The stream's frames arrive in shared-memory buffers PipeWire maps for both sides.
    HRESULT STDMETHODCALLTYPE GetPrivateData(const GUID& name, UINT* data_size, void* data) override {
        return answer_pixel_path(name, "pipewire-shm", data_size, data);
    }

private:
    void watch();
    bool output_changed() const {
        return output_->removed || (output_->width != 0 && (output_->width != width_ || output_->height != height_));
    }

    // In this order, so the stream goes before the session it belongs to, and the
    // connection last (the frames it fills, the base's, go after all of them).
    std::unique_ptr<Globals> globals_;
    OutputState* output_;  // owned by globals_
    std::unique_ptr<PortalSession> session_;
    std::unique_ptr<PipeWireStream> stream_;

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
    pointer_from_stream_ = session_->stream().cursor_mode == kCursorMetadataMode;
    stream_ = PipeWireStream::open(session_->take_pipewire_fd(), session_->stream().node, frames_, failure);
    if (!stream_) return false;
    if (stream_->width() != width_ || stream_->height() != height_) {
        failure = {E_ACCESSDENIED, "the monitor chosen in the portal dialog is " + std::to_string(stream_->width()) +
                                       "x" + std::to_string(stream_->height()) + ", not output '" + output_->name +
                                       "' (" + std::to_string(width_) + "x" + std::to_string(height_) + ")"};
        // A token kept for this output restores that other monitor without asking: the
        // next session must show the dialog again, or it would fail the same way for ever.
        store_restore_token(output_->name, "");
        return false;
    }
    // Kept only for the monitor the output names: a token for another would be restored
    // silently on the next run.
    store_restore_token(output_->name, session_->stream().restore_token);
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
    if (forked()) {
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

}  // namespace

IDXGIOutputDuplication* new_portal_duplication(const std::string& display, const std::string& output,
                                               const std::optional<std::string>& restore_token, WlFailure& failure) {
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
    if (duplication->start(restore_token ? *restore_token : load_restore_token(output), failure)) return duplication;
    duplication->Release();
    return nullptr;
}

std::optional<std::string> portal_restore_token(IDXGIOutputDuplication* duplication) {
    auto* ours = dynamic_cast<PortalDuplication*>(duplication);
    if (!ours || ours->restore_token().empty()) return std::nullopt;
    return ours->restore_token();
}

}  // namespace vistrel::wayland
