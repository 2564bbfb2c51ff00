#include "src/capture/background.h"

#include <algorithm>
#include <atomic>
#include <new>
#include <utility>
#include <vector>

#include "duplication/frame.h"
#include "duplication/kept_frame.h"
#include "src/capture/composite.h"
#include "src/pacing/schedule.h"
#include "src/py/gil.h"

namespace vistrel {
namespace {

void publish(CaptureShared& shared, std::uint64_t& counter, Pixels pixels) {
    ++counter;
    std::optional<LatestFrame> replaced;  // released after the lock
    {
        std::lock_guard lock(shared.latest_mutex);
        replaced = std::exchange(shared.latest, LatestFrame{counter, std::move(pixels)});
    }
    shared.frame_event->set();
}

// Stores what ended the thread and wakes every consumer; they report it from now on.
void store_failure(CaptureShared& shared, Failure failure) {
    {
        std::lock_guard lock(shared.error_mutex);
        if (!shared.error && !shared.error_text) shared.error.emplace(std::move(failure));
    }
    shared.stop.store(true);
    shared.frame_event->set();
}

void store_fault(CaptureShared& shared, const char* what) {
    {
        std::lock_guard lock(shared.error_mutex);
        if (!shared.error && !shared.error_text) shared.error_text = std::string("InternalFault: ") + what;
    }
    shared.stop.store(true);
    shared.frame_event->set();
}

// Every capture thread that has not been joined yet, for the exit hook.
class RunningThreads {
public:
    void add(const std::shared_ptr<CaptureShared>& shared, const std::shared_ptr<CaptureThread>& thread) {
        std::lock_guard lock(mutex_);
        std::erase_if(entries_, [](const Entry& e) { return e.thread.expired(); });
        entries_.push_back({shared, thread});
    }
    // Asks every running thread to stop, then joins them all.
    void stop_all() {
        std::vector<std::pair<std::shared_ptr<CaptureShared>, std::shared_ptr<CaptureThread>>> running;
        {
            std::lock_guard lock(mutex_);
            for (const Entry& e : entries_)
                if (auto thread = e.thread.lock())
                    if (auto shared = e.shared.lock()) running.emplace_back(std::move(shared), std::move(thread));
            entries_.clear();
        }
        for (auto& [shared, thread] : running) {
            shared->stop.store(true);
            shared->frame_event->set();
        }
        for (auto& [shared, thread] : running) (void)thread->join();
    }

private:
    struct Entry {
        std::weak_ptr<CaptureShared> shared;
        std::weak_ptr<CaptureThread> thread;
    };
    std::mutex mutex_;
    std::vector<Entry> entries_;  // guarded by mutex_
};

// Lives for the process: the exit hook may run while threads still end.
RunningThreads& running_threads() {
    static RunningThreads* threads = new RunningThreads();
    return *threads;
}

// Buffers for new frames. In video mode the thread keeps its last frame to publish it
// again, so consumers copy; there a buffer only the pool still holds is reused. Otherwise
// the thread keeps nothing and a consumer takes the buffer over without a copy.
class BufferPool {
public:
    BufferPool(std::size_t length, bool reuse) : length_(length), reuse_(reuse) {}
    Pixels take() {
        for (const Pixels& buffer : buffers_)
            if (buffer.use_count() == 1) {
            // The consumer that held it last let go by decrementing the count, a release;
            // this fence makes its reads of the bytes happen before our writes to them.
            // (GCC refuses fences under ThreadSanitizer, whose builds go without it.)
#if !defined(__SANITIZE_THREAD__)
                std::atomic_thread_fence(std::memory_order_acquire);
#endif
                return buffer;
            }
        auto fresh = std::make_shared<FrameBytes>(length_);
        if (reuse_ && buffers_.size() < kKept) buffers_.push_back(fresh);
        return fresh;
    }

private:
    // The frame in the latest-frame slot, one a consumer is copying, the one being written
    // and a spare: more would only hold memory a consumer never reaches.
    static constexpr std::size_t kKept = 4;
    std::size_t length_;
    bool reuse_;
    std::vector<Pixels> buffers_;
};

// A new frame's region as packed BGRA rows with the pointer drawn in.
Result<Pixels> read_frame_with_pointer(DuplicationSession& session, const Region& region, BufferPool& pool) {
    const std::size_t length = std::size_t{region.width()} * region.height() * 4;
    Pixels pixels = pool.take();
    Status read = read_region(session, region.left, region.top, region.right, region.bottom, pixels->data(), length);
    if (!read) return read.take_failure();
    if (session.cursor_enabled) composite_cursor(pixels->data(), length, region, session);
    return pixels;
}

// The capture thread's wait for a frame: short, so a stop request and the pacing timer are
// served within a couple of milliseconds; the pacing itself is the timer's job.
constexpr std::uint32_t kAcquireWaitMs = 2;

// How often a capture thread tries again to duplicate an output it lost to the secure
// desktop or a disconnected session: soon enough to miss little after it ends, rarely
// enough not to load the system while it lasts.
constexpr std::uint64_t kLostRetryNs = 50'000'000;

// How long before a consumer's slot its frame is captured: twice what recent captures took
// from their planned start to their publish (late wake-ups on a loaded machine included),
// plus 2 ms, so the slot gets this frame and not the one before; at most three quarters of
// a period, so the frames served stay fresh.
class SlotLead {
public:
    explicit SlotLead(std::uint64_t period) : most_(period / 4 * 3) {}
    std::uint64_t ns() const { return std::min(2 * slow_ + kMargin, most_); }
    // A capture planned for `planned` ended at `done`: a slow one counts at once, and is
    // forgotten an eighth at a time.
    void took(os::Instant planned, os::Instant done) {
        const std::int64_t took = nanos_between(planned, done);
        slow_ = std::max<std::uint64_t>(took > 0 ? static_cast<std::uint64_t>(took) : 0, slow_ - slow_ / 8);
    }

private:
    static constexpr std::uint64_t kMargin = 2'000'000;
    const std::uint64_t most_;
    std::uint64_t slow_ = 1'000'000;
};

// Where the provider writes frames into memory a caller can keep, the thread has it write
// each new frame there: the consumer then takes the frame over as its array, and the frame
// costs no copy of ours. Not in video mode, whose frames are published more than once and
// so copied by their consumers anyway. Follows the session's duplication as it is re-created.
class KeptReads {
public:
    explicit KeptReads(bool wanted) : wanted_(wanted) {}
    // The duplication to read from, set to leave image reads to it; empty where frames are
    // read the ordinary way.
    IKeepablePixels* current(const DuplicationSession& session) {
        if (!wanted_) return nullptr;
        // Asked once per duplication, not at every turn of the loop: where the answer is
        // no (Windows, no shared memory) the question would cost a call each turn.
        if (!asked_ || generation_ != session.duplication_generation) {
            asked_ = true;
            deferred_.reset();
            generation_ = session.duplication_generation;
            keepable_ = keepable_pixels(session);
            if (keepable_) deferred_ = std::make_unique<DeferredImageReads>(keepable_);
        }
        return keepable_.get();
    }

private:
    const bool wanted_;
    bool asked_ = false;
    std::uint64_t generation_ = 0;
    ComPtr<IKeepablePixels> keepable_;
    std::unique_ptr<DeferredImageReads> deferred_;
};

// A new frame's region, read into memory the consumer can keep, pointer drawn in. No
// pixels (an empty pointer) when the platform did not answer in time: the frame is
// offered again.
Result<Pixels> read_kept_frame(DuplicationSession& session, const Region& region, IKeepablePixels& keepable) {
    auto read = read_to_keep(keepable, region.left, region.top, region.right, region.bottom);
    if (!read) {
        if (read.failure().kind() == Failure::Kind::DeadlineExpired) return Pixels{};
        return read.take_failure();
    }
    const std::size_t length = std::size_t{region.width()} * region.height() * 4;
    auto pixels = std::make_shared<FrameBytes>(std::move(read).value(), length);
    if (session.cursor_enabled) composite_cursor(pixels->data(), length, region, session);
    return pixels;
}

void capture_loop(DuplicationSession& session, const CaptureParams& params, CaptureShared& shared) {
    const std::uint64_t period = period_ns(params.target_fps);
    os::Instant deadline = os::now();
    std::unique_ptr<os::HighResTimer> timer = os::HighResTimer::create();  // absent: ordinary sleep
    std::uint64_t counter = 0;
    SlotLead lead(period);
    os::Instant planned = deadline;
    Pixels last_frame;
    BufferPool pool(std::size_t{params.region.width()} * params.region.height() * 4, params.video_mode);
    KeptReads kept(!params.video_mode);

    // Right after a pacing wait the slot is due: what changed meanwhile is waiting already,
    // and waiting for more would only delay the slot. An idle paced thread then wakes once
    // per period, not twice.
    bool slot_due = false;
    while (!shared.stop.load()) {
        auto acquired = acquire_frame(session, slot_due ? 0 : kAcquireWaitMs);
        slot_due = false;
        if (!acquired && lost_for_now(session)) {
            // No new frames while the episode lasts; the video mode repeats its last one.
            if (params.video_mode && last_frame) publish(shared, counter, last_frame);
            wait_remaining(timer.get(), kLostRetryNs);
            continue;
        }
        if (!acquired) {
            store_failure(shared, acquired.take_failure());
            return;
        }
        IKeepablePixels* keepable = kept.current(session);
        if (acquired.value() == Acquired::NewFrame && keepable) {
            auto pixels = read_kept_frame(session, params.region, *keepable);
            if (!pixels) {
                store_failure(shared, pixels.take_failure());
                return;
            }
            if (pixels.value()) publish(shared, counter, std::move(pixels).value());
        } else if (acquired.value() == Acquired::NewFrame) {
            auto pixels = read_frame_with_pointer(session, params.region, pool);
            if (!pixels) {
                store_failure(shared, pixels.take_failure());
                return;
            }
            if (params.video_mode) last_frame = pixels.value();
            publish(shared, counter, std::move(pixels).value());
        } else if (params.video_mode && last_frame) {
            publish(shared, counter, last_frame);
        }
        if (params.target_fps != 0 && params.slots_from) {
            // The first frame may come at any point of the first period, which the consumer
            // waits out for it: until then, and until the next slot falls due, the thread
            // publishes as changes come, so that slot has the newest frame too.
            const os::Instant now = os::now();
            if (counter == 0 || nanos_between(*params.slots_from, now) < static_cast<std::int64_t>(period)) {
                planned = now;
                continue;
            }
            lead.took(planned, now);
            const std::uint64_t wait = wait_for_next_slot(*params.slots_from, period, lead.ns(), now);
            planned = add_ns(now, wait);
            wait_remaining(timer.get(), wait);
            slot_due = wait > 0;
        } else if (params.target_fps != 0) {
            PaceStep step = next_pace(deadline, period, os::now());
            deadline = step.deadline;
            wait_remaining(timer.get(), step.wait_ns);
            slot_due = step.wait_ns > 0;
        }
    }
}

std::string exception_text(Failure failure) {
    PendingError error = failure_to_exception(std::move(failure));
    py::EnsureGil gil;
    return error.as_text();
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
        // Whatever ends the loop is stored as the thread's failure, so no consumer waits
        // for a thread that is gone; the session goes back to the owner in every case.
        try {
            capture_loop(*owned, params, *shared);
        } catch (const std::bad_alloc&) {
            store_fault(*shared, "out of memory");
        } catch (const std::exception& e) {
            store_fault(*shared, e.what());
        }
        result->emplace(std::move(*owned));
    });
    if (!thread) throw InternalFault("failed to spawn thread");
    BackgroundCapture background;
    background.thread = std::make_shared<CaptureThread>(std::move(thread));
    running_threads().add(shared, background.thread);
    background.shared = std::move(shared);
    background.result = std::move(result);
    background.region = params.region;
    background.width = params.region.width();
    background.height = params.region.height();
    return background;
}

std::optional<DuplicationSession> stop_and_join(std::optional<BackgroundCapture>& running) {
    BackgroundCapture background = std::move(*running);
    running.reset();
    if (background.thread->left_behind()) {
        // The session may be half-way through a call of the parent's thread: leaked, never used.
        new BackgroundCapture(std::move(background));
        return std::nullopt;
    }
    background.shared->stop.store(true);
    background.shared->frame_event->set();
    bool completed;
    {
        py::ReleaseGil released;
        completed = background.thread->join();
    }
    if (!completed || !*background.result) throw InternalFault("capture thread panicked");
    return std::move(**background.result);
}

CaptureThread::~CaptureThread() {
    // A thread handle copied by fork() names no thread of this process: not even detached.
    if (left_behind()) (void)thread_.release();
}

bool CaptureThread::join() {
    if (left_behind()) return false;
    std::lock_guard lock(mutex_);
    if (!completed_) {
        completed_ = thread_->join();
        thread_.reset();
    }
    return *completed_;
}

void stop_all_capture_threads() {
    py::ReleaseGil released;
    running_threads().stop_all();
}

std::optional<std::string> thread_failure_text(CaptureShared& shared) {
    std::optional<Failure> failure;
    {
        std::lock_guard lock(shared.error_mutex);
        if (!shared.error) return shared.error_text;
        failure = std::move(shared.error);
        shared.error.reset();
    }
    // Made outside the slot's mutex: the interpreter lock is taken for it.
    std::string text = exception_text(std::move(*failure));
    std::lock_guard lock(shared.error_mutex);
    shared.error_text = std::move(text);
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
    if (shared.thread_left_behind())
        return Failure::described(
            "the capture thread did not survive fork(): it runs only in the parent process; call stop() and start() "
            "in this one");
    for (;;) {
        if (auto frame = take_newer(shared, 0)) return std::move(*frame);
        if (auto text = thread_failure_text(shared)) return Failure::described(*text);
        if (shared.stop.load()) return Stopped{};
        auto limit = wait_limit_ms(os::now(), deadline);
        if (!limit) return Failure::deadline_expired();
        shared.frame_event->wait(*limit);
    }
}

}  // namespace vistrel
