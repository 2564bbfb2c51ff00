#include "platform/utf16.h"

#include <gtest/gtest.h>

namespace vistrel {
namespace {

TEST(Utf16, StrictRejectsUnpairedSurrogates) {
    EXPECT_EQ(utf16_to_utf8_strict(u"A\u00e9\u20ac\U0001F600"), "A\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
    std::u16string lone_high = u"x";
    lone_high.push_back(static_cast<char16_t>(0xD83D));
    EXPECT_FALSE(utf16_to_utf8_strict(lone_high));
    std::u16string lone_low(1, static_cast<char16_t>(0xDE00));
    EXPECT_FALSE(utf16_to_utf8_strict(lone_low));
}

TEST(Utf16, LossyReplacesEachUnpairedSurrogate) {
    std::u16string text = u"a";
    text.push_back(static_cast<char16_t>(0xDE00));
    text.push_back(static_cast<char16_t>(0xD800));
    text += u"b";
    EXPECT_EQ(utf16_to_utf8_lossy(text),
              "a\xef\xbf\xbd\xef\xbf\xbd"
              "b");
}

TEST(Utf16, FieldStopsAtNulOrTakesAll) {
    WCHAR name[4] = {'a', 'b', 0, 'c'};
    EXPECT_EQ(utf16_to_utf8_lossy(wide_field(name)), "ab");
    WCHAR full[4] = {'w', 'x', 'y', 'z'};
    EXPECT_EQ(utf16_to_utf8_lossy(wide_field(full)), "wxyz");
}

}  // namespace
}  // namespace vistrel
