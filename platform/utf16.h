// UTF-16 to UTF-8, for the wide strings of descriptions and error texts.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/dxgi.h"

namespace vistrel {

// Fails (nullopt) on an unpaired surrogate.
std::optional<std::string> utf16_to_utf8_strict(std::u16string_view text);
// Replaces every unpaired surrogate with U+FFFD.
std::string utf16_to_utf8_lossy(std::u16string_view text);

// A fixed WCHAR array read up to its first NUL, or whole when it has none.
template <std::size_t N>
std::u16string_view wide_field(const WCHAR (&field)[N]) {
    const auto* units = reinterpret_cast<const char16_t*>(field);
    std::size_t length = 0;
    while (length < N && units[length] != 0) ++length;
    return {units, length};
}

}  // namespace vistrel
