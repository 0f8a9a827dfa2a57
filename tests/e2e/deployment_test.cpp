// Launchers as deployment tools run them unattended and as administrators take them apart: the
// install log every install leaves and the line that names it after a failure, a launcher renamed
// while it runs, and /extract. Exit codes are read inside Windows.
#include <algorithm>
#include <regex>

#include "InstallerTestSupport.h"
#include "TestSupport.h"
#include "WinHeaders.h"

namespace {

const wchar_t* const basicCode = L"{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E01}";
constexpr DWORD failedRun = 0xFFFFFFFF;
constexpr DWORD installFailure = ERROR_INSTALL_FAILURE;

std::string utf8(const tstring& text) { return tstrings::encodeUtf8(text); }

std::string regexEscaped(const std::string& text) {
    return std::regex_replace(text, std::regex(R"([\\^$.|?*+()\[\]{}])"), R"(\$&)");
}

class DeploymentTest : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        removeProductForTest(basicCode);
        temp = pathOf(L"temp");
        ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
        package = readFile(tstrings::decodeUtf8(TERVO_E2E_BASIC_MSI));
        ASSERT_LT(8192u, package.size());
    }
    void TearDown() override {
        removeProductForTest(basicCode);
        TempDirTest::TearDown();
    }

    std::vector<tstring> environment(bool debug = false) const {
        return {L"TEMP=" + temp, L"TMP=" + temp, debug ? L"TERVO_DEBUG=true" : L"TERVO_DEBUG="};
    }
    static tstring launcher(const tstring& name) { return testProgramDir() + L"\\" + name; }
    ProcessResult runAt(const tstring& path, const tstring& args, bool debug = false) const {
        return runProcess(inQuotes(path) + L" " + args, environment(debug));
    }
    ProcessResult run(const tstring& name, const tstring& args, bool debug = false) const {
        return runAt(launcher(name), args, debug);
    }
    // A copy of a launcher with one byte of its package changed.
    tstring damagedCopy(const tstring& name, const tstring& copyName) const {
        std::string bytes = readFile(launcher(name));
        const size_t start = bytes.find(package.substr(0, 1024));
        EXPECT_NE(std::string::npos, start);
        bytes[start + package.size() / 2] ^= 0x10;
        writeFile(pathOf(copyName), bytes);
        return pathOf(copyName);
    }

    tstring temp;
    std::string package;
};

} // namespace

TEST_F(DeploymentTest, EveryInstallLeavesALogThatAFailureNames) {
    const tstring ownLog = pathOf(L"own log \u00e9.txt");
    const struct {
        const char* name;
        const wchar_t* launcher;
        tstring args;
        DWORD exitCode;
        const char* defaultLog;  // the default log's name up to its time; null: none in the temporary folder
    } cases[] = {
        {"named after the product", L"e2e-versioned-setup.exe", L"/qn FAILME=1", installFailure,
         "Tervo_ Basic_Edition"},
        {"named after the launcher without a version block", L"e2e-basic-setup.exe", L"/qn", 0, "e2e-basic-setup"},
        {"a log of the run's own", L"e2e-basic-setup.exe", L"/qn FAILME=1 /L*V \"" + ownLog + L"\"", installFailure,
         nullptr},
        {"packed without the default log", L"e2e-nolog-setup.exe", L"/qn FAILME=1", installFailure, nullptr},
    };
    for (const auto& c : cases) {
        DeleteFileW(ownLog.c_str());
        const ProcessResult r = run(c.launcher, c.args);
        EXPECT_EQ(c.exitCode, r.exitCode) << c.name << ": " << r.standardError;
        const std::vector<tstring> logs = listDir(temp);
        tstring log;
        if (c.defaultLog) {
            ASSERT_EQ(1u, logs.size()) << c.name;
            EXPECT_TRUE(std::regex_match(utf8(logs[0]), std::regex(regexEscaped(c.defaultLog) + R"(_\d{8}_\d{6}\.log)")))
                << c.name << ": " << utf8(logs[0]);
            log = temp + L"\\" + logs[0];
        } else {
            EXPECT_EQ(std::vector<tstring>{}, logs) << c.name;
            log = c.args.find(ownLog) != tstring::npos ? ownLog : L"";
        }
        if (!log.empty()) {
            // msiexec's verbose log.
            const std::string text = readFile(log);
            EXPECT_NE(std::string::npos, text.find("Action start")) << c.name;
            EXPECT_NE(std::string::npos, text.find("LaunchConditions")) << c.name;
        }
        if (c.exitCode == 0) {
            EXPECT_EQ("", r.standardError) << c.name;
        } else if (!log.empty()) {
            EXPECT_EQ(utf8(log), utf8(installerFailureLog(r.standardError, utf8(c.launcher), c.exitCode))) << c.name;
        } else {
            const std::vector<std::string> lines = outputLines(r.standardError);
            ASSERT_EQ(1u, lines.size()) << c.name << ": " << r.standardError;
            EXPECT_EQ(0u, lines[0].find(utf8(c.launcher) + ": msiexec.exe ended with status 1603 (")) << lines[0];
            EXPECT_EQ(std::string::npos, lines[0].find("Log:")) << lines[0];
        }
        for (const tstring& name : logs) {
            DeleteFileW((temp + L"\\" + name).c_str());
        }
        removeProductForTest(basicCode);
    }
}

TEST_F(DeploymentTest, ALauncherRenamedWhileItRunsStillInstallsAndStillChecksItsPackage) {
    const tstring sound = pathOf(L"setup.exe");
    ASSERT_TRUE(CopyFileW(launcher(L"e2e-basic-setup.exe").c_str(), sound.c_str(), FALSE));
    const tstring damaged = damagedCopy(L"e2e-basic-setup.exe", L"damaged.exe");
    const struct {
        tstring path;
        DWORD exitCode;
        const char* error;
    } cases[] = {
        {sound, 0, nullptr},
        {damaged, failedRun,
         "The installation package inside damaged.exe is damaged (checksum mismatch). Download damaged.exe again."},
    };
    for (const auto& c : cases) {
        ChildProcess child(inQuotes(c.path) + L" /qn", environment(true), true);
        ASSERT_TRUE(child.started());
        const tstring moved = c.path + L".moved";
        ASSERT_TRUE(MoveFileW(c.path.c_str(), moved.c_str())) << describeWinError(GetLastError());
        child.resume();
        const ProcessResult r = child.finish();
        EXPECT_EQ(c.exitCode, r.exitCode) << utf8(c.path) << ": " << r.standardError;
        // The file was gone from its path: the package came from the loaded image.
        EXPECT_NE(std::string::npos, r.standardError.find("CreateFile(" + utf8(c.path) + ") failed with system error 2 ("))
            << r.standardError;
        EXPECT_NE(std::string::npos, r.standardError.find("the package is read from the mapped image"));
        if (c.error) {
            const std::vector<std::string> lines = outputLines(r.standardError);
            EXPECT_EQ(1, std::count(lines.begin(), lines.end(), c.error)) << r.standardError;
            EXPECT_FALSE(isProductInstalledForTest(basicCode));
        } else {
            EXPECT_TRUE(isProductInstalledForTest(basicCode));
        }
        EXPECT_EQ(std::vector<tstring>{}, listDirExceptLogs(temp)) << utf8(c.path);
        removeProductForTest(basicCode);
    }
}

TEST_F(DeploymentTest, ExtractWritesTheCheckedPackageUnderItsOwnName) {
    const tstring existing = pathOf(L"existing");
    ASSERT_TRUE(CreateDirectoryW(existing.c_str(), nullptr));
    writeFile(existing + L"\\package.msi", "an older package");
    const struct {
        const wchar_t* launcher;
        const wchar_t* switchSpelling;
        tstring folder;    // as typed
        tstring expected;  // the package's path
    } cases[] = {
        {L"e2e-named-setup.exe", L"/extract", L"\"" + dir + L"\\new \u00e4\\\u65e5\u672c\\\"",
         dir + L"\\new \u00e4\\\u65e5\u672c\\Tervo Basic \u00c4 2.5.7.msi"},
        {L"e2e-versioned-setup.exe", L"-EXTRACT", L"\"" + dir + L"\\out\"",
         dir + L"\\out\\Tervo_ Basic_Edition 2.5.7.msi"},
        {L"e2e-badname-setup.exe", L"/Extract", dir + L"\\out", dir + L"\\out\\package.msi"},
        {L"e2e-basic-setup.exe", L"/qn /extract", existing, existing + L"\\package.msi"},
        {L"e2e-basic-setup.exe", L"-extract", L"relative\\dir", dir + L"\\relative\\dir\\package.msi"},
    };
    wchar_t previous[MAX_PATH * 4];
    ASSERT_NE(0u, GetCurrentDirectoryW(static_cast<DWORD>(std::size(previous)), previous));
    ASSERT_TRUE(SetCurrentDirectoryW(dir.c_str()));
    for (const auto& c : cases) {
        const ProcessResult r = run(c.launcher, tstring(c.switchSpelling) + L" " + c.folder);
        const std::string context = utf8(c.launcher) + " " + utf8(c.folder);
        EXPECT_EQ(0u, r.exitCode) << context << ": " << r.standardError;
        EXPECT_EQ("", r.standardError) << context;
        EXPECT_EQ(std::vector<std::string>{utf8(c.expected)}, outputLines(r.standardOutput)) << context;
        EXPECT_TRUE(package == readFile(c.expected)) << context;
        EXPECT_EQ(std::vector<tstring>{}, listDir(temp)) << context << ": msiexec never ran, nothing was logged";
    }
    SetCurrentDirectoryW(previous);
    EXPECT_FALSE(isProductInstalledForTest(basicCode));

    // The extracted package installs with msiexec itself.
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    const ProcessResult installed =
        runProcess(inQuotes(tstring(system) + L"\\msiexec.exe") + L" /i " + inQuotes(cases[0].expected) + L" /qn");
    EXPECT_EQ(0u, installed.exitCode);
    EXPECT_TRUE(isProductInstalledForTest(basicCode));
}

TEST_F(DeploymentTest, ExtractRefusesWhatItCannotDoAndLeavesNothing) {
    const tstring aFile = pathOf(L"a file");
    writeFile(aFile, "not a folder");
    const tstring damaged = damagedCopy(L"e2e-basic-setup.exe", L"setup \u00e9.exe");
    const tstring out = pathOf(L"out");
    const struct {
        tstring launcher;
        tstring args;
        std::string error;  // the start of the one line on standard error
    } cases[] = {
        {damaged, L"/extract \"" + out + L"\\new\\deeper\"",
         "The installation package inside setup \xc3\xa9.exe is damaged (checksum mismatch). Download setup "
         "\xc3\xa9.exe again."},
        {launcher(L"e2e-basic-setup.exe"), L"/qn /extract",
         "/extract needs the folder to write the package to. Usage: e2e-basic-setup.exe /extract <folder>"},
        {launcher(L"e2e-basic-setup.exe"), L"/extract \"\" P=1",
         "/extract needs the folder to write the package to. Usage: e2e-basic-setup.exe /extract <folder>"},
        {launcher(L"e2e-basic-setup.exe"), L"/extract \"" + out + L"\" uninstall",
         "/extract and uninstall cannot be used together. Usage: e2e-basic-setup.exe /extract <folder>"},
        {launcher(L"e2e-basic-setup.exe"), L"/extract \"" + aFile + L"\\sub\"", "Cannot extract the package into " + utf8(aFile) + "\\sub: CreateDirectory(" + utf8(aFile)},
        {launcher(L"e2e-basic-setup.exe"), L"/extract \"" + dir + L"\\a<b\"",
         "Cannot extract the package into " + utf8(dir) + "\\a<b: CreateDirectory(" + utf8(dir) + "\\a<b"},
    };
    const std::vector<tstring> before = listDir(dir);
    for (const auto& c : cases) {
        const ProcessResult r = runAt(c.launcher, c.args);
        EXPECT_EQ(failedRun, r.exitCode) << utf8(c.args);
        const std::vector<std::string> lines = outputLines(r.standardError);
        ASSERT_EQ(1u, lines.size()) << utf8(c.args) << ": " << r.standardError;
        EXPECT_EQ(0u, lines[0].find(c.error)) << lines[0];
        EXPECT_EQ(before, listDir(dir)) << utf8(c.args);
        EXPECT_EQ(std::vector<tstring>{}, listDir(temp)) << utf8(c.args);
    }
    EXPECT_FALSE(isProductInstalledForTest(basicCode));
}

TEST_F(DeploymentTest, TheReadmesBatchFileInstallsWithTheValuesItSpells) {
    const tstring setup = pathOf(L"setup.exe");
    ASSERT_TRUE(CopyFileW(launcher(L"e2e-basic-setup.exe").c_str(), setup.c_str(), FALSE));
    const tstring batch = pathOf(L"install.bat");
    writeFile(batch, "@echo off\r\n\"" + utf8(setup) +
                         "\" INSTALLDIR=\"C:\\Program Files\\App\\\" ECHOPATH=\"say \"\"hi\"\" there\" TAG=x /qn\r\n"
                         "echo %ERRORLEVEL%\r\n");
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    const ProcessResult r = runProcess(inQuotes(tstring(system) + L"\\cmd.exe") + L" /c " + inQuotes(batch), environment());
    EXPECT_EQ(std::vector<std::string>{"0"}, outputLines(r.standardOutput)) << r.standardError;
    EXPECT_TRUE(isProductInstalledForTest(basicCode));
    EXPECT_EQ(L"C:\\Program Files\\App\\", basicPackageValue(L"InstallDir"));
    EXPECT_EQ(L"x", basicPackageValue(L"Tag"));
    // Wine's msiexec drops the quotes inside a value; Windows keeps them.
    const tstring echo = basicPackageValue(L"EchoPath");
    EXPECT_TRUE(echo == L"say \"hi\" there" || echo == L"say hi there") << utf8(echo);
}

TEST_F(DeploymentTest, WhatTheToolPacksTheLauncherUses) {
    // The package under a name of its own, packed with and without the default log.
    const tstring package = pathOf(L"Basic Setup \u00e4 2.msi");
    writeFile(package, this->package);
    const tstring pack = inQuotes(testProgramDir() + L"\\tervo-pack.exe") + L" " + inQuotes(package) + L" --quiet -o ";
    const tstring logging = pathOf(L"logging.exe");
    const tstring silent = pathOf(L"silent.exe");
    ASSERT_EQ(0u, runProcess(pack + inQuotes(logging)).exitCode);
    ASSERT_EQ(0u, runProcess(pack + inQuotes(silent) + L" --no-default-log").exitCode);

    // The log is named after the product the version block names.
    const ProcessResult logged = runAt(logging, L"/qn FAILME=1");
    EXPECT_EQ(installFailure, logged.exitCode);
    const std::vector<tstring> logs = listDir(temp);
    ASSERT_EQ(1u, logs.size());
    EXPECT_TRUE(std::regex_match(utf8(logs[0]), std::regex(R"(Tervo E2E Basic_\d{8}_\d{6}\.log)"))) << utf8(logs[0]);
    EXPECT_EQ(temp + L"\\" + logs[0], installerFailureLog(logged.standardError, "logging.exe", installFailure));
    DeleteFileW((temp + L"\\" + logs[0]).c_str());

    const ProcessResult quiet = runAt(silent, L"/qn FAILME=1");
    EXPECT_EQ(installFailure, quiet.exitCode);
    EXPECT_EQ(std::vector<tstring>{}, listDir(temp)) << "packed with --no-default-log";

    // /extract writes the package under the name it was packed from.
    const tstring out = pathOf(L"out");
    for (const tstring& launcherPath : {logging, silent}) {
        const ProcessResult r = runAt(launcherPath, L"/extract " + inQuotes(out));
        EXPECT_EQ(0u, r.exitCode) << r.standardError;
        EXPECT_TRUE(this->package == readFile(out + L"\\Basic Setup \u00e4 2.msi"));
    }
    EXPECT_EQ(std::vector<tstring>{L"Basic Setup \u00e4 2.msi"}, listDir(out));
}
