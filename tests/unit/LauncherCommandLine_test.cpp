#include "ErrorHandling.h"
#include "LauncherCommandLine.h"
#include "TestSupport.h"

using Action = LauncherCommandLine::Action;

namespace {

LauncherCommandLine lineOf(const tstring& args) { return LauncherCommandLine(L"\"C:\\dl\\setup.exe\" " + args); }

// The plain message of the refusal of `args`, or "" when the line is accepted.
std::string refusal(const tstring& args) {
    try {
        lineOf(args).action(L"setup.exe");
    } catch (const CommandLineError& e) {
        return dynamic_cast<const TervoErrorBase&>(e).plainMessage();
    } catch (const std::runtime_error&) {
    }
    return "";
}

} // namespace

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
        {L"UNINSTALL Uninstall uninstall! \"uninstall \"", Action::Install, true, nullptr, L""},
        {L"P=\"x uninstall y\" Q=\"a \"\" uninstall\"", Action::Install, true, nullptr, L""},
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
        {L"P=/qn qn", Action::Install, true, nullptr, L""},
        {L"/L*V \"C:\\a b\\x.log\" /qn", Action::Install, false, L"C:\\a b\\x.log", L""},
        {L"-log x.log", Action::Install, true, L"x.log", L""},
        {L"/l -x.log /lv+ y.log", Action::Install, true, L"y.log", L""},
        {L"/extract \"C:\\My Pkgs\\\" /qn", Action::Extract, false, nullptr, L"C:\\My Pkgs\\"},
        {L"-EXTRACT uninstall", Action::Extract, true, nullptr, L"uninstall"},
        {L"/qn /? /S", Action::Help, false, nullptr, L""},
        {L"-HELP", Action::Help, true, nullptr, L""},
        {L"/h", Action::Help, true, nullptr, L""},
    };
    for (const auto& c : cases) {
        const LauncherCommandLine line = lineOf(c.args);
        const std::string context = tstrings::encodeUtf8(c.args);
        EXPECT_EQ(static_cast<int>(c.action), static_cast<int>(line.action(L"setup.exe"))) << context;
        EXPECT_EQ(c.dialogs, line.allowsDialogs()) << context;
        EXPECT_EQ(c.log != nullptr, line.namesLog()) << context;
        EXPECT_EQ(c.log ? tstring(c.log) : tstring(), line.namedLog()) << context;
        EXPECT_EQ(tstring(c.folder), line.extractFolder()) << context;
        EXPECT_EQ(L"/i", line.verb()) << context;
        EXPECT_EQ(tstring(c.args), line.installerArguments()) << context;
    }
}

TEST(LauncherCommandLine, AVerbAnywhereBecomesMsiexecsAndLeavesTheRestAsTyped) {
    const struct {
        const wchar_t* args;
        Action action;
        const wchar_t* verb;
        const wchar_t* rest;
    } cases[] = {
        {L"/x", Action::Remove, L"/x", L""},
        {L"/qn  /X\tP=\"a b\"", Action::Remove, L"/x", L"/qn  P=\"a b\""},
        {L"-uninstall /quiet", Action::Remove, L"/x", L"/quiet"},
        {L"/qn /x /x", Action::Remove, L"/x", L"/qn"},
        {L"/fa /qn", Action::Repair, L"/fa", L"/qn"},
        {L"/qn -FVOMUS", Action::Repair, L"/fvomus", L"/qn"},
        {L"/f", Action::Repair, L"/f", L""},
        {L"/Repair /passive", Action::Repair, L"/fvomus", L"/passive"},
        {L"/a TARGETDIR=\\\\server\\share /qn", Action::Administer, L"/a", L"TARGETDIR=\\\\server\\share /qn"},
        {L"/qn /JU", Action::Advertise, L"/ju", L"/qn"},
        {L"/jm /t a.mst /g 1033", Action::Advertise, L"/jm", L"/t a.mst /g 1033"},
        {L"P=\"open /x", Action::Install, L"/i", L"P=\"open /x"},
    };
    for (const auto& c : cases) {
        const LauncherCommandLine line = lineOf(c.args);
        const std::string context = tstrings::encodeUtf8(c.args);
        EXPECT_EQ(static_cast<int>(c.action), static_cast<int>(line.action(L"setup.exe"))) << context;
        EXPECT_EQ(tstring(c.verb), line.verb()) << context;
        EXPECT_EQ(tstrings::encodeUtf8(c.rest), tstrings::encodeUtf8(line.installerArguments())) << context;
    }
}

TEST(LauncherCommandLine, LinesMsiexecWouldAnswerWithItsUsageDialogAreRefused) {
    const std::pair<const wchar_t*, const char*> cases[] = {
        {L"/x /fa", "/x and /fa cannot be used together: type one of them."},
        {L"/a /qn -X", "/a and -X cannot be used together: type one of them."},
        {L"/repair /fa", "/repair and /fa cannot be used together: type one of them."},
        {L"/x uninstall", "/x and uninstall cannot be used together: type one of them."},
        {L"/fa /extract C:\\p", "/fa and /extract cannot be used together: type one of them."},
        {L"/x {3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E11}",
         "/x {3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E11}: /x acts on the product this program carries and takes nothing "
         "after it: leave out {3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E11}."},
        {L"/fa \"C:\\o t.msi\" /qn",
         "/fa \"C:\\o t.msi\": /fa acts on the package this program carries and takes nothing after it: leave out "
         "\"C:\\o t.msi\"."},
        {L"/i app.msi", "/i is not needed: without a verb the package this program carries is installed. Leave out /i "
                        "and what names a package after it."},
        {L"-Package x", "-Package is not needed"},
        {L"/p fix.msp", "/p applies a patch, and this program carries a package, not a patch: apply patches with "
                        "msiexec /p <patch> instead."},
        {L"/update a.msp", "/update applies a patch"},
        {L"/y m.dll", "/y registers a module, and this program carries none: register modules with msiexec /y "
                      "<module> instead."},
        {L"-z", "-z registers a module"},
        {L"/S", "/S is not an option of msiexec.exe: for a silent run type /qn or /quiet instead."},
        {L"/qn -silent", "-silent is not an option of msiexec.exe: for a silent run type /qn or /quiet instead."},
        {L"/VERYSILENT", "/VERYSILENT is not an option of msiexec.exe: for a silent run type /qn or /quiet"},
        {L"/v\"/qn\"", "/v\"/qn\" is not an option of msiexec.exe: type msiexec's options as they are, such as /qn."},
        {L"/install /quiet", "/install is not an option of msiexec.exe: without a verb this program installs, so "
                             "leave it out."},
        {L"/qz", "/qz is not an option of msiexec.exe: type /? for the options that work."},
        {L"/qn- /fz /jx /l*z a.log", "/qn- is not an option"},
        {L"/fz", "/fz is not an option"},
        {L"/j", "/j is not an option"},
        {L"/lz a.log", "/lz is not an option"},
        {L"\"/qn \"", "\"/qn \" is not an option"},
        {L"/", "/ is not an option"},
        {L"/qn /l*v", "/l*v needs the log file's name after it: type /l*v <log file>."},
        {L"/l*v /qn", "/l*v needs the log file's name after it, not /qn: type /l*v <log file>."},
        {L"/qn /l*v uninstall", "/l*v needs the log file's name after it, not uninstall: type /l*v <log file>."},
        {L"/log \"\"", "/log needs the log file's name after it: type /log <log file>."},
        {L"/l*v -qn", "/l*v needs the log file's name after it, not -qn"},
        {L"/m", "/m needs its value after it: type /m <value>."},
        {L"/jm /t", "/t needs its value after it"},
        {L"/jm /g /qn", "/g needs its value after it, not /qn"},
        {L"/n", "/n needs its value after it"},
        {L"/extract /qn", "/extract needs the folder to write the package to, not /qn: type /extract <folder>."},
        {L"/extract -x", "/extract needs the folder to write the package to, not -x"},
    };
    for (const auto& [args, message] : cases) {
        EXPECT_EQ(0u, refusal(args).find(message)) << tstrings::encodeUtf8(args) << ": " << refusal(args);
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
        EXPECT_EQ("", refusal(args)) << "not a refused line: its exit code stays -1";
    }
}

TEST(LauncherCommandLine, PropertiesAndTransformsTheLineSets) {
    const LauncherCommandLine line = lineOf(L"allusers=1 ALLUSERS=\"\" MSIINSTALLPERUSER=1 \"P=a b\" =x /l*v A=1");
    EXPECT_EQ(tstring(), line.property(L"ALLUSERS").value_or(L"unset")) << "the last one counts, in any case";
    EXPECT_EQ(L"1", line.property(L"msiinstallperuser").value_or(L"unset"));
    EXPECT_EQ(L"a b", line.property(L"P").value_or(L"unset"));
    EXPECT_FALSE(line.property(L"A").has_value()) << "the log file's name is no property";
    EXPECT_FALSE(line.namesTransforms());
    EXPECT_TRUE(lineOf(L"TRANSFORMS=a.mst").namesTransforms());
    EXPECT_TRUE(lineOf(L"/jm /t a.mst").namesTransforms());
}
