#include "platform/utf16.h"

#include <cstdint>

namespace vistrel {
namespace {

void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Decodes `text`, calling on_unpaired() for each lone surrogate; stops early when it returns false.
template <class OnUnpaired>
bool decode(std::u16string_view text, std::string& out, OnUnpaired on_unpaired) {
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            if (!on_unpaired(out)) return false;
        } else {
            append_utf8(out, unit);
        }
    }
    return true;
}

}  // namespace

std::optional<std::string> utf16_to_utf8_strict(std::u16string_view text) {
    std::string out;
    if (!decode(text, out, [](std::string&) { return false; })) return std::nullopt;
    return out;
}

std::string utf16_to_utf8_lossy(std::u16string_view text) {
    std::string out;
    decode(text, out, [](std::string& o) {
        append_utf8(o, 0xFFFD);
        return true;
    });
    return out;
}

}  // namespace vistrel
