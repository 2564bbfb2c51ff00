// The words failures are reported in, chosen by the provider: Windows, and the simulated
// machine that stands in for it, keep DXGI's; a provider over another system speaks that
// system's, so a Linux user never reads a DXGI code for an X11 fault.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/com_ptr.h"

namespace vistrel::words {

// The message of a failed platform call: its code and the error information left with it.
std::string failed_call(std::uint32_t code, IErrorInfo* error_info);

// The message of a failed call whose cause the caller knows better than the code's own
// text (a second capture of an output, say): `explanation` in place of that text.
std::string explained_call(std::uint32_t code, const std::string& explanation);

// An output index past the last output of its device. `code` is what EnumOutputs
// returned; `count_outputs` is called only by words that say how many there are.
std::string output_out_of_range(std::uint32_t index, std::uint32_t code,
                                const std::function<std::uint32_t()>& count_outputs);

// The frames() iterator's first frame did not come within `timeout_ms`; nothing when
// the plain deadline message stands.
std::optional<std::string> frames_timeout(std::uint32_t timeout_ms);

// An object used on a thread other than its creator's: "<class_path> is unsendable, but
// sent to another thread", followed by `detail` (which object, which threads) where the
// words include it.
std::string sent_to_other_thread(const char* class_path, const std::string& detail);

}  // namespace vistrel::words
