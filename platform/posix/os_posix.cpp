// os services on non-Windows systems: POSIX primitives, with the test hooks consulted
// for the calls that a test can make fail.
#ifdef _WIN32
// mingw's pthreads accept only CLOCK_REALTIME in clock_nanosleep: every timer wait here
// would fail at once. Windows builds use os_win32.cpp.
#error "os_posix.cpp is not for Windows builds"
#endif

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "platform/os.h"
#include "platform/posix/kernel_handles.h"
#include "platform/test_hooks.h"
#include "platform/thread_body.h"

namespace vistrel::os {
namespace {

timespec to_timespec(const Instant& t) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(t.seconds);
    ts.tv_nsec = static_cast<long>(t.nanos);
    return ts;
}

Instant add_ns(Instant t, std::uint64_t ns) {
    std::uint64_t total = t.nanos + ns % 1000000000u;
    t.seconds += ns / 1000000000u + total / 1000000000u;
    t.nanos = static_cast<std::uint32_t>(total % 1000000000u);
    return t;
}

// Counts the object among the live objects a test machine watches.
class LiveObject {
public:
    LiveObject() { test_hooks::live_object(+1); }
    LiveObject(const LiveObject&) = delete;
    LiveObject& operator=(const LiveObject&) = delete;
    ~LiveObject() { test_hooks::live_object(-1); }
};

class PosixEvent final : public AutoResetEvent {
public:
    void set() override {
        // Notified under the lock: a waiter that sees the signal may destroy the event at
        // once, and must not do so while this call still uses the condition variable.
        std::lock_guard lock(mutex_);
        signalled_ = true;
        changed_.notify_one();
    }
    void wait(std::uint32_t milliseconds) override {
        std::unique_lock lock(mutex_);
        if (milliseconds == kInfinite) {
            changed_.wait(lock, [this] { return signalled_; });
        } else {
            changed_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return signalled_; });
        }
        signalled_ = false;  // auto-reset: one wait consumes the signal
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool signalled_ = false;
    LiveObject counted_;
};

// Sleeps to an absolute deadline on the monotonic clock, so that time spent between
// arming and waiting is not added to the wait.
class PosixTimer final : public HighResTimer {
public:
    bool arm(std::int64_t due_100ns) override {
        if (test_hooks::os_call_fails("SetWaitableTimer")) return false;
        deadline_ = add_ns(now(), static_cast<std::uint64_t>(-due_100ns) * 100u);
        armed_ = true;
        return true;
    }
    void wait() override {
        if (!armed_) return;
        timespec target = to_timespec(deadline_);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &target, nullptr) == EINTR) {
        }
        armed_ = false;
    }

private:
    Instant deadline_;
    bool armed_ = false;
    LiveObject counted_;
};

class PosixThread final : public Thread {
public:
    explicit PosixThread(std::function<void()> body) : shared_(std::make_shared<ThreadBody>()) {
        shared_->body = std::move(body);
    }
    ~PosixThread() override {
        if (started_ && !joined_) pthread_detach(handle_);
    }

    bool launch() {
        pthread_attr_t attributes;
        if (pthread_attr_init(&attributes) != 0) return false;
        pthread_attr_setstacksize(&attributes, 2u << 20);
        void* argument = thread_argument(shared_);
        started_ = pthread_create(&handle_, &attributes, &PosixThread::run, argument) == 0;
        pthread_attr_destroy(&attributes);
        if (!started_) drop_thread_argument(argument);
        return started_;
    }

    bool join() override {
        if (started_ && !joined_) {
            pthread_join(handle_, nullptr);
            joined_ = true;
        }
        return shared_->completed;
    }

private:
    static void* run(void* argument) {
        run_thread_body(argument);
        return nullptr;
    }

    std::shared_ptr<ThreadBody> shared_;
    pthread_t handle_{};
    bool started_ = false;
    bool joined_ = false;
    LiveObject counted_;
};

}  // namespace

HANDLE duplicate_handle(HANDLE source, std::uint32_t& error) {
    unsigned code = 0;
    void* copy = provider::duplicate_handle(source, code);
    error = code;
    return copy;
}

void close_handle(HANDLE handle) { provider::close_handle(handle); }

Instant now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return {static_cast<std::uint64_t>(ts.tv_sec), static_cast<std::uint32_t>(ts.tv_nsec)};
}

void sleep_for_ns(std::uint64_t nanoseconds) { std::this_thread::sleep_for(std::chrono::nanoseconds(nanoseconds)); }

std::unique_ptr<AutoResetEvent> AutoResetEvent::create() {
    if (test_hooks::os_call_fails("CreateEventW")) return nullptr;
    return std::make_unique<PosixEvent>();
}

std::unique_ptr<HighResTimer> HighResTimer::create() {
    if (test_hooks::os_call_fails("CreateWaitableTimerExW")) return nullptr;
    return std::make_unique<PosixTimer>();
}

std::unique_ptr<Thread> Thread::start(std::function<void()> body) {
    if (test_hooks::os_call_fails("CreateThread")) return nullptr;
    auto thread = std::make_unique<PosixThread>(std::move(body));
    if (!thread->launch()) return nullptr;
    return thread;
}

void discard_last_error() {}

std::uint32_t current_process_id() { return static_cast<std::uint32_t>(getpid()); }

bool set_process_dpi_awareness() { return !test_hooks::os_call_fails("SetProcessDpiAwarenessContext"); }

// Nothing here scales coordinates for a thread.
ThreadDpiAwareness::ThreadDpiAwareness() = default;
ThreadDpiAwareness::~ThreadDpiAwareness() = default;

namespace detail {

// The system's texts for the codes this module meets, as FormatMessageW gives them.
std::string system_text_for(HRESULT code) {
    struct Entry {
        std::uint32_t code;
        const char* text;
    };
    static constexpr Entry kTexts[] = {
        {0x00000000u, "The operation completed successfully.\r\n"},
        {0x80004001u, "Not implemented\r\n"},
        {0x80004002u, "No such interface supported\r\n"},
        {0x80004003u, "Invalid pointer\r\n"},
        {0x80004005u, "Unspecified error\r\n"},
        {0x8000FFFFu, "Catastrophic failure\r\n"},
        {0x80070005u, "Access is denied.\r\n"},
        {0x80070006u, "The handle is invalid.\r\n"},
        {0x8007000Eu, "Not enough memory resources are available to complete this operation.\r\n"},
        {0x80070057u, "The parameter is incorrect.\r\n"},
        {0x887A0001u,
         "The application made a call that is invalid. Either the parameters of the call or the "
         "state of some object was incorrect.\r\nEnable the D3D debug layer in order to see "
         "details via debug messages.\r\n"},
        {0x887A0002u,
         "Object not found. If calling IDXGIFactory::EnumAdaptes, there is no adapter with the "
         "specified ordinal.\r\n"},
        {0x887A0003u, "The caller did not supply a sufficiently large buffer.\r\n"},
        {0x887A0004u, "The specified device interface or feature level is not supported on this system.\r\n"},
        {0x887A0005u,
         "The GPU device instance has been suspended. Use GetDeviceRemovedReason to determine the "
         "appropriate action.\r\n"},
        {0x887A0006u,
         "The GPU will not respond to more commands, most likely because of an invalid command "
         "passed by the calling application.\r\n"},
        {0x887A0007u,
         "The GPU will not respond to more commands, most likely because some other application "
         "submitted invalid commands.\r\nThe calling application should re-create the device and "
         "continue.\r\n"},
        {0x887A000Au,
         "The GPU was busy at the moment when the call was made, and the call was neither executed "
         "nor scheduled.\r\n"},
        {0x887A0022u, "The requested functionality is not supported by the device or the driver.\r\n"},
        {0x887A0026u,
         "The desktop duplication interface is invalid. The desktop duplication interface typically "
         "becomes invalid when a different type of image is displayed on the desktop.\r\n"},
        {0x887A0027u, "The time-out interval elapsed before the next desktop frame was available.\r\n"},
        {0x887A0028u, "The Remote Desktop Services session is currently disconnected.\r\n"},
        {0x887A002Bu,
         "You tried to use a resource to which you did not have the required access privileges. "
         "This error is most typically caused when you write to a shared resource with read-only "
         "access.\r\n"},
    };
    for (const Entry& e : kTexts) {
        if (e.code == static_cast<std::uint32_t>(code)) {
            std::string text = e.text;
            strip_trailing_space(text);
            return text;
        }
    }
    return {};
}

}  // namespace detail
}  // namespace vistrel::os
