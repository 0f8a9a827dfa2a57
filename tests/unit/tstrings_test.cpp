#include <cstdint>
#include <cwchar>
#include <sstream>
#include <stdexcept>

#include "ErrorHandling.h"
#include "ImportHook.h"
#include "TestSupport.h"
#include "tstrings.h"

using namespace tstrings;

TEST(Conversions, RoundTripNonAsciiThroughUtf8) {
    const tstring text = L"C:\\tmp\\J\u00fcrgen \u03a9mega\\\u65e5\u672c";
    const std::string utf8 = encodeUtf8(text);
    EXPECT_EQ("C:\\tmp\\J\xc3\xbcrgen \xce\xa9mega\\\xe6\x97\xa5\xe6\x9c\xac", utf8);
    EXPECT_EQ(text, decodeUtf8(utf8));
    EXPECT_EQ("plain", ansiToUtf8("plain"));
    EXPECT_EQ(L"plain", decodeAnsi(encodeAnsi(L"plain")));
}

TEST(Conversions, EmptyAndInvalidInputGiveEmptyText) {
    EXPECT_EQ("", encodeUtf8(L""));
    EXPECT_EQ(L"", decodeUtf8(""));
    EXPECT_EQ(L"", decodeUtf8("ab\xc3(cd"));  // truncated sequence
    EXPECT_EQ(L"", decodeUtf8("\xff\xfe"));   // bytes that never occur in UTF-8
}

// The system refuses the text (first call 0): empty, silently; it answers the second call with
// another count than the first: an error that names the call.
TEST(Conversions, RefusedTextIsEmptyAndAnUnexpectedReplyThrows) {
    const std::function<bool()> refused[] = {
        [] { const IMPORT_HOOK(WideCharToMultiByte) f(failing<int>(0, ERROR_NO_UNICODE_TRANSLATION)); return encodeUtf8(L"abc").empty(); },
        [] { const IMPORT_HOOK(MultiByteToWideChar) f(failing<int>(0, ERROR_NO_UNICODE_TRANSLATION)); return decodeAnsi("abc").empty(); },
    };
    for (const auto& isEmpty : refused) {
        EXPECT_TRUE(isEmpty());
    }
    const std::pair<std::function<void()>, const char*> unexpected[] = {
        {[] { const IMPORT_HOOK(WideCharToMultiByte) f(failing<int>(2, 0, 1, 1)); encodeAnsi(L"abc"); }, "WideCharToMultiByte"},
        {[] { const IMPORT_HOOK(MultiByteToWideChar) f(failing<int>(2, 0, 1, 1)); decodeUtf8("abc"); }, "MultiByteToWideChar"},
    };
    for (const auto& [call, function] : unexpected) {
        const std::string name = function;
        EXPECT_EQ("Unexpected reply from " + name + "()",
                  thrownPlainMessage(call, name == "WideCharToMultiByte" ? "tstrings::`anonymous-namespace'::toMultiByte"
                                                                         : "tstrings::`anonymous-namespace'::fromMultiByte"));
    }
}

TEST(FormatPrintf, GrowsInStepsUntilTheTextFits) {
    for (size_t length : {0u, 1u, 255u, 256u, 511u, 512u, 700u}) {
        const tstring expected(length, L'x');
        EXPECT_EQ(expected, formatPrintf(L"%s", expected.c_str())) << length;
    }
    EXPECT_EQ(L"0042 \u00e9t\u00e9 -7", formatPrintf(L"%04u %s %d", 42u, L"\u00e9t\u00e9", -7));
}

TEST(FormatPrintf, FormatTheRuntimeRefusesThrowsInsteadOfGrowing) {
    // Without a handler of its own the runtime may end the process instead of failing the call.
    const _invalid_parameter_handler previous =
        _set_invalid_parameter_handler([](const wchar_t*, const wchar_t*, const wchar_t*, unsigned, uintptr_t) {});
    const tstring longFormat = tstring(300, L'x') + L"%y";
    for (const tstring& format : {tstring(L"%y"), tstring(L"100%"), longFormat}) {
        EXPECT_EQ("_vsnwprintf_s(" + encodeUtf8(format) + ") failed. Invalid argument",
                  thrownPlainMessage([&] { formatPrintf(format.c_str()); }, "tstrings::formatPrintf"));
    }
    _set_invalid_parameter_handler(previous);
}

TEST(FormatPrintf, NullFormatThrowsInvalidArgument) {
    try {
        formatPrintf(nullptr);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ("Destination buffer can't be NULL", e.what());
    }
}

TEST(Comparison, IgnoreCaseFoldsAsciiLettersOnly) {
    EXPECT_TRUE(equal(L"Setup.EXE", L"setup.exe", IGNORE_CASE));
    EXPECT_FALSE(equal(L"Setup.EXE", L"setup.exe"));
    EXPECT_FALSE(equal(L"\u00c4", L"\u00e4", IGNORE_CASE));
    EXPECT_EQ(L"abc\u00c4\u03a9", lowercase(L"ABC\u00c4\u03a9"));
}

TEST(Comparison, PrefixAndSuffix) {
    EXPECT_TRUE(hasPrefix(L"uninstall", L"UNIN", IGNORE_CASE));
    EXPECT_FALSE(hasPrefix(L"uninstall", L"UNIN"));
    EXPECT_TRUE(hasSuffix(L"main.msi", L".MSI", IGNORE_CASE));
    EXPECT_FALSE(hasSuffix(L"si", L".msi"));
    EXPECT_TRUE(hasSuffix(L"abc", L""));
}

TEST(SplitBy, KeepsEmptyTokens) {
    const struct {
        const wchar_t* text;
        const wchar_t* delimiter;
        tstring_array expected;
    } cases[] = {
        {L"a**b", L"*", {L"a", L"", L"b"}},
        {L"a*", L"*", {L"a", L""}},
        {L"*a", L"*", {L"", L"a"}},
        {L"a=1**rest", L"**", {L"a=1", L"rest"}},
        {L"abc", L"", {}},
        {L"", L"*", {}},
        {L"abc", L"*", {L"abc"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, splitBy(c.text, c.delimiter)) << c.text;
    }
}

TEST(Trimmed, StripsTheGivenCharactersAtBothEnds) {
    EXPECT_EQ(L"", trimmed(L" \t \t", L" \t"));
    EXPECT_EQ(L"a \t b", trimmed(L"\t a \t b  ", L" \t"));
    EXPECT_EQ(L"\na\n", trimmed(L" \na\n ", L" \t"));
}

TEST(ReplaceAll, DoesNotRescanTheReplacement) {
    EXPECT_EQ(L"aaaaaa", replaceAll(L"aaa", L"a", L"aa"));
    EXPECT_EQ(L"say \"\"hi\"\"", replaceAll(L"say \"hi\"", L"\"", L"\"\""));
    EXPECT_EQ(L"abc", replaceAll(L"abc", L"", L"x"));
}

TEST(Printable, ControlsAndHiddenFormattingBecomeEscapes) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"A\tB\x1b" L"C", L"A\\tB\\x1bC"},
        {L"\r\n\x7f\x01", L"\\x0d\\x0a\\x7f\\x01"},
        {L"x\x9by\x85", L"x\\u009by\\u0085"},
        {L"Safe\x202e" L"gpj.exe", L"Safe\\u202egpj.exe"},
        {L"\x200b\x200f\x2066\x2069\x061c\xfeff", L"\\u200b\\u200f\\u2066\\u2069\\u061c\\ufeff"},
        {L"\x00ad\x2028\xdb40\xdc41 \xd83d\xde00", L"\\u00ad\\u2028\\U000e0041 \xd83d\xde00"},
        {L"J\u00fcrgen \u65e5\u672c \u00a0C:\\x", L"J\u00fcrgen \u65e5\u672c \u00a0C:\\x"},
    };
    for (const auto& [text, shown] : cases) {
        EXPECT_EQ(tstrings::encodeUtf8(shown), tstrings::encodeUtf8(tstrings::printable(text)));
    }
}

TEST(JoinWith, PutsTheDelimiterBetweenElementsOnly) {
    const tstring_array parts = {L"a", L"", L"c"};
    EXPECT_EQ(L"a  c", joinWith(parts.begin(), parts.end(), L" "));
    EXPECT_EQ(L"", joinWith(parts.begin(), parts.begin(), L" "));
}

TEST(MessageBuilder, InsertionsOfEachKind) {
    const wchar_t* none = nullptr;
    const std::string utf8 = "J\xc3\xbcrgen";
    MessageBuilder builder;
    builder << "n=" << 42 << " u=" << 4294967295u << " d=" << DWORD(1605) << " neg=" << -1 << " " << none << " "
            << utf8 << " " << tstring(L"\u03a9") << " " << true;
    EXPECT_EQ(L"n=42 u=4294967295 d=1605 neg=-1 NULL J\u00fcrgen \u03a9 1", builder.str());
    EXPECT_EQ("n=42 u=4294967295 d=1605 neg=-1 NULL J\xc3\xbcrgen \xce\xa9 1", builder.utf8());
}

TEST(MessageBuilder, CharacterPointerIsWidenedBytewise) {
    const char* bytes = "J\xc3\xbc";
    const tstring text = (MessageBuilder() << bytes).str();
    EXPECT_EQ(3u, text.size());
    EXPECT_EQ(L"J\u00fc", MessageBuilder(std::string(bytes)).str());
}

TEST(MessageBuilder, PointerAndStreamOutput) {
    int value = 0;
    wchar_t expected[32];
    swprintf(expected, 32, L"%016llX", static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(&value)));
    EXPECT_EQ(expected, (MessageBuilder() << static_cast<const void*>(&value)).str());
    EXPECT_EQ(L"0000000000000000", (MessageBuilder() << static_cast<const void*>(nullptr)).str());
    EXPECT_EQ(L"-922337203685477580818446744073709551615 x",
              (MessageBuilder() << INT64_MIN << UINT64_MAX << ' ' << L'x').str());

    std::ostringstream out;
    out << (MessageBuilder() << L"\u00fc");
    EXPECT_EQ("\xc3\xbc", out.str());
}
