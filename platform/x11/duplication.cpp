// Frames: XDamage events on the root window say when and where the monitor's pixels
// changed (the connection's file descriptor is waited on); the changed rows are then read
// into the monitor's image, which the textures share. The pointer comes from QueryPointer
// and XFixes; its motion is seen by asking again in every slice of a wait.
#include "platform/x11/duplication.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/pixel_path.h"
#include "platform/posix/com_object.h"
#include "platform/x11/cursor_shape.h"
#include "platform/x11/error_info.h"
#include "platform/x11/layout.h"
#include "platform/x11/monitor_image.h"
#include "platform/x11/reply_deadline.h"
#include "platform/x11/segment_pool.h"
#include "platform/x11/shm_check.h"
#include "platform/x11/stall_watch.h"
#include "platform/x11/texture.h"

namespace vistrel::x11 {
namespace {

// Present times in the 100 ns ticks of a performance counter.
LONGLONG ticks_now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
               .count() /
           100;
}

// How often a waiting acquisition asks where the pointer is. A warp (xdotool, a window
// manager) makes no event at all, and selecting device motion would make the server queue
// events for every Capturer that is not reading; one round trip per slice costs less.
constexpr std::chrono::milliseconds kPointerSlice{16};
// A pointer that has stood still for a while is asked after less often (a long wait on a
// still desktop then costs a third of the round trips); the first move seen brings the
// short slice back.
constexpr std::chrono::milliseconds kStillPointerSlice{48};
constexpr std::chrono::seconds kStillAfter{1};

bool extension_present(const Connection& c, xcb_extension_t* id, std::uint8_t* first_event = nullptr) {
    if (!id) return false;
    const xcb_query_extension_reply_t* ext = c.api().xcb_get_extension_data(c.get(), id);
    if (!ext || !ext->present) return false;
    if (first_event) *first_event = ext->first_event;
    return true;
}

bool intersects(const xcb_rectangle_t& r, const MonitorInfo& m) {
    return r.x < m.x + static_cast<std::int64_t>(m.width) && m.x < r.x + static_cast<std::int64_t>(r.width) &&
           r.y < m.y + static_cast<std::int64_t>(m.height) && m.y < r.y + static_cast<std::int64_t>(r.height);
}

struct PointerShape {
    std::vector<std::uint8_t> bgra;
    std::uint32_t width = 0, height = 0;
    std::int32_t hotspot_x = 0, hotspot_y = 0;
};

class Duplication final : public posix::ComObject<IDXGIOutputDuplication, IDXGIObject>, public IKeepablePixels {
public:
    Duplication(std::shared_ptr<Connection> connection, std::uint32_t screen_index, MonitorInfo monitor)
        : connection_(std::move(connection)), screen_index_(screen_index), monitor_(std::move(monitor)) {}

    // Connects the events this duplication waits on and sets up its image. False with
    // `failure` filled.
    bool start(XFailure& failure);

    void STDMETHODCALLTYPE GetDesc(DXGI_OUTDUPL_DESC* desc) override {
        *desc = DXGI_OUTDUPL_DESC{};
        desc->ModeDesc.Width = monitor_.width;
        desc->ModeDesc.Height = monitor_.height;
        desc->ModeDesc.RefreshRate = {60, 1};
        desc->ModeDesc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
        // X delivers the screen as it is seen, so frames are never turned within their
        // surface; the monitor's rotation is the output's (list_outputs) to report.
        desc->Rotation = DXGI_MODE_ROTATION_IDENTITY;
        desc->DesktopImageInSystemMemory = TRUE;
    }

    HRESULT STDMETHODCALLTYPE AcquireNextFrame(UINT timeout_ms, DXGI_OUTDUPL_FRAME_INFO* info,
                                               IDXGIResource** resource) override;
    HRESULT STDMETHODCALLTYPE GetFramePointerShape(UINT buffer_size, void* buffer, UINT* required_size,
                                                   DXGI_OUTDUPL_POINTER_SHAPE_INFO* shape_info) override;
    // One object behind both interfaces; IKeepablePixels only while the server writes into
    // this process's memory.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        return ComObject::QueryInterface(riid, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ComObject::AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return ComObject::Release(); }

    void STDMETHODCALLTYPE DeferImageReads(BOOL defer) override { defer_reads_ = defer != FALSE; }
    HRESULT STDMETHODCALLTYPE ReadToKeep(UINT left, UINT top, UINT right, UINT bottom, BOOL opaque,
                                         IKeptPixels** pixels) override;

    HRESULT STDMETHODCALLTYPE GetPrivateData(const GUID& name, UINT* data_size, void* data) override {
        return answer_pixel_path(name, image_ ? image_->pixel_path() : nullptr, data_size, data);
    }
    HRESULT STDMETHODCALLTYPE ReleaseFrame() override {
        if (!held_) return DXGI_ERROR_INVALID_CALL;
        held_ = false;
        return S_OK;
    }

private:
    HRESULT query_other(REFIID riid, void** object) override {
        if (!(riid == IKeepablePixels::kIid) || !pool_) return E_NOINTERFACE;
        AddRef();
        *object = static_cast<IKeepablePixels*>(this);
        return S_OK;
    }

    // The loaded libxcb functions, and the connection they are asked over.
    const XcbApi& xcb() const { return connection_->api(); }
    xcb_connection_t* server() const { return connection_->get(); }
    HRESULT connection_lost() { return fail_with(DXGI_ERROR_DEVICE_REMOVED, lost_connection_text(*connection_)); }

    // A fork's child must not ask over its parent's socket (it would take the parent's
    // replies): it starts again over a connection of its own. False, and lost, when it cannot.
    bool reconnect();
    // The steps of start(): the screen and its pixel format, the extensions' versions,
    // the events selected.
    bool read_screen(XFailure& failure);
    bool use_extensions(XFailure& failure);
    void select_events();

    // The steps of AcquireNextFrame: wait for something new, read the changed rows, say
    // what the frame carries. The first two answer S_OK to go on, else what to return.
    HRESULT wait_for_change(UINT timeout_ms);
    HRESULT read_image(const ReplyDeadline& replies);
    // The rows changed while reads were deferred, read into the image without a frame of
    // their own: the frames that carried them have been delivered already.
    HRESULT read_owed_rows();
    // A kept read the server did not answer in time: WAIT_TIMEOUT, with the frame offered again.
    HRESULT frame_still_owed();
    // The region of the current image copied into `into` (its size).
    void copy_from_image(UINT left, UINT top, Surface& into) const;
    // A read of a size no segment is kept for: over the socket, or copied from the image.
    HRESULT read_without_segment(const ReplyDeadline& replies, UINT left, UINT top, std::uint32_t width,
                                 std::uint32_t height, BOOL opaque, IKeptPixels** pixels);
    void describe_frame(DXGI_OUTDUPL_FRAME_INFO& info, bool new_image, bool shape_fetched) const;

    // Every event the server sent before now, and the pointer as it is now, at the start
    // of an acquisition.
    void catch_up();
    // After a slice of waiting: the events that came (if the socket is `readable`), and
    // the pointer once a slice old.
    void look_again(bool readable);
    // Handles the events received; with `queued_only`, only those libxcb has read already.
    void drain_events(bool queued_only = false);
    void check_layout();
    // One round trip: the pointer's position (noting a move that concerns this monitor),
    // and every event sent before the reply queued behind it.
    void ask_pointer();
    // Within the screen as last seen: a stale rectangle means the layout moved.
    bool monitor_on_screen() const;
    bool fetch_shape();

    std::shared_ptr<Connection> connection_;
    const std::uint32_t screen_index_;
    const MonitorInfo monitor_;  // as at open: any change makes this duplication lost
    xcb_window_t root_ = XCB_NONE;
    std::uint32_t screen_width_ = 0, screen_height_ = 0;
    std::uint8_t damage_event_ = 0, xfixes_event_ = 0, randr_event_ = 0;
    bool has_randr_ = false;
    xcb_damage_damage_t damage_ = XCB_NONE;

    std::unique_ptr<MonitorImage> image_;
    std::shared_ptr<SegmentPool> pool_;  // segments for kept pixels; none without shared memory
    // Kept pixels are being read instead of the image, whose changed rows are owed to it
    // until an acquisition that reads them.
    bool defer_reads_ = false, owed_ = false;
    std::uint64_t changed_rows_ = 0;  // damaged since the last frame, overlaps counted twice

    // What happened since the last acquisition.
    bool first_ = true, damaged_ = false, shape_changed_ = false, layout_changed_ = false;
    bool lost_ = false, held_ = false;
    UINT accumulated_ = 0;

    // The pointer as last reported, in root coordinates.
    std::int32_t pointer_x_ = 0, pointer_y_ = 0;
    bool pointer_on_screen_ = false;
    bool pointer_changed_ = false;
    std::chrono::steady_clock::time_point pointer_asked_{};  // the epoch: never
    std::chrono::steady_clock::time_point pointer_moved_{};  // last seen moving
    std::chrono::milliseconds pointer_slice() const {
        return std::chrono::steady_clock::now() - pointer_moved_ >= kStillAfter ? kStillPointerSlice : kPointerSlice;
    }
    PointerShape shape_;
};

bool Duplication::start(XFailure& failure) {
    if (!read_screen(failure) || !use_extensions(failure)) return false;
    select_events();
    image_ = MonitorImage::create(connection_, root_, monitor_, failure);
    if (!image_) return false;
    if (image_->pixel_path() == kShmPath) pool_ = std::make_shared<SegmentPool>(connection_);
    xcb().xcb_flush(server());
    if (connection_->broken()) {
        failure = {DXGI_ERROR_DEVICE_REMOVED, lost_connection_text(*connection_)};
        return false;
    }
    return true;
}

bool Duplication::read_screen(XFailure& failure) {
    const xcb_screen_t* screen = connection_->screen(screen_index_);
    if (!screen) {
        failure = {DXGI_ERROR_NOT_FOUND, "X screen " + std::to_string(screen_index_) + " is gone"};
        return false;
    }
    root_ = screen->root;
    screen_width_ = screen->width_in_pixels;
    screen_height_ = screen->height_in_pixels;
    std::string why;
    if (!screen_pixels_supported(*connection_, *screen, why)) {
        failure = {DXGI_ERROR_UNSUPPORTED, "X display '" + connection_->display() + "': " + why};
        return false;
    }
    return true;
}

bool Duplication::use_extensions(XFailure& failure) {
    // Every question goes out before the first answer is awaited: on a loaded machine each
    // round trip can cost a scheduling delay, and a one-shot capture pays them all.
    for (xcb_extension_t* id : {xcb().damage_id, xcb().xfixes_id, xcb().randr_id, xcb().shm_id})
        if (id) xcb().xcb_prefetch_extension_data(server(), id);
    if (!extension_present(*connection_, xcb().damage_id, &damage_event_) ||
        !extension_present(*connection_, xcb().xfixes_id, &xfixes_event_)) {
        failure = {DXGI_ERROR_UNSUPPORTED,
                   "X display '" + connection_->display() + "' lacks the DAMAGE or XFIXES extension"};
        return false;
    }
    has_randr_ = extension_present(*connection_, xcb().randr_id, &randr_event_);
    // The extensions refuse requests from a client that has not said which version it speaks.
    const auto xfixes_asked = xcb().xcb_xfixes_query_version(server(), 4, 0);
    const auto damage_asked = xcb().xcb_damage_query_version(server(), 1, 1);
    std::optional<xcb_randr_query_version_cookie_t> randr_asked;
    if (has_randr_) randr_asked = xcb().xcb_randr_query_version(server(), 1, 5);
    Reply<xcb_xfixes_query_version_reply_t> xfixes(
        xcb().xcb_xfixes_query_version_reply(server(), xfixes_asked, nullptr));
    Reply<xcb_damage_query_version_reply_t> damage(
        xcb().xcb_damage_query_version_reply(server(), damage_asked, nullptr));
    if (randr_asked)
        Reply<xcb_randr_query_version_reply_t>(xcb().xcb_randr_query_version_reply(server(), *randr_asked, nullptr));
    if (!xfixes || !damage) {
        failure = {DXGI_ERROR_UNSUPPORTED, "X display '" + connection_->display() + "': DAMAGE or XFIXES unusable"};
        return false;
    }
    return true;
}

void Duplication::select_events() {
    // Delta rectangles: one event per newly damaged area, so a change can be told to lie
    // inside or outside this monitor without a round trip.
    damage_ = xcb().xcb_generate_id(server());
    xcb().xcb_damage_create(server(), damage_, root_, XCB_DAMAGE_REPORT_LEVEL_DELTA_RECTANGLES);
    xcb().xcb_xfixes_select_cursor_input(server(), root_, XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
    // Monitors set or removed by hand raise no RandR event, only a ConfigureNotify of the root.
    const std::uint32_t structure = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb().xcb_change_window_attributes(server(), root_, XCB_CW_EVENT_MASK, &structure);
    if (has_randr_)
        xcb().xcb_randr_select_input(server(), root_,
                                     XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                                         XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
}

bool Duplication::reconnect() {
    const ReplyDeadline replies(kOpenTimeout);
    XFailure failure;
    std::shared_ptr<Connection> fresh = Connection::open(connection_->display(), failure);
    image_.reset();
    pool_.reset();
    owed_ = false;
    lost_ = true;
    if (!fresh) return false;
    connection_ = std::move(fresh);
    has_randr_ = false;
    first_ = true;
    pointer_asked_ = {};
    lost_ = !start(failure) || replies.ran_out();
    return !lost_;
}

void Duplication::catch_up() {
    // A pointer query's reply comes after every event generated before the server took the
    // request, and libxcb queues those while it waits: a change made before this
    // acquisition began is then known, however many events of busy clients are still on
    // their way. Asked once per acquisition, not once per slice of its wait: an idle
    // capture thread makes one round trip per period.
    ask_pointer();
}

void Duplication::look_again(bool readable) {
    if (readable) drain_events();  // else there is nothing to read: spares an idle thread a system call
    if (std::chrono::steady_clock::now() - pointer_asked_ >= pointer_slice()) ask_pointer();
}

void Duplication::drain_events(bool queued_only) {
    const StallWatch watch(xcb().xcb_get_file_descriptor(server()), current_reply_deadline());
    auto next = [&] {
        return queued_only ? xcb().xcb_poll_for_queued_event(server()) : xcb().xcb_poll_for_event(server());
    };
    while (Reply<xcb_generic_event_t> event{next()}) {
        const std::uint8_t type = event->response_type & 0x7F;
        if (type == 0) continue;  // an error of a request sent unchecked: its effect shows elsewhere
        if (type == damage_event_ + XCB_DAMAGE_NOTIFY) {
            const auto* notify = reinterpret_cast<const xcb_damage_notify_event_t*>(event.get());
            if (intersects(notify->area, monitor_)) {
                const std::int64_t top = std::max<std::int64_t>(notify->area.y - monitor_.y, 0);
                const std::int64_t bottom = std::min<std::int64_t>(
                    std::int64_t{notify->area.y} + notify->area.height - monitor_.y, monitor_.height);
                image_->add_changed_rows(static_cast<std::uint32_t>(top), static_cast<std::uint32_t>(bottom));
                changed_rows_ += static_cast<std::uint64_t>(bottom - top);
                damaged_ = true;
                ++accumulated_;
            }
        } else if (type == xfixes_event_ + XCB_XFIXES_CURSOR_NOTIFY) {
            shape_changed_ = true;
        } else if (type == XCB_CONFIGURE_NOTIFY) {
            layout_changed_ = true;
        } else if (has_randr_ &&
                   (type == randr_event_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY || type == randr_event_ + XCB_RANDR_NOTIFY)) {
            layout_changed_ = true;
        }
    }
}

// A new mode, a moved or removed monitor, or a resized screen: frames of this
// duplication would no longer be what its description promised.
void Duplication::check_layout() {
    const ReplyDeadline replies(kReplyFloor);
    layout_changed_ = false;
    Reply<xcb_get_geometry_reply_t> geometry(
        xcb().xcb_get_geometry_reply(server(), xcb().xcb_get_geometry(server(), root_), nullptr));
    if (!geometry) return;
    const std::vector<MonitorInfo> monitors =
        query_monitors(*connection_, *connection_->screen(screen_index_), geometry->width, geometry->height);
    if (replies.ran_out()) {
        layout_changed_ = true;  // not answered: looked at again next time
        return;
    }
    screen_width_ = geometry->width;
    screen_height_ = geometry->height;
    bool found = false;
    for (const MonitorInfo& m : monitors)
        if (m.name == monitor_.name) found = m.same_area(monitor_) && m.rotation == monitor_.rotation;
    if (!found) lost_ = true;
}

void Duplication::ask_pointer() {
    pointer_asked_ = std::chrono::steady_clock::now();
    Reply<xcb_query_pointer_reply_t> p(
        xcb().xcb_query_pointer_reply(server(), xcb().xcb_query_pointer(server(), root_), nullptr));
    // Every event sent before the reply was read with it.
    drain_events(/*queued_only=*/true);
    if (!p) return;
    auto over = [this](std::int32_t px, std::int32_t py, bool on_screen) {
        return on_screen && px >= monitor_.x && py >= monitor_.y && px < monitor_.x + std::int64_t{monitor_.width} &&
               py < monitor_.y + std::int64_t{monitor_.height};
    };
    const bool was_over = over(pointer_x_, pointer_y_, pointer_on_screen_);
    const bool is_over = over(p->root_x, p->root_y, p->same_screen != 0);
    if (p->root_x == pointer_x_ && p->root_y == pointer_y_ && (p->same_screen != 0) == pointer_on_screen_) return;
    pointer_moved_ = pointer_asked_;
    pointer_x_ = p->root_x;
    pointer_y_ = p->root_y;
    pointer_on_screen_ = p->same_screen != 0;
    if (was_over || is_over) pointer_changed_ = true;
}

bool Duplication::monitor_on_screen() const {
    return monitor_.x >= 0 && monitor_.y >= 0 && monitor_.x + std::uint64_t{monitor_.width} <= screen_width_ &&
           monitor_.y + std::uint64_t{monitor_.height} <= screen_height_;
}

bool Duplication::fetch_shape() {
    shape_changed_ = false;
    Reply<xcb_xfixes_get_cursor_image_reply_t> reply(
        xcb().xcb_xfixes_get_cursor_image_reply(server(), xcb().xcb_xfixes_get_cursor_image(server()), nullptr));
    if (!reply) return false;
    const std::size_t pixels = std::size_t{reply->width} * reply->height;
    const std::uint32_t* argb = xcb().xcb_xfixes_get_cursor_image_cursor_image(reply.get());
    shape_.bgra = straight_alpha_bgra({argb, pixels});
    shape_.width = reply->width;
    shape_.height = reply->height;
    shape_.hotspot_x = reply->xhot;
    shape_.hotspot_y = reply->yhot;
    return true;
}

HRESULT STDMETHODCALLTYPE Duplication::AcquireNextFrame(UINT timeout_ms, DXGI_OUTDUPL_FRAME_INFO* info,
                                                        IDXGIResource** resource) {
    *resource = nullptr;
    *info = DXGI_OUTDUPL_FRAME_INFO{};
    if (connection_->inherited() && !reconnect())
        return fail_with(DXGI_ERROR_ACCESS_LOST, "the X connection belongs to the process this one was forked from");
    if (lost_) return DXGI_ERROR_ACCESS_LOST;
    // A stopped server keeps nobody waiting past the call's time-out.
    const ReplyDeadline replies(std::max(std::chrono::milliseconds(timeout_ms), kReplyFloor));
    if (held_) return DXGI_ERROR_INVALID_CALL;
    if (owed_ && !defer_reads_)
        if (const HRESULT hr = read_owed_rows(); hr != S_OK) return hr;
    if (const HRESULT hr = wait_for_change(timeout_ms); hr != S_OK) return hr;

    const bool new_image = first_ || damaged_;
    const bool new_shape = first_ || shape_changed_;
    if (new_image)
        if (const HRESULT hr = read_image(replies); hr != S_OK) return hr;
    const bool shape_fetched = new_shape && fetch_shape();
    if (connection_->broken()) return connection_lost();
    if (replies.ran_out()) {
        shape_changed_ = shape_changed_ || new_shape;
        return DXGI_ERROR_WAIT_TIMEOUT;  // the image read is kept; the next call completes the frame
    }
    describe_frame(*info, new_image, shape_fetched);
    first_ = damaged_ = pointer_changed_ = false;
    accumulated_ = 0;
    changed_rows_ = 0;
    held_ = true;
    *resource = new_desktop_resource(image_->surface());
    return S_OK;
}

HRESULT Duplication::wait_for_change(UINT timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    catch_up();
    for (;;) {
        if (connection_->broken()) return connection_lost();
        if (layout_changed_) check_layout();
        if (lost_) return DXGI_ERROR_ACCESS_LOST;
        if (first_ || damaged_ || shape_changed_ || pointer_changed_) return S_OK;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now() + std::chrono::microseconds(999));
        if (left.count() <= 0) return DXGI_ERROR_WAIT_TIMEOUT;
        xcb().xcb_flush(server());
        pollfd descriptor{xcb().xcb_get_file_descriptor(server()), POLLIN, 0};
        const int slice = static_cast<int>(std::min(left, pointer_slice()).count());
        const int ready = poll(&descriptor, 1, slice);
        if (ready < 0 && errno != EINTR) return connection_lost();
        look_again(ready > 0);
    }
}

HRESULT Duplication::read_image(const ReplyDeadline& replies) {
    // Never ask for pixels outside the screen: the server would only answer with an error.
    if (!monitor_on_screen()) {
        lost_ = true;
        return DXGI_ERROR_ACCESS_LOST;
    }
    // Subtracted before the image is read: a change made meanwhile damages anew and
    // wakes the next acquisition instead of being lost.
    xcb().xcb_damage_subtract(server(), damage_, XCB_NONE, XCB_NONE);
    // Past half the monitor's rows, reading them into the image and copying the region out
    // costs more than the server writing the region straight into the kept pixels; below,
    // less (measured both ways, a whole 1080p screen changing and 4x4 pixels). A first
    // frame is all rows: a one-shot capture then has the server write only the array.
    if (defer_reads_ && (first_ || changed_rows_ * 2 >= monitor_.height)) {
        owed_ = true;
        return S_OK;
    }
    owed_ = false;
    const bool fetched = image_->read_changed_rows();
    if (connection_->broken()) return connection_lost();
    if (replies.ran_out()) {
        image_->mark_all_changed();  // the damage is gone: read everything next time
        return DXGI_ERROR_WAIT_TIMEOUT;
    }
    if (!fetched) {
        // Refused with a valid rectangle: the screen changed under the request.
        lost_ = true;
        return DXGI_ERROR_ACCESS_LOST;
    }
    return S_OK;
}

void Duplication::describe_frame(DXGI_OUTDUPL_FRAME_INFO& info, bool new_image, bool shape_fetched) const {
    const LONGLONG now = ticks_now();
    // X draws the pointer over the desktop, never into it: a frame where only the pointer
    // moved carries its position and no present time, and the core redraws the pointer
    // over the image it already has.
    info.LastPresentTime.QuadPart = new_image ? now : 0;
    info.AccumulatedFrames = new_image ? std::max<UINT>(accumulated_, 1) : 0;
    info.LastMouseUpdateTime.QuadPart = now;
    info.PointerPosition.Position = {pointer_x_ - shape_.hotspot_x - monitor_.x,
                                     pointer_y_ - shape_.hotspot_y - monitor_.y};
    info.PointerPosition.Visible = pointer_on_screen_ && pointer_x_ >= monitor_.x && pointer_y_ >= monitor_.y &&
                                           pointer_x_ < monitor_.x + std::int64_t{monitor_.width} &&
                                           pointer_y_ < monitor_.y + std::int64_t{monitor_.height}
                                       ? TRUE
                                       : FALSE;
    info.PointerShapeBufferSize = shape_fetched ? static_cast<UINT>(shape_.bgra.size()) : 0;
}

HRESULT Duplication::read_owed_rows() {
    if (!monitor_on_screen()) {
        lost_ = true;
        return DXGI_ERROR_ACCESS_LOST;
    }
    const bool fetched = image_->read_changed_rows();
    owed_ = false;
    if (connection_->broken()) return connection_lost();
    if (!fetched) {
        lost_ = true;
        return DXGI_ERROR_ACCESS_LOST;
    }
    return S_OK;
}

HRESULT Duplication::frame_still_owed() {
    // The frame was acquired but never delivered: the next acquisition offers it again.
    damaged_ = true;
    return DXGI_ERROR_WAIT_TIMEOUT;
}

void Duplication::copy_from_image(UINT left, UINT top, Surface& into) const {
    const Surface& image = *image_->surface();
    const std::size_t row_bytes = std::size_t{into.width()} * 4;
    for (std::uint32_t y = 0; y < into.height(); ++y)
        std::memcpy(into.data() + y * row_bytes, image.data() + (top + y) * std::size_t{image.pitch()} + left * 4,
                    row_bytes);
}

HRESULT Duplication::read_without_segment(const ReplyDeadline& replies, UINT left, UINT top, std::uint32_t width,
                                          std::uint32_t height, BOOL opaque, IKeptPixels** pixels) {
    if (!owed_) {
        SurfacePtr copy = posix::heap_surface(width, height);
        copy_from_image(left, top, *copy);
        *pixels = SegmentPool::keep_plain(std::move(copy));
        return S_OK;
    }
    Reply<xcb_get_image_reply_t> reply(xcb().xcb_get_image_reply(
        server(),
        xcb().xcb_get_image(server(), XCB_IMAGE_FORMAT_Z_PIXMAP, root_,
                            static_cast<std::int16_t>(monitor_.x + static_cast<std::int32_t>(left)),
                            static_cast<std::int16_t>(monitor_.y + static_cast<std::int32_t>(top)),
                            static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height), ~0u),
        nullptr));
    if (connection_->broken()) return connection_lost();
    if (!reply && replies.ran_out()) return frame_still_owed();
    if (!reply || xcb().xcb_get_image_data_length(reply.get()) < static_cast<int>(std::size_t{width} * height * 4)) {
        lost_ = true;  // refused with a valid rectangle: the screen changed under the request
        return DXGI_ERROR_ACCESS_LOST;
    }
    *pixels = SegmentPool::keep_plain(reply_surface(std::move(reply), xcb(), width, height, opaque != FALSE));
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Duplication::ReadToKeep(UINT left, UINT top, UINT right, UINT bottom, BOOL opaque,
                                                  IKeptPixels** pixels) {
    *pixels = nullptr;
    if (left >= right || top >= bottom || right > monitor_.width || bottom > monitor_.height) return E_INVALIDARG;
    if (connection_->inherited() || lost_ || !pool_) return DXGI_ERROR_ACCESS_LOST;
    if (!monitor_on_screen()) {
        lost_ = true;
        return DXGI_ERROR_ACCESS_LOST;
    }
    const ReplyDeadline replies(kReplyFloor);
    const std::uint32_t width = right - left, height = bottom - top;
    if (!pool_->worth_a_segment(width, height))
        return read_without_segment(replies, left, top, width, height, opaque, pixels);
    std::shared_ptr<ShmSurface> segment = pool_->take(width, height);
    if (!segment && connection_->broken()) return connection_lost();
    if (!segment && replies.ran_out()) return frame_still_owed();  // a silent server, not a lack of memory
    // The system's shared-memory limits reached, or the server refusing this one: the
    // frame still comes, over the socket.
    if (!segment) return read_without_segment(replies, left, top, width, height, opaque, pixels);
    if (!owed_) {
        // The image is current: a copy costs less than asking the server again.
        copy_from_image(left, top, *segment);
        *pixels = pool_->keep(std::move(segment));
        return S_OK;
    }
    Reply<xcb_shm_get_image_reply_t> reply(xcb().xcb_shm_get_image_reply(
        server(),
        xcb().xcb_shm_get_image(
            server(), root_, static_cast<std::int16_t>(monitor_.x + static_cast<std::int32_t>(left)),
            static_cast<std::int16_t>(monitor_.y + static_cast<std::int32_t>(top)), static_cast<std::uint16_t>(width),
            static_cast<std::uint16_t>(height), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, segment->segment(), 0),
        nullptr));
    if (!reply) {
        pool_->give_back(std::move(segment));
        if (connection_->broken()) return connection_lost();
        if (replies.ran_out()) return frame_still_owed();
        lost_ = true;  // refused with a valid rectangle: the screen changed under the request
        return DXGI_ERROR_ACCESS_LOST;
    }
    segment->map_written_pages();
    if (opaque) segment->make_rows_opaque(0, height);
    *pixels = pool_->keep(std::move(segment));
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Duplication::GetFramePointerShape(UINT buffer_size, void* buffer, UINT* required_size,
                                                            DXGI_OUTDUPL_POINTER_SHAPE_INFO* shape_info) {
    if (!held_) return DXGI_ERROR_INVALID_CALL;
    *shape_info = DXGI_OUTDUPL_POINTER_SHAPE_INFO{};
    *required_size = static_cast<UINT>(shape_.bgra.size());
    if (buffer_size < shape_.bgra.size()) return DXGI_ERROR_MORE_DATA;
    if (!shape_.bgra.empty()) std::memcpy(buffer, shape_.bgra.data(), shape_.bgra.size());
    shape_info->Type = DXGI_OUTDUPL_POINTER_SHAPE_TYPE_COLOR;
    shape_info->Width = shape_.width;
    shape_info->Height = shape_.height;
    shape_info->Pitch = shape_.width * 4;
    shape_info->HotSpot = {shape_.hotspot_x, shape_.hotspot_y};
    return S_OK;
}

}  // namespace

IDXGIOutputDuplication* new_duplication(std::shared_ptr<Connection> spare, const std::string& display,
                                        std::uint32_t screen, const std::string& monitor, XFailure& failure) {
    const ReplyDeadline replies(kOpenTimeout);
    std::shared_ptr<Connection> connection =
        spare && !spare->broken() ? std::move(spare) : Connection::open(display, failure);
    if (!connection) return nullptr;
    const xcb_screen_t* root = connection->screen(screen);
    if (!root) {
        failure = {DXGI_ERROR_NOT_FOUND, "X screen " + std::to_string(screen) + " is gone"};
        return nullptr;
    }
    for (MonitorInfo& m : query_monitors(*connection, *root, root->width_in_pixels, root->height_in_pixels)) {
        if (m.name != monitor) continue;
        auto* duplication = new Duplication(std::move(connection), screen, std::move(m));
        if (duplication->start(failure) && !replies.ran_out()) return duplication;
        duplication->Release();
        if (replies.ran_out()) failure = {DXGI_ERROR_NOT_CURRENTLY_AVAILABLE, no_answer_text(display)};
        return nullptr;
    }
    failure = {DXGI_ERROR_NOT_FOUND, "X monitor '" + monitor + "' is gone"};
    return nullptr;
}

}  // namespace vistrel::x11
