// Operating-system services the module needs beside DXGI, behind one small surface:
// os_win32.cpp implements it with kernel32/user32/oleaut32, os_posix.cpp for the
// simulated machine and other non-Windows providers.
#pragma once

#include <string>

#include "platform/com_ptr.h"

namespace vistrel::os {

// The thread's COM error information, taken (and so cleared) right after a failed call.
ComPtr<IErrorInfo> take_error_info();

// The text for a failed call: the error information's description when it has one,
// otherwise the system's text for `code`; trailing whitespace stripped, UTF-8; empty
// when nothing knows the code.
std::string system_message_text(HRESULT code, IErrorInfo* error_info);

// Fetches and drops the thread's last system error (after a failed user32 call whose
// failure is ignored).
void discard_last_error();

// Asks for per-monitor (v2) DPI awareness; false when the process had already fixed it.
bool set_process_dpi_awareness();

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
