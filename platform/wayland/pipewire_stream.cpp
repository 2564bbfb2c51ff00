#include "platform/wayland/pipewire_stream.h"

#include <poll.h>
#include <signal.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <mutex>

#include "platform/wayland/cursor_meta.h"
#include "platform/wayland/pipewire_library.h"
#include "platform/wayland/wake_event.h"

namespace vistrel::wayland {
namespace {

// A node that exists answers with its format within a few frames.
constexpr auto kFormatTime = std::chrono::seconds(5);
// Pointer bitmaps of up to this size: a portal that may send larger ones would send none.
constexpr std::uint32_t kCursorSide = 384;
constexpr std::uint32_t kDamageRegions = 16;

constexpr std::uint32_t cursor_meta_size(std::uint32_t side) {
    return sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + side * side * 4;
}

}  // namespace

struct PipeWireStream::Loop {
    const PipeWireApi& api;
    FrameExchange& frames;
    pw_thread_loop* thread = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_stream* stream = nullptr;
    spa_hook core_listener{}, stream_listener{};
    WakeEvent negotiated_event;

    // Under `mutex`: what open() waits for.
    std::mutex mutex;
    std::uint32_t width = 0, height = 0;
    bool streamed = false;  // streamed once: a later paused or unconnected state is the end
    StreamPointer pointer;  // the loop thread's: as the cursor metadata last described it

    Loop(const PipeWireApi& library, FrameExchange& sink) : api(library), frames(sink) {}
    Loop(const Loop&) = delete;
    Loop& operator=(const Loop&) = delete;
    ~Loop() {
        if (thread) api.pw_thread_loop_stop(thread);
        if (stream) api.pw_stream_destroy(stream);
        if (core) api.pw_core_disconnect(core);
        if (context) api.pw_context_destroy(context);
        if (thread) api.pw_thread_loop_destroy(thread);
    }

    void end(HRESULT code, std::string text) {
        frames.end(code, std::move(text));
        negotiated_event.signal();
    }

    static Loop& self(void* data) { return *static_cast<Loop*>(data); }

    static void on_core_error(void* data, std::uint32_t id, int, int res, const char* message) {
        if (id != PW_ID_CORE) return;
        self(data).end(DXGI_ERROR_DEVICE_REMOVED, std::string("lost the PipeWire connection of the screen cast (") +
                                                      (message ? message : "") + ", " + std::to_string(-res) + ")");
    }

    static void on_state(void* data, pw_stream_state, pw_stream_state state, const char* error) {
        Loop& l = self(data);
        if (state == PW_STREAM_STATE_ERROR)
            return l.end(DXGI_ERROR_DEVICE_REMOVED,
                         std::string("the screen-cast stream failed: ") + (error ? error : "unknown error"));
        bool streamed = false;
        {
            std::lock_guard lock(l.mutex);
            streamed = l.streamed;
            if (state == PW_STREAM_STATE_STREAMING) l.streamed = true;
        }
        // A stream that streamed falls back to paused when its node goes (the portal's
        // backend ended, or the user stopped sharing): no frame would come again.
        if ((state == PW_STREAM_STATE_UNCONNECTED || state == PW_STREAM_STATE_PAUSED) && streamed)
            l.end(DXGI_ERROR_DEVICE_REMOVED, "the screen-cast stream ended (the portal or the compositor went away)");
    }

    static void on_param(void* data, std::uint32_t id, const spa_pod* param) {
        Loop& l = self(data);
        if (id != SPA_PARAM_Format || !param) return;
        spa_video_info_raw info{};
        if (spa_format_video_raw_parse(param, &info) < 0 || info.size.width == 0 || info.size.height == 0) return;
        if (info.format != SPA_VIDEO_FORMAT_BGRx && info.format != SPA_VIDEO_FORMAT_BGRA)
            return l.end(E_FAIL, "the screen-cast stream offers no 32-bit BGR format");
        {
            std::lock_guard lock(l.mutex);
            if (l.width == 0) {
                if (!l.frames.allocate(info.size.width, info.size.height)) {
                    l.frames.end(E_OUTOFMEMORY, "out of memory for a " + std::to_string(info.size.width) + "x" +
                                                    std::to_string(info.size.height) + " image");
                } else {
                    l.width = info.size.width;
                    l.height = info.size.height;
                }
            } else if (l.width != info.size.width || l.height != info.size.height) {
                l.frames.end(DXGI_ERROR_ACCESS_LOST, "the screen-cast stream changed its size to " +
                                                         std::to_string(info.size.width) + "x" +
                                                         std::to_string(info.size.height));
            }
        }
        l.negotiated_event.signal();
        l.ask_for_buffers(info.size.width, info.size.height);
    }

    void ask_for_buffers(std::uint32_t frame_width, std::uint32_t frame_height) {
        std::uint8_t storage[1024];
        spa_pod_builder b{};
        spa_pod_builder_init(&b, storage, sizeof storage);
        const int stride = static_cast<int>(frame_width * 4);
        const spa_pod* params[5];
        params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
            SPA_POD_CHOICE_RANGE_Int(4, 1, 32), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_size,
            SPA_POD_Int(stride * static_cast<int>(frame_height)), SPA_PARAM_BUFFERS_stride, SPA_POD_Int(stride),
            SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
        params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
            SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
        params[2] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoDamage),
            SPA_PARAM_META_size,
            SPA_POD_CHOICE_RANGE_Int(sizeof(spa_meta_region) * kDamageRegions, sizeof(spa_meta_region),
                                     sizeof(spa_meta_region) * kDamageRegions)));
        params[3] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoCrop),
            SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_region))));
        params[4] = static_cast<const spa_pod*>(
            spa_pod_builder_add_object(&b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
                                       SPA_POD_Id(SPA_META_Cursor), SPA_PARAM_META_size,
                                       SPA_POD_CHOICE_RANGE_Int(cursor_meta_size(kCursorSide), cursor_meta_size(1),
                                                                cursor_meta_size(kCursorSide))));
        api.pw_stream_update_params(stream, params, 5);
    }

    static void on_process(void* data) {
        Loop& l = self(data);
        // Only the newest buffer matters; older ones go straight back.
        pw_buffer* newest = nullptr;
        while (pw_buffer* buffer = l.api.pw_stream_dequeue_buffer(l.stream)) {
            if (newest) l.api.pw_stream_queue_buffer(l.stream, newest);
            newest = buffer;
        }
        if (!newest) return;
        l.publish(*newest->buffer);
        l.api.pw_stream_queue_buffer(l.stream, newest);
    }

    void publish(spa_buffer& buffer) {
        std::uint32_t w = 0, h = 0;
        {
            std::lock_guard lock(mutex);
            w = width;
            h = height;
        }
        if (w == 0 || frames.ended()) return;
        // The pointer may come in a buffer of its own, with no pixels.
        if (spa_meta* meta = spa_buffer_find_meta(&buffer, SPA_META_Cursor)) {
            const PointerChange change = apply_cursor_meta(meta->data, meta->size, pointer);
            if (change != PointerChange::None) frames.publish_pointer(pointer, change == PointerChange::Reshaped);
        }
        if (buffer.n_datas < 1) return;
        const spa_data& d = buffer.datas[0];
        // A buffer with no pixels (a pointer move alone) or a damaged one is no frame.
        if (!d.data || !d.chunk || d.chunk->size == 0 || (d.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED)) return;
        auto* header =
            static_cast<spa_meta_header*>(spa_buffer_find_meta_data(&buffer, SPA_META_Header, sizeof(spa_meta_header)));
        if (header && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED)) return;
        const std::uint32_t stride = d.chunk->stride > 0 ? static_cast<std::uint32_t>(d.chunk->stride) : w * 4;
        const std::uint64_t needed = std::uint64_t{stride} * (h - 1) + std::uint64_t{w} * 4;
        if (stride < w * 4 || std::uint64_t{d.chunk->offset} + needed > d.maxsize) return;
        const auto* pixels = static_cast<const std::uint8_t*>(d.data) + d.chunk->offset;
        frames.publish(damaged_rows(buffer, h), [&](std::uint32_t y) { return pixels + std::size_t{y} * stride; });
    }

    // The rows the damage metadata names; all of them when there is none.
    static Band damaged_rows(spa_buffer& buffer, std::uint32_t height) {
        spa_meta* meta = spa_buffer_find_meta(&buffer, SPA_META_VideoDamage);
        if (!meta) return {0, height};
        Band band;
        bool any = false;
        spa_meta_region* region;
        spa_meta_for_each(region, meta) {
            if (!spa_meta_region_is_valid(region)) break;
            any = true;
            const auto top = static_cast<std::uint32_t>(std::max(region->region.position.y, 0));
            const auto bottom = static_cast<std::uint32_t>(
                std::min<std::int64_t>(std::int64_t{region->region.position.y} + region->region.size.height, height));
            band.add({std::min(top, height), bottom});
        }
        return any ? band : Band{0, height};
    }
};

PipeWireStream::PipeWireStream(FrameExchange& frames) : frames_(frames) {}

PipeWireStream::~PipeWireStream() = default;

void PipeWireStream::abandon() { (void)loop_.release(); }

std::unique_ptr<PipeWireStream> PipeWireStream::open(int fd, std::uint32_t node, FrameExchange& frames,
                                                     WlFailure& failure) {
    std::string load_error;
    const PipeWireApi* api = pipewire_api(load_error);
    if (!api) {
        close(fd);
        failure = {DXGI_ERROR_UNSUPPORTED, "the screen-cast portal needs PipeWire: " + load_error};
        return nullptr;
    }
    std::unique_ptr<PipeWireStream> stream(new PipeWireStream(frames));
    stream->loop_ = std::make_unique<Loop>(*api, frames);
    Loop& l = *stream->loop_;
    l.thread = api->pw_thread_loop_new("vistrel-cast", nullptr);
    if (l.thread) l.context = api->pw_context_new(api->pw_thread_loop_get_loop(l.thread), nullptr, 0);
    if (!l.context || !l.negotiated_event.valid()) {
        close(fd);
        failure = {E_OUTOFMEMORY, "cannot create a PipeWire loop"};
        return nullptr;
    }
    // The loop thread takes no signals: Ctrl+C must reach the caller's waits.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    const int started = api->pw_thread_loop_start(l.thread);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (started < 0) {
        close(fd);
        failure = {E_OUTOFMEMORY, "cannot start the PipeWire loop thread"};
        return nullptr;
    }

    static const pw_core_events core_events = [] {
        pw_core_events events{};
        events.version = PW_VERSION_CORE_EVENTS;
        events.error = Loop::on_core_error;
        return events;
    }();
    static const pw_stream_events stream_events = [] {
        pw_stream_events events{};
        events.version = PW_VERSION_STREAM_EVENTS;
        events.state_changed = Loop::on_state;
        events.param_changed = Loop::on_param;
        events.process = Loop::on_process;
        return events;
    }();
    api->pw_thread_loop_lock(l.thread);
    l.core = api->pw_context_connect_fd(l.context, fd, nullptr, 0);  // takes fd, also on failure
    int connected = -1;
    if (l.core) {
        pw_core_add_listener(l.core, &l.core_listener, &core_events, &l);
        l.stream = api->pw_stream_new(l.core, "vistrel",
                                      api->pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                                             "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    }
    if (l.stream) {
        api->pw_stream_add_listener(l.stream, &l.stream_listener, &stream_events, &l);
        std::uint8_t storage[1024];
        spa_pod_builder b{};
        spa_pod_builder_init(&b, storage, sizeof storage);
        const spa_rectangle min_size = SPA_RECTANGLE(1, 1), max_size = SPA_RECTANGLE(16384, 16384),
                            default_size = SPA_RECTANGLE(1920, 1080);
        const spa_fraction min_rate = SPA_FRACTION(0, 1), max_rate = SPA_FRACTION(1000, 1),
                           default_rate = SPA_FRACTION(60, 1);
        const spa_pod* format = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
            SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
            SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA),
            SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&default_size, &min_size, &max_size),
            SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&default_rate, &min_rate, &max_rate)));
        connected = api->pw_stream_connect(
            l.stream, PW_DIRECTION_INPUT, node,
            static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS), &format, 1);
    }
    api->pw_thread_loop_unlock(l.thread);
    if (connected < 0) {
        failure = {DXGI_ERROR_UNSUPPORTED, "cannot connect to the screen-cast stream in PipeWire"};
        return nullptr;
    }

    const auto deadline = Clock::now() + kFormatTime;
    for (;;) {
        {
            std::lock_guard lock(l.mutex);
            stream->width_ = l.width;
            stream->height_ = l.height;
        }
        std::string why;
        if (const HRESULT code = frames.end_code(&why); code != S_OK) {
            failure = {code, why};
            return nullptr;
        }
        if (stream->width_ != 0) return stream;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            failure = {DXGI_ERROR_UNSUPPORTED, "the screen-cast stream never agreed on a format"};
            return nullptr;
        }
        pollfd descriptor = {l.negotiated_event.fd(), POLLIN, 0};
        if (poll(&descriptor, 1, static_cast<int>(std::min<std::int64_t>(left, INT_MAX))) < 0 && errno == EINTR) {
            failure = {E_FAIL, "interrupted while the screen-cast stream started"};
            return nullptr;
        }
        l.negotiated_event.drain();
    }
}

}  // namespace vistrel::wayland
