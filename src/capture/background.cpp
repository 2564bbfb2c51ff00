#include "src/capture/background.h"

#include "duplication/frame.h"
#include "src/capture/composite.h"
#include "src/pacing/schedule.h"
#include "src/py/gil.h"

namespace vistrel {
namespace {

void publish(CaptureShared& shared, std::uint64_t& counter, const Pixels& pixels) {
    ++counter;
    std::optional<LatestFrame> replaced;  // released after the lock
    {
        std::lock_guard lock(shared.latest_mutex);
        replaced = std::exchange(shared.latest, LatestFrame{counter, pixels});
    }
    shared.frame_event->set();
}

void store_failure(CaptureShared& shared, Failure failure) {
    {
        std::lock_guard lock(shared.error_mutex);
        // The interpreter lock is taken only while `error` is held, never the other way round.
        shared.error.emplace(failure_to_exception(std::move(failure)));
    }
    shared.frame_event->set();
}

// Buffers for new frames. In video mode the thread keeps its last frame to publish it
// again, so consumers copy; there a buffer only the pool still holds is reused. Otherwise
// the thread keeps nothing and a consumer takes the buffer over without a copy.
class BufferPool {
public:
    BufferPool(std::size_t length, bool reuse) : length_(length), reuse_(reuse) {}
    Pixels take() {
        for (const Pixels& buffer : buffers_)
            if (buffer.use_count() == 1) return buffer;
        auto fresh = std::make_shared<FrameBytes>(length_);
        if (reuse_ && buffers_.size() < kKept) buffers_.push_back(fresh);
        return fresh;
    }

private:
    static constexpr std::size_t kKept = 4;
    std::size_t length_;
    bool reuse_;
    std::vector<Pixels> buffers_;
};

// A new frame's region as packed BGRA rows with the pointer drawn in.
Result<Pixels> crop(DuplicationSession& session, const Region& region, BufferPool& pool) {
    const std::size_t length = std::size_t{region.width()} * region.height() * 4;
    Pixels pixels = pool.take();
    Status read = read_region(session, region.left, region.top, region.right, region.bottom, pixels->data(), length);
    if (!read) return read.take_failure();
    if (session.cursor_enabled) composite_cursor(pixels->data(), length, region, session.cursor);
    return pixels;
}

void capture_loop(DuplicationSession& session, const CaptureParams& params, CaptureShared& shared) {
    const std::uint64_t period = period_ns(params.target_fps);
    os::Instant deadline = os::now();
    std::unique_ptr<os::HighResTimer> timer = os::HighResTimer::create();  // absent: ordinary sleep
    std::uint64_t counter = 0;
    Pixels last_frame;
    BufferPool pool(std::size_t{params.region.width()} * params.region.height() * 4, params.video_mode);

    while (!shared.stop.load()) {
        auto acquired = acquire_frame(session, 2);
        if (!acquired) {
            store_failure(shared, acquired.take_failure());
            return;
        }
        if (acquired.value() == Acquired::NewFrame) {
            auto pixels = crop(session, params.region, pool);
            if (!pixels) {
                store_failure(shared, pixels.take_failure());
                return;
            }
            publish(shared, counter, pixels.value());
            if (params.video_mode) last_frame = std::move(pixels).value();
        } else if (params.video_mode && last_frame) {
            publish(shared, counter, last_frame);
        }
        if (params.target_fps != 0) {
            PaceStep step = next_pace(deadline, period, os::now());
            deadline = step.deadline;
            wait_remaining(timer.get(), step.wait_ns);
        }
    }
}

std::string render(PendingError& error) {
    py::EnsureGil gil;
    return error.rendered();
}

}  // namespace

BackgroundCapture spawn_capture(DuplicationSession session, CaptureParams params) {
    auto event = os::AutoResetEvent::create();
    if (!event) throw InternalFault("CreateEventW failed; required for the consumer wait path");
    auto shared = std::make_shared<CaptureShared>(std::move(event));
    auto result = std::make_shared<std::optional<DuplicationSession>>();
    // The thread owns the session until it ends, then leaves it in `result`.
    auto owned = std::make_shared<DuplicationSession>(std::move(session));
    auto thread = os::Thread::start([owned, params, shared, result] {
        capture_loop(*owned, params, *shared);
        result->emplace(std::move(*owned));
    });
    if (!thread) throw InternalFault("failed to spawn thread");
    BackgroundCapture background;
    background.shared = std::move(shared);
    background.thread = std::move(thread);
    background.result = std::move(result);
    background.region = params.region;
    background.width = params.region.width();
    background.height = params.region.height();
    return background;
}

DuplicationSession stop_and_join(std::optional<BackgroundCapture>& running) {
    BackgroundCapture background = std::move(*running);
    running.reset();
    background.shared->stop.store(true);
    background.shared->frame_event->set();
    bool completed;
    {
        py::ReleaseGil released;
        completed = background.thread->join();
    }
    background.thread.reset();
    if (!completed || !*background.result) throw InternalFault("capture thread panicked");
    return std::move(**background.result);
}

std::optional<std::string> thread_failure_text(CaptureShared& shared) {
    std::lock_guard lock(shared.error_mutex);
    if (shared.error) {
        shared.error_text = render(*shared.error);
        shared.error.reset();  // released under the interpreter lock by its destructor
    }
    return shared.error_text;
}

std::uint64_t waiting_seq(CaptureShared& shared) {
    std::lock_guard lock(shared.latest_mutex);
    return shared.latest ? shared.latest->seq : 0;
}

std::optional<LatestFrame> take_newer(CaptureShared& shared, std::uint64_t seq) {
    std::lock_guard lock(shared.latest_mutex);
    if (!shared.latest || shared.latest->seq <= seq) return std::nullopt;
    std::optional<LatestFrame> frame = std::move(shared.latest);
    shared.latest.reset();
    return frame;
}

WaitOutcome wait_for_frame(CaptureShared& shared, std::optional<std::uint64_t> timeout_ns) {
    std::optional<os::Instant> deadline;
    if (timeout_ns) deadline = add_ns(os::now(), *timeout_ns);
    for (;;) {
        if (auto frame = take_newer(shared, 0)) return std::move(*frame);
        if (shared.stop.load()) return Stopped{};
        if (auto text = thread_failure_text(shared)) return Failure::message(*text);
        auto limit = wait_limit_ms(os::now(), deadline);
        if (!limit) return Failure::deadline_expired();
        shared.frame_event->wait(*limit);
    }
}

}  // namespace vistrel
