#include "LauncherCommandLine.h"
#include "TestSupport.h"

using Action = LauncherCommandLine::Action;

TEST(LauncherCommandLine, OwnSwitchesAreReadFromMsiexecsTokens) {
    const struct {
        const wchar_t* args;
        Action action;
        bool dialogs;
        const wchar_t* log;  // null: no log named
        const wchar_t* folder;
    } cases[] = {
        {L"", Action::Install, true, nullptr, L""},
        {L"uninstall", Action::Uninstall, true, nullptr, L""},
        {L"/qn uninstall", Action::Uninstall, false, nullptr, L""},
        {L"\"uninstall\" P=1", Action::Uninstall, true, nullptr, L""},
        {L"un\"install\"", Action::Uninstall, true, nullptr, L""},
        {L"UNINSTALL Uninstall uninstall! \"uninstall \" /uninstall", Action::Install, true, nullptr, L""},
        {L"P=\"x uninstall y\" Q=\"a \"\" uninstall\"", Action::Install, true, nullptr, L""},
        {L"/l*v uninstall", Action::Install, true, L"uninstall", L""},
        {L"/QN", Action::Install, false, nullptr, L""},
        {L"-passive", Action::Install, false, nullptr, L""},
        {L"/quiet", Action::Install, false, nullptr, L""},
        {L"/q", Action::Install, false, nullptr, L""},
        {L"/qB-", Action::Install, false, nullptr, L""},
        {L"/qb!", Action::Install, false, nullptr, L""},
        {L"/qb", Action::Install, false, nullptr, L""},
        {L"/qb+", Action::Install, true, nullptr, L""},
        {L"/qn+", Action::Install, true, nullptr, L""},
        {L"/qr", Action::Install, true, nullptr, L""},
        {L"/qn /qf", Action::Install, true, nullptr, L""},
        {L"/qf -qn", Action::Install, false, nullptr, L""},
        {L"P=/qn \"/qn \" /qnx qn", Action::Install, true, nullptr, L""},
        {L"/L*V \"C:\\a b\\x.log\" /qn", Action::Install, false, L"C:\\a b\\x.log", L""},
        {L"-log x.log", Action::Install, true, L"x.log", L""},
        {L"/l", Action::Install, true, L"", L""},
        {L"/extract \"C:\\My Pkgs\\\" /qn", Action::Extract, false, nullptr, L"C:\\My Pkgs\\"},
        {L"-EXTRACT uninstall", Action::Extract, true, nullptr, L"uninstall"},
    };
    for (const auto& c : cases) {
        const LauncherCommandLine line(tstring(L"\"C:\\dl\\setup.exe\" ") + c.args);
        const std::string context = tstrings::encodeUtf8(c.args);
        EXPECT_EQ(static_cast<int>(c.action), static_cast<int>(line.action(L"setup.exe"))) << context;
        EXPECT_EQ(c.dialogs, line.allowsDialogs()) << context;
        EXPECT_EQ(c.log != nullptr, line.namesLog()) << context;
        EXPECT_EQ(c.log ? tstring(c.log) : tstring(), line.namedLog()) << context;
        EXPECT_EQ(tstring(c.folder), line.extractFolder()) << context;
        EXPECT_EQ(tstring(c.args), line.installerArguments()) << context;
    }
}

TEST(LauncherCommandLine, ExtractWithoutItsFolderIsAUsageError) {
    const std::pair<const wchar_t*, const char*> cases[] = {
        {L"/extract", "/extract needs the folder to write the package to"},
        {L"/qn /extract \"\"", "/extract needs the folder to write the package to"},
        {L"/extract a -extract b", "/extract is given more than once"},
        {L"uninstall /extract a", "/extract and uninstall cannot be used together"},
    };
    for (const auto& [args, problem] : cases) {
        const LauncherCommandLine line(tstring(L"setup.exe ") + args);
        EXPECT_EQ(std::string(problem) + ". Usage: Setup \xc3\xa4.exe /extract <folder>",
                  thrownPlainMessage([&] { line.action(L"Setup \u00e4.exe"); }, "LauncherCommandLine::action"))
            << tstrings::encodeUtf8(args);
    }
}
