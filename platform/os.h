// Operating-system services the module needs beside DXGI, behind one small surface:
// os_win32.cpp implements it with kernel32/user32/oleaut32, os_posix.cpp for the
// simulated machine and other non-Windows providers.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/com_ptr.h"

namespace vistrel::os {

// --- kernel handles ---

// Owns a kernel handle (an NT handle of a shared texture) and closes it when destroyed;
// a failing close is ignored.
class KernelHandle {
public:
    KernelHandle() = default;
    explicit KernelHandle(HANDLE handle) : handle_(handle) {}
    KernelHandle(KernelHandle&& other) noexcept : handle_(other.release()) {}
    KernelHandle& operator=(KernelHandle&& other) noexcept;
    KernelHandle(const KernelHandle&) = delete;
    KernelHandle& operator=(const KernelHandle&) = delete;
    ~KernelHandle() { reset(); }

    HANDLE get() const { return handle_; }
    HANDLE release() {
        HANDLE h = handle_;
        handle_ = nullptr;
        return h;
    }
    void reset();
    explicit operator bool() const { return handle_ != nullptr; }

private:
    HANDLE handle_ = nullptr;
};

// DuplicateHandle into this process with the same access. On failure: null, and `error`
// holds GetLastError's code.
HANDLE duplicate_handle(HANDLE source, std::uint32_t& error);
// CloseHandle, its failure ignored.
void close_handle(HANDLE handle);

// --- time ---

// A reading of the monotonic clock: whole seconds plus nanoseconds.
struct Instant {
    std::uint64_t seconds = 0;
    std::uint32_t nanos = 0;  // below 1e9

    friend auto operator<=>(const Instant&, const Instant&) = default;
};

Instant now();

// The ordinary sleep, for when no high-resolution timer could be had.
void sleep_for_ns(std::uint64_t nanoseconds);

// --- waitable objects; each owns its handle and closes it when destroyed ---

constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

// An auto-reset event: set() wakes one wait (or the next one); unnamed, initially unset.
class AutoResetEvent {
public:
    // Null when the system cannot create one.
    static std::unique_ptr<AutoResetEvent> create();
    virtual ~AutoResetEvent() = default;
    virtual void set() = 0;  // a failure is ignored
    // Waits up to `milliseconds` (kInfinite: without limit); the result is not reported.
    virtual void wait(std::uint32_t milliseconds) = 0;
};

// A high-resolution waitable timer, armed once per wait with a relative due time.
class HighResTimer {
public:
    // Null when the system cannot create one.
    static std::unique_ptr<HighResTimer> create();
    virtual ~HighResTimer() = default;
    // Arms the timer `due_100ns` (a negative count of 100-ns units) from now; false if arming failed.
    virtual bool arm(std::int64_t due_100ns) = 0;
    // Waits until the armed time.
    virtual void wait() = 0;
};

// A thread with a 2 MiB stack. Its body runs inside a catch-all: join() tells whether it
// ran to its end or was cut short by an exception.
class Thread {
public:
    // Null when the system cannot create a thread.
    static std::unique_ptr<Thread> start(std::function<void()> body);
    virtual ~Thread() = default;  // a thread not joined is detached
    // Waits for the end; false if the body ended by an exception.
    virtual bool join() = 0;
};

// The thread's COM error information, taken (and so cleared) right after a failed call.
ComPtr<IErrorInfo> take_error_info();

// The text for a failed call: the error information's description when it has one,
// otherwise the system's text for `code`; trailing whitespace stripped, UTF-8; empty
// when nothing knows the code.
std::string system_message_text(HRESULT code, IErrorInfo* error_info);

// This process's id: a value that differs in a fork's child, whose copy of another
// thread's state has no thread behind it.
std::uint32_t current_process_id();

// Fetches and drops the thread's last system error (after a failed user32 call whose
// failure is ignored).
void discard_last_error();

// Asks for per-monitor DPI awareness for the whole process, through the newest call the
// system has (v2 contexts, then shcore's per-monitor awareness, then system awareness), all
// found at run time so that the module loads on systems without them. False when the
// process had already fixed its awareness.
bool set_process_dpi_awareness();

// While it lives, the calling thread is per-monitor (v2) DPI aware, where the system can
// switch a thread's awareness; its end gives the thread back its previous awareness. A host
// that fixed the process's awareness first would otherwise get virtualised sizes and
// coordinates that no longer match the captured images. Stays on the thread that made it.
class ThreadDpiAwareness {
public:
    ThreadDpiAwareness();
    ~ThreadDpiAwareness();
    ThreadDpiAwareness(const ThreadDpiAwareness&) = delete;
    ThreadDpiAwareness& operator=(const ThreadDpiAwareness&) = delete;

private:
    // The thread's context before; null when nothing was switched (never, off Windows).
    [[maybe_unused]] void* previous_ = nullptr;
};

namespace detail {
// The system's own text for a code (FormatMessageW on Windows, a table elsewhere),
// already stripped and converted.
std::string system_text_for(HRESULT code);
// Trailing tab, line feed, vertical tab, form feed, carriage return and space removed.
template <class Str>
void strip_trailing_space(Str& text) {
    while (!text.empty()) {
        auto c = text.back();
        if (c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r' || c == ' ')
            text.pop_back();
        else
            break;
    }
}
}  // namespace detail

}  // namespace vistrel::os
