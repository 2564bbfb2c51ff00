// X11's words: the provider's own description of what X reported, without DXGI codes (the
// exception's `hresult` attribute still carries the code for programs that branch on it).
#include "platform/words.h"

#include <cstdio>

#include "platform/os.h"

namespace vistrel::words {
namespace {

// What the codes mean when the provider or the core returned them without a description.
std::string code_text(std::uint32_t code) {
    switch (static_cast<HRESULT>(code)) {
        case S_OK:
            return "a call of the X11 provider returned nothing";
        case DXGI_ERROR_ACCESS_LOST:
            return "the monitor changed (mode, layout or position) or is gone";
        case DXGI_ERROR_WAIT_TIMEOUT:
            return "no desktop change within the time-out";
        case DXGI_ERROR_DEVICE_REMOVED:
        case DXGI_ERROR_DEVICE_RESET:
            return "lost the connection to the X display";
        case DXGI_ERROR_UNSUPPORTED:
            return "not supported by the X11 provider";
        case E_OUTOFMEMORY:
            return "out of memory";
        default:
            break;
    }
    char text[48];
    std::snprintf(text, sizeof text, "X11 provider failure 0x%08X", static_cast<unsigned>(code));
    return text;
}

}  // namespace

std::string failed_call(std::uint32_t code, IErrorInfo* error_info) {
    if (error_info) {
        std::string text = os::system_message_text(static_cast<HRESULT>(code), error_info);
        if (!text.empty()) return text;
    }
    return code_text(code);
}

std::string explained_call(std::uint32_t, const std::string& explanation) { return explanation; }

std::string output_out_of_range(std::uint32_t index, std::uint32_t, const std::function<std::uint32_t()>& count) {
    const std::uint32_t outputs = count();
    if (outputs == 0) return "output index " + std::to_string(index) + " out of range: the X screen has no monitor";
    return "output index " + std::to_string(index) + " out of range: the X screen has " + std::to_string(outputs) +
           (outputs == 1 ? " monitor (output 0)" : " monitors (outputs 0 to " + std::to_string(outputs - 1) + ")");
}

std::optional<std::string> frames_timeout(std::uint32_t timeout_ms) {
    return "no desktop change within " + std::to_string(timeout_ms) + " ms; start from screenshot()";
}

std::string sent_to_other_thread(const char* class_path, const std::string& detail) {
    return std::string(class_path) + " is unsendable, but sent to another thread: " + detail;
}

}  // namespace vistrel::words
