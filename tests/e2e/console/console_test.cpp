// Debug mode on a real console, run under Xvfb, where Wine's consoles work. This program has a
// console of its own whose code page is not UTF-8, starts GUI programs the way a command prompt
// does (not attached to it, standard handles only where redirected) and reads back the console.
#include "SysInfo.h"
#include "TestSupport.h"
#include "UniqueHandle.h"

namespace {

const UINT codePage = 437;

class ConsoleTest : public TempDirTest {
protected:
    static void SetUpTestSuite() {
        FreeConsole();
        ASSERT_TRUE(AllocConsole());
        ASSERT_TRUE(SetConsoleOutputCP(codePage));
        ASSERT_TRUE(SetConsoleScreenBufferSize(console(), {400, 2000})) << describeWinError(GetLastError());
    }
    void SetUp() override {
        TempDirTest::SetUp();
        temp = pathOf(L"J\u00fcrgen \u65e5\u672c");
        ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
        for (const wchar_t* name : {L"TEMP", L"TMP"}) {
            SetEnvironmentVariableW(name, temp.c_str());
        }
        SetEnvironmentVariableW(L"TERVO_DEBUG", L"true");
    }
    void TearDown() override {
        for (const wchar_t* name : {L"TEMP", L"TMP"}) {
            SetEnvironmentVariableW(name, original.c_str());
        }
        TempDirTest::TearDown();
    }
    static HANDLE console() {
        static const UniqueHandle handle(CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
        return handle.get();
    }
    // The console's text from the cursor on, read after `program ARGS` ran with the creation flags
    // and standard error and output (none when null); error boxes captioned `program` are closed.
    tstring run(const tstring& program, const tstring& args, DWORD flags, HANDLE error = nullptr, HANDLE output = nullptr) {
        CONSOLE_SCREEN_BUFFER_INFO before{};
        GetConsoleScreenBufferInfo(console(), &before);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdError = error;
        startup.hStdOutput = output;
        PROCESS_INFORMATION info{};
        tstring line = L"\"" + testProgramDir() + L"\\" + program + L"\" " + args;
        EXPECT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr, &startup, &info));
        const UniqueHandle process(info.hProcess), thread(info.hThread);
        while (WaitForSingleObject(process.get(), 100) == WAIT_TIMEOUT) {
            if (const HWND box = FindWindowW(nullptr, program.c_str())) {
                PostMessageW(box, WM_CLOSE, 0, 0);
            }
        }
        GetExitCodeProcess(process.get(), &exitCode);
        EXPECT_EQ(codePage, GetConsoleOutputCP()) << "the console's code page is the parent's";
        CONSOLE_SCREEN_BUFFER_INFO after{};
        GetConsoleScreenBufferInfo(console(), &after);
        const auto offset = [&](const COORD& at) { return at.Y * after.dwSize.X + at.X; };
        tstring text(offset(after.dwCursorPosition) - offset(before.dwCursorPosition), L' ');
        DWORD read = 0;
        ReadConsoleOutputCharacterW(console(), text.data(), static_cast<DWORD>(text.size()), before.dwCursorPosition, &read);
        return text.substr(0, read);
    }
    static bool has(const tstring& text, const tstring& part) { return text.find(part) != tstring::npos; }

    const tstring original = SysInfo::getTempDir();
    tstring temp;
    DWORD exitCode = 0;
};

} // namespace

// Detached, as Windows starts a GUI program from a console; not detached, the program has Wine's
// console already; with standard error redirected to a file, the file gets the records.
TEST_F(ConsoleTest, RecordsAppearOnTheConsoleUnlessStandardErrorIsRedirected) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const tstring log = pathOf(L"log.txt");
    const UniqueHandle file(CreateFileW(log.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_NEW, 0, nullptr));
    const std::pair<DWORD, HANDLE> cases[] = {{DETACHED_PROCESS, nullptr}, {0, nullptr}, {DETACHED_PROCESS, file.get()}};
    for (const auto& [flags, error] : cases) {
        const tstring shown = run(L"e2e-failing-setup.exe", L"/qn", flags, error);
        const tstring text = error ? tstrings::decodeUtf8(readFile(log)) : shown;
        EXPECT_EQ(error ? L"" : text, shown);
        EXPECT_EQ(static_cast<DWORD>(ERROR_INSTALL_FAILURE), exitCode);
        EXPECT_EQ(0u, text.find(L"[TRACE] app.cpp:")) << tstrings::encodeUtf8(text);
        EXPECT_TRUE(has(text, L"Created [" + temp + L"\\")) << tstrings::encodeUtf8(text);
        EXPECT_TRUE(has(text, L"terminated. Exit code=1603"));
        EXPECT_TRUE(has(text, L"] app.cpp:0: Exiting app::launch"));
    }
    // A failure's line too, after its box: the same text as in the error record.
    const tstring missing = temp + L"\\missing";
    SetEnvironmentVariableW(L"TEMP", missing.c_str());
    SetEnvironmentVariableW(L"TMP", missing.c_str());
    const tstring text = run(L"e2e-basic-setup.exe", L"/qn", DETACHED_PROCESS);
    EXPECT_EQ(0xFFFFFFFFu, exitCode);
    const tstring failure = L"The temporary folder " + missing + L" does not exist";
    EXPECT_NE(tstring::npos, text.find(failure, text.find(failure) + 1)) << tstrings::encodeUtf8(text);
}

// The probe links the standard iostreams: they are synchronised after each standard stream that
// is reopened on the console and after it is closed; a redirected stream is not reopened.
TEST_F(ConsoleTest, StandardIostreamsFollowTheConsole) {
    const UniqueHandle nul(CreateFileW(L"NUL", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    SetHandleInformation(nul.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    const std::pair<HANDLE, HANDLE> errorAndOutput[] = {{nullptr, nullptr}, {nullptr, nul.get()}, {nul.get(), nullptr}};
    const DWORD syncs[] = {4, 2, 0};
    for (std::size_t i = 0; i < std::size(syncs); ++i) {
        run(L"frame-probe.exe", L"stream-syncs", DETACHED_PROCESS, errorAndOutput[i].first, errorAndOutput[i].second);
        EXPECT_EQ(syncs[i], exitCode) << i;
    }
}
