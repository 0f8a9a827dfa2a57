#include <gtest/gtest.h>

#include "Utf.h"

using namespace pack;

TEST(Utf, RoundTripsEveryLengthOfSequence) {
    const std::string text = "A\u00e9\u20ac\U0001F600\u65e5\U0010FFFF\u0000z";
    const std::u16string units = u"A\u00e9\u20ac\U0001F600\u65e5\U0010FFFF\u0000z";
    EXPECT_EQ(units, toUtf16(std::string_view(text.data(), text.size())));
    EXPECT_EQ(text, toUtf8(units));
    EXPECT_EQ(u"", toUtf16(""));
    EXPECT_EQ("", toUtf8(u""));
}

TEST(Utf, EachMalformedPartOfUtf8BecomesOneReplacement) {
    const struct {
        const char* bytes;
        std::u16string expected;
    } cases[] = {
        {"a\x80z", u"a\uFFFDz"},                // a stray continuation byte
        {"a\xC3", u"a\uFFFD"},                  // cut short at the end
        {"\xE2\x82z", u"\uFFFDz"},              // cut short before another character
        {"\xC0\xAF", u"\uFFFD\uFFFD"},          // overlong forms never start a sequence
        {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
        {"\xF0\x8F\xBF\xBF", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"}, // an encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"}, // past U+10FFFF
        {"\xF5\xFF", u"\uFFFD\uFFFD"},
        {"\xF0\x9F\x98", u"\uFFFD"},            // a four-byte sequence missing its last byte
        {"\xEF\xBF\xBF\xF4\x8F\xBF\xBF", u"\uFFFF\U0010FFFF"}, // the largest of each length are valid
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, toUtf16(c.bytes)) << c.bytes;
    }
}

TEST(Utf, UnpairedSurrogatesBecomeReplacements) {
    const struct {
        std::u16string units;
        std::string expected;
    } cases[] = {
        {std::u16string(1, u'\xD800'), "\uFFFD"},
        {std::u16string{u'a', u'\xDC00', u'b'}, "a\uFFFDb"},
        {std::u16string{u'\xD83D', u'\xD83D', u'\xDE00'}, "\uFFFD\U0001F600"},
        {std::u16string{u'\xDE00', u'\xD83D'}, "\uFFFD\uFFFD"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, toUtf8(c.units)) << c.units.size();
    }
}
