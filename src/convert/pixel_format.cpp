#include "src/convert/pixel_format.h"

#include <cstdio>
#include <string>

namespace vistrel {
namespace {

// Decodes one UTF-8 sequence at text[i]; invalid bytes come back as themselves.
char32_t next_code_point(std::string_view text, std::size_t& i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    if (extra == 0 || i + extra >= text.size()) {
        ++i;
        return lead;
    }
    char32_t cp = lead & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) cp = (cp << 6) | (byte(i + k) & 0x3F);
    i += extra + 1;
    return cp;
}

// Whether a character is shown as itself inside the quotes. Escaped are controls,
// format characters, separators other than the space, surrogates, private use and
// noncharacters; unassigned code points are shown as they are (no tables here).
bool printable(char32_t cp) {
    struct Range {
        char32_t first, last;
    };
    static constexpr Range kEscaped[] = {
        {0x00, 0x1F},       {0x7F, 0xA0},        {0xAD, 0xAD},       {0x600, 0x605},     {0x61C, 0x61C},
        {0x6DD, 0x6DD},     {0x70F, 0x70F},      {0x890, 0x891},     {0x8E2, 0x8E2},     {0x1680, 0x1680},
        {0x180E, 0x180E},   {0x2000, 0x200F},    {0x2028, 0x202F},   {0x205F, 0x2064},   {0x2066, 0x206F},
        {0x3000, 0x3000},   {0xD800, 0xF8FF},    {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD},
        {0x110CD, 0x110CD}, {0x13430, 0x1343F},  {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
        {0xE0020, 0xE007F}, {0xF0000, 0x10FFFF},
    };
    if ((cp & 0xFFFE) == 0xFFFE || (cp >= 0xFDD0 && cp <= 0xFDEF)) return false;  // noncharacters
    for (const Range& r : kEscaped)
        if (cp >= r.first && cp <= r.last) return false;
    return true;
}

// The text as it appears inside the double quotes of the error message.
std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        std::size_t start = i;
        char32_t cp = next_code_point(text, i);
        switch (cp) {
            case '\\':
                out += "\\\\";
                continue;
            case '"':
                out += "\\\"";
                continue;
            case '\t':
                out += "\\t";
                continue;
            case '\r':
                out += "\\r";
                continue;
            case '\n':
                out += "\\n";
                continue;
            case 0:
                out += "\\0";
                continue;
            default:
                break;
        }
        if (printable(cp)) {
            out.append(text.substr(start, i - start));
        } else {
            char escaped[16];
            std::snprintf(escaped, sizeof escaped, "\\u{%x}", static_cast<unsigned>(cp));
            out += escaped;
        }
    }
    return out + "\"";
}

}  // namespace

Result<PixelFormat> parse_pixel_format(std::string_view text) {
    std::string folded(text);
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 0x20);
    if (folded == "bgra") return PixelFormat::Bgra;
    if (folded == "bgr") return PixelFormat::Bgr;
    if (folded == "rgba") return PixelFormat::Rgba;
    if (folded == "rgb") return PixelFormat::Rgb;
    if (folded == "gray" || folded == "grey") return PixelFormat::Gray;
    return Failure::bad_value("unknown fmt " + quoted(text) + ", expected one of bgra/bgr/rgba/rgb/gray");
}

}  // namespace vistrel
