// Frames: a reader thread of the duplication's own keeps one screencopy frame requested
// with copy_with_damage, so the compositor answers only when the output changed (the first
// answer is the whole output) and says which rows. Answers land in a reused wl_shm buffer;
// the thread copies their changed rows into the newest image and asks again at once, so
// changes that come while the caller is busy coalesce there, as DXGI coalesces them. An
// acquisition copies the rows changed since the last one into the image the textures
// share, which therefore changes only during an acquisition, as the core expects.
#include "platform/wayland/duplication.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "platform/os.h"
#include "platform/pixel_path.h"
#include "platform/posix/com_object.h"
#include "platform/posix/error_info.h"
#include "platform/posix/texture.h"
#include "platform/wayland/globals.h"
#include "platform/wayland/protocols.h"
#include "platform/wayland/shm_buffer.h"

namespace vistrel::wayland {
namespace {

// Present times in the 100 ns ticks of a performance counter.
LONGLONG ticks_now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count() / 100;
}

// The pointer shape offered with the first frame: one transparent pixel, drawn as nothing.
constexpr UINT kPointerProbeSize = 4;

// Rows [top, bottom) that changed; empty when top == bottom.
struct Band {
    std::uint32_t top = 0, bottom = 0;
    bool empty() const { return top >= bottom; }
    void add(Band other) {
        if (other.empty()) return;
        *this = empty() ? other : Band{std::min(top, other.top), std::max(bottom, other.bottom)};
    }
};

// An eventfd that wakes the reader thread's wait.
class WakeEvent {
public:
    WakeEvent() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    WakeEvent(const WakeEvent&) = delete;
    WakeEvent& operator=(const WakeEvent&) = delete;
    ~WakeEvent() {
        if (fd_ >= 0) close(fd_);
    }
    bool valid() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void signal() const {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(fd_, &one, sizeof one);  // a full counter wakes too
    }

private:
    int fd_;
};

class Duplication final : public posix::ComObject<IDXGIOutputDuplication, IDXGIObject> {
public:
    Duplication(std::unique_ptr<Globals> globals, OutputState* output)
        : globals_(std::move(globals)), output_(output), width_(output->width), height_(output->height) {}
    ~Duplication() override;

    bool start(WlFailure& failure);

    // Screencopy always copies into a wl_shm buffer both sides map.
    HRESULT STDMETHODCALLTYPE GetPrivateData(const GUID& name, UINT* data_size, void* data) override {
        return answer_pixel_path(name, "wl-shm", data_size, data);
    }

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
    enum class FrameState { kNone, kWaiting, kReady, kFailed };

    // --- the reader thread's: the connection and everything on it ---
    Connection& connection() { return globals_->connection(); }
    void read_frames();
    // A new mode or a removed output: frames would no longer be what GetDesc promised.
    bool output_changed() const {
        return output_->removed || (output_->width != 0 && (output_->width != width_ || output_->height != height_));
    }
    void request_frame();
    // Answers the compositor's buffer description with the copy request.
    void start_copy();
    void publish_frame();
    void publish_end(HRESULT code, std::string text);

    static Duplication& self(void* data) { return *static_cast<Duplication*>(data); }
    struct FrameListener {
        void (*buffer)(void*, wl_proxy*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t);
        void (*flags)(void*, wl_proxy*, std::uint32_t);
        void (*ready)(void*, wl_proxy*, std::uint32_t, std::uint32_t, std::uint32_t);
        void (*failed)(void*, wl_proxy*);
        void (*damage)(void*, wl_proxy*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t);
        void (*linux_dmabuf)(void*, wl_proxy*, std::uint32_t, std::uint32_t, std::uint32_t);
        void (*buffer_done)(void*, wl_proxy*);
    };
    static const FrameListener kFrameListener;

    // First, so it goes last: every proxy and buffer below lives on its connection.
    std::unique_ptr<Globals> globals_;
    OutputState* output_;  // owned by globals_
    const std::uint32_t width_, height_;
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

    // --- shared with the acquiring thread, under mutex_ ---
    std::mutex mutex_;
    std::condition_variable arrived_;
    posix::SurfacePtr newest_;  // the newest whole image
    Band unread_;               // rows of newest_ changed since the last acquisition
    bool fresh_ = false;        // a frame arrived since the last acquisition
    bool stop_ = false, wants_overlay_ = false;
    HRESULT end_code_ = S_OK;  // the reader's end: ACCESS_LOST or DEVICE_REMOVED
    std::string end_text_;

    // --- the acquiring thread's ---
    posix::SurfacePtr image_;
    bool first_ = true, held_ = false;

    // A forked child shares the parent's socket but not its reader thread: there the
    // duplication is lost (the core opens one of the child's own) and never speaks.
    const pid_t owner_ = getpid();

    WakeEvent wake_;
    std::unique_ptr<os::Thread> reader_;  // last: joined before anything above goes
};

const Duplication::FrameListener Duplication::kFrameListener = {
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
    image_ = posix::blank_surface(width_, height_);
    newest_ = posix::blank_surface(width_, height_);
    if (!image_ || !newest_) {
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
    if (getpid() != owner_) {
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
    {
        std::lock_guard lock(mutex_);
        for (std::uint32_t y = band.top; y < band.bottom; ++y)
            std::memcpy(newest_->data() + std::size_t{y} * newest_->pitch(), shm_->row(y_invert_ ? height_ - 1 - y : y),
                        newest_->pitch());
        unread_.add(band);
        fresh_ = true;
    }
    arrived_.notify_all();
}

void Duplication::publish_end(HRESULT code, std::string text) {
    {
        std::lock_guard lock(mutex_);
        end_code_ = code;
        end_text_ = std::move(text);
    }
    arrived_.notify_all();
}

HRESULT STDMETHODCALLTYPE Duplication::AcquireNextFrame(UINT timeout_ms, DXGI_OUTDUPL_FRAME_INFO* info,
                                                        IDXGIResource** resource) {
    *resource = nullptr;
    *info = DXGI_OUTDUPL_FRAME_INFO{};
    if (held_) return DXGI_ERROR_INVALID_CALL;
    if (getpid() != owner_)
        return posix::fail_with(DXGI_ERROR_ACCESS_LOST, "the duplication belongs to the parent process");
    {
        std::unique_lock lock(mutex_);
        arrived_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return fresh_ || end_code_ != S_OK; });
        if (end_code_ != S_OK) return posix::fail_with(end_code_, end_text_);
        if (!fresh_) return DXGI_ERROR_WAIT_TIMEOUT;
        for (std::uint32_t y = unread_.top; y < unread_.bottom; ++y)
            std::memcpy(image_->data() + std::size_t{y} * image_->pitch(),
                        newest_->data() + std::size_t{y} * newest_->pitch(), image_->pitch());
        image_->make_rows_opaque(unread_.top, unread_.bottom);
        unread_ = {};
        fresh_ = false;
    }
    const LONGLONG now = ticks_now();
    info->LastPresentTime.QuadPart = now;
    info->AccumulatedFrames = 1;
    if (first_) {
        info->LastMouseUpdateTime.QuadPart = now;
        info->PointerShapeBufferSize = kPointerProbeSize;
    }
    first_ = false;
    held_ = true;
    *resource = posix::new_desktop_resource(image_);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Duplication::GetFramePointerShape(UINT buffer_size, void* buffer, UINT* required_size,
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
    // The caller draws pointers: from now on the compositor does, into every frame.
    bool asked_before = false;
    {
        std::lock_guard lock(mutex_);
        asked_before = wants_overlay_;
        wants_overlay_ = true;
    }
    if (!asked_before) wake_.signal();
    return S_OK;
}

}  // namespace

IDXGIOutputDuplication* new_duplication(const std::string& display, const std::string& output, WlFailure& failure) {
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
                       "' offers no zwlr_screencopy_manager_v1 (wlroots compositors such as sway do; GNOME and KDE "
                       "need the xdg-desktop-portal route, which is not available yet)"};
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

}  // namespace vistrel::wayland
