#include <cerrno>

#include "ErrorHandling.h"
#include "ImportHook.h"
#include "TestSupport.h"
#include "WinErrorHandling.h"

TEST(JoinMessages, SeparatorDependsOnTheEndOfTheFirstPhrase) {
    const struct {
        const char* first;
        const char* second;
        const char* expected;
    } cases[] = {
        {"Really?", "Yes", "Really? Yes"},
        {"Done  \t", "next", "Done. next"},
        {"Failed:", "  why  ", "Failed: why"},
        {"Phrase  ", "", "Phrase"},
        {"Phrase.", " \n", "Phrase."},
        {"", "  second ", "second"},
        {"  ", "x", "x"},
        {" lead", "x", " lead. x"},
        {"J\xc3\xbc", "x", "J\xc3\xbc. x"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, joinMessages(c.first, c.second)) << c.first << "|" << c.second;
    }
}

TEST(TervoError, LocatedAndPlainMessages) {
    try {
        throw TervoError<std::runtime_error>(std::runtime_error("it broke"), SourceLocation("C:\\src\\unit.cpp", "ns::f", 70));
    } catch (const TervoErrorBase& e) {
        EXPECT_STREQ("it broke", e.plainMessage());
        EXPECT_STREQ("unit.cpp(70) at ns::f(): it broke", dynamic_cast<const std::runtime_error&>(e).what());
    }
    const int line = __LINE__ + 2;
    try {
        throw TervoError<std::runtime_error>(std::runtime_error("here"));
    } catch (const std::runtime_error& e) {
        const std::string expected = "ErrorHandling_test.cpp(" + std::to_string(line) +
                                     ") at TervoError_LocatedAndPlainMessages_Test::TestBody(): here";
        EXPECT_EQ(expected, e.what());
    }
}

TEST(SysError, NullAddressAndLabel) {
    const SysError error(tstrings::MessageBuilder() << "Op(x) failed", nullptr, ERROR_FILE_NOT_FOUND, nullptr);
    const std::string expected = "Op(x) failed. Some error [2](system error 2 (" +
                                 tstrings::encodeUtf8(systemMessageDescription(ERROR_FILE_NOT_FOUND)) + "))";
    EXPECT_EQ(expected, error.what());
}

TEST(SysError, FunctionOfASystemModule) {
    const SysError error(tstrings::MessageBuilder() << "LoadLibraryW(" << L"C:\\x\u00fc.dll" << ") failed",
                         LoadLibraryW, ERROR_MOD_NOT_FOUND);
    const std::string expected = "LoadLibraryW(C:\\x\xc3\xbc.dll) failed. System error [126](system error 126 (" +
                                 tstrings::encodeUtf8(systemMessageDescription(ERROR_MOD_NOT_FOUND)) + "))";
    EXPECT_EQ(expected, error.what());
}

TEST(SysError, AddressOutsideEveryModuleLeavesOneWarning) {
    CapturingAppender capture;
    ScopedAppender scope(&capture);
    int onTheStack = 0;
    const SysError error(tstrings::MessageBuilder() << "Op failed", static_cast<const void*>(&onTheStack), 5);
    EXPECT_EQ("Op failed. System error [5]", std::string(error.what()));
    const auto warnings = capture.messages(Severity::WARNING);
    ASSERT_EQ(1u, warnings.size());
    EXPECT_EQ(0u, warnings[0].find(L"GetModuleHandleEx() failed for "));
    EXPECT_TRUE(tstrings::hasSuffix(warnings[0], L" address.")) << warnings[0];
    EXPECT_EQ(1u, capture.records.size());
}

TEST(SystemMessageDescription, CleansTrailingPunctuationAndHasAFallback) {
    EXPECT_EQ(L"No description available", systemMessageDescription(0x3fffffff));
    const tstring text = systemMessageDescription(ERROR_ACCESS_DENIED);
    ASSERT_FALSE(text.empty());
    EXPECT_NE(L'.', text.back());
    EXPECT_EQ(tstring::npos, text.find_first_of(L"\r\n"));
    EXPECT_EQ(L"system error 5 (" + text + L")", systemErrorText(ERROR_ACCESS_DENIED));
    EXPECT_EQ(L"system error 1073741823 (No description available)", systemErrorText(0x3fffffff));
}

TEST(SystemMessageDescription, ModuleWithoutTheCodeFallsBackToTheSystemTable) {
    EXPECT_EQ(systemMessageDescription(ERROR_ACCESS_DENIED),
              systemMessageDescription(ERROR_ACCESS_DENIED, GetModuleHandleW(nullptr)));
}

TEST(ComErrorText, Win32FacilityIsDescribedByItsLowWord) {
    EXPECT_EQ(L"COM error 0x80070005 (" + systemMessageDescription(5) + L")", comErrorText(E_ACCESSDENIED));
    EXPECT_EQ(L"COM error 0x80004005 (" + systemMessageDescription(static_cast<DWORD>(E_FAIL)) + L")",
              comErrorText(E_FAIL));
}

TEST(LastCrtErrorText, DescribesErrno) {
    errno = ENOENT;
    EXPECT_EQ("No such file or directory", lastCrtErrorText());
}

TEST(Reporting, RecordsCarryTheCatchSiteAndDecodedText) {
    CapturingAppender capture;
    ScopedAppender scope(&capture);
    const SourceLocation site("C:\\src\\catcher.cpp", "ns::catcher", 12);
    reportException(site, std::runtime_error("path C:\\J\xc3\xbcrgen\\\xe6\x97\xa5 missing"));
    reportUnknownException(site);
    ASSERT_EQ(2u, capture.records.size());
    const LogRecord& first = capture.records[0];
    EXPECT_EQ(L"ERROR", first.levelName);
    EXPECT_EQ(L"catcher.cpp", first.fileName);
    EXPECT_EQ(12, first.line);
    EXPECT_EQ(L"ns::catcher", first.functionName);
    EXPECT_EQ(L"Exception with message 'path C:\\J\u00fcrgen\\\u65e5 missing' caught", first.message);
    EXPECT_EQ(L"Unknown exception caught", capture.records[1].message);
}

TEST(Reporting, RunReportingSortsByExceptionKind) {
    CapturingAppender capture;
    ScopedAppender scope(&capture);
    EXPECT_TRUE(runReporting([] {}));
    EXPECT_FALSE(runReporting([] { throw TervoError<std::runtime_error>(std::runtime_error("boom")); }));
    EXPECT_FALSE(runReporting([] { throw std::logic_error("not runtime"); }));
    EXPECT_FALSE(runReporting([] { throw 7; }));
    const auto errors = capture.messages(Severity::ERROR);
    ASSERT_EQ(3u, errors.size());
    EXPECT_NE(tstring::npos, errors[0].find(L"boom"));
    EXPECT_EQ(L"Unknown exception caught", errors[1]);
    EXPECT_EQ(L"Unknown exception caught", errors[2]);
    EXPECT_EQ(L"Reporting_RunReportingSortsByExceptionKind_Test::TestBody", capture.records[0].functionName);
}

TEST(DebugBreak, ABoxWhenTheVariableIsStarOrHoldsTheTag) {
    std::vector<tstring> boxes;
    const IMPORT_HOOK(MessageBoxW) box([&](auto, HWND owner, LPCWSTR text, LPCWSTR caption, UINT style) {
        boxes.push_back((tstrings::MessageBuilder() << (owner ? "owner " : "") << caption << "|" << style << "|" << text).str());
        return IDOK;
    });
    const SourceLocation site("C:\\src\\unit.cpp", "ns::f", 9);
    const tstring text = L"ErrorHandling_test.exe|8192|unit.cpp(9) at ns::f(): debug break. Reason: environment "
                         L"variable TERVO_TEST_BREAK is set.";
    const struct {
        const wchar_t *value, *tag;
        bool shown;
    } cases[] = {
        {nullptr, L"install", false}, {nullptr, L"", false},      {L"*", L"install", true},
        {L"a,install,b", L"install", true}, {L"install", L"install", true}, {L"INSTALL", L"install", false},
        {L"instal", L"install", false},     {L"**", L"install", false},
    };
    for (const auto& c : cases) {
        boxes.clear();
        SetEnvironmentVariableW(L"TERVO_TEST_BREAK", c.value);
        breakIfEnvVariableSet(site, L"TERVO_TEST_BREAK", c.tag);
        EXPECT_EQ(c.shown ? std::vector<tstring>{text} : std::vector<tstring>{}, boxes)
            << (c.value ? tstrings::encodeUtf8(c.value) : "unset") << "|" << tstrings::encodeUtf8(c.tag);
    }
    SetEnvironmentVariableW(L"TERVO_TEST_BREAK", nullptr);
}
