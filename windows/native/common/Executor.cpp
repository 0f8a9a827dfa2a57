#include "Executor.h"

#include <utility>
#include <vector>

#include "Log.h"
#include "PathUtils.h"
#include "WinErrorHandling.h"

Executor::Executor(const tstring& programPath) : programPath(programPath) {}

Executor& Executor::setVisible(bool value) {
    visible = value;
    return *this;
}

Executor& Executor::setSuspended(bool value) {
    suspended = value;
    return *this;
}

Executor& Executor::setInheritHandles(bool value) {
    inheritHandles = value;
    return *this;
}

Executor& Executor::setJobObject(HANDLE job) {
    jobObject = job;
    return *this;
}

Executor& Executor::setProcessStartedHook(std::function<void(HANDLE)> hook) {
    processStartedHook = std::move(hook);
    return *this;
}

Executor& Executor::addArg(const tstring& arg) {
    args.push_back({arg, false});
    return *this;
}

Executor& Executor::addEncodedArg(const tstring& arg) {
    args.push_back({arg, true});
    return *this;
}

void Executor::quoteArg(tstring& arg) {
    const bool wrapped = arg.size() > 1 && arg.front() == L'"' && arg.back() == L'"';
    if (arg.empty() || wrapped || arg.find_first_of(L" \t") == tstring::npos) {
        return;
    }
    arg.insert(arg.begin(), L'"');
    arg.push_back(L'"');
}

tstring Executor::commandLine() const {
    tstring_array elements;
    elements.reserve(args.size() + 1);
    elements.push_back(programPath);
    quoteArg(elements.back());
    for (const Argument& arg : args) {
        elements.push_back(arg.text);
        if (!arg.encoded) {
            quoteArg(elements.back());
        }
    }
    return tstrings::joinWith(elements.begin(), elements.end(), L" ");
}

UniqueHandle Executor::startProcess(UniqueHandle* thread) const {
    const tstring line = commandLine();
    // CreateProcessW may write into the command line.
    std::vector<wchar_t> buffer(line.begin(), line.end());
    buffer.push_back(L'\0');

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    DWORD creationFlags = 0;
    if (suspended) {
        creationFlags |= CREATE_SUSPENDED;
    }
    if (!visible) {
        startup.dwFlags |= STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_HIDE;
        creationFlags |= CREATE_NO_WINDOW;
    }

    tstrings::MessageBuilder description;
    description << "CreateProcess";
    if (suspended) {
        description << "[suspended]";
    }
    if (visible) {
        description << "[visible]";
    }
    if (inheritHandles) {
        description << "[inherit]";
    }
    description << "(" << programPath << ", " << line << ")";

    // Windows refuses a longer line (with error 206, whose text speaks of a file name); Wine
    // would start the child with the line cut short, handing it arguments that nobody gave. The
    // message leaves out the line itself, which can be as long as any message box.
    if (line.size() > maxCommandLineLength) {
        throw TervoError<std::runtime_error>(std::runtime_error(
            (tstrings::MessageBuilder() << "Cannot start " << FileUtils::leafName(programPath)
                                        << ": its command line would be " << line.size()
                                        << " characters long, and the system allows at most " << maxCommandLineLength
                                        << " (system error " << ERROR_FILENAME_EXCED_RANGE
                                        << "). Pass fewer or shorter arguments.")
                .utf8()));
    }
    if (!CreateProcessW(programPath.c_str(), buffer.data(), nullptr, nullptr, inheritHandles ? TRUE : FALSE,
                        creationFlags, nullptr, nullptr, &startup, &info)) {
        const DWORD error = GetLastError();
        throw TervoError<SysError>(SysError(description << " failed", CreateProcessW, error));
    }
    UniqueHandle process(info.hProcess);
    UniqueHandle mainThread(info.hThread);

    try {
        if (Logger::global().accepts(Severity::TRACE)) {
            logAt(Severity::TRACE, tstrings::MessageBuilder()
                                       << description.str() << " succeeded; PID=" << info.dwProcessId);
        }
        if (thread) {
            *thread = std::move(mainThread);
        } else {
            mainThread.reset();
        }
        if (jobObject) {
            if (Logger::global().accepts(Severity::TRACE)) {
                logAt(Severity::TRACE, tstrings::MessageBuilder()
                                           << "AssignProcessToJobObject(PID=" << info.dwProcessId << ")");
            }
            if (!AssignProcessToJobObject(jobObject, process.get())) {
                const DWORD error = GetLastError();
                throw TervoError<SysError>(SysError(tstrings::MessageBuilder() << "AssignProcessToJobObject() failed",
                                                    AssignProcessToJobObject, error));
            }
        }
        if (processStartedHook) {
            processStartedHook(process.get());
        }
    } catch (...) {
        // A suspended child has run no code yet; left behind it would wait forever, outside
        // the job it was meant for.
        if (suspended) {
            TerminateProcess(process.get(), ERROR_PROCESS_ABORTED);
        }
        throw;
    }
    return process;
}

int Executor::execAndWaitForExit() const {
    // Declared first, so the process handle is closed first.
    UniqueHandle thread;
    const UniqueHandle process = startProcess(&thread);

    if (suspended) {
        if (Logger::global().accepts(Severity::TRACE)) {
            logAt(Severity::TRACE, tstrings::MessageBuilder() << "ResumeThread()");
        }
        if (ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
            const DWORD error = GetLastError();
            TerminateProcess(process.get(), ERROR_PROCESS_ABORTED);
            throw TervoError<SysError>(
                SysError(tstrings::MessageBuilder() << "ResumeThread() failed", ResumeThread, error));
        }
    }

    if (WaitForSingleObject(process.get(), INFINITE) == WAIT_FAILED) {
        const DWORD error = GetLastError();
        throw TervoError<SysError>(
            SysError(tstrings::MessageBuilder() << "WaitForSingleObject() failed", WaitForSingleObject, error));
    }

    DWORD exitCode = 0;
    if (!GetExitCodeProcess(process.get(), &exitCode)) {
        const DWORD error = GetLastError();
        throw TervoError<SysError>(
            SysError(tstrings::MessageBuilder() << "GetExitCodeProcess() failed", GetExitCodeProcess, error));
    }

    const DWORD pid = GetProcessId(process.get());
    if (pid == 0) {
        const DWORD error = GetLastError();
        throw TervoError<SysError>(
            SysError(tstrings::MessageBuilder() << "GetProcessId() failed.", GetProcessId, error));
    }

    if (Logger::global().accepts(Severity::TRACE)) {
        logAt(Severity::TRACE, tstrings::MessageBuilder()
                                   << "Process with PID=" << pid << " terminated. Exit code=" << exitCode);
    }
    return static_cast<int>(exitCode);
}
