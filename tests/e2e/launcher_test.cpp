// The launcher driven the way a user drives it: real packages, the real msiexec.exe and
// installer service of the test prefix, full exit codes read inside Windows.
#include <algorithm>
#include <iostream>
#include <regex>

#include "InstallerTestSupport.h"
#include "TestSupport.h"
#include "WinHeaders.h"

namespace {

const wchar_t* const basicCode = L"{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E01}";
constexpr DWORD failedRun = 0xFFFFFFFF;

tstring programFiles() {
    wchar_t path[MAX_PATH] = {};
    GetEnvironmentVariableW(L"ProgramFiles", path, MAX_PATH);
    return path;
}

tstring programData() {
    wchar_t path[MAX_PATH] = {};
    GetEnvironmentVariableW(L"ProgramData", path, MAX_PATH);
    return path;
}

tstring basicPayload() { return programFiles() + L"\\Tervo E2E Basic\\payload.txt"; }

class LauncherTest : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        removeProductForTest(basicCode);
        temp = pathOf(L"temp");
        ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
    }

    void TearDown() override {
        removeProductForTest(basicCode);
        TempDirTest::TearDown();
    }

    // Runs bin/<launcher> with the arguments, TEMP and TMP pointing at `tempDir`.
    ProcessResult run(const tstring& launcher, const tstring& args, const tstring& debug = L"",
                      const tstring& tempDir = L"") {
        return runAt(testProgramDir() + L"\\" + launcher, args, debug, tempDir);
    }

    ProcessResult runAt(const tstring& path, const tstring& args, const tstring& debug = L"",
                        const tstring& tempDir = L"") {
        const tstring tmp = tempDir.empty() ? temp : tempDir;
        return runProcess(inQuotes(path) + L" " + args, {L"TEMP=" + tmp, L"TMP=" + tmp, L"TERVO_DEBUG=" + debug});
    }

    tstring temp;
};

} // namespace

TEST_F(LauncherTest, InstallsSilentlyThenUninstalls) {
    const ProcessResult install = run(L"e2e-basic-setup.exe", L"/qn");
    EXPECT_EQ(0u, install.exitCode) << install.standardError;
    EXPECT_EQ("", install.standardError);
    EXPECT_TRUE(exists(basicPayload()));
    EXPECT_TRUE(isProductInstalledForTest(basicCode));
    EXPECT_EQ(std::vector<tstring>{}, listDirExceptLogs(temp)) << "the working directory must be gone";
    EXPECT_EQ(1u, listDir(temp).size()) << "the install's log stays";

    const ProcessResult uninstall = run(L"e2e-basic-setup.exe", L"uninstall");
    EXPECT_EQ(0u, uninstall.exitCode) << uninstall.standardError;
    EXPECT_EQ("", uninstall.standardError);
    EXPECT_FALSE(exists(basicPayload()));
    EXPECT_FALSE(isProductInstalledForTest(basicCode));
    EXPECT_EQ(std::vector<tstring>{}, listDirExceptLogs(temp));
}

TEST_F(LauncherTest, UninstallOfAMissingProductReportsOnlyTheStatus) {
    const ProcessResult quiet = run(L"e2e-basic-setup.exe", L"uninstall");
    EXPECT_EQ(static_cast<DWORD>(ERROR_UNKNOWN_PRODUCT), quiet.exitCode);
    EXPECT_EQ("", quiet.standardError);

    const ProcessResult debug = run(L"e2e-basic-setup.exe", L"uninstall", L"true");
    EXPECT_EQ(static_cast<DWORD>(ERROR_UNKNOWN_PRODUCT), debug.exitCode);
    const std::regex record(R"(\[ERROR\] MsiUtils\.h:\d+: MsiConfigureProductEx\(\{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E01\}, )"
                            R"(65535, 2, REBOOT=ReallySuppress\) failed \[1605\]\r?\n)");
    EXPECT_TRUE(std::regex_search(debug.standardError, record)) << debug.standardError;
}

TEST_F(LauncherTest, ForwardsArgumentsInOrderAndQuotesThoseWithBlanks) {
    const tstring log = pathOf(L"install log.txt");
    const ProcessResult r =
        run(L"e2e-basic-setup.exe", L"/qn /l*v \"" + log + L"\" \"GREETING=hello wide world\"");
    EXPECT_EQ(0u, r.exitCode) << r.standardError;
    EXPECT_TRUE(exists(log));
    EXPECT_EQ(L"hello wide world", basicPackageGreeting());
}

TEST_F(LauncherTest, TextMeansToTheLauncherWhatItMeansToMsiexec) {
    // Lines as deployment engineers type them after msiexec /i package, the launcher given the same
    // text: the installed product records the same values either way.
    const tstring ownLog = pathOf(L"own log.txt");
    const tstring cases[] = {
        L"INSTALLDIR=\"C:\\Program Files\\App\\\" /qn /l*v \"" + ownLog + L"\"",
        L"ECHOPATH=\"say \"\"hi\"\" there\" TAG=x /qn",
        L"SHARE=\"\\\\server\\share\\\" /qn",
        L"/qn \"GREETING=C:\\My App\\\\\" TAG=\"\"",
        L"/qn GREETING=a\"b c\"d\" e\" \"\" TAG=after",
        L"/qn\tGREETING=\"tab\there\"\tTAG=\"J\u00fcrgen \u03a9mega \u65e5\u672c\"",
    };
    const wchar_t* const values[] = {L"Greeting", L"EchoPath", L"Tag", L"Share", L"InstallDir"};
    const auto recorded = [&] {
        std::string all;
        for (const wchar_t* name : values) {
            all += tstrings::encodeUtf8(name) + "=[" + tstrings::encodeUtf8(basicPackageValue(name)) + "] ";
        }
        return all;
    };
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    const tstring msiexec = inQuotes(tstring(system) + L"\\msiexec.exe") + L" /i " +
                            inQuotes(tstrings::decodeUtf8(TERVO_E2E_BASIC_MSI)) + L" ";
    for (const tstring& text : cases) {
        const std::string context = tstrings::encodeUtf8(text);
        const ProcessResult direct = runProcess(msiexec + text);
        ASSERT_EQ(0u, direct.exitCode) << context;
        const std::string expected = recorded();
        removeProductForTest(basicCode);
        DeleteFileW(ownLog.c_str());

        const ProcessResult r = run(L"e2e-basic-setup.exe", text);
        EXPECT_EQ(0u, r.exitCode) << context << ": " << r.standardError;
        EXPECT_EQ(direct.standardError, r.standardError) << context << ": msiexec's own complaints, if any";
        EXPECT_TRUE(isProductInstalledForTest(basicCode)) << context;
        EXPECT_EQ(expected, recorded()) << context;
        if (text.find(ownLog) != tstring::npos) {
            EXPECT_TRUE(exists(ownLog)) << context << ": the log that the text names";
        }
        removeProductForTest(basicCode);
    }
    EXPECT_EQ(std::vector<tstring>{}, listDirExceptLogs(temp));
}

TEST_F(LauncherTest, SwitchInsideAValueNeverReachesMsiexecAsASwitch) {
    // Another product is installed; a value that spells its removal must stay a value.
    const wchar_t* const helloCode = L"{6F3D2B1A-5C4E-4D7B-9A8F-1E2D3C4B5A69}";
    const INSTALLUILEVEL previous = MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
    const UINT installed = MsiInstallProductW(tstrings::decodeUtf8(TERVO_SAMPLE_MSI).c_str(), L"");
    MsiSetInternalUI(previous, nullptr);
    ASSERT_EQ(static_cast<UINT>(ERROR_SUCCESS), installed);

    const tstring value = tstring(L"x\" /x ") + helloCode + L" \"y";
    const ProcessResult r = run(L"e2e-basic-setup.exe", L"/qn GREETING=\"x\"\" /x " + tstring(helloCode) + L" \"\"y\"");
    const bool helloStays = isProductInstalledForTest(helloCode);
    removeProductForTest(helloCode);
    EXPECT_EQ(0u, r.exitCode) << r.standardError;
    EXPECT_TRUE(helloStays) << "the other product was removed";
    EXPECT_TRUE(isProductInstalledForTest(basicCode));
    // Wine's msiexec drops the quotes of a value however they are written; Windows keeps them.
    tstring expected = value;
    if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")) {
        expected.erase(std::remove(expected.begin(), expected.end(), L'"'), expected.end());
    }
    EXPECT_EQ(tstrings::encodeUtf8(expected), tstrings::encodeUtf8(basicPackageGreeting()));
}

TEST_F(LauncherTest, OnlyTheExactWordUninstallRemoves) {
    ASSERT_EQ(0u, run(L"e2e-basic-setup.exe", L"/qn").exitCode);
    for (const wchar_t* lookalike : {L"UNINSTALL", L"uninstall!", L"\"uninstall \""}) {
        const ProcessResult r = run(L"e2e-basic-setup.exe", tstring(L"/qn ") + lookalike);
        EXPECT_NE(failedRun, r.exitCode) << r.standardError;
        EXPECT_TRUE(isProductInstalledForTest(basicCode)) << "removed by " << tstrings::encodeUtf8(lookalike);
    }
    const ProcessResult second = run(L"e2e-basic-setup.exe", L"/qn uninstall");
    EXPECT_EQ(0u, second.exitCode) << second.standardError;
    EXPECT_FALSE(isProductInstalledForTest(basicCode));
    EXPECT_FALSE(exists(basicPayload()));
}

TEST_F(LauncherTest, VerbsDoWhatMsiexecDoesWithThePackage) {
    const auto logs = [&] {
        std::vector<tstring> all = listDir(temp);
        all.erase(std::remove_if(all.begin(), all.end(), [](const tstring& name) { return !tstrings::hasSuffix(name, L".log"); }),
                  all.end());
        return all;
    };
    // /x: msiexec's removal of the product, logged verbosely by default.
    ASSERT_EQ(0u, run(L"e2e-basic-setup.exe", L"/qn").exitCode);
    const std::vector<tstring> before = logs();
    const ProcessResult removed = run(L"e2e-basic-setup.exe", L"/x /qn");
    EXPECT_EQ(0u, removed.exitCode) << removed.standardError;
    EXPECT_EQ("", removed.standardError);
    EXPECT_FALSE(isProductInstalledForTest(basicCode));
    EXPECT_FALSE(exists(basicPayload()));
    const std::vector<tstring> after = logs();
    ASSERT_EQ(before.size() + 1, after.size());
    tstring removalLog;
    for (const tstring& log : after) {
        if (std::find(before.begin(), before.end(), log) == before.end()) {
            removalLog = temp + L"\\" + log;
        }
    }
    EXPECT_NE(std::string::npos, readFile(removalLog).find("Logging started")) << tstrings::encodeUtf8(removalLog);
    // Not installed: msiexec's own 1605, and the line that names the log.
    const ProcessResult absent = run(L"e2e-basic-setup.exe", L"/qn -uninstall");
    EXPECT_EQ(static_cast<DWORD>(ERROR_UNKNOWN_PRODUCT), absent.exitCode);
    EXPECT_TRUE(exists(installerFailureLog(absent.standardError, "e2e-basic-setup.exe", ERROR_UNKNOWN_PRODUCT)));

    // /fa and /a: the launcher's result is msiexec's own for the package given by path.
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    const tstring msiexec = inQuotes(tstring(system) + L"\\msiexec.exe");
    const tstring package = inQuotes(tstrings::decodeUtf8(TERVO_E2E_BASIC_MSI));
    const tstring admin = L"C:\\tervo admin \u00e9";
    const struct {
        const wchar_t* text;
        const wchar_t* msiexecVerb;
        bool installedFirst;
        tstring restored;  // the file the run must put in place when it succeeds
    } cases[] = {
        {L"/fa /qn", L"/fa", true, basicPayload()},
        {L"/qn /repair", L"/fvomus", true, basicPayload()},
        {L"/a /qn TARGETDIR=\"C:\\tervo admin \u00e9\"", L"/a", false, admin + L"\\Tervo E2E Basic\\payload.txt"},
    };
    for (const auto& c : cases) {
        const std::string context = tstrings::encodeUtf8(c.text);
        const tstring rest = tstring(c.text).substr(tstring(c.text).find(L' ') + 1);
        const auto prepare = [&] {
            removeTreeForTest(admin);
            if (c.installedFirst) {
                ASSERT_EQ(0u, run(L"e2e-basic-setup.exe", L"/qn").exitCode);
                ASSERT_TRUE(DeleteFileW(basicPayload().c_str()));
            }
        };
        prepare();
        const ProcessResult direct = runProcess(msiexec + L" " + c.msiexecVerb + L" " + package + L" " +
                                                (c.installedFirst ? L"/qn" : rest));
        const bool directRestored = exists(c.restored);
        removeProductForTest(basicCode);
        prepare();
        const ProcessResult r = run(L"e2e-basic-setup.exe", c.text);
        EXPECT_EQ(direct.exitCode, r.exitCode) << context << ": " << r.standardError;
        EXPECT_EQ(directRestored, exists(c.restored)) << context;
        EXPECT_EQ(r.exitCode == 0, exists(c.restored)) << context;
        std::cout << "[   NOTE   ] " << context << ": msiexec and the launcher both exited " << r.exitCode
                  << (exists(c.restored) ? ", the file is in place" : ", nothing was put in place")
                  << (r.exitCode ? " (Wine's msiexec; Windows repairs and lays out the image)" : "") << std::endl;
        removeProductForTest(basicCode);
        removeTreeForTest(admin);
    }
    EXPECT_EQ(std::vector<tstring>{}, listDirExceptLogs(temp));
}

TEST_F(LauncherTest, FailedInstallationPassesTheInstallersCode) {
    const ProcessResult r = run(L"e2e-failing-setup.exe", L"/qn");
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSTALL_FAILURE), r.exitCode);
    EXPECT_EQ(0u, installerFailureLog(r.standardError, "e2e-failing-setup.exe", ERROR_INSTALL_FAILURE).find(temp + L"\\"));
    EXPECT_EQ(std::vector<tstring>{}, listDirExceptLogs(temp));
}

TEST_F(LauncherTest, MalformedProductCodeFailsBeforeTheInstaller) {
    const ProcessResult r = run(L"e2e-badcode-setup.exe", L"uninstall", L"true");
    EXPECT_EQ(failedRun, r.exitCode);
    EXPECT_NE(std::string::npos, r.standardError.find("IIDFromString({3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4EZZ}) failed"))
        << r.standardError;
    EXPECT_EQ(std::string::npos, r.standardError.find("MsiConfigureProductEx")) << r.standardError;
}

TEST_F(LauncherTest, MissingPackageResourceFailsAndLeavesNothing) {
    const ProcessResult r = run(L"e2e-nomsi-setup.exe", L"/qn");
    EXPECT_EQ(failedRun, r.exitCode);
    EXPECT_NE(std::string::npos, r.standardError.find("cannot find resource (name='msi', type='#10')"))
        << r.standardError;
    EXPECT_EQ(std::vector<tstring>{}, listDirExceptLogs(temp));
}

TEST_F(LauncherTest, EmptyPackagePassesTheInstallersFailure) {
    const ProcessResult r = run(L"e2e-emptymsi-setup.exe", L"/qn");
    EXPECT_NE(0u, r.exitCode);
    EXPECT_NE(failedRun, r.exitCode);
    installerFailureLog(r.standardError, "e2e-emptymsi-setup.exe", r.exitCode);
    EXPECT_EQ(std::vector<tstring>{}, listDirExceptLogs(temp));
}

TEST_F(LauncherTest, TemporaryDirectoryWithBlanksAndNonAsciiCharacters) {
    const tstring unusual = pathOf(L"J\u00fcrgen \u03a9mega \u65e5\u672c");
    ASSERT_TRUE(CreateDirectoryW(unusual.c_str(), nullptr));
    const ProcessResult install = run(L"e2e-basic-setup.exe", L"/qn", L"", unusual);
    EXPECT_EQ(0u, install.exitCode) << install.standardError;
    EXPECT_TRUE(isProductInstalledForTest(basicCode));
    EXPECT_EQ(std::vector<tstring>{}, listDirExceptLogs(unusual));

    const tstring missing = unusual + L"\\missing";
    const ProcessResult failed = run(L"e2e-basic-setup.exe", L"/qn", L"", missing);
    EXPECT_EQ(failedRun, failed.exitCode);
    EXPECT_NE(std::string::npos, failed.standardError.find(tstrings::encodeUtf8(missing))) << failed.standardError;
}

TEST_F(LauncherTest, NeverLoadsADllPlantedBesideIt) {
    const tstring download = pathOf(L"Downloads");
    ASSERT_TRUE(CreateDirectoryW(download.c_str(), nullptr));
    const tstring bin = testProgramDir();
    ASSERT_TRUE(CopyFileW((bin + L"\\e2e-basic-setup.exe").c_str(), (download + L"\\setup.exe").c_str(), FALSE));
    ASSERT_TRUE(CopyFileW((bin + L"\\planted-msi.dll").c_str(), (download + L"\\msi.dll").c_str(), FALSE));
    ASSERT_TRUE(CopyFileW((bin + L"\\load-library.exe").c_str(), (download + L"\\load-library.exe").c_str(), FALSE));
    const tstring marker = download + L"\\planted-dll-was-loaded";
    // Wine prefers a msi.dll found on the search path over its own only with WINEDLLOVERRIDES=msi=n,b,
    // which it reads from the Unix environment when a process starts: CTest sets it for this program.
    const tstring preferPlanted = L"WINEDLLOVERRIDES=msi=n,b";

    // The control: an ordinary load of msi.dll from that folder picks the planted file.
    const ProcessResult control =
        runProcess(L"\"" + download + L"\\load-library.exe\" msi.dll", {preferPlanted, L"TEMP=" + temp, L"TMP=" + temp});
    EXPECT_EQ(0u, control.exitCode);
    ASSERT_TRUE(exists(marker)) << "the planted DLL is not loaded even without protection: the test proves nothing";
    ASSERT_TRUE(DeleteFileW(marker.c_str()));

    // A copy in which the system lacks SetDefaultDllDirectories, as a Windows 7 without KB2533623
    // does: its name is spelled wrong in the copy, which still starts and loads msi.dll by full path.
    std::string bytes = readFile(download + L"\\setup.exe");
    const std::string name = "SetDefaultDllDirectories";
    ASSERT_NE(std::string::npos, bytes.find(name));
    for (std::size_t at = bytes.find(name); at != std::string::npos; at = bytes.find(name, at)) {
        bytes[at + name.size() - 1] = 'Z';
    }
    writeFile(download + L"\\old-windows-setup.exe", bytes);
    for (const wchar_t* launcher : {L"setup.exe", L"old-windows-setup.exe"}) {
        const tstring setup = L"\"" + download + L"\\" + launcher + L"\" ";
        const ProcessResult install = runProcess(setup + L"/qn", {preferPlanted, L"TEMP=" + temp, L"TMP=" + temp});
        EXPECT_EQ(0u, install.exitCode) << install.standardError;
        EXPECT_TRUE(isProductInstalledForTest(basicCode));
        const ProcessResult uninstall = runProcess(setup + L"uninstall", {preferPlanted, L"TEMP=" + temp, L"TMP=" + temp});
        EXPECT_EQ(0u, uninstall.exitCode) << uninstall.standardError;
        EXPECT_FALSE(isProductInstalledForTest(basicCode));
        EXPECT_FALSE(exists(marker)) << tstrings::encodeUtf8(launcher) << " loaded the planted msi.dll";
    }
}

TEST_F(LauncherTest, DamagedPackageFailsBeforeTheInstallerAndLeavesNothing) {
    // Copies of the basic launcher with one byte of the package changed; the package is found in
    // the file by its content.
    const std::string bytes = readFile(testProgramDir() + L"\\e2e-basic-setup.exe");
    const std::string package = readFile(tstrings::decodeUtf8(TERVO_E2E_BASIC_MSI));
    const size_t start = bytes.find(package.substr(0, 1024));
    ASSERT_NE(std::string::npos, start);
    ASSERT_EQ(start, bytes.rfind(package.substr(0, 1024)));
    const auto damagedCopy = [&](const tstring& name, size_t at) {
        std::string copy = bytes;
        copy[at] = static_cast<char>(~copy[at]);
        writeFile(pathOf(name), copy);
        return pathOf(name);
    };
    const struct {
        tstring launcher;
        const char* reason;
        bool namesNoProduct;  // the damage hides which product the package installs
    } cases[] = {
        {damagedCopy(L"setup first \u00e9.exe", start), "checksum mismatch", true},
        {damagedCopy(L"setup middle.exe", start + package.size() / 2), "checksum mismatch", false},
        {damagedCopy(L"setup last.exe", start + package.size() - 1), "checksum mismatch", false},
        {testProgramDir() + L"\\e2e-wrongchecksum-setup.exe", "checksum mismatch", false},
        {testProgramDir() + L"\\e2e-shortchecksum-setup.exe", "malformed checksum", false},
    };
    for (const auto& c : cases) {
        const std::string name = tstrings::encodeUtf8(c.launcher.substr(c.launcher.rfind(L'\\') + 1));
        const ProcessResult r = runAt(c.launcher, L"/qn");
        EXPECT_EQ(failedRun, r.exitCode) << name;
        EXPECT_EQ(std::vector<std::string>{"The installation package inside " + name + " is damaged (" + c.reason +
                                           "). Download " + name + " again."},
                  outputLines(r.standardError));
        EXPECT_EQ(std::vector<tstring>{}, listDirExceptLogs(temp)) << name;
        EXPECT_FALSE(isProductInstalledForTest(basicCode)) << name;

        EXPECT_FALSE(exists(programData() + L"\\Tervo\\Package Cache\\" + basicCode + L"v2.5.7")) << name;

        // Removing the product needs its code, and the package's tables that confirm it; not the
        // checksum. Where the damage hides them, nothing is removed.
        const ProcessResult uninstall = runAt(c.launcher, L"uninstall");
        if (c.namesNoProduct) {
            EXPECT_EQ(failedRun, uninstall.exitCode) << name;
            EXPECT_EQ(std::vector<std::string>{name + " cannot tell which product its package installs, so it removes "
                                                      "nothing. Download " + name + " again."},
                      outputLines(uninstall.standardError));
        } else {
            EXPECT_EQ(static_cast<DWORD>(ERROR_UNKNOWN_PRODUCT), uninstall.exitCode) << name;
            EXPECT_EQ("", uninstall.standardError) << name;
        }
    }
}

TEST_F(LauncherTest, PackageWithoutAChecksumInstallsAndTheDebugLogSaysSo) {
    const ProcessResult checked = run(L"e2e-basic-setup.exe", L"/qn", L"true");
    EXPECT_EQ(0u, checked.exitCode) << checked.standardError;
    EXPECT_TRUE(std::regex_search(checked.standardError, std::regex(R"(Package checksum XXH64:[0-9a-f]{16} verified)")))
        << checked.standardError;
    removeProductForTest(basicCode);

    const ProcessResult unchecked = run(L"e2e-nochecksum-setup.exe", L"/qn", L"true");
    EXPECT_EQ(0u, unchecked.exitCode) << unchecked.standardError;
    EXPECT_TRUE(isProductInstalledForTest(basicCode));
    EXPECT_NE(std::string::npos, unchecked.standardError.find("[WARNING] EmbeddedPackage.cpp:"));
    EXPECT_NE(std::string::npos, unchecked.standardError.find("e2e-nochecksum-setup.exe]: it is written unchecked"))
        << unchecked.standardError;
    EXPECT_EQ(std::string::npos, unchecked.standardError.find("verified"));
    EXPECT_EQ(std::vector<tstring>{}, listDirExceptLogs(temp));
}
