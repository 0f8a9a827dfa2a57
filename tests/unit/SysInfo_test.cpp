#include <algorithm>

#include "ImportHook.h"
#include "PathUtils.h"
#include "SysInfo.h"
#include "TestSupport.h"
#include "WinErrorHandling.h"

namespace {

// What print-args prints for ExcludeProgramName when started with its quoted path and
// `arguments`; checks that IncludeProgramName gives the program path and then the same.
std::string argsSeenBy(const std::string& arguments) {
    const tstring program = testProgramDir() + L"\\print-args.exe";
    const ProcessResult result = runProcess(L"\"" + program + L"\"" + tstrings::decodeUtf8(arguments));
    std::string text = result.standardOutput;
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    const size_t split = text.find("include ");
    const std::string excluded = text.substr(0, split);
    const std::string elements = excluded.substr(excluded.find('\n') + 1);
    const auto count = std::count(elements.begin(), elements.end(), '\n');
    EXPECT_EQ("include " + std::to_string(count + 1) + "\n[" + tstrings::encodeUtf8(program) + "]\n" + elements,
              split == std::string::npos ? text : text.substr(split));
    return excluded;
}

std::string thrownBy(const tstring& name) {
    try {
        SysInfo::getEnvVariable(name);
    } catch (const TervoError<SysError>& e) {
        return e.plainMessage() + std::string(" @") + e.what();
    }
    return "nothing thrown";
}

} // namespace

TEST(SysInfo, CommandArgsAreSplitByTheSystemRules) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "exclude 0\n"},
        {" \"with blank\" \"\" /qn", "exclude 3\n[with blank]\n[]\n[/qn]\n"},
        {" J\xc3\xbcrgen \"\xce\xa9mega x\"", "exclude 2\n[J\xc3\xbcrgen]\n[\xce\xa9mega x]\n"},
        {" a\\\\\"b c\" \"say \\\"hi\\\"\"", "exclude 2\n[a\\b c]\n[say \"hi\"]\n"},
    };
    for (const auto& [arguments, expected] : cases) {
        EXPECT_EQ(expected, argsSeenBy(arguments)) << arguments;
    }
}

TEST(SysInfo, EnvironmentValuesOfEveryLength) {
    const tstring name = L"TERVO_TEST_\u00dcVALUE";
    for (const size_t length : {0u, 9u, 10u, 11u, 32766u}) {
        tstring value;
        for (size_t i = 0; i < length; ++i) {
            value += i % 2 ? L'\u03a9' : static_cast<wchar_t>(L'a' + i % 26);
        }
        SysInfo::setEnvVariable(name, value);
        EXPECT_TRUE(SysInfo::isEnvVariableSet(name));
        EXPECT_EQ(value, SysInfo::getEnvVariable(name)) << length;
        EXPECT_EQ(value, SysInfo::getEnvVariable(std::nothrow, name, L"default")) << length;
    }
    SetEnvironmentVariableW(name.c_str(), nullptr);
    EXPECT_FALSE(SysInfo::isEnvVariableSet(name));
    EXPECT_EQ(L"default", SysInfo::getEnvVariable(std::nothrow, name, L"default"));
    const std::string thrown = thrownBy(name);
    EXPECT_EQ(0u, thrown.find("GetEnvironmentVariable(TERVO_TEST_\xc3\x9cVALUE) failed. Variable not set. "
                              "System error [203]"))
        << thrown;
    EXPECT_NE(std::string::npos, thrown.find(" at SysInfo::`anonymous-namespace'::getEnvVariableImpl(): ")) << thrown;
    try {
        SysInfo::setEnvVariable(L"A=B", L"v");
        ADD_FAILURE() << "no exception";
    } catch (const TervoError<SysError>& e) {
        EXPECT_EQ(0u, std::string(e.plainMessage()).find("SetEnvironmentVariable(A=B, v) failed. System error ["));
    }
}

TEST(SysInfo, DirectoriesWithoutTrailingSeparators) {
    wchar_t raw[MAX_PATH + 1];
    ASSERT_NE(0u, GetTempPathW(MAX_PATH + 1, raw));
    const tstring temp = SysInfo::getTempDir();
    EXPECT_EQ(tstring(raw), temp + L"\\");
    // The answer follows TMP, with every trailing separator gone.
    const tstring original = SysInfo::getEnvVariable(std::nothrow, L"TMP", L"");
    const tstring chosen = temp + L"\\J\u00fcrgen \u03a9mega";
    CreateDirectoryW(chosen.c_str(), nullptr);
    SetEnvironmentVariableW(L"TMP", (chosen + L"\\\\").c_str());
    const tstring answered = SysInfo::getTempDir();
    SetEnvironmentVariableW(L"TMP", original.empty() ? nullptr : original.c_str());
    RemoveDirectoryW(chosen.c_str());
    EXPECT_EQ(chosen, answered);

    ASSERT_NE(0u, GetSystemDirectoryW(raw, MAX_PATH + 1));
    EXPECT_EQ(FileUtils::trimTrailingSeparators(raw), SysInfo::getSystemDir());
    const tstring msiexec = SysInfo::getMsiexecPath();
    EXPECT_EQ(SysInfo::getSystemDir() + L"\\msiexec.exe", msiexec);
    EXPECT_EQ(tstring::npos, msiexec.find(L"\\\\"));

    EXPECT_EQ(testProgramDir() + L"\\SysInfo_test.exe", SysInfo::getProcessModulePath());
}

TEST(SysInfo, TemporaryDirectoryTheSystemCannotGiveIsAnError) {
    const tstring original = SysInfo::getEnvVariable(std::nothrow, L"TMP", L"");
    SetEnvironmentVariableW(L"TMP", (L"C:\\" + tstring(MAX_PATH, L'x')).c_str());
    const std::string thrown = thrownPlainMessage([] { SysInfo::getTempDir(); }, "SysInfo::getTempDir");
    SetEnvironmentVariableW(L"TMP", original.empty() ? nullptr : original.c_str());
    EXPECT_EQ(0u, thrown.find("GetTempPath failed. System error [")) << thrown;
}

TEST(SysInfo, ModulePathLongerThanTheFirstBufferAndItsFailure) {
    const tstring path = L"C:\\" + tstring(600, L'x') + L"\\setup.exe";
    std::vector<DWORD> offered;
    {
        const IMPORT_HOOK(GetModuleFileNameW) longPath(
            [&, answer = answerModulePath(path)](auto original, HMODULE module, LPWSTR buffer, DWORD size) {
                offered.push_back(size);
                return answer(original, module, buffer, size);
            });
        EXPECT_EQ(path, SysInfo::getCurrentModulePath());
    }
    EXPECT_EQ((std::vector<DWORD>{260, 520, 1040}), offered);
    const IMPORT_HOOK(GetModuleFileNameW) fails(failing<DWORD>(0, ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ("GetModuleFileName failed. System error [8](" + tstrings::encodeUtf8(systemErrorText(8)) + ")",
              thrownPlainMessage([] { SysInfo::getCurrentModulePath(); }, "SysInfo::`anonymous-namespace'::getModulePath"));
}

TEST(SysInfo, InteractiveOnlyOnAVisibleWindowStationOutsideSessionZero) {
    const struct {
        const char* name;
        bool stationRead;
        DWORD stationFlags;
        bool sessionRead;
        DWORD session;
        bool interactive;
    } cases[] = {
        {"a user's desktop", true, WSF_VISIBLE, true, 1, true},
        {"a hidden window station", true, 0, true, 1, false},
        {"session 0, where services run", true, WSF_VISIBLE, true, 0, false},
        {"window station unreadable", false, WSF_VISIBLE, true, 1, false},
        {"session unreadable", true, WSF_VISIBLE, false, 1, false},
    };
    for (const auto& c : cases) {
        const IMPORT_HOOK(GetUserObjectInformationW) station(
            [&](auto, HANDLE, int index, PVOID info, DWORD size, LPDWORD) -> BOOL {
                EXPECT_EQ(UOI_FLAGS, index);
                EXPECT_EQ(sizeof(USEROBJECTFLAGS), size);
                if (!c.stationRead) {
                    SetLastError(ERROR_ACCESS_DENIED);
                    return FALSE;
                }
                static_cast<USEROBJECTFLAGS*>(info)->dwFlags = c.stationFlags;
                return TRUE;
            });
        const IMPORT_HOOK(ProcessIdToSessionId) session([&](auto, DWORD pid, DWORD* id) -> BOOL {
            EXPECT_EQ(GetCurrentProcessId(), pid);
            *id = c.session;
            return c.sessionRead ? TRUE : FALSE;
        });
        EXPECT_EQ(c.interactive, SysInfo::isInteractiveSession()) << c.name;
    }
}
