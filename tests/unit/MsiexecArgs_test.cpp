#include "MsiexecArgs.h"
#include "TestSupport.h"

using msi::encodeMsiexecArg;

TEST(MsiexecArgs, PropertyValuesAreQuotedWholeWithQuotesDoubled) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"/qn", L"/qn"},
        {L"INSTALLDIR=C:\\dir\\\\", L"INSTALLDIR=C:\\dir\\\\"},
        {L"GREETING={\"url\": \"https://x\"}", L"GREETING=\"{\"\"url\"\": \"\"https://x\"\"}\""},
        {L"NOTE=x\" /x {OTHER} \"y", L"NOTE=\"x\"\" /x {OTHER} \"\"y\""},
        {L"TAG=\"", L"TAG=\"\"\"\""},
        {L"EMPTY=", L"EMPTY=\"\""},
        {L"_a.1=C:\\My App\\", L"_a.1=\"C:\\My App\\\""},
        {L"P=a\\\"b", L"P=\"a\\\"\"b\""},
        {L"P=tab\there", L"P=\"tab\there\""},
        {L"P=line\r\nbreak", L"P=\"line\r\nbreak\""},
        {L"P=ideographic\u3000space", L"P=\"ideographic\u3000space\""},
        {L"P=a=b c", L"P=\"a=b c\""},
        {L"", L"\"\""},
        {L"C:\\log dir\\install.log", L"\"C:\\log dir\\install.log\""},
        {L"=a b", L"\"=a b\""},
        {L"1P=a b", L"\"1P=a b\""},
        {L"A B=x y", L"\"A B=x y\""},
    };
    for (const auto& [arg, encoded] : cases) {
        EXPECT_EQ(tstrings::encodeUtf8(encoded), tstrings::encodeUtf8(encodeMsiexecArg(arg)))
            << tstrings::encodeUtf8(arg);
    }
}

TEST(MsiexecArgs, QuoteOutsideAPropertyValueIsRefusedByName) {
    for (const wchar_t* arg : {L"\"", L"say \"hi\"", L"/l*v C:\\a\"b.log", L"A B=\"x\"", L"=\"x\""}) {
        EXPECT_EQ("The argument [" + tstrings::encodeUtf8(arg) +
                      "] cannot reach msiexec.exe unchanged: only a property value (NAME=value) may hold a "
                      "double quote",
                  thrownPlainMessage([&] { encodeMsiexecArg(arg); }, "msi::encodeMsiexecArg"));
    }
}
