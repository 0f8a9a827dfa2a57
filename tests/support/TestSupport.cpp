#include "TestSupport.h"

#include <algorithm>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>

#include "ErrorHandling.h"

std::vector<tstring> CapturingAppender::messages(Severity level) const {
    std::vector<tstring> result;
    for (const LogRecord& r : records) {
        if (r.levelName == severityName(level)) {
            result.push_back(r.message);
        }
    }
    return result;
}

std::string describeWinError(DWORD code) {
    wchar_t* buffer = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::ostringstream out;
    out << code << ": " << (buffer ? tstrings::encodeUtf8(buffer) : std::string("(no text)"));
    LocalFree(buffer);
    return out.str();
}

std::string thrownPlainMessage(const std::function<void()>& body, const std::string& function) {
    try {
        body();
    } catch (const std::runtime_error& e) {
        const auto* located = dynamic_cast<const TervoErrorBase*>(&e);
        if (!located) {
            ADD_FAILURE() << "not a TervoError: " << e.what();
            return {};
        }
        EXPECT_NE(std::string::npos, std::string(e.what()).find(") at " + function + "(): ")) << e.what();
        return located->plainMessage();
    }
    ADD_FAILURE() << "nothing thrown";
    return {};
}

void TempDirTest::SetUp() {
    wchar_t temp[MAX_PATH + 1];
    ASSERT_NE(0u, GetTempPathW(MAX_PATH + 1, temp));
    for (unsigned i = 0;; ++i) {
        std::wostringstream name;
        name << temp << L"tervo-test-" << GetCurrentProcessId() << L"-" << GetTickCount() << L"-" << i;
        if (CreateDirectoryW(name.str().c_str(), nullptr)) {
            dir = name.str();
            return;
        }
        ASSERT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError()) << describeWinError(GetLastError());
    }
}

void TempDirTest::TearDown() {
    if (!dir.empty()) {
        EXPECT_TRUE(removeTreeForTest(dir)) << "could not remove " << tstrings::encodeUtf8(dir);
    }
}

void TempDirTest::writeFile(const tstring& path, const std::string& bytes) const {
    std::ofstream out(path.c_str(), std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << tstrings::encodeUtf8(path);
}

std::string TempDirTest::readFile(const tstring& path) const {
    std::ifstream in(path.c_str(), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::vector<tstring> TempDirTest::listDir(const tstring& path) const {
    std::vector<tstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        const tstring name = data.cFileName;
        if (name != L"." && name != L"..") {
            names.push_back(name);
        }
    } while (FindNextFileW(find, &data));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<tstring> TempDirTest::listDirExceptLogs(const tstring& path) const {
    std::vector<tstring> names = listDir(path);
    names.erase(std::remove_if(names.begin(), names.end(), [](const tstring& name) { return tstrings::hasSuffix(name, L".log"); }),
                names.end());
    return names;
}

bool removeTreeForTest(const tstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return true;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        return DeleteFileW(path.c_str()) != 0;
    }
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const tstring name = data.cFileName;
            if (name != L"." && name != L"..") {
                removeTreeForTest(path + L"\\" + name);
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    return RemoveDirectoryW(path.c_str()) != 0;
}

// Reads a pipe to its end on a thread of its own, so the child never blocks on a full pipe.
class ChildProcess::PipeReader {
public:
    explicit PipeReader(HANDLE pipe) : thread([this, pipe] {
        char buffer[4096];
        DWORD read = 0;
        while (ReadFile(pipe, buffer, sizeof buffer, &read, nullptr) && read > 0) {
            text.append(buffer, read);
        }
        CloseHandle(pipe);
    }) {}
    std::string finish() {
        if (thread.joinable()) {
            thread.join();
        }
        return text;
    }
    ~PipeReader() { finish(); }

private:
    std::string text;
    std::thread thread;
};

namespace {

std::vector<wchar_t> environmentBlock(const std::vector<tstring>& changes) {
    std::map<tstring, tstring, bool (*)(const tstring&, const tstring&)> variables(
        [](const tstring& a, const tstring& b) { return _wcsicmp(a.c_str(), b.c_str()) < 0; });
    wchar_t* current = GetEnvironmentStringsW();
    for (const wchar_t* p = current; *p; p += wcslen(p) + 1) {
        const tstring entry = p;
        const size_t eq = entry.find(L'=', 1);
        if (eq != tstring::npos) {
            variables[entry.substr(0, eq)] = entry.substr(eq + 1);
        }
    }
    FreeEnvironmentStringsW(current);
    for (const tstring& change : changes) {
        const size_t eq = change.find(L'=');
        const tstring name = change.substr(0, eq);
        const tstring value = change.substr(eq + 1);
        if (value.empty()) {
            variables.erase(name);
        } else {
            variables[name] = value;
        }
    }
    std::vector<wchar_t> block;
    for (const auto& [name, value] : variables) {
        const tstring entry = name + L"=" + value;
        block.insert(block.end(), entry.begin(), entry.end());
        block.push_back(L'\0');
    }
    block.push_back(L'\0');
    return block;
}

} // namespace

ChildProcess::ChildProcess(const tstring& commandLine, const std::vector<tstring>& environment, bool suspended,
                           ErrorStream errors) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE errRead = nullptr, errWrite = nullptr, outRead = nullptr, outWrite = nullptr;
    EXPECT_TRUE(CreatePipe(&errRead, &errWrite, &inherit, errors == ErrorStream::ReadByTest ? 1 : 0));
    EXPECT_TRUE(CreatePipe(&outRead, &outWrite, &inherit, 0));
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    PROCESS_INFORMATION info{};
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    std::vector<wchar_t> block = environmentBlock(environment);
    const DWORD flags = CREATE_UNICODE_ENVIRONMENT | (suspended ? CREATE_SUSPENDED : 0);
    BOOL created =
        CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, flags, block.data(), nullptr, &startup, &info);
    DWORD error = GetLastError();
    // Wine now and then refuses a start with an internal error while other Wine processes start;
    // once more is enough for that, and a second refusal is the test's failure.
    if (!created && error == ERROR_INTERNAL_ERROR) {
        std::cout << "[   NOTE   ] the system refused to start " << tstrings::encodeUtf8(commandLine.substr(0, 200))
                  << " with error 1359; started once more" << std::endl;
        created = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, flags, block.data(), nullptr, &startup, &info);
        error = GetLastError();
    }
    CloseHandle(errWrite);
    CloseHandle(outWrite);
    outputReader = std::make_unique<PipeReader>(outRead);
    if (errors == ErrorStream::Collected) {
        errorReader = std::make_unique<PipeReader>(errRead);
    } else {
        errorPipe = errRead;
    }
    if (!created) {
        ADD_FAILURE() << "CreateProcess(" << tstrings::encodeUtf8(commandLine)
                      << ") failed: " << describeWinError(error);
        return;
    }
    process = info.hProcess;
    thread = info.hThread;
}

ChildProcess::~ChildProcess() {
    if (process && WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
        TerminateProcess(process, ERROR_PROCESS_ABORTED);
    }
    finish();
    if (process) {
        CloseHandle(process);
        CloseHandle(thread);
    }
}

void ChildProcess::resume() {
    ASSERT_TRUE(started());
    EXPECT_NE(static_cast<DWORD>(-1), ResumeThread(thread)) << describeWinError(GetLastError());
}

std::optional<std::string> ChildProcess::readErrorLine() {
    if (!errorPipe) {
        ADD_FAILURE() << "standard error is collected, not read by the test";
        return std::nullopt;
    }
    for (;;) {
        const size_t end = pendingError.find('\n');
        if (end != std::string::npos) {
            std::string line = pendingError.substr(0, end);
            pendingError.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            return line;
        }
        char c = 0;
        DWORD read = 0;
        if (!ReadFile(errorPipe, &c, 1, &read, nullptr) || read == 0) {
            return std::nullopt;
        }
        pendingError += c;
    }
}

void ChildProcess::terminate(UINT exitCode) {
    ASSERT_TRUE(started());
    EXPECT_TRUE(TerminateProcess(process, exitCode)) << describeWinError(GetLastError());
}

ProcessResult ChildProcess::finish() {
    if (errorPipe) {
        errorReader = std::make_unique<PipeReader>(errorPipe);
        errorPipe = nullptr;
    }
    ProcessResult result;
    if (process) {
        WaitForSingleObject(process, INFINITE);
        GetExitCodeProcess(process, &result.exitCode);
    } else {
        result.exitCode = static_cast<DWORD>(-2);
    }
    result.standardError = pendingError + (errorReader ? errorReader->finish() : std::string());
    pendingError.clear();
    result.standardOutput = outputReader ? outputReader->finish() : std::string();
    return result;
}

ProcessResult runProcess(const tstring& commandLine, const std::vector<tstring>& environment) {
    ProcessResult result = ChildProcess(commandLine, environment).finish();
    // The same refusal met by a launcher starting msiexec: it fails the run with exit code -1 and
    // names the error. Run once more; a second refusal is the test's to see.
    if (result.exitCode == 0xFFFFFFFF && result.standardError.find("(system error 1359)") != std::string::npos) {
        std::cout << "[   NOTE   ] the system refused a program's start of its own child with error 1359; "
                  << tstrings::encodeUtf8(commandLine.substr(0, 200)) << " is run once more" << std::endl;
        result = ChildProcess(commandLine, environment).finish();
    }
    return result;
}

std::vector<std::string> outputLines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        result.push_back(line);
    }
    return result;
}

tstring testProgramDir() {
    wchar_t path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
    tstring result(path, length);
    return result.substr(0, result.find_last_of(L"\\/"));
}

