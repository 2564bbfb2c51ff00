// Frames: a reader thread of the duplication's own keeps one screencopy frame requested
// with copy_with_damage, so the compositor answers only when the output changed (the first
// answer is the whole output) and says which rows. Answers land in a reused wl_shm buffer;
// the thread hands their changed rows to the frame exchange and asks again at once.
#include "platform/wayland/duplication.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/os.h"
#include "platform/pixel_path.h"
#include "platform/posix/error_info.h"
#include "platform/wayland/exchange_duplication.h"
#include "platform/wayland/globals.h"
#include "platform/wayland/protocols.h"
#include "platform/wayland/rotation.h"
#include "platform/wayland/shm_buffer.h"
#include "platform/wayland/wake_event.h"

namespace vistrel::wayland {
namespace {

class Duplication final : public ExchangeDuplication {
public:
    Duplication(std::unique_ptr<Globals> globals, OutputState* output)
        : ExchangeDuplication(output->width, output->height, rotation_of(output->transform)),
          globals_(std::move(globals)),
          output_(output),
          transform_(output->transform) {}
    ~Duplication() override;

    bool start(WlFailure& failure);
    // Publishes the first whole image into `into`, within `timeout_ms`.
    bool copy_first(FrameExchange& into, std::uint32_t timeout_ms, WlFailure& failure);

    // Screencopy always copies into a wl_shm buffer both sides map.
    HRESULT STDMETHODCALLTYPE GetPrivateData(const GUID& name, UINT* data_size, void* data) override {
        return answer_pixel_path(name, "wl-shm", data_size, data);
    }

private:
    // The caller draws pointers: from now on the compositor does, into every frame.
    void pointer_wanted() override;

    enum class FrameState { kNone, kWaiting, kReady, kFailed };

    // --- the reader thread's: the connection and everything on it ---
    Connection& connection() { return globals_->connection(); }
    void read_frames();
    // A new mode or a removed output: frames would no longer be what GetDesc promised.
    bool output_changed() const {
        return output_->removed || (output_->width != 0 && (output_->width != width_ || output_->height != height_ ||
                                                            output_->transform != transform_));
    }
    void request_frame();
    // Answers the compositor's buffer description with the copy request.
    void start_copy();
    void publish_frame();
    void publish_end(HRESULT code, std::string text);

    static Duplication& self(void* data) { return *static_cast<Duplication*>(data); }
    static const ScreencopyFrameListener kFrameListener;

    // First, so it goes last: every proxy and buffer below lives on its connection.
    std::unique_ptr<Globals> globals_;
    OutputState* output_;           // owned by globals_
    const std::int32_t transform_;  // a turned output is a new mode, as on Windows
    std::unique_ptr<ShmBuffer> shm_;
    Proxy frame_;
    FrameState state_ = FrameState::kNone;
    bool has_format_ = false, y_invert_ = false;
    std::uint32_t format_ = 0, buffer_width_ = 0, buffer_height_ = 0, stride_ = 0;
    Band frame_damage_;
    bool damage_reported_ = false;
    std::string failure_text_;
    // The compositor draws the pointer into frames only when asked; the caller's wish is
    // learnt from whether it fetches the pointer shape offered with the first frame.
    bool overlay_cursor_ = false;
    // The next request is a plain copy: it answers at the next repaint, changed or not.
    bool plain_copy_ = false;

    // --- shared with the acquiring thread (and frames_, whose end is ACCESS_LOST or
    // DEVICE_REMOVED) ---
    std::mutex mutex_;
    bool stop_ = false, wants_overlay_ = false;  // under mutex_

    WakeEvent wake_;
    std::unique_ptr<os::Thread> reader_;  // last: joined before anything above goes
};

const ScreencopyFrameListener Duplication::kFrameListener = {
    [](void* data, wl_proxy*, std::uint32_t format, std::uint32_t width, std::uint32_t height, std::uint32_t stride) {
        Duplication& d = self(data);
        if (d.has_format_ || (format != kShmFormatXrgb8888 && format != kShmFormatArgb8888)) return;
        d.has_format_ = true;
        d.format_ = format;
        d.buffer_width_ = width;
        d.buffer_height_ = height;
        d.stride_ = stride;
        // Before version 3 no buffer_done follows: the one buffer event is all there is.
        if (d.frame_.version() < 3) d.start_copy();
    },
    [](void* data, wl_proxy*, std::uint32_t flags) { self(data).y_invert_ = (flags & kFrameFlagYInvert) != 0; },
    [](void* data, wl_proxy*, std::uint32_t, std::uint32_t, std::uint32_t) { self(data).state_ = FrameState::kReady; },
    [](void* data, wl_proxy*) {
        Duplication& d = self(data);
        if (d.failure_text_.empty())
            d.failure_text_ = "the compositor refused to copy output '" + d.output_->name + "'";
        d.state_ = FrameState::kFailed;
    },
    [](void* data, wl_proxy*, std::uint32_t, std::uint32_t y, std::uint32_t, std::uint32_t height) {
        Duplication& d = self(data);
        const auto bottom = static_cast<std::uint32_t>(std::min<std::uint64_t>(std::uint64_t{y} + height, d.height_));
        d.frame_damage_.add({std::min(y, d.height_), bottom});
        d.damage_reported_ = true;
    },
    [](void*, wl_proxy*, std::uint32_t, std::uint32_t, std::uint32_t) {},
    [](void* data, wl_proxy*) { self(data).start_copy(); },
};

bool Duplication::start(WlFailure& failure) {
    if (!frames_.allocate(width_, height_)) {
        failure = {E_OUTOFMEMORY,
                   "out of memory for a " + std::to_string(width_) + "x" + std::to_string(height_) + " image"};
        return false;
    }
    if (!wake_.valid()) {
        failure = {E_OUTOFMEMORY, "cannot create an eventfd"};
        return false;
    }
    reader_ = os::Thread::start([this] { read_frames(); });
    if (!reader_) {
        failure = {E_OUTOFMEMORY, "cannot start the frame reader thread"};
        return false;
    }
    return true;
}

Duplication::~Duplication() {
    if (forked()) {
        // A forked child shares the parent's socket but not its reader thread: there the
        // duplication is lost (the core opens one of the child's own) and never speaks.
        // Left behind on purpose: a destroy request would go out on the parent's stream,
        // and the parent's thread cannot be joined here.
        frame_.abandon();
        (void)shm_.release();
        (void)globals_.release();
        (void)reader_.release();
        return;
    }
    if (reader_) {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.signal();
        reader_->join();
    }
}

void Duplication::read_frames() {
    Connection& c = connection();
    for (;;) {
        if (state_ == FrameState::kNone) request_frame();
        bool overlay_asked = false;
        // No deadline: the wait ends on a frame, a change of the output, the connection's
        // end, or a wake-up (the caller's pointer wish, or the end of the duplication).
        c.wait(
            Clock::time_point::max(),
            [&] {
                std::lock_guard lock(mutex_);
                overlay_asked = wants_overlay_ && !overlay_cursor_;
                return stop_ || overlay_asked || state_ != FrameState::kWaiting || output_changed();
            },
            wake_.fd());
        {
            std::lock_guard lock(mutex_);
            if (stop_) return;
        }
        if (c.broken()) return publish_end(DXGI_ERROR_DEVICE_REMOVED, lost_connection_text(c));
        if (output_changed())
            return publish_end(DXGI_ERROR_ACCESS_LOST, "Wayland output '" + output_->name + "' changed its mode");
        if (overlay_asked) {
            // The request in flight lacks the pointer: a plain copy replaces it and brings
            // the pointer in at the next repaint rather than at the next change.
            overlay_cursor_ = plain_copy_ = true;
            request_frame();
            continue;
        }
        if (state_ == FrameState::kFailed) return publish_end(DXGI_ERROR_ACCESS_LOST, failure_text_);
        if (state_ == FrameState::kReady) {
            publish_frame();
            state_ = FrameState::kNone;
        }
    }
}

void Duplication::request_frame() {
    Connection& c = connection();
    const Proxy& manager = globals_->screencopy();
    has_format_ = y_invert_ = damage_reported_ = false;
    frame_damage_ = {};
    frame_ = c.own(c.create(manager.get(), request::kScreencopyCaptureOutput, &kScreencopyFrame, manager.version(),
                            nullptr, overlay_cursor_ ? 1 : 0, output_->output.get()),
                   request::kFrameDestroy);
    c.listen(frame_.get(), &kFrameListener, this);
    state_ = FrameState::kWaiting;
}

void Duplication::start_copy() {
    if (!has_format_) {
        failure_text_ = "the compositor offers output '" + output_->name + "' in no 32-bit shared-memory format";
        state_ = FrameState::kFailed;
        return;
    }
    if (buffer_width_ != width_ || buffer_height_ != height_ || stride_ < width_ * 4) {
        failure_text_ = "Wayland output '" + output_->name + "' changed its mode";
        state_ = FrameState::kFailed;
        return;
    }
    if (!shm_ || !shm_->fits(buffer_width_, buffer_height_, stride_, format_)) {
        WlFailure failure;
        shm_ =
            ShmBuffer::create(connection(), globals_->shm(), buffer_width_, buffer_height_, stride_, format_, failure);
        if (!shm_) {
            failure_text_ = failure.text;
            state_ = FrameState::kFailed;
            return;
        }
    }
    const bool with_damage = !plain_copy_;
    plain_copy_ = false;
    connection().send(frame_.get(), with_damage ? request::kFrameCopyWithDamage : request::kFrameCopy, shm_->buffer());
}

void Duplication::publish_frame() {
    // A plain copy reports no damage, and rows counted from the bottom are not worth
    // mapping: then every row is new.
    const Band band = damage_reported_ && !y_invert_ ? frame_damage_ : Band{0, height_};
    frames_.publish(band, [&](std::uint32_t y) { return shm_->row(y_invert_ ? height_ - 1 - y : y); });
}

void Duplication::publish_end(HRESULT code, std::string text) { frames_.end(code, std::move(text)); }

bool Duplication::copy_first(FrameExchange& into, std::uint32_t timeout_ms, WlFailure& failure) {
    const HRESULT acquired = frames_.acquire(timeout_ms);
    if (acquired != S_OK) {
        std::string why;
        frames_.end_code(&why);
        failure = {acquired == DXGI_ERROR_WAIT_TIMEOUT ? DXGI_ERROR_WAIT_TIMEOUT : acquired,
                   why.empty() ? "no image of output '" + output_->name + "' in time" : why};
        return false;
    }
    const posix::SurfacePtr& image = frames_.image();
    into.publish({0, height_}, [&](std::uint32_t y) { return image->data() + std::size_t{y} * image->pitch(); });
    return true;
}

void Duplication::pointer_wanted() {
    bool asked_before = false;
    {
        std::lock_guard lock(mutex_);
        asked_before = wants_overlay_;
        wants_overlay_ = true;
    }
    if (!asked_before) wake_.signal();
}

}  // namespace

namespace {

Duplication* open_duplication(const std::string& display, const std::string& output, WlFailure& failure) {
    std::unique_ptr<Globals> globals = Globals::open(display, failure);
    if (!globals) {
        // The factory reached this compositor: one that cannot be reached now is gone for
        // good, not refused for a while.
        failure.code = DXGI_ERROR_DEVICE_REMOVED;
        return nullptr;
    }
    if (!globals->screencopy()) {
        failure = {DXGI_ERROR_UNSUPPORTED,
                   "Wayland display '" + display +
                       "' offers no zwlr_screencopy_manager_v1 (wlroots compositors such as sway do; elsewhere "
                       "leave VISTREL_WAYLAND_ROUTE unset or set it to portal)"};
        return nullptr;
    }
    if (globals->screencopy().version() < 2) {
        failure = {DXGI_ERROR_UNSUPPORTED,
                   "Wayland display '" + display + "' offers zwlr_screencopy_manager_v1 without copy_with_damage"};
        return nullptr;
    }
    OutputState* state = globals->find(output);
    if (!state || state->width == 0) {
        failure = {DXGI_ERROR_NOT_CURRENTLY_AVAILABLE, "Wayland output '" + output + "' is gone"};
        return nullptr;
    }
    auto* duplication = new Duplication(std::move(globals), state);
    if (duplication->start(failure)) return duplication;
    duplication->Release();
    return nullptr;
}

}  // namespace

IDXGIOutputDuplication* new_duplication(const std::string& display, const std::string& output, WlFailure& failure) {
    return open_duplication(display, output, failure);
}

bool copy_output_once(const std::string& display, const std::string& output, FrameExchange& frames,
                      std::uint32_t timeout_ms, WlFailure& failure) {
    auto duplication = ComPtr<Duplication>::adopt(open_duplication(display, output, failure));
    return duplication && duplication->copy_first(frames, timeout_ms, failure);
}

}  // namespace vistrel::wayland
