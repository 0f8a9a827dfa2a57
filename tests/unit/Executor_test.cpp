#include "Executor.h"

#include "ImportHook.h"
#include "TestSupport.h"
#include "WinErrorHandling.h"

namespace {

const tstring childPath = testProgramDir() + L"\\test_child.exe";

tstring pidText(HANDLE process) { return std::to_wstring(GetProcessId(process)); }

} // namespace

TEST(Executor, QuotesOnlyElementsWithBlanksThatAreNotWrapped) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"", L""}, {L"/qn", L"/qn"}, {L"a b", L"\"a b\""}, {L"a\tb", L"\"a\tb\""},
        {L"\"already wrapped\"", L"\"already wrapped\""}, {L"\"", L"\""}, {L"\" x", L"\"\" x\""},
        {L"in\"ner", L"in\"ner"}, {L"P=\"a b\"", L"\"P=\"a b\"\""}, {L"C:\\a b\\", L"\"C:\\a b\\\""},
    };
    for (const auto& [arg, quoted] : cases) {
        tstring text = arg;
        Executor::quoteArg(text);
        EXPECT_EQ(quoted, text) << tstrings::encodeUtf8(arg);
    }
    Executor executor(L"C:\\Program Files\\app.exe");
    executor.addArg(L"/i").addArg(L"").addArg(L"TARGETDIR=C:\\a b").addEncodedArg(L"P=\"a b\"").addEncodedArg(L"");
    EXPECT_EQ(L"\"C:\\Program Files\\app.exe\" /i  \"TARGETDIR=C:\\a b\" P=\"a b\" ", executor.commandLine());
}

TEST(Executor, MissingProgramNamesTheCallWithItsFlags) {
    const tstring missing = testProgramDir() + L"\\tervo-missing.exe";
    const struct {
        bool suspended, visible, inherit;
        const wchar_t* head;
    } cases[] = {
        {false, false, false, L"CreateProcess("},
        {true, false, false, L"CreateProcess[suspended]("},
        {false, true, true, L"CreateProcess[visible][inherit]("},
        {true, true, true, L"CreateProcess[suspended][visible][inherit]("},
    };
    for (const auto& c : cases) {
        Executor executor(missing);
        executor.setSuspended(c.suspended).setVisible(c.visible).setInheritHandles(c.inherit).addArg(L"x y");
        const tstring expected = c.head + missing + L", " + missing + L" \"x y\") failed. System error [2](" +
                                 systemErrorText(ERROR_FILE_NOT_FOUND) + L")";
        EXPECT_EQ(tstrings::encodeUtf8(expected),
                  thrownPlainMessage([&] { executor.execAndWaitForExit(); }, "Executor::startProcess"));
    }
}

TEST(Executor, ReturnsTheExitCodeUnchangedAndTracesTheRun) {
    for (const DWORD code : {0ul, 1603ul, 0xC0000005ul}) {
        CapturingAppender capture;
        ScopedAppender scope(&capture);
        tstring pid;
        Executor executor(childPath);
        executor.addArg(L"exit").addArg(std::to_wstring(code)).setProcessStartedHook([&](HANDLE h) { pid = pidText(h); });
        EXPECT_EQ(code, static_cast<DWORD>(executor.execAndWaitForExit()));
        const auto traces = capture.messages(Severity::TRACE);
        ASSERT_EQ(2u, traces.size());
        EXPECT_EQ(L"CreateProcess(" + childPath + L", " + executor.commandLine() + L") succeeded; PID=" + pid, traces[0]);
        EXPECT_EQ(L"Process with PID=" + pid + L" terminated. Exit code=" + std::to_wstring(code), traces[1]);
        EXPECT_EQ(L"Executor::execAndWaitForExit", capture.records[1].functionName);
    }
}

class ExecutorChild : public TempDirTest {
protected:
    // Runs the child's "record" command with the extra arguments and returns what it wrote.
    std::string record(Executor& executor, const tstring& extra = L"") {
        executor.addArg(L"record").addArg(pathOf(L"record.txt")).addArg(extra);
        EXPECT_EQ(0, executor.execAndWaitForExit());
        return readFile(pathOf(L"record.txt"));
    }
};

TEST_F(ExecutorChild, ReceivesTheCommandLineHiddenUnlessVisible) {
    const tstring copy = pathOf(L"with space.exe");
    ASSERT_TRUE(CopyFileW(childPath.c_str(), copy.c_str(), TRUE)) << describeWinError(GetLastError());
    Executor hidden(copy);
    const std::string text = record(hidden, L"P=\"a b\"");
    EXPECT_EQ("line=" + tstrings::encodeUtf8(hidden.commandLine()) + "\nstartup=1 0\ninjob=0\n", text);
    EXPECT_EQ(0u, text.find("line=\"" + tstrings::encodeUtf8(copy) + "\" record ")) << text;

    Executor visible(childPath);
    EXPECT_NE(std::string::npos, record(visible.setVisible(true)).find("\nstartup=0 "));
}

TEST_F(ExecutorChild, CommandLineUpToTheSystemLimitArrivesWholeAndALongerOneIsRefused) {
    for (const size_t length : {Executor::maxCommandLineLength, Executor::maxCommandLineLength + 1}) {
        const tstring record = pathOf(L"record-" + std::to_wstring(length) + L".txt");
        Executor executor(childPath);
        const size_t base = Executor(childPath).addArg(L"record").addArg(record).commandLine().size() + 1;
        executor.addArg(L"record").addArg(record).addArg(tstring(length - base, L'x'));
        ASSERT_EQ(length, executor.commandLine().size());
        if (length <= Executor::maxCommandLineLength) {
            EXPECT_EQ(0, executor.execAndWaitForExit());
            EXPECT_EQ(0u, readFile(record).find("line=" + tstrings::encodeUtf8(executor.commandLine()) + "\n"));
        } else {
            // The length and the limit; not the line, which can be longer than any message box.
            const std::string message =
                thrownPlainMessage([&] { executor.execAndWaitForExit(); }, "Executor::startProcess");
            EXPECT_EQ("Cannot start test_child.exe: its command line would be 32767 characters long, and the "
                      "system allows at most 32766 (system error 206). Pass fewer or shorter arguments.",
                      message);
            EXPECT_FALSE(exists(record)) << "no child was started";
        }
    }
}

TEST_F(ExecutorChild, SuspendedChildJoinsItsJobAndMeetsTheHookBeforeItRuns) {
    const UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
    CapturingAppender capture;
    ScopedAppender scope(&capture);
    tstring pid;
    Executor executor(childPath);
    executor.setSuspended(true).setJobObject(job.get()).setProcessStartedHook([&](HANDLE process) {
        pid = pidText(process);
        BOOL inJob = FALSE;
        EXPECT_TRUE(IsProcessInJob(process, job.get(), &inJob) && inJob);
        EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(process, 0));
    });
    // The child asks for its job as the first thing it does.
    EXPECT_NE(std::string::npos, record(executor).find("\ninjob=1\n"));
    const auto traces = capture.messages(Severity::TRACE);
    ASSERT_EQ(4u, traces.size());
    EXPECT_EQ(0u, traces[0].find(L"CreateProcess[suspended](")) << traces[0];
    EXPECT_EQ(L"AssignProcessToJobObject(PID=" + pid + L")", traces[1]);
    EXPECT_EQ(L"ResumeThread()", traces[2]);
    EXPECT_EQ(L"Process with PID=" + pid + L" terminated. Exit code=0", traces[3]);
}

TEST(Executor, StartProcessHandsOverBothHandlesAndTheJobLimitsTheChild) {
    UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    ASSERT_TRUE(SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits));
    HANDLE seen = nullptr;
    Executor executor(childPath);
    executor.addArg(L"exit").addArg(L"0").setSuspended(true).setJobObject(job.get());
    UniqueHandle thread;
    const UniqueHandle process = executor.setProcessStartedHook([&](HANDLE h) { seen = h; }).startProcess(&thread);
    EXPECT_EQ(seen, process.get());
    EXPECT_EQ(GetProcessId(process.get()), GetProcessIdOfThread(thread.get()));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(process.get(), 200)) << "runs while suspended";
    job.reset(); // closing the job's only handle ends the still suspended child
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(process.get(), 10000));
}

// Failures after the child was created name the call; a suspended child, which has run no code
// yet, is ended rather than left behind.
TEST(Executor, FailuresAfterTheStartAreNamedAndASuspendedChildIsEnded) {
    const auto systemError = [](const char* text, DWORD code) {
        return std::string(text) + " System error [" + std::to_string(code) + "](" +
               tstrings::encodeUtf8(systemErrorText(code)) + ")";
    };
    const UniqueHandle notAJob(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const DWORD notAJobError = AssignProcessToJobObject(notAJob.get(), GetCurrentProcess()) ? 0 : GetLastError();
    const struct {
        bool suspended;
        std::function<void(Executor&, DWORD&)> run;
        const char* function;
        std::string expected;
    } cases[] = {
        {true,
         [&](Executor& e, DWORD& pid) {
             const IMPORT_HOOK(AssignProcessToJobObject) join([&](auto original, HANDLE job, HANDLE process) {
                 pid = GetProcessId(process);
                 return original(job, process);
             });
             e.setJobObject(notAJob.get()).execAndWaitForExit();
         },
         "Executor::startProcess", systemError("AssignProcessToJobObject() failed.", notAJobError)},
        {true,
         [](Executor& e, DWORD& pid) {
             e.setProcessStartedHook([&](HANDLE process) {
                 pid = GetProcessId(process);
                 throw TervoError<std::runtime_error>(std::runtime_error("hook failed"), SourceLocation("t.cpp", "hook", 1));
             });
             e.execAndWaitForExit();
         },
         "hook", "hook failed"},
        {true,
         [](Executor& e, DWORD& pid) {
             e.setProcessStartedHook([&](HANDLE process) { pid = GetProcessId(process); });
             const IMPORT_HOOK(ResumeThread) f(failing<DWORD>(DWORD(-1), 5));
             e.execAndWaitForExit();
         },
         "Executor::execAndWaitForExit", systemError("ResumeThread() failed.", 5)},
        {false, [](Executor& e, DWORD&) { const IMPORT_HOOK(WaitForSingleObject) f(failing<DWORD>(WAIT_FAILED, 6)); e.execAndWaitForExit(); },
         "Executor::execAndWaitForExit", systemError("WaitForSingleObject() failed.", 6)},
        {false, [](Executor& e, DWORD&) { const IMPORT_HOOK(GetExitCodeProcess) f(failing<BOOL>(FALSE, 5)); e.execAndWaitForExit(); },
         "Executor::execAndWaitForExit", systemError("GetExitCodeProcess() failed.", 5)},
        {false, [](Executor& e, DWORD&) { const IMPORT_HOOK(GetProcessId) f(failing<DWORD>(0, 87)); e.execAndWaitForExit(); },
         "Executor::execAndWaitForExit", systemError("GetProcessId() failed.", 87)},
    };
    for (const auto& c : cases) {
        DWORD pid = 0;
        Executor executor(childPath);
        executor.addArg(L"exit").addArg(L"0").setSuspended(c.suspended);
        EXPECT_EQ(c.expected, thrownPlainMessage([&] { c.run(executor, pid); }, c.function));
        EXPECT_EQ(c.suspended, pid != 0);
        // A process object that is gone already is as good as an ended one.
        const UniqueHandle child(pid ? OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE, pid) : nullptr);
        DWORD code = 0;
        if (child && WaitForSingleObject(child.get(), 10000) != WAIT_OBJECT_0) {
            TerminateProcess(child.get(), 1);
            ADD_FAILURE() << "left suspended: " << c.expected;
        } else if (child) {
            EXPECT_TRUE(GetExitCodeProcess(child.get(), &code) && code == ERROR_PROCESS_ABORTED) << c.expected;
        }
    }
}
