// Parsing of `fmt` and `region`, and region validation, with their exact messages.
#include <gtest/gtest.h>

#include "src/convert/pixel_format.h"
#include "src/convert/region.h"
#include "src/py/region_arg.h"
#include "tests/cpp/python_env.h"

namespace vistrel {
namespace {

std::string format_error(std::string_view text) {
    auto result = parse_pixel_format(text);
    EXPECT_FALSE(result.ok()) << text;
    if (result.ok()) return {};
    EXPECT_EQ(result.failure().kind(), Failure::Kind::BadValue);
    return result.failure().text();
}

std::string unknown(const std::string& quoted) {
    return "unknown fmt \"" + quoted + "\", expected one of bgra/bgr/rgba/rgb/gray";
}

TEST(PixelFormatParsing, AcceptsNamesInAnyAsciiCase) {
    struct Case {
        const char* text;
        PixelFormat format;
    };
    for (Case c : {Case{"bgra", PixelFormat::Bgra}, Case{"BGRA", PixelFormat::Bgra}, Case{"Bgr", PixelFormat::Bgr},
                   Case{"RGBA", PixelFormat::Rgba}, Case{"Rgb", PixelFormat::Rgb}, Case{"GRAY", PixelFormat::Gray},
                   Case{"Grey", PixelFormat::Gray}, Case{"gReY", PixelFormat::Gray}}) {
        auto result = parse_pixel_format(c.text);
        ASSERT_TRUE(result.ok()) << c.text;
        EXPECT_EQ(result.value(), c.format) << c.text;
    }
    EXPECT_EQ(channel_count(PixelFormat::Bgra), 4u);
    EXPECT_EQ(channel_count(PixelFormat::Bgr), 3u);
    EXPECT_EQ(channel_count(PixelFormat::Rgba), 4u);
    EXPECT_EQ(channel_count(PixelFormat::Rgb), 3u);
    EXPECT_EQ(channel_count(PixelFormat::Gray), 1u);
}

TEST(PixelFormatParsing, RejectsWithTheTextQuotedAndEscaped) {
    EXPECT_EQ(format_error("xyz"), unknown("xyz"));
    EXPECT_EQ(format_error(""), unknown(""));
    EXPECT_EQ(format_error("bgra "), unknown("bgra "));
    EXPECT_EQ(format_error(" bgr"), unknown(" bgr"));
    EXPECT_EQ(format_error("b g r"), unknown("b g r"));
    EXPECT_EQ(format_error("XYZ"), unknown("XYZ"));  // quoted unfolded
    EXPECT_EQ(format_error("a\"b\\c"), unknown("a\\\"b\\\\c"));
    EXPECT_EQ(format_error(std::string_view("t\tr\rn\nz\0", 8)), unknown("t\\tr\\rn\\nz\\0"));
    EXPECT_EQ(format_error("\x01\x7f"), unknown("\\u{1}\\u{7f}"));
    // Printable non-ASCII stays as it is; invisible ones are escaped.
    EXPECT_EQ(format_error("gr\xc3\xa4y \xe6\x97\xa5"), unknown("gr\xc3\xa4y \xe6\x97\xa5"));
    EXPECT_EQ(format_error("a\xc2\xa0"
                           "b\xe2\x80\x8b"),
              unknown("a\\u{a0}b\\u{200b}"));
    EXPECT_EQ(format_error("\xc2\x85"), unknown("\\u{85}"));
    // Only ASCII letters fold: a Kelvin sign is not a k, a dotted capital I not an i.
    EXPECT_EQ(format_error("bgr\xe2\x84\xaa"), unknown("bgr\xe2\x84\xaa"));
}

std::string region_error(RegionArg arg, std::uint32_t width = 1920, std::uint32_t height = 1080) {
    auto result = validate_region(arg, width, height);
    EXPECT_FALSE(result.ok());
    return result.ok() ? std::string() : result.failure().text();
}

TEST(RegionValidation, AcceptsRectanglesInsideTheImage) {
    auto whole = validate_region({0, 0, 1920, 1080}, 1920, 1080);
    ASSERT_TRUE(whole.ok());
    EXPECT_EQ(whole.value(), Region::whole(1920, 1080));
    auto pixel = validate_region({3, 4, 4, 5}, 1920, 1080);
    ASSERT_TRUE(pixel.ok());
    EXPECT_EQ(pixel.value().width(), 1u);
    EXPECT_EQ(pixel.value().height(), 1u);
    auto corner = validate_region({1919, 1079, 1920, 1080}, 1920, 1080);
    EXPECT_TRUE(corner.ok());
}

TEST(RegionValidation, MessagesInTheirOrder) {
    EXPECT_EQ(region_error({-1, 0, 100, 100}), "region bounds must be >= 0, got (-1, 0, 100, 100)");
    // The sign comes first even when the region is also out of order.
    EXPECT_EQ(region_error({-1, 0, 10, 10}), "region bounds must be >= 0, got (-1, 0, 10, 10)");
    EXPECT_EQ(region_error({5, 5, -9223372036854775807 - 1, 0}),
              "region bounds must be >= 0, got (5, 5, -9223372036854775808, 0)");
    EXPECT_EQ(region_error({10, 10, 10, 20}), "region must be non-empty (left<right, top<bottom), got (10,10,10,20)");
    EXPECT_EQ(region_error({0, 0, 0, 0}), "region must be non-empty (left<right, top<bottom), got (0,0,0,0)");
    EXPECT_EQ(region_error({5, 0, 4, 10}), "region must be non-empty (left<right, top<bottom), got (5,0,4,10)");
    EXPECT_EQ(region_error({0, 0, 1921, 1080}), "region (0,0,1921,1080) exceeds output bounds (1920x1080)");
    EXPECT_EQ(region_error({0, 0, 1920, 1081}), "region (0,0,1920,1081) exceeds output bounds (1920x1080)");
    // Compared on 64 bits: no wrap-around into range.
    EXPECT_EQ(region_error({0, 0, 4294967306, 100}), "region (0,0,4294967306,100) exceeds output bounds (1920x1080)");
    EXPECT_EQ(region_error({4294967296, 0, 4294967297, 1}),
              "region (4294967296,0,4294967297,1) exceeds output bounds (1920x1080)");
}

// Parses `expression` evaluated in Python as the region argument.
struct Parsed {
    bool ok = false;
    std::optional<RegionArg> arg;
    test::RaisedError error;
};

Parsed parse(const std::string& expression) {
    Parsed parsed;
    py::Ref ns = test::run_python(
        "class Idx:\n"
        "    def __init__(self, v): self.v = v\n"
        "    def __index__(self): return self.v\n"
        "class Bad:\n"
        "    def __index__(self): raise ValueError('bad index')\n"
        "class T(tuple): pass\n"
        "value = " +
        expression + "\n");
    EXPECT_TRUE(ns) << expression;
    if (!ns) return parsed;
    parsed.ok = py::parse_region_arg(PyDict_GetItemString(ns.get(), "value"), parsed.arg);
    if (!parsed.ok) parsed.error = test::take_raised();
    return parsed;
}

TEST(RegionArgument, ConvertsTuplesOfIntegers) {
    Parsed none = parse("None");
    EXPECT_TRUE(none.ok);
    EXPECT_FALSE(none.arg);
    Parsed plain = parse("(1, 2, 3, 4)");
    ASSERT_TRUE(plain.ok && plain.arg);
    EXPECT_EQ(plain.arg->left, 1);
    EXPECT_EQ(plain.arg->bottom, 4);
    Parsed mixed = parse("T((True, Idx(-5), 2**63 - 1, -2**63))");
    ASSERT_TRUE(mixed.ok && mixed.arg);
    EXPECT_EQ(mixed.arg->left, 1);
    EXPECT_EQ(mixed.arg->top, -5);
    EXPECT_EQ(mixed.arg->right, INT64_MAX);
    EXPECT_EQ(mixed.arg->bottom, INT64_MIN);
}

TEST(RegionArgument, ErrorsInTheBindingLayersWords) {
    Parsed list = parse("[0, 0, 10, 10]");
    EXPECT_EQ(list.error.type_name, "TypeError");
    EXPECT_EQ(list.error.message, "argument 'region': 'list' object is not an instance of 'tuple'");
    EXPECT_EQ(parse("'abcd'").error.message, "argument 'region': 'str' object is not an instance of 'tuple'");

    Parsed three = parse("(0, 0, 10)");
    EXPECT_EQ(three.error.type_name, "ValueError");
    EXPECT_EQ(three.error.message, "expected tuple of length 4, but got tuple of length 3");
    EXPECT_EQ(parse("()").error.message, "expected tuple of length 4, but got tuple of length 0");

    Parsed float_item = parse("(0, 0, 10.0, 10)");
    EXPECT_EQ(float_item.error.type_name, "TypeError");
    EXPECT_EQ(float_item.error.message, "argument 'region': 'float' object cannot be interpreted as an integer");

    Parsed huge = parse("(0, 0, 2**70, 10)");
    EXPECT_EQ(huge.error.type_name, "OverflowError");
    EXPECT_EQ(huge.error.message.rfind("argument", 0), std::string::npos) << huge.error.message;

    // The first failing item decides; errors other than TypeError pass unchanged.
    EXPECT_EQ(parse("(0, 'a', 2**70, 10)").error.type_name, "TypeError");
    Parsed bad = parse("(0, Bad(), 1, 2)");
    EXPECT_EQ(bad.error.type_name, "ValueError");
    EXPECT_EQ(bad.error.message, "bad index");
}

}  // namespace
}  // namespace vistrel
