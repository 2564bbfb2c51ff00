// Background capture: a thread that owns a session, acquires and crops frames and
// publishes the newest one into a single slot, and what its consumers use to take it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "duplication/device.h"
#include "platform/kept_pixels.h"
#include "platform/os.h"
#include "src/convert/region.h"
#include "src/errors.h"

namespace vistrel {

struct CaptureParams {
    std::uint32_t target_fps = 0;  // 0: unpaced
    Region region;
    bool video_mode = false;
    // With a rate: capture just ahead of the slots of the consumer's schedule that starts
    // here (frames()), rather than on a schedule of the thread's own.
    std::optional<os::Instant> slots_from;
};

// Packed BGRA rows of the region; never written after being published. Either allocated
// here, without zero-filling (every byte is written before the buffer is published), or
// memory the provider wrote the frame into and a caller may keep (`kept`).
struct FrameBytes {
    explicit FrameBytes(std::size_t byte_count)
        : bytes(new std::uint8_t[byte_count]), start(bytes.get()), length(byte_count) {}
    FrameBytes(ComPtr<IKeptPixels> pixels, std::size_t byte_count)
        : kept(std::move(pixels)), start(kept->Data()), length(byte_count) {}
    std::uint8_t* data() { return start; }
    const std::uint8_t* data() const { return start; }
    std::size_t size() const { return length; }

    std::unique_ptr<std::uint8_t[]> bytes;
    ComPtr<IKeptPixels> kept;
    std::uint8_t* start;
    std::size_t length;
};
using Pixels = std::shared_ptr<FrameBytes>;

struct LatestFrame {
    std::uint64_t seq = 0;  // the thread's publish counter: 1 for the first publish
    Pixels pixels;
};

// What a capture thread and its consumers share. Each slot has its own mutex, held only
// to move a value in or out, never across a wait and never together with the other.
struct CaptureShared {
    explicit CaptureShared(std::unique_ptr<os::AutoResetEvent> event) : frame_event(std::move(event)) {}

    std::mutex latest_mutex;
    std::optional<LatestFrame> latest;  // guarded by latest_mutex

    // Prompts a consumer to look at the slots again; the slots are authoritative.
    std::unique_ptr<os::AutoResetEvent> frame_event;

    std::mutex error_mutex;
    // What ended the thread, stored once (guarded by error_mutex): a failure, or the text
    // of an internal fault. The thread never takes the interpreter lock: the consumer
    // turns the failure into its exception's text at its first look and keeps that text.
    std::optional<Failure> error;
    std::optional<std::string> error_text;

    // Set by the owner to end the thread, and by the thread when it ends on a failure.
    std::atomic<bool> stop{false};

    // fork() copies this record into the child but not the thread behind it.
    const std::uint32_t process_id = os::current_process_id();
    bool thread_left_behind() const { return process_id != os::current_process_id(); }
};

// A capture thread that can be joined by its owner or by the module's exit hook,
// whichever comes first; the second join reports what the first saw.
class CaptureThread {
public:
    explicit CaptureThread(std::unique_ptr<os::Thread> thread) : thread_(std::move(thread)) {}
    ~CaptureThread();
    // Whether the thread's body ran to its end. Call without the interpreter lock. In a
    // fork's child, where the thread does not exist, false without waiting.
    bool join();
    bool left_behind() const { return process_id_ != os::current_process_id(); }

private:
    const std::uint32_t process_id_ = os::current_process_id();
    std::mutex mutex_;
    std::unique_ptr<os::Thread> thread_;  // guarded by mutex_
    std::optional<bool> completed_;       // guarded by mutex_
};

// The handle of one capture thread.
struct BackgroundCapture {
    std::shared_ptr<CaptureShared> shared;
    std::shared_ptr<CaptureThread> thread;  // also known to the exit hook while it runs
    // Where the thread hands its session back when it ends (read after the join).
    std::shared_ptr<std::optional<DuplicationSession>> result;
    Region region;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

// Starts a capture thread that owns `session`. Internal faults: "CreateEventW failed;
// required for the consumer wait path", "failed to spawn thread" (the session is then
// released, not returned).
BackgroundCapture spawn_capture(DuplicationSession session, CaptureParams params);

// Takes the capture out of `running` (left empty whatever happens), sets the stop flag,
// wakes and joins the thread, and returns the session it hands back. Releases the
// interpreter lock while it joins, so a thread converting its failure under the lock
// cannot deadlock it. "capture thread panicked" when the thread ended abnormally. In a
// fork's child nothing comes back: the session stays with the parent's thread, untouched.
std::optional<DuplicationSession> stop_and_join(std::optional<BackgroundCapture>& running);

struct Stopped {};
using WaitOutcome = std::variant<LatestFrame, Stopped, Failure>;

// Takes the frame waiting in the slot if it is newer than `seq` (0: any frame).
std::optional<LatestFrame> take_newer(CaptureShared& shared, std::uint64_t seq);

// Takes the next published frame, waiting up to `timeout_ns` (none: without limit).
// Call without the interpreter lock. A failed thread gives a Described failure with its
// exception's text, every time it is asked.
WaitOutcome wait_for_frame(CaptureShared& shared, std::optional<std::uint64_t> timeout_ns);

// The failure text of a thread that ended on a failure, if it did ("AccessLost: DXGI ...").
// Call without the interpreter lock: it is taken to build the exception and read its text.
std::optional<std::string> thread_failure_text(CaptureShared& shared);

// Stops and joins every capture thread still running, with the interpreter lock released.
// The module registers it to run before the interpreter finalises, so no capture thread
// outlives the interpreter it reports to.
void stop_all_capture_threads();

// The seq of the frame waiting in the slot, or 0.
std::uint64_t waiting_seq(CaptureShared& shared);

}  // namespace vistrel
