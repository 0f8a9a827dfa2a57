// Faults and bad input met end to end: unusable temporary directories, a missing msiexec.exe,
// files held open by others, launchers racing each other, damaged resources, command lines at
// the system's limit, and tervo-pack on destinations it cannot write or killed half-way. Each case
// checks what the user sees (exit code read inside Windows, standard error) and what is left on disk.
#include <algorithm>
#include <fstream>
#include <iostream>
#include <optional>
#include <regex>
#include <set>
#include <sstream>

#include "InstallerTestSupport.h"
#include "MsiexecTokens.h"
#include "TestSupport.h"
#include "WinHeaders.h"

#include <aclapi.h>

namespace {

const wchar_t* const basicCode = L"{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E01}";
constexpr DWORD failedRun = 0xFFFFFFFF;
constexpr DWORD installFailure = ERROR_INSTALL_FAILURE;

std::string utf8(const tstring& text) { return tstrings::encodeUtf8(text); }

bool runningOnWine() {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// Where the platform differs from documented Windows behaviour, the tests say what they saw.
void note(const std::string& text) { std::cout << "[   NOTE   ] " << text << std::endl; }

tstring systemDir() {
    wchar_t path[MAX_PATH + 1] = {};
    GetSystemDirectoryW(path, MAX_PATH + 1);
    return path;
}

// msiexec.exe of the system directory moved aside for the object's life, with `standIn` copied
// into its place when given. A copy that an earlier run left aside (it died before putting it
// back) is restored first, over whatever stands in its place.
class MsiexecMovedAside {
public:
    explicit MsiexecMovedAside(const tstring& standIn = L"") {
        restore();
        moved = MoveFileExW(path().c_str(), aside().c_str(), 0) != FALSE;
        EXPECT_TRUE(moved) << describeWinError(GetLastError());
        if (moved && !standIn.empty()) {
            EXPECT_TRUE(CopyFileW(standIn.c_str(), path().c_str(), TRUE)) << describeWinError(GetLastError());
        }
    }
    ~MsiexecMovedAside() { restore(); }
    MsiexecMovedAside(const MsiexecMovedAside&) = delete;
    MsiexecMovedAside& operator=(const MsiexecMovedAside&) = delete;

    static tstring path() { return systemDir() + L"\\msiexec.exe"; }
    static void restore() {
        if (GetFileAttributesW(aside().c_str()) != INVALID_FILE_ATTRIBUTES) {
            EXPECT_TRUE(MoveFileExW(aside().c_str(), path().c_str(), MOVEFILE_REPLACE_EXISTING))
                << describeWinError(GetLastError());
        }
    }
    bool isAside() const { return moved; }

private:
    static tstring aside() { return path() + L".tervo-aside"; }
    bool moved = false;
};

// A directory that nobody may create files in, the Windows way (a DACL that denies adding files
// and subdirectories) and the Wine way (the read-only attribute, which Wine maps to the Unix
// permissions); everything is restored when the object goes.
class WriteProtectedDirectory {
public:
    explicit WriteProtectedDirectory(const tstring& path) : path(path) {
        attributes = GetFileAttributesW(path.c_str());
        EXPECT_NE(INVALID_FILE_ATTRIBUTES, attributes);
        EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
                  GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                        &originalDacl, nullptr, &originalDescriptor));
        EXPLICIT_ACCESSW rules[2] = {};
        BuildExplicitAccessWithNameW(&rules[0], const_cast<wchar_t*>(L"EVERYONE"),
                                     FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD, DENY_ACCESS,
                                     NO_INHERITANCE);
        BuildExplicitAccessWithNameW(&rules[1], const_cast<wchar_t*>(L"EVERYONE"), GENERIC_READ | GENERIC_EXECUTE,
                                     GRANT_ACCESS, NO_INHERITANCE);
        PACL dacl = nullptr;
        if (SetEntriesInAclW(2, rules, nullptr, &dacl) == ERROR_SUCCESS) {
            aclSet = SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                                           DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                           nullptr, dacl, nullptr) == ERROR_SUCCESS;
            LocalFree(dacl);
        }
        SetFileAttributesW(path.c_str(), attributes | FILE_ATTRIBUTE_READONLY);
    }
    ~WriteProtectedDirectory() {
        SetFileAttributesW(path.c_str(), attributes);
        if (aclSet) {
            SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                  originalDacl, nullptr);
        }
        LocalFree(originalDescriptor);
    }
    WriteProtectedDirectory(const WriteProtectedDirectory&) = delete;
    WriteProtectedDirectory& operator=(const WriteProtectedDirectory&) = delete;

    // Whether the platform really refuses a new file there: Wine does not check DACLs, and root
    // passes the Unix permissions.
    bool enforced() const {
        const tstring probe = path + L"\\probe";
        const HANDLE file = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return true;
        }
        CloseHandle(file);
        DeleteFileW(probe.c_str());
        return false;
    }

private:
    tstring path;
    DWORD attributes = 0;
    PACL originalDacl = nullptr;
    PSECURITY_DESCRIPTOR originalDescriptor = nullptr;
    bool aclSet = false;
};

class FaultsTest : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        MsiexecMovedAside::restore();
        removeProductForTest(basicCode);
        temp = pathOf(L"temp");
        ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
    }

    void TearDown() override {
        removeProductForTest(basicCode);
        TempDirTest::TearDown();
    }

    tstring program(const tstring& name) const { return inQuotes(testProgramDir() + L"\\" + name); }

    // The environment of a launcher run: TEMP and TMP at `tempDir` (default: the fixture's), debug on or off.
    std::vector<tstring> launcherEnvironment(bool debug = false, const tstring& tempDir = L"") const {
        const tstring tmp = tempDir.empty() ? temp : tempDir;
        return {L"TEMP=" + tmp, L"TMP=" + tmp, debug ? L"TERVO_DEBUG=true" : L"TERVO_DEBUG="};
    }

    ProcessResult run(const tstring& launcher, const tstring& args, bool debug = false, const tstring& tempDir = L"") {
        return runProcess(program(launcher) + L" " + args, launcherEnvironment(debug, tempDir));
    }

    ProcessResult pack(const tstring& args) { return runProcess(program(L"tervo-pack.exe") + L" " + args); }

    tstring temp;
};

// The tokens the stand-in msiexec wrote, or nullopt when it never ran.
std::optional<std::vector<tstring>> standInTokens(const tstring& file) {
    std::ifstream in(file.c_str(), std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const tstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
    std::vector<tstring> tokens;
    for (size_t start = 0, end; (end = text.find(L'\0', start)) != tstring::npos; start = end + 1) {
        tokens.push_back(text.substr(start, end - start));
    }
    return tokens;
}

// The environment of a run whose msiexec.exe is the stand-in, writing its tokens to `tokensFile`.
std::vector<tstring> withStandIn(std::vector<tstring> environment, const tstring& tokensFile) {
    environment.push_back(L"TERVO_TEST_MSIEXEC_TOKENS=" + tokensFile);
    return environment;
}

// Wine runs its own msiexec.exe whatever file stands in the system directory, unless
// WINEDLLOVERRIDES=msiexec.exe=n,b comes from the Unix side: CTest sets it for this program.
const char* const standInHint = "the stand-in msiexec never ran (under Wine: is WINEDLLOVERRIDES=msiexec.exe=n,b set?)";

// A package the build made, by its full Windows path.
tstring builtPackage(const char* path) {
    wchar_t full[MAX_PATH];
    GetFullPathNameW(tstrings::decodeUtf8(path).c_str(), MAX_PATH, full, nullptr);
    return full;
}

} // namespace

TEST_F(FaultsTest, UnusableTemporaryDirectoryFailsBeforeAnythingIsWritten) {
    const tstring parent = pathOf(L"J\u00fcrgen \u03a9mega \u65e5\u672c");
    ASSERT_TRUE(CreateDirectoryW(parent.c_str(), nullptr));
    const tstring file = parent + L"\\a file";
    writeFile(file, "not a directory");
    const tstring readOnly = parent + L"\\read only \u00e9";
    ASSERT_TRUE(CreateDirectoryW(readOnly.c_str(), nullptr));
    const WriteProtectedDirectory protection(readOnly);
    const bool enforced = protection.enforced();
    note(std::string("a write-protected TEMP is ") +
         (enforced ? "refused, as on Windows" : "not enforced here (Wine or root)"));

    // Longer than the system allows: GetTempPath fails, and an empty answer would have put the
    // package in the current directory.
    const tstring tooLong = parent + L"\\" + tstring(MAX_PATH, L'x');
    // The one line names the folder, what is wrong with it and what to do; the debug log keeps the
    // system call, and no function name reaches the user.
    const struct {
        const char* name;
        tstring dir;
        bool refused;
        std::string line;
        const char* call;  // what the debug log records
    } cases[] = {
        {"missing directory", parent + L"\\missing", true,
         "The temporary folder " + utf8(parent) + "\\missing does not exist: create it, or set TMP and TEMP to a folder "
         "that exists.",
         "createTempFile(, .tmp, "},
        {"a file", file, true, "The temporary folder " + utf8(file) + " is a file, not a folder: set TMP and TEMP to a folder.",
         "createTempFile(, .tmp, "},
        {"write-protected directory", readOnly, enforced,
         "The temporary folder " + utf8(readOnly) + " cannot be written: set TMP and TEMP to a folder you may write.",
         "createTempFile(, .tmp, "},
        {"longer than the system allows", tooLong, true,
         "The temporary folder " + utf8(tooLong) + " (TMP) is " + std::to_string(tooLong.size()) +
             " characters long, more than the system takes (259): set TMP and TEMP to a shorter path.",
         "GetTempPath failed"},
    };
    // The launcher runs in an empty directory of its own, which must stay empty.
    const tstring current = pathOf(L"current \u00e9");
    ASSERT_TRUE(CreateDirectoryW(current.c_str(), nullptr));
    wchar_t previous[MAX_PATH * 4];
    ASSERT_NE(0u, GetCurrentDirectoryW(static_cast<DWORD>(std::size(previous)), previous));
    ASSERT_TRUE(SetCurrentDirectoryW(current.c_str()));
    for (const auto& c : cases) {
        const std::vector<tstring> before = listDir(parent);
        const ProcessResult r = run(L"e2e-failing-setup.exe", L"/qn", false, c.dir);
        if (c.refused) {
            EXPECT_EQ(failedRun, r.exitCode) << c.name;
            EXPECT_EQ(std::vector<std::string>{c.line}, outputLines(r.standardError)) << c.name;
            const ProcessResult debug = run(L"e2e-failing-setup.exe", L"/qn", true, c.dir);
            EXPECT_NE(std::string::npos, debug.standardError.find(c.call)) << c.name << ": " << debug.standardError;
        } else {
            EXPECT_EQ(installFailure, r.exitCode) << c.name << ": " << r.standardError;
            EXPECT_EQ(0u, installerFailureLog(r.standardError, "e2e-failing-setup.exe", installFailure).find(c.dir + L"\\"))
                << c.name;
        }
        EXPECT_EQ(before, listDir(parent)) << c.name;
        EXPECT_EQ(std::vector<tstring>{}, listDirExceptLogs(readOnly)) << c.name;
        EXPECT_EQ(std::vector<tstring>{}, listDir(current)) << c.name;
    }
    SetCurrentDirectoryW(previous);
}

TEST_F(FaultsTest, ALogThatCannotBeCreatedNeverStopsTheInstall) {
    // The read-only attribute on the temporary folder: Windows ignores it on folders; Wine maps it
    // to the Unix permissions, which root passes.
    const DWORD attributes = GetFileAttributesW(temp.c_str());
    ASSERT_TRUE(SetFileAttributesW(temp.c_str(), attributes | FILE_ATTRIBUTE_READONLY));
    const ProcessResult r = run(L"e2e-basic-setup.exe", L"/qn", true);
    SetFileAttributesW(temp.c_str(), attributes);
    EXPECT_EQ(0u, r.exitCode) << r.standardError;
    EXPECT_TRUE(isProductInstalledForTest(basicCode));
    const bool logged = listDir(temp).size() == 1;
    EXPECT_EQ(logged, r.standardError.find("No install log: CreateFile(") == std::string::npos) << r.standardError;
    note(logged ? "the read-only temporary folder took the log" : "the install ran without the log");
}

TEST_F(FaultsTest, MissingMsiexecFailsAndRemovesTheWorkingDirectory) {
    const MsiexecMovedAside aside;
    ASSERT_TRUE(aside.isAside());
    // Without a cache, so that the working directory is the temporary one.
    const ProcessResult r = run(L"e2e-nocache-setup.exe", L"/qn", true);
    EXPECT_EQ(failedRun, r.exitCode);
    const std::string msiexec = utf8(MsiexecMovedAside::path());
    // The system call with msiexec's whole line stays in the debug log; the user's line names the
    // program and the reason, in plain words, and is the last one.
    const std::regex failure("CreateProcess\\(" + std::regex_replace(msiexec, std::regex(R"([\\.])"), R"(\$&)") +
                             ", [^\r\n]+ /i [^\r\n]+\\\\main\\.msi /qn /l\\*v [^\r\n]+\\.log\\) failed\\. System error \\[2\\]");
    EXPECT_TRUE(std::regex_search(r.standardError, failure)) << r.standardError;
    const std::string plain = "Cannot start " + msiexec +
                              ": the file does not exist, so Windows Installer is missing or damaged on this system "
                              "(system error 2).";
    const std::vector<std::string> lines = outputLines(r.standardError);
    EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), plain)) << r.standardError;
    // The working directory was made, and removed while the failure passed up.
    std::smatch made;
    ASSERT_TRUE(std::regex_search(r.standardError, made, std::regex(R"(Created \[(.+\.tmp)\\?\] directory)")))
        << r.standardError;
    EXPECT_NE(std::string::npos, r.standardError.find("Deleted [" + made[1].str() + "] directory")) << r.standardError;
    // What is left is the install's log, holding the failure.
    const std::vector<tstring> left = listDir(temp);
    ASSERT_EQ(1u, left.size());
    EXPECT_TRUE(std::regex_match(utf8(left[0]), std::regex(R"(e2e-nocache-setup_\d{8}_\d{6}\.log)"))) << utf8(left[0]);
    EXPECT_TRUE(std::regex_search(readFile(temp + L"\\" + left[0]),
                                  std::regex(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d e2e-nocache-setup\.exe: Cannot start )")))
        << readFile(temp + L"\\" + left[0]);
    EXPECT_FALSE(isProductInstalledForTest(basicCode));
}

TEST_F(FaultsTest, RawCommandLinesReachMsiexecTokenForToken) {
    const MsiexecMovedAside standIn(testProgramDir() + L"\\msiexec-tokens.exe");
    ASSERT_TRUE(standIn.isAside());
    const tstring tokensFile = pathOf(L"tokens");
    const tstring blankTemp = pathOf(L"temp J\u00fcrgen \u65e5\u672c");
    ASSERT_TRUE(CreateDirectoryW(blankTemp.c_str(), nullptr));
    const std::vector<tstring> environment = withStandIn(launcherEnvironment(false, blankTemp), tokensFile);
    // Without a cache, so that the package lies in the temporary folder with blanks and non-ASCII letters.
    const tstring launcher = testProgramDir() + L"\\e2e-nocache-setup.exe";
    ASSERT_EQ(tstring::npos, launcher.find(L' ')) << "the unquoted form needs a path without blanks";

    // What follows the program name, as a deployment tool or a person types it after msiexec /i package.
    const struct {
        const wchar_t* text;
        bool namesLog;
    } cases[] = {
        {L"INSTALLDIR=\"C:\\Program Files\\App\\\" /qn /l*v C:\\log.txt", true},
        {L"ECHOPATH=\"say \"\"hi\"\" there\" TAG=x /qn", false},
        {L"SHARE=\"\\\\server\\share\\\" /qn", false},
        {L"/qn PROP=a\"b c\"d\"e f\"", false},
        {L"/qn PROP=\"left open  ", false},
        {L"/qn\tP=1\t\tQ=\"a\tb\" \t", false},
        {L"NAME=\"\" \"\" /qn", false},
        {L"W=\"J\u00fcrgen \u03a9mega \u65e5\u672c\u3000x\" \u00e9=\u00e9", false},
        {L"/l*v \"C:\\a b\\log.txt\" /qn", true},
        {L"NOTE=\"x\"\" /x {3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E11} \"\"y\" /qn", false},
        {L"UNINSTALL uninstall! \"uninstall \" P=\"a uninstall\" uninstall-x", false},
        {L"\\\\\" \\\"\" a\\\\ \"\"\"\"", false},
    };
    for (const auto& c : cases) {
        // Both ways Windows writes a program name: quoted, with or without a blank after it, and bare.
        for (const tstring& name : {inQuotes(launcher) + L" ", inQuotes(launcher), launcher + L" "}) {
            DeleteFileW(tokensFile.c_str());
            const ProcessResult r = runProcess(name + c.text, environment);
            const std::string context = utf8(name + c.text);
            EXPECT_EQ(0u, r.exitCode) << context << ": " << r.standardError;
            EXPECT_EQ("", r.standardError) << context;
            const std::optional<std::vector<tstring>> tokens = standInTokens(tokensFile);
            ASSERT_TRUE(tokens.has_value()) << standInHint;
            // /i <package> <the text's tokens> [/l*v <the default log>]
            std::vector<tstring> expected = {L"/i", L"<package>"};
            for (const tstring& token : msiexecTokens(c.text)) {
                expected.push_back(token);
            }
            if (!c.namesLog) {
                expected.insert(expected.end(), {L"/l*v", L"<log>"});
            }
            ASSERT_EQ(expected.size(), tokens->size()) << context;
            EXPECT_TRUE(tstrings::hasSuffix(tokens->at(1), L".tmp\\main.msi")) << utf8(tokens->at(1));
            EXPECT_EQ(0u, tokens->at(1).find(blankTemp + L"\\")) << utf8(tokens->at(1));
            if (!c.namesLog) {
                EXPECT_TRUE(std::regex_match(utf8(tokens->back()),
                                             std::regex(std::regex_replace(utf8(blankTemp), std::regex(R"([\\^$.|?*+()\[\]{}])"),
                                                                           R"(\$&)") +
                                                        R"(\\e2e-nocache-setup_\d{8}_\d{6}(_\d+)?\.log)")))
                    << utf8(tokens->back());
            }
            for (size_t i = 2; i < expected.size() - (c.namesLog ? 0 : 1); ++i) {
                EXPECT_EQ(utf8(expected[i]), utf8(tokens->at(i))) << context << ": token " << i;
            }
            EXPECT_EQ(std::vector<tstring>{}, listDirExceptLogs(blankTemp)) << context;
        }
    }

    // The exact word uninstall, wherever it stands and however it is quoted, removes instead of installing.
    for (const wchar_t* text : {L"uninstall", L"/qn uninstall P=1", L"P=\"x\" \"uninstall\"", L"un\"install\""}) {
        DeleteFileW(tokensFile.c_str());
        const ProcessResult r = runProcess(inQuotes(launcher) + L" " + text, environment);
        EXPECT_EQ(static_cast<DWORD>(ERROR_UNKNOWN_PRODUCT), r.exitCode) << utf8(text) << ": " << r.standardError;
        EXPECT_FALSE(standInTokens(tokensFile).has_value()) << utf8(text) << ": msiexec ran";
    }
}

// The raw line the stand-in msiexec got, after its own name, or nullopt when it never ran.
std::optional<tstring> standInLine(const tstring& tokensFile) {
    std::ifstream in((tokensFile + L".line").c_str(), std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const tstring line(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
    const size_t afterName = line[0] == L'"' ? line.find(L'"', 1) + 1 : line.find(L' ');
    return line.substr(std::min(line.size(), line.find_first_not_of(L' ', afterName)));
}

TEST_F(FaultsTest, EveryVerbReachesMsiexecWithThePackageOrTheProductCode) {
    const MsiexecMovedAside standIn(testProgramDir() + L"\\msiexec-tokens.exe");
    ASSERT_TRUE(standIn.isAside());
    const tstring tokensFile = pathOf(L"tokens");
    const tstring blankTemp = pathOf(L"temp \u00e9");
    ASSERT_TRUE(CreateDirectoryW(blankTemp.c_str(), nullptr));
    const std::vector<tstring> environment = withStandIn(launcherEnvironment(false, blankTemp), tokensFile);
    const tstring launcher = inQuotes(testProgramDir() + L"\\e2e-basic-setup.exe");
    const tstring code = basicCode;
    wchar_t programData[MAX_PATH] = {};
    GetEnvironmentVariableW(L"ProgramData", programData, MAX_PATH);
    const tstring machineCache = tstring(programData) + L"\\Tervo\\Package Cache";
    const struct {
        const wchar_t* text;
        const wchar_t* verb;
        bool package;       // else the product code
        const wchar_t* rest; // the text without the verb, as typed
        bool namesLog;
    } cases[] = {
        {L"/x /qn", L"/x", false, L"/qn", false},
        {L"/qn /X", L"/x", false, L"/qn", false},
        {L"-uninstall  /quiet P=\"a b\"", L"/x", false, L"/quiet P=\"a b\"", false},
        {L"/Uninstall /l*v \"C:\\u log.txt\" /qn", L"/x", false, L"/l*v \"C:\\u log.txt\" /qn", true},
        {L"/fa /qn", L"/fa", true, L"/qn", false},
        {L"/qn -FA", L"/fa", true, L"/qn", false},
        {L"/qn /f", L"/f", true, L"/qn", false},
        {L"/fvomus /qn", L"/fvomus", true, L"/qn", false},
        {L"/repair /passive", L"/fvomus", true, L"/passive", false},
        {L"/a /qn TARGETDIR=\\\\server\\share", L"/a", true, L"/qn TARGETDIR=\\\\server\\share", false},
        {L"/qn /ju", L"/ju", true, L"/qn", false},
        {L"-JM /qn /t a.mst", L"/jm", true, L"/qn /t a.mst", false},
        {L"/qn P=\"open /x", L"/i", true, L"/qn P=\"open /x\"", false},
    };
    for (const auto& c : cases) {
        DeleteFileW(tokensFile.c_str());
        const ProcessResult r = runProcess(launcher + L" " + c.text, environment);
        const std::string context = utf8(c.text);
        EXPECT_EQ(0u, r.exitCode) << context << ": " << r.standardError;
        const std::optional<std::vector<tstring>> tokens = standInTokens(tokensFile);
        ASSERT_TRUE(tokens.has_value()) << standInHint;
        ASSERT_LE(2u, tokens->size()) << context;
        EXPECT_EQ(utf8(c.verb), utf8(tokens->at(0))) << context;
        if (c.package) {
            // Elevated, as Wine's user is: the per-machine cache, but for an administrative image.
            const tstring folder = tstring(c.verb) == L"/a" ? blankTemp + L"\\" : machineCache + L"\\" + code + L"v2.5.7\\";
            EXPECT_EQ(0u, tokens->at(1).find(folder)) << context << ": " << utf8(tokens->at(1));
        } else {
            EXPECT_EQ(utf8(code), utf8(tokens->at(1))) << context;
        }
        // The raw line: the verb, its target, the rest as typed, then the default log unless the text names one.
        const tstring target = c.package ? inQuotes(tokens->at(1)) : code;
        const tstring head = tstring(c.verb) + L" " + target + (*c.rest ? L" " : L"") + c.rest;
        const tstring line = standInLine(tokensFile).value_or(L"");
        EXPECT_EQ(0u, line.find(head)) << context << ": " << utf8(line);
        const std::vector<tstring> logTokens = msiexecTokens(line.substr(std::min(line.size(), head.size())));
        EXPECT_EQ(c.namesLog ? 0u : 2u, logTokens.size()) << context << ": " << utf8(line);
        if (!c.namesLog && logTokens.size() == 2) {
            EXPECT_EQ(L"/l*v", logTokens[0]);
            EXPECT_TRUE(tstrings::hasPrefix(logTokens[1], blankTemp + L"\\e2e-basic-setup_")) << utf8(logTokens[1]);
        }
        EXPECT_EQ(std::vector<tstring>{}, listDirExceptLogs(blankTemp)) << context;
    }
}

TEST_F(FaultsTest, LinesMsiexecWouldAnswerWithItsUsageDialogNeverReachIt) {
    const MsiexecMovedAside standIn(testProgramDir() + L"\\msiexec-tokens.exe");
    ASSERT_TRUE(standIn.isAside());
    const tstring tokensFile = pathOf(L"tokens");
    const std::vector<tstring> environment = withStandIn(launcherEnvironment(), tokensFile);
    const tstring launcher = inQuotes(testProgramDir() + L"\\e2e-basic-setup.exe");
    const struct {
        const wchar_t* text;
        const char* named;  // the token the one line names
    } cases[] = {
        {L"/x /fa", "/fa"},
        {L"/a /qn /x", "/x"},
        {L"/i app.msi /qn", "/i"},
        {L"/package app.msi", "/package"},
        {L"/x {3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E11} /qn", "{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E11}"},
        {L"/p fix.msp /qn", "/p"},
        {L"/update fix.msp", "/update"},
        {L"/y m.dll", "/y"},
        {L"/z m.dll", "/z"},
        {L"/S", "/S"},
        {L"/s", "/s"},
        {L"/silent", "/silent"},
        {L"/VERYSILENT /SUPPRESSMSGBOXES", "/VERYSILENT"},
        {L"/v\"/qn\"", "/v\"/qn\""},
        {L"/qn /norestart /l*v", "/l*v"},
        {L"/qn /log", "/log"},
        {L"/qn /m", "/m"},
        {L"/jm /t", "/t"},
        {L"/jm /g", "/g"},
        {L"/qn /n", "/n"},
        {L"/qn /l*v uninstall", "uninstall"},
        {L"/extract /qn", "/qn"},
        {L"/qn /x uninstall", "uninstall"},
    };
    for (const auto& c : cases) {
        DeleteFileW(tokensFile.c_str());
        const ProcessResult r = runProcess(launcher + L" " + c.text, environment);
        const std::string context = utf8(c.text);
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_COMMAND_LINE), r.exitCode) << context << ": " << r.standardError;
        const std::vector<std::string> lines = outputLines(r.standardError);
        ASSERT_EQ(1u, lines.size()) << context << ": " << r.standardError;
        EXPECT_NE(std::string::npos, lines[0].find(c.named)) << context << ": " << lines[0];
        EXPECT_FALSE(standInTokens(tokensFile).has_value()) << context << ": msiexec ran";
        EXPECT_EQ(std::vector<tstring>{}, listDirExceptLogs(temp)) << context;
        // The default log holds the refusal and nothing else.
        const std::vector<tstring> logs = listDir(temp);
        ASSERT_EQ(1u, logs.size()) << context;
        EXPECT_TRUE(tstrings::hasSuffix(tstrings::decodeUtf8(readFile(temp + L"\\" + logs[0])),
                                        L"e2e-basic-setup.exe: " + tstrings::decodeUtf8(lines[0]) + L"\r\n"))
            << context << ": " << readFile(temp + L"\\" + logs[0]);
        DeleteFileW((temp + L"\\" + logs[0]).c_str());
    }
    // The silent switches of other setup programs get the hint that works here.
    const ProcessResult silent = runProcess(launcher + L" /S", environment);
    EXPECT_NE(std::string::npos, silent.standardError.find("type /qn or /quiet")) << silent.standardError;
}

TEST_F(FaultsTest, TheFailureLineNamesOnlyALogThatIsThere) {
    const MsiexecMovedAside standIn(testProgramDir() + L"\\msiexec-tokens.exe");
    ASSERT_TRUE(standIn.isAside());
    const tstring tokensFile = pathOf(L"tokens");
    const tstring work = pathOf(L"work \u00e9");
    ASSERT_TRUE(CreateDirectoryW(work.c_str(), nullptr));
    writeFile(work + L"\\x.log", "what msiexec wrote");
    const std::string name = "e2e-basic-setup.exe: msiexec.exe ended with status ";
    const struct {
        const wchar_t* args;
        DWORD status;
        std::string line;  // empty: none; "<default>": the default log, named
    } cases[] = {
        {L"/qn", ERROR_SUCCESS_REBOOT_REQUIRED, ""},
        {L"/qn", ERROR_SUCCESS_REBOOT_INITIATED, ""},
        {L"/qn", ERROR_INSTALL_FAILURE, "<default>"},
        {L"/qn /l*v x.log", ERROR_INSTALL_FAILURE, ". Log: " + utf8(work) + "\\x.log"},
        {L"/qn /l*v .", ERROR_INSTALL_FAILURE, "; msiexec.exe wrote no log at " + utf8(work)},
        {L"/qn /l*v \"missing dir\\y.log\"", ERROR_INSTALL_FAILURE,
         "; msiexec.exe wrote no log at " + utf8(work) + "\\missing dir\\y.log"},
    };
    for (const auto& c : cases) {
        std::vector<tstring> environment = withStandIn(launcherEnvironment(), tokensFile);
        environment.push_back(L"TERVO_TEST_MSIEXEC_EXIT=" + std::to_wstring(c.status));
        DeleteFileW(tokensFile.c_str());
        wchar_t previous[MAX_PATH * 4];
        GetCurrentDirectoryW(MAX_PATH * 4, previous);
        SetCurrentDirectoryW(work.c_str());
        const ProcessResult r = runProcess(program(L"e2e-basic-setup.exe") + L" " + c.args, environment);
        SetCurrentDirectoryW(previous);
        const std::string context = utf8(c.args) + " -> " + std::to_string(c.status);
        EXPECT_EQ(c.status, r.exitCode) << context;
        ASSERT_TRUE(standInTokens(tokensFile).has_value()) << standInHint;
        if (c.line.empty()) {
            EXPECT_EQ("", r.standardError) << context << ": a success that needs a restart";
        } else if (c.line == "<default>") {
            EXPECT_TRUE(exists(installerFailureLog(r.standardError, "e2e-basic-setup.exe", c.status))) << context;
        } else {
            const std::vector<std::string> lines = outputLines(r.standardError);
            ASSERT_EQ(1u, lines.size()) << context << ": " << r.standardError;
            EXPECT_EQ(0u, lines[0].find(name + std::to_string(c.status) + " (")) << lines[0];
            EXPECT_TRUE(tstrings::hasSuffix(tstrings::decodeUtf8(lines[0]), tstrings::decodeUtf8(c.line))) << lines[0];
        }
    }
}

TEST_F(FaultsTest, NamesReachStandardErrorShownNotObeyed) {
    // A file name may hold C1 controls and bidirectional overrides, which a terminal would obey.
    const tstring name = L"fail\x9b\x202e" L"exe.txt";
    const std::string shown = "fail\\u009b\\u202eexe.txt";
    const tstring failing = pathOf(name + L".exe");
    ASSERT_TRUE(CopyFileW((testProgramDir() + L"\\e2e-failing-nocache-setup.exe").c_str(), failing.c_str(), FALSE));
    const ProcessResult installed = runProcess(inQuotes(failing) + L" /qn", launcherEnvironment());
    EXPECT_EQ(installFailure, installed.exitCode);
    EXPECT_EQ(0u, installed.standardError.find(shown + ".exe: msiexec.exe ended with status 1603 (")) << installed.standardError;
    const tstring nocode = pathOf(name + L" 2.exe");
    ASSERT_TRUE(CopyFileW((testProgramDir() + L"\\e2e-nocode-setup.exe").c_str(), nocode.c_str(), FALSE));
    const ProcessResult removed = runProcess(inQuotes(nocode) + L" uninstall", launcherEnvironment());
    EXPECT_EQ(failedRun, removed.exitCode);
    EXPECT_EQ(0u, removed.standardError.find(shown + " 2.exe carries no product to remove")) << removed.standardError;
    EXPECT_EQ(std::string::npos, removed.standardError.find("\xc2\x9b")) << "the raw control reached the terminal";
}

TEST_F(FaultsTest, HelpShowsTheLaunchersOwnUsageAndStartsNothing) {
    const MsiexecMovedAside standIn(testProgramDir() + L"\\msiexec-tokens.exe");
    ASSERT_TRUE(standIn.isAside());
    const tstring tokensFile = pathOf(L"tokens");
    const std::vector<tstring> environment = withStandIn(launcherEnvironment(), tokensFile);
    for (const wchar_t* text : {L"/?", L"-h", L"/HELP /qn", L"/qn /x /?"}) {
        const ProcessResult r = runProcess(program(L"e2e-basic-setup.exe") + L" " + text, environment);
        EXPECT_EQ(0u, r.exitCode) << utf8(text) << ": " << r.standardError;
        EXPECT_EQ("", r.standardError) << utf8(text);
        for (const char* part : {"e2e-basic-setup.exe /x [options]", "msiexec /fvomus <package>", "/extract <folder>",
                                 "e2e-basic-setup.exe uninstall", "/l*v <log>", "1639"}) {
            EXPECT_NE(std::string::npos, r.standardOutput.find(part)) << utf8(text) << ": " << r.standardOutput;
        }
        EXPECT_FALSE(standInTokens(tokensFile).has_value()) << utf8(text) << ": msiexec ran";
        EXPECT_EQ(std::vector<tstring>{}, listDir(temp)) << utf8(text) << ": no log, no folder";
    }
}

TEST_F(FaultsTest, PackageHeldOpenByAnotherProcessKeepsTheDirectorySilently) {
    const tstring eventName = L"Local\\tervo-hold-open-" + std::to_wstring(GetCurrentProcessId());
    const HANDLE release = CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
    ASSERT_NE(nullptr, release);
    ChildProcess holder(program(L"hold-open.exe") + L" " + inQuotes(temp) + L" " + eventName);

    const ProcessResult r = run(L"e2e-failing-nocache-setup.exe", L"/qn");
    const std::vector<tstring> left = listDirExceptLogs(temp);
    SetEvent(release);
    const ProcessResult held = holder.finish();
    CloseHandle(release);

    EXPECT_EQ(installFailure, r.exitCode) << "msiexec's own code";
    // A directory that cannot be removed is not reported; msiexec's failure is.
    installerFailureLog(r.standardError, "e2e-failing-nocache-setup.exe", installFailure);
    ASSERT_EQ(0u, held.exitCode) << held.standardOutput;
    ASSERT_EQ(1u, left.size()) << "the working directory stays while its package is held";
    const tstring kept = temp + L"\\" + left[0];
    EXPECT_EQ("held=" + utf8(kept) + "\\main.msi", outputLines(held.standardOutput).at(0));
    EXPECT_EQ(std::vector<tstring>{L"main.msi"}, listDir(kept)) << "only the held file remains";
}

TEST_F(FaultsTest, SimultaneousLaunchersUseDistinctDirectoriesAndRemoveThem) {
    constexpr int count = 5;
    std::vector<std::unique_ptr<ChildProcess>> launchers;
    for (int i = 0; i < count; ++i) {
        launchers.push_back(std::make_unique<ChildProcess>(program(L"e2e-failing-nocache-setup.exe") + L" /qn",
                                                           launcherEnvironment(true), true));
        ASSERT_TRUE(launchers.back()->started());
    }
    for (auto& launcher : launchers) {
        launcher->resume();
    }
    std::set<tstring> directories;
    const std::regex created(R"(Created \[(.+\.tmp)\\?\] directory)");
    for (auto& launcher : launchers) {
        const ProcessResult r = launcher->finish();
        // Wine now and then refuses one of several processes created at once with an internal
        // error; that launcher must then fail as any launcher whose msiexec cannot start.
        const std::vector<std::string> all = outputLines(r.standardError);
        const bool wineRefusedStart = runningOnWine() && r.exitCode == failedRun &&
                                      std::count_if(all.begin(), all.end(), [](const std::string& line) {
                                          return line.rfind("CreateProcess(", 0) == 0 &&
                                                 line.find(") failed. System error [1359]") != std::string::npos;
                                      }) == 1;
        if (wineRefusedStart) {
            note("Wine refused to start one msiexec with error 1359; that launcher failed cleanly");
        } else {
            EXPECT_EQ(installFailure, r.exitCode) << r.standardError;
            EXPECT_EQ(std::string::npos, r.standardError.find("[ERROR]")) << r.standardError;
        }
        std::smatch match;
        ASSERT_TRUE(std::regex_search(r.standardError, match, created)) << r.standardError;
        directories.insert(tstrings::decodeUtf8(match[1].str()));
    }
    EXPECT_EQ(static_cast<size_t>(count), directories.size()) << "each launcher works in a directory of its own";
    for (const tstring& directory : directories) {
        EXPECT_EQ(temp, directory.substr(0, directory.rfind(L'\\'))) << utf8(directory);
    }
    // What is left is one log each, named apart even when they started within the same second.
    const std::vector<tstring> logs = listDir(temp);
    EXPECT_EQ(static_cast<size_t>(count), logs.size());
    for (const tstring& log : logs) {
        EXPECT_TRUE(std::regex_match(utf8(log), std::regex(R"(e2e-failing-nocache-setup_\d{8}_\d{6}(_[2-5])?\.log)"))) << utf8(log);
        EXPECT_NE(std::string::npos, readFile(temp + L"\\" + log).find("Logging started")) << utf8(log);
    }
}

TEST_F(FaultsTest, DamagedPackagePassesTheInstallersCode) {
    // Windows' msiexec cannot open such a package (1619 or 1620); Wine's answers "function failed".
    const std::set<DWORD> expected =
        runningOnWine() ? std::set<DWORD>{ERROR_FUNCTION_FAILED}
                        : std::set<DWORD>{ERROR_INSTALL_PACKAGE_OPEN_FAILED, ERROR_INSTALL_PACKAGE_INVALID};
    for (const wchar_t* launcher :
         {L"e2e-randommsi-setup.exe", L"e2e-truncatedmsi-setup.exe", L"e2e-emptymsi-setup.exe"}) {
        const ProcessResult r = run(launcher, L"/qn");
        note(utf8(launcher) + ": msiexec exited with " + std::to_string(r.exitCode) +
             (runningOnWine() ? " (Wine; Windows: 1619 or 1620)" : ""));
        EXPECT_EQ(1u, expected.count(r.exitCode)) << utf8(launcher) << ": " << r.exitCode;
        // The installer's failure is no error of the launcher: one line says where to look.
        installerFailureLog(r.standardError, utf8(launcher), r.exitCode);
        EXPECT_EQ(std::vector<tstring>{}, listDirExceptLogs(temp)) << utf8(launcher);
    }
    EXPECT_FALSE(isProductInstalledForTest(basicCode));
}

TEST_F(FaultsTest, ProductCodeResourceFaultsMatterOnlyForUninstall) {
    const struct {
        const wchar_t* launcher;
        const char* detail;  // null: the code is read, and the product removed
    } cases[] = {
        {L"e2e-nocode-setup.exe", "cannot find resource (name='product_code', type='#10')"},
        {L"e2e-shortcode-setup.exe", "IIDFromString({3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E0}) failed"},
        {L"e2e-lowercode-setup.exe", nullptr},
        {L"e2e-unbracedcode-setup.exe", nullptr},
    };
    for (const auto& c : cases) {
        const std::string name = utf8(c.launcher);
        const ProcessResult install = run(c.launcher, L"/qn");
        EXPECT_EQ(0u, install.exitCode) << name << ": " << install.standardError;
        EXPECT_EQ("", install.standardError);
        EXPECT_TRUE(isProductInstalledForTest(basicCode)) << name;

        const ProcessResult uninstall = run(c.launcher, L"uninstall");
        if (c.detail) {
            // Plain words for the user; the detail for whoever debugs.
            EXPECT_EQ(failedRun, uninstall.exitCode) << name;
            EXPECT_EQ(std::vector<std::string>{name + " carries no product to remove: its product code is missing or "
                                                      "damaged, so it is not a complete launcher. Download " +
                                               name + " again."},
                      outputLines(uninstall.standardError));
            EXPECT_TRUE(isProductInstalledForTest(basicCode)) << name << ": nothing is removed";
            const ProcessResult debug = run(c.launcher, L"uninstall", true);
            EXPECT_NE(std::string::npos, debug.standardError.find(c.detail)) << debug.standardError;
        } else {
            EXPECT_EQ(0u, uninstall.exitCode) << name;
            EXPECT_EQ("", uninstall.standardError);
            EXPECT_FALSE(isProductInstalledForTest(basicCode)) << name;
        }
        EXPECT_EQ(std::vector<tstring>{}, listDirExceptLogs(temp)) << name;
        removeProductForTest(basicCode);
    }
}

TEST_F(FaultsTest, CommandLineAtTheSystemLimit) {
    // The longest command line a process can be given, without the terminating zero.
    constexpr size_t limit = 32766;
    // Without a cache: the package lies in the temporary folder, whose path length the test knows.
    const tstring launcher = program(L"e2e-nocache-setup.exe");
    const std::string msiexec = utf8(MsiexecMovedAside::path());
    // The child's line: msiexec's path, /i, <temp>\<number>.tmp\main.msi, then the arguments as
    // typed; the number has 1 to 11 characters.
    const size_t childBase = msiexec.size() + 4 + temp.size() + 1 + 4 + 9 + 1;
    const tstring ownLog = L"/qn /l*v " + pathOf(L"own.log") + L" \"GREETING=at the limit ";
    const tstring noLog = L"/qn \"GREETING=at the limit ";
    const struct {
        const char* name;
        tstring prefix;
        size_t longest;  // the child's line with an 11-character number, without a default log
        DWORD exitCode;
    } cases[] = {
        {"the child's line just fits", ownLog, limit, 0},
        {"the child's line is over the limit", ownLog, limit + 11, failedRun},
        {"the default log would not fit: it is left out", noLog, limit - 11, 0},
    };
    for (const auto& c : cases) {
        const size_t fill = c.longest - childBase - 11 - c.prefix.size() - 1;
        const tstring value = L"at the limit " + tstring(fill, L'x');
        const tstring args = c.prefix + tstring(fill, L'x') + L"\"";
        ASSERT_LE(launcher.size() + 1 + args.size(), limit) << c.name << ": the launcher's own line must fit";
        const ProcessResult r = runProcess(launcher + L" " + args, launcherEnvironment(true));
        EXPECT_EQ(c.exitCode, r.exitCode) << c.name;
        EXPECT_EQ(std::vector<tstring>{}, listDirExceptLogs(temp)) << c.name;
        EXPECT_EQ(std::vector<tstring>{}, listDir(temp)) << c.name << ": no log was asked for or fitted";
        if (c.exitCode == failedRun) {
            // Windows refuses such a line; Wine would start msiexec with the line cut short. The
            // message gives the length and the limit, not the line or the package's path.
            std::smatch match;
            // What was typed and what the launcher adds are counted apart; the default log is not counted.
            const std::regex failure("(^|\n)Cannot start msiexec\\.exe: its command line would be (\\d+) characters "
                                     "long, and the system allows at most 32766 \\(system error 206\\): (\\d+) "
                                     "characters of arguments as they were typed, and (\\d+) that the launcher adds "
                                     "\\(msiexec's path, /i and the package's path\\)\\. Pass fewer or shorter "
                                     "arguments\\.\r?(\n|$)");
            ASSERT_TRUE(std::regex_search(r.standardError, match, failure)) << r.standardError.substr(0, 2000);
            EXPECT_GT(std::stoul(match[2].str()), limit);
            EXPECT_LE(std::stoul(match[2].str()), limit + 11);
            EXPECT_EQ(args.size(), std::stoul(match[3].str()));
            EXPECT_EQ(std::stoul(match[2].str()), std::stoul(match[3].str()) + std::stoul(match[4].str()));
            EXPECT_FALSE(isProductInstalledForTest(basicCode)) << c.name;
            continue;
        }
        // The child's line as the launcher's debug record shows it.
        const std::string head = "CreateProcess(" + msiexec + ", ";
        const size_t begin = r.standardError.find(head);
        ASSERT_NE(std::string::npos, begin) << r.standardError.substr(0, 300);
        const size_t end = r.standardError.find(") succeeded; PID=", begin);
        ASSERT_NE(std::string::npos, end) << c.name << ": " << r.standardError.substr(begin, 300);
        EXPECT_GE(end - begin - head.size(), c.longest - 10) << c.name;
        EXPECT_LE(end - begin - head.size(), c.longest) << c.name;
        EXPECT_TRUE(basicPackageGreeting() == value) << c.name << ": the argument arrived cut or changed, "
                                                     << basicPackageGreeting().size() << " of " << value.size();
        if (c.prefix == noLog) {
            EXPECT_NE(std::string::npos, r.standardError.find("msiexec.exe's command line would be too long"))
                << r.standardError.substr(0, 2000);
        }
        removeProductForTest(basicCode);
    }
}

TEST_F(FaultsTest, PackRefusesDestinationsItCannotWrite) {
    const tstring fileDir = pathOf(L"read-only file \u00e9");
    ASSERT_TRUE(CreateDirectoryW(fileDir.c_str(), nullptr));
    const tstring readOnlyFile = fileDir + L"\\setup.exe";
    writeFile(readOnlyFile, "old contents");
    ASSERT_TRUE(SetFileAttributesW(readOnlyFile.c_str(), FILE_ATTRIBUTE_READONLY));
    // Windows refuses to move a file over a read-only one; Wine replaces it.
    const tstring probe = pathOf(L"probe");
    writeFile(probe, "probe");
    const bool fileProtected =
        !MoveFileExW(probe.c_str(), readOnlyFile.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED);
    ASSERT_TRUE(!fileProtected || SetFileAttributesW(readOnlyFile.c_str(), FILE_ATTRIBUTE_NORMAL));
    writeFile(readOnlyFile, "old contents");
    ASSERT_TRUE(SetFileAttributesW(readOnlyFile.c_str(), FILE_ATTRIBUTE_READONLY));
    note(std::string("a read-only destination file is ") +
         (fileProtected ? "kept, as on Windows" : "replaced here (Wine's MoveFileEx ignores the attribute)"));

    const tstring lockedDir = pathOf(L"locked \u00e9");
    ASSERT_TRUE(CreateDirectoryW(lockedDir.c_str(), nullptr));
    const WriteProtectedDirectory protection(lockedDir);
    const bool dirProtected = protection.enforced();
    note(std::string("a write-protected destination directory is ") +
         (dirProtected ? "refused, as on Windows" : "not enforced here (Wine or root)"));

    const tstring package = inQuotes(builtPackage(TERVO_E2E_BASIC_MSI));
    const struct {
        const char* name;
        tstring dir;
        bool refused;
        const char* error;
        std::string contents;
    } cases[] = {
        {"read-only file", fileDir, fileProtected, "Cannot write ", "old contents"},
        {"write-protected directory", lockedDir, dirProtected, "Cannot write ", ""},
    };
    for (const auto& c : cases) {
        const tstring destination = c.dir + L"\\setup.exe";
        const ProcessResult r = pack(package + L" -o " + inQuotes(destination) + L" --quiet");
        if (c.refused) {
            EXPECT_EQ(1u, r.exitCode) << c.name;
            EXPECT_EQ(0u, r.standardError.find(std::string("tervo-pack: ") + c.error)) << r.standardError;
            EXPECT_EQ(c.contents, readFile(destination)) << c.name << ": the destination is as it was";
        } else {
            EXPECT_EQ(0u, r.exitCode) << c.name << ": " << r.standardError;
            EXPECT_EQ(0u, readFile(destination).find("MZ")) << c.name << ": a complete launcher";
        }
        const std::vector<tstring> expected = c.contents.empty() && c.refused ? std::vector<tstring>{}
                                                                               : std::vector<tstring>{L"setup.exe"};
        EXPECT_EQ(expected, listDir(c.dir)) << c.name << ": no staged file is left";
        if (!c.refused) {
            SetFileAttributesW(destination.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(destination.c_str());
        }
    }
}

TEST_F(FaultsTest, PackShowsProgressForALargePackageUnlessQuiet) {
    const tstring package = inQuotes(builtPackage(TERVO_E2E_LARGE_MSI));
    const tstring out = pathOf(L"out");
    ASSERT_TRUE(CreateDirectoryW(out.c_str(), nullptr));
    const tstring setup = out + L"\\large setup.exe";
    const ProcessResult loud = pack(package + L" -o " + inQuotes(setup));
    ASSERT_EQ(0u, loud.exitCode) << loud.standardError;
    const std::regex progress(R"(Writing large setup\.exe: (\d+)%)");
    int last = 0;
    const std::vector<std::string> progressLines = outputLines(loud.standardError);
    EXPECT_LE(5u, progressLines.size()) << loud.standardError;
    for (const std::string& line : progressLines) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, progress)) << line;
        EXPECT_LT(last, std::stoi(match[1].str())) << loud.standardError;
        last = std::stoi(match[1].str());
    }
    EXPECT_EQ(100, last);
    EXPECT_NE(std::string::npos, loud.standardOutput.find("Wrote ")) << loud.standardOutput;

    const ProcessResult quiet = pack(package + L" -o " + inQuotes(setup) + L" --quiet");
    EXPECT_EQ(0u, quiet.exitCode) << quiet.standardError;
    EXPECT_EQ("", quiet.standardError);
    EXPECT_EQ("", quiet.standardOutput);
    EXPECT_EQ(std::vector<tstring>{L"large setup.exe"}, listDir(out));
}

TEST_F(FaultsTest, PackKilledHalfWayLeavesTheDestinationUntouched) {
    constexpr UINT killed = 0xDEAD;
    const tstring package = inQuotes(builtPackage(TERVO_E2E_LARGE_MSI));
    const tstring out = pathOf(L"out \u00e9");
    ASSERT_TRUE(CreateDirectoryW(out.c_str(), nullptr));
    const struct {
        const char* name;
        bool existing;
    } cases[] = {{"new destination", false}, {"existing destination", true}};
    for (const auto& c : cases) {
        const tstring setup = out + L"\\setup.exe";
        if (c.existing) {
            writeFile(setup, "old contents");
        }
        ChildProcess tool(program(L"tervo-pack.exe") + L" " + package + L" -o " + inQuotes(setup), {}, false,
                          ChildProcess::ErrorStream::ReadByTest);
        // Standard error holds a single byte: the tool stalls at its next progress line until killed.
        const std::optional<std::string> first = tool.readErrorLine();
        ASSERT_TRUE(first.has_value()) << c.name;
        EXPECT_EQ(0u, first->find("Writing setup.exe: ")) << *first;
        const std::vector<tstring> during = listDir(out);
        tool.terminate(killed);
        const ProcessResult r = tool.finish();
        EXPECT_EQ(killed, r.exitCode) << c.name << ": the tool ended before it was killed";
        const size_t staged = std::count_if(during.begin(), during.end(), [](const tstring& name) {
            return name.rfind(L"stg", 0) == 0 && name.size() > 7 && name.substr(name.size() - 4) == L".tmp";
        });
        EXPECT_EQ(1u, staged) << c.name << ": the staged file was being written";
        if (c.existing) {
            EXPECT_EQ(std::vector<tstring>{L"setup.exe"}, listDir(out)) << c.name;
            EXPECT_EQ("old contents", readFile(setup)) << c.name;
        } else {
            EXPECT_EQ(std::vector<tstring>{}, listDir(out)) << c.name;
        }
        DeleteFileW(setup.c_str());
    }
}

TEST_F(FaultsTest, PackInspectWithoutATemporaryDirectoryFailsAndWritesNothing) {
    const tstring setup = pathOf(L"setup.exe");
    ASSERT_EQ(0u, pack(inQuotes(builtPackage(TERVO_E2E_BASIC_MSI)) + L" -o " + inQuotes(setup) + L" --quiet").exitCode);
    // A folder path longer than the system's limit: GetTempPath fails.
    const tstring longTemp = temp + L"\\" + tstring(300, L'x');
    const std::vector<tstring> before = listDir(dir);
    const ProcessResult r =
        runProcess(program(L"tervo-pack.exe") + L" --inspect " + inQuotes(setup), {L"TEMP=" + longTemp, L"TMP=" + longTemp});
    EXPECT_EQ(1u, r.exitCode) << r.standardError;
    EXPECT_EQ(0u, r.standardError.find("tervo-pack: Cannot create a temporary copy of the package: GetTempPath failed"))
        << r.standardError;
    EXPECT_NE(std::string::npos, r.standardOutput.find("Product code:  {3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E01}"));
    EXPECT_EQ(before, listDir(dir)) << "nothing is written anywhere";
    EXPECT_EQ(std::vector<tstring>{}, listDir(temp));
}
