// os services on Windows: kernel32, user32 and COM error information.
#include <string>

#include "platform/os.h"
#include "platform/utf16.h"

namespace vistrel::os {

ComPtr<IErrorInfo> take_error_info() {
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.put()) != S_OK) info.reset();
    return info;
}

void discard_last_error() { (void)GetLastError(); }

bool set_process_dpi_awareness() {
    if (SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2)) return true;
    // Typically the host fixed its awareness already; that is not our error to report.
    (void)GetLastError();
    return false;
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
