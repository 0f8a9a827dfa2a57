#include "MsiexecArgs.h"
#include "TestSupport.h"

using msi::encodeMsiexecArg;
using msi::splitCommandLine;

namespace {

std::vector<tstring> values(const tstring& line) {
    std::vector<tstring> result;
    for (const msi::CommandLineToken& token : splitCommandLine(line)) {
        result.push_back(token.value);
    }
    return result;
}

std::string show(const std::vector<tstring>& tokens) {
    std::string text;
    for (const tstring& token : tokens) {
        text += "[" + tstrings::encodeUtf8(token) + "]";
    }
    return text;
}

} // namespace

TEST(MsiexecArgs, SplitsByMsiexecsRulesNotTheRuntimes) {
    const struct {
        const wchar_t* line;
        std::vector<tstring> tokens;
    } cases[] = {
        {L"INSTALLDIR=\"C:\\Program Files\\App\\\" /qn /l*v C:\\log.txt",
         {L"INSTALLDIR=C:\\Program Files\\App\\", L"/qn", L"/l*v", L"C:\\log.txt"}},
        {L"ECHOPATH=\"say \"\"hi\"\" there\" TAG=x /qn", {L"ECHOPATH=say \"hi\" there", L"TAG=x", L"/qn"}},
        {L"SHARE=\"\\\\server\\share\\\" /qn", {L"SHARE=\\\\server\\share\\", L"/qn"}},
        {L"a\"b c\"d e", {L"ab cd", L"e"}},
        {L"\"A B=x y\"", {L"A B=x y"}},
        {L"NAME=\"\" \"\" x", {L"NAME=", L"", L"x"}},
        {L"P=\"open quote  ", {L"P=open quote  "}},
        {L"\t/qn\t\tP=1 ", {L"/qn", L"P=1"}},
        {L"a\"\"b \"\"\"\"", {L"ab", L"\""}},
        {L"P=x\" Q=\"a\"\"", {L"P=x Q=a"}},
        {L"P=\"a\"\"", {L"P=a\""}},
        {L"P=\"", {L"P="}},
        {L"V=\"\"\" /x {6F3D2B1A-5C4E-4D7B-9A8F-1E2D3C4B5A69} \"\"\"",
         {L"V=\" /x {6F3D2B1A-5C4E-4D7B-9A8F-1E2D3C4B5A69} \""}},
        {L"W=\"J\u00fcrgen \u65e5\u672c\"\u3000x", {L"W=J\u00fcrgen \u65e5\u672c\u3000x"}},
        {L"", {}},
        {L" \t ", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(show(c.tokens), show(values(c.line))) << tstrings::encodeUtf8(c.line);
        // The tokens' texts joined by single blanks read back as the same values.
        tstring joined;
        for (const msi::CommandLineToken& token : splitCommandLine(c.line)) {
            joined += (joined.empty() ? L"" : L" ") + token.text;
        }
        EXPECT_EQ(show(c.tokens), show(values(joined))) << tstrings::encodeUtf8(c.line);
        // Closed where it ends inside quotes, so that a token can follow without changing a value.
        std::vector<tstring> followed = c.tokens;
        followed.push_back(L"/next");
        EXPECT_EQ(show(followed), show(values(msi::closeOpenQuote(c.line) + L" /next"))) << tstrings::encodeUtf8(c.line);
    }
}

TEST(MsiexecArgs, TailSkipsTheProgramNameByWindowsRule) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"setup.exe /qn", L"/qn"},
        {L"\"C:\\My Apps\\setup.exe\" \t P=\"a b\" ", L"P=\"a b\" "},
        {L"\"C:\\dir\\\"/qn", L"/qn"},
        {L"C:\\a\\\"b c\" d", L"c\" d"},
        {L"\"unterminated name", L""},
        {L"setup.exe", L""},
        {L"", L""},
    };
    for (const auto& [line, tail] : cases) {
        EXPECT_EQ(tstrings::encodeUtf8(tail), tstrings::encodeUtf8(msi::commandLineTail(line)))
            << tstrings::encodeUtf8(line);
    }
}

TEST(MsiexecArgs, EncodedArgumentsReadBackUnchanged) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"/qn", L"/qn"},
        {L"INSTALLDIR=C:\\dir\\\\", L"INSTALLDIR=C:\\dir\\\\"},
        {L"NOTE=x\" /x {OTHER} \"y", L"NOTE=\"x\"\" /x {OTHER} \"\"y\""},
        {L"EMPTY=", L"EMPTY=\"\""},
        {L"_a.1=C:\\My App\\", L"_a.1=\"C:\\My App\\\""},
        {L"P=line\r\nbreak", L"P=\"line\r\nbreak\""},
        {L"P=ideographic\u3000space", L"P=\"ideographic\u3000space\""},
        {L"", L"\"\""},
        {L"C:\\log dir\\install.log", L"\"C:\\log dir\\install.log\""},
        {L"say \"hi\"", L"\"say \"\"hi\"\"\""},
        {L"A B=\"x\"", L"\"A B=\"\"x\"\"\""},
        {L"\"", L"\"\"\"\""},
    };
    for (const auto& [arg, encoded] : cases) {
        EXPECT_EQ(tstrings::encodeUtf8(encoded), tstrings::encodeUtf8(encodeMsiexecArg(arg))) << tstrings::encodeUtf8(arg);
        EXPECT_EQ(show({arg}), show(values(encodeMsiexecArg(arg)))) << tstrings::encodeUtf8(arg);
    }
}

TEST(MsiexecArgs, RemovedTokensLeaveTheRestAsTyped) {
    const struct {
        const wchar_t* line;
        std::vector<size_t> removed;
        const wchar_t* rest;
    } cases[] = {
        {L"/x", {0}, L""},
        {L"/x  /qn", {0}, L"/qn"},
        {L"/qn\t/x", {1}, L"/qn"},
        {L"A=\"a  b\"  /x\t B=1 ", {1}, L"A=\"a  b\"  B=1 "},
        {L"/qn /x /x", {1, 2}, L"/qn"},
        {L"/x /qn /x P=\"open ", {0, 2}, L"/qn P=\"open "},
        {L"a b c", {}, L"a b c"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(tstrings::encodeUtf8(c.rest),
                  tstrings::encodeUtf8(msi::removeTokens(c.line, splitCommandLine(c.line), c.removed)))
            << tstrings::encodeUtf8(c.line);
    }
}
