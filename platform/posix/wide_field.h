// Names of the display servers' objects into the fixed WCHAR fields of DXGI descriptions.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/dxgi.h"

namespace vistrel::posix {

template <std::size_t N>
void copy_wide(WCHAR (&field)[N], const std::string& text) {
    std::memset(field, 0, sizeof field);
    // Names and vendors are ASCII in practice; anything else is replaced, not mangled.
    for (std::size_t i = 0; i < std::min(N - 1, text.size()); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        field[i] = c < 0x80 ? static_cast<WCHAR>(c) : u'?';
    }
}

}  // namespace vistrel::posix
