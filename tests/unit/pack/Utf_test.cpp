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

TEST(Utf, PrintableEscapesWhatATerminalWouldNotShowAsItself) {
    const struct {
        std::string text;
        std::string shown;
    } cases[] = {
        {"plain Ääni 日本 😀 \\ /", "plain Ääni 日本 😀 \\ /"},
        {"tab\there", "tab\\there"},
        {"\x1b]0;title\x07", "\\x1b]0;title\\x07"},
        {std::string("nul\0", 4), "nul\\x00"},
        {"line\nend\r", "line\\x0aend\\x0d"},
        {"del\x7f", "del\\x7f"},
        {"c1 \u0080\u009b\u009f", "c1 \\u0080\\u009b\\u009f"},
        {"\u00a0\u00a1 kept", "\u00a0\u00a1 kept"},              // no-break space and ¡ are shown as they are
        {"soft\u00adhyphen", "soft\\u00adhyphen"},
        {"Safe\u202Eexe.jpg", "Safe\\u202eexe.jpg"},                // right-to-left override
        {"\u202A\u202B\u202C\u202D", "\\u202a\\u202b\\u202c\\u202d"}, // embeddings, pop, left-to-right override
        {"\u2066\u2067\u2068\u2069", "\\u2066\\u2067\\u2068\\u2069"}, // isolates
        {"\u061C\u200E\u200F", "\\u061c\\u200e\\u200f"},             // marks
        {"zero\u200B\u200C\u200Dwidth\u2060", "zero\\u200b\\u200c\\u200dwidth\\u2060"},
        {"\uFEFFbom", "\\ufeffbom"},
        {"\u2028\u2029", "\\u2028\\u2029"},
        {"\u200A\u2010\u202F\u2070", "\u200A\u2010\u202F\u2070"}, // their neighbours are ordinary
        {"tag\U000E0041\U000E007F", "tag\\U000e0041\\U000e007f"},
        {"\U000E0080", "\U000E0080"},
        // Each byte of malformed UTF-8, so that the name can still be told apart.
        {"bad\xff", "bad\\xff"},
        {"cut\xE2\x82", "cut\\xe2\\x82"},
        {"\xC0\xAF", "\\xc0\\xaf"},
        {"\xED\xA0\x80x", "\\xed\\xa0\\x80x"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.shown, printable(c.text)) << c.shown;
    }
}
