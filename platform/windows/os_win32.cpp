// os services on Windows: kernel32 and user32.
// Always against the SDK, even in a build whose other sources use the shim (the
// simulated machine built for Windows): only plain types cross this file's interface.
#undef VISTREL_SHIM

#include <atomic>
#include <optional>
#include <string>

#include "platform/os.h"
#include "platform/thread_body.h"
#include "platform/utf16.h"

// Not in mingw-w64's headers; the value is the documented one.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace vistrel::os {
namespace {

// Closes a kernel handle when destroyed; a failing CloseHandle is ignored.
class OwnedHandle {
public:
    explicit OwnedHandle(HANDLE handle) : handle_(handle) {}
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    ~OwnedHandle() {
        if (handle_) (void)CloseHandle(handle_);
    }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

class Win32Event final : public AutoResetEvent {
public:
    explicit Win32Event(HANDLE handle) : handle_(handle) {}
    void set() override { (void)SetEvent(handle_.get()); }
    void wait(std::uint32_t milliseconds) override { (void)WaitForSingleObject(handle_.get(), milliseconds); }

private:
    OwnedHandle handle_;
};

class Win32Timer final : public HighResTimer {
public:
    explicit Win32Timer(HANDLE handle) : handle_(handle) {}
    bool arm(std::int64_t due_100ns) override {
        LARGE_INTEGER due;
        due.QuadPart = due_100ns;
        return SetWaitableTimer(handle_.get(), &due, 0, nullptr, nullptr, FALSE) != 0;
    }
    void wait() override { (void)WaitForSingleObject(handle_.get(), INFINITE); }

private:
    OwnedHandle handle_;
};

class Win32Thread final : public Thread {
public:
    Win32Thread(HANDLE handle, std::shared_ptr<ThreadBody> shared) : handle_(handle), shared_(std::move(shared)) {}
    bool join() override {
        (void)WaitForSingleObject(handle_.get(), INFINITE);
        return shared_->completed;
    }

    static DWORD WINAPI run(LPVOID argument) {
        run_thread_body(argument);
        return 0;
    }

private:
    OwnedHandle handle_;  // closing it detaches a thread that was not joined
    std::shared_ptr<ThreadBody> shared_;
};

// The DPI calls newer than the oldest Windows the module loads on: looked up by name, never
// imported, or the module would not load where they are missing.
using SetProcessDpiAwarenessContextFn = BOOL(WINAPI*)(DPI_AWARENESS_CONTEXT);
using SetThreadDpiAwarenessContextFn = DPI_AWARENESS_CONTEXT(WINAPI*)(DPI_AWARENESS_CONTEXT);
using SetProcessDpiAwarenessFn = HRESULT(WINAPI*)(int);
using SetProcessDPIAwareFn = BOOL(WINAPI*)();
constexpr int kProcessPerMonitorDpiAware = 2;  // PROCESS_PER_MONITOR_DPI_AWARE

// GetProcAddress gives a generic pointer; the caller names the real type.
template <class Fn>
Fn function_of(HMODULE module, const char* name) {
    if (!module) return nullptr;
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// user32 stays loaded: the module imports it.
template <class Fn>
Fn user32_function(const char* name) {
    return function_of<Fn>(GetModuleHandleW(L"user32.dll"), name);
}

// A system DLL loaded from System32 only (never from the current directory), freed when
// destroyed.
class SystemLibrary {
public:
    explicit SystemLibrary(const wchar_t* name)
        : module_(LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {}
    SystemLibrary(const SystemLibrary&) = delete;
    SystemLibrary& operator=(const SystemLibrary&) = delete;
    ~SystemLibrary() {
        if (module_) FreeLibrary(module_);
    }
    template <class Fn>
    Fn function(const char* name) const {
        return function_of<Fn>(module_, name);
    }

private:
    HMODULE module_;
};

// Per-monitor awareness as Windows 8.1 offers it; nullopt where shcore lacks the call.
std::optional<bool> set_per_monitor_through_shcore() {
    SystemLibrary shcore(L"shcore.dll");
    auto set_awareness = shcore.function<SetProcessDpiAwarenessFn>("SetProcessDpiAwareness");
    if (!set_awareness) return std::nullopt;
    return SUCCEEDED(set_awareness(kProcessPerMonitorDpiAware));
}

// SetThreadDpiAwarenessContext, looked up once; null before Windows 10 1607.
SetThreadDpiAwarenessContextFn thread_dpi_switch() {
    static const auto function = user32_function<SetThreadDpiAwarenessContextFn>("SetThreadDpiAwarenessContext");
    return function;
}

// The performance counter's frequency, read once.
std::uint64_t counter_frequency() {
    static const std::uint64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<std::uint64_t>(f.QuadPart);
    }();
    return frequency;
}

}  // namespace

HANDLE duplicate_handle(HANDLE source, std::uint32_t& error) {
    HANDLE process = GetCurrentProcess();
    HANDLE copy = nullptr;
    if (!DuplicateHandle(process, source, process, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        error = GetLastError();
        return nullptr;
    }
    return copy;
}

void close_handle(HANDLE handle) { (void)CloseHandle(handle); }

Instant now() {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    const std::uint64_t ticks = static_cast<std::uint64_t>(counter.QuadPart);
    const std::uint64_t frequency = counter_frequency();
    return {ticks / frequency, static_cast<std::uint32_t>((ticks % frequency) * 1000000000u / frequency)};
}

// Sleep() counts whole milliseconds and the runtime's sleep_for truncates to them, so a
// wait could end before its time; sleep rounded-up milliseconds until the clock says so.
void sleep_for_ns(std::uint64_t nanoseconds) {
    const Instant start = now();
    const std::uint64_t deadline_ns = start.nanos + nanoseconds;
    const Instant deadline{start.seconds + deadline_ns / 1000000000u,
                           static_cast<std::uint32_t>(deadline_ns % 1000000000u)};
    for (Instant t = now(); t < deadline; t = now()) {
        const std::uint64_t left = (deadline.seconds - t.seconds) * 1000000000u + deadline.nanos - t.nanos;
        const std::uint64_t ms = (left + 999999u) / 1000000u;
        Sleep(ms >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(ms));
    }
}

std::unique_ptr<AutoResetEvent> AutoResetEvent::create() {
    HANDLE handle = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!handle) return nullptr;
    return std::make_unique<Win32Event>(handle);
}

std::unique_ptr<HighResTimer> HighResTimer::create() {
    HANDLE handle = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    if (!handle) return nullptr;
    return std::make_unique<Win32Timer>(handle);
}

std::unique_ptr<Thread> Thread::start(std::function<void()> body) {
    auto shared = std::make_shared<ThreadBody>();
    shared->body = std::move(body);
    void* argument = thread_argument(shared);
    HANDLE handle =
        CreateThread(nullptr, 2u << 20, &Win32Thread::run, argument, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (!handle) {
        drop_thread_argument(argument);
        return nullptr;
    }
    return std::make_unique<Win32Thread>(handle, std::move(shared));
}

void discard_last_error() { (void)GetLastError(); }

std::uint32_t current_process_id() { return GetCurrentProcessId(); }

bool set_process_dpi_awareness() {
    bool done = false;
    if (auto set_context = user32_function<SetProcessDpiAwarenessContextFn>("SetProcessDpiAwarenessContext"))
        done = set_context(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2) != FALSE;
    else if (std::optional<bool> through_shcore = set_per_monitor_through_shcore())
        done = *through_shcore;
    else if (auto set_aware = user32_function<SetProcessDPIAwareFn>("SetProcessDPIAware"))
        done = set_aware() != FALSE;
    // Typically the host fixed its awareness already; that is not our error to report.
    if (!done) (void)GetLastError();
    return done;
}

ThreadDpiAwareness::ThreadDpiAwareness() {
    auto set_thread_context = thread_dpi_switch();
    if (!set_thread_context) return;
    previous_ = set_thread_context(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    // v2 came a release after the thread switch (and Wine lacks it): plain per-monitor
    // awareness gives the same physical sizes and positions.
    if (!previous_) previous_ = set_thread_context(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE);
}

ThreadDpiAwareness::~ThreadDpiAwareness() {
    if (previous_) (void)thread_dpi_switch()(static_cast<DPI_AWARENESS_CONTEXT>(previous_));
}

namespace detail {

std::string system_text_for(HRESULT code) {
    DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    DWORD id = static_cast<DWORD>(code);
    HMODULE ntdll = nullptr;
    constexpr DWORD kNtFacilityBit = 0x10000000;
    if (id & kNtFacilityBit) {
        // NTSTATUS texts live in ntdll's message table, not the system's.
        ntdll = LoadLibraryExW(L"ntdll.dll", nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
        if (ntdll) flags |= FORMAT_MESSAGE_FROM_HMODULE;
        id &= ~kNtFacilityBit;
    }
    LPWSTR buffer = nullptr;
    DWORD length = FormatMessageW(flags, ntdll, id, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    std::u16string text;
    if (length != 0 && buffer) text.assign(reinterpret_cast<const char16_t*>(buffer), length);
    if (buffer) LocalFree(buffer);
    if (ntdll) FreeLibrary(ntdll);
    strip_trailing_space(text);
    return utf16_to_utf8_lossy(text);
}

}  // namespace detail
}  // namespace vistrel::os
