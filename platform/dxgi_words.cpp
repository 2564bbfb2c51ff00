// DXGI's words, for Windows and the simulated machine: exactly the texts programs written
// against the Windows product match on.
#include <cstdio>

#include "platform/os.h"
#include "platform/words.h"

namespace vistrel::words {

std::string failed_call(std::uint32_t code, IErrorInfo* error_info) {
    char prefix[24];
    std::snprintf(prefix, sizeof prefix, "DXGI 0x%08X: ", static_cast<unsigned>(code));
    return prefix + os::system_message_text(static_cast<HRESULT>(code), error_info);
}

std::string explained_call(std::uint32_t code, const std::string& explanation) {
    char prefix[24];
    std::snprintf(prefix, sizeof prefix, "DXGI 0x%08X: ", static_cast<unsigned>(code));
    return prefix + explanation;
}

std::string output_out_of_range(std::uint32_t index, std::uint32_t code, const std::function<std::uint32_t()>&) {
    char hex[12];
    std::snprintf(hex, sizeof hex, "%08X", static_cast<unsigned>(code));
    return "output index " + std::to_string(index) + " out of range (HRESULT 0x" + hex + ")";
}

std::optional<std::string> frames_timeout(std::uint32_t) { return std::nullopt; }

std::string sent_to_other_thread(const char* class_path, const std::string&) {
    return std::string(class_path) + " is unsendable, but sent to another thread";
}

}  // namespace vistrel::words
