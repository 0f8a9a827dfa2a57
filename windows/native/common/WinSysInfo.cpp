#include "SysInfo.h"

#include <sddl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <vector>

#include "FileUtils.h"
#include "Log.h"
#include "PathUtils.h"
#include "UniqueHandle.h"
#include "WinErrorHandling.h"

namespace SysInfo {

namespace {

tstring getModulePath(HMODULE module) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD count = GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (count == 0) {
            const DWORD error = GetLastError();
            throw TervoError<SysError>(
                SysError(tstrings::MessageBuilder() << "GetModuleFileName failed", GetModuleFileNameW, error));
        }
        if (count < buffer.size()) {
            return tstring(buffer.data(), count);
        }
        buffer.assign(buffer.size() * 2, L'\0');
    }
}

tstring getEnvVariableImpl(const tstring& name, bool* notSet) {
    std::vector<wchar_t> buffer(10);
    SetLastError(ERROR_SUCCESS);
    const DWORD count = GetEnvironmentVariableW(name.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    DWORD error = GetLastError();
    if (error == ERROR_ENVVAR_NOT_FOUND) {
        if (notSet) {
            *notSet = true;
            return {};
        }
        throw TervoError<SysError>(SysError(tstrings::MessageBuilder() << "GetEnvironmentVariable(" << name
                                                                       << ") failed. Variable not set",
                                            GetEnvironmentVariableW, error));
    }
    if (buffer.size() < count) {
        buffer.assign(count, L'\0');
        GetEnvironmentVariableW(name.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
        error = GetLastError();
        if (error != ERROR_SUCCESS) {
            if (notSet) {
                *notSet = true;
                return {};
            }
            throw TervoError<SysError>(SysError(tstrings::MessageBuilder()
                                                    << "GetEnvironmentVariable(" << name << ") failed",
                                                GetEnvironmentVariableW, error));
        }
    }
    if (notSet) {
        *notSet = false;
    }
    return tstring(buffer.data());
}

template <class Query>
tstring getSystemDirImpl(Query* query, const char* label) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const UINT result = query(buffer.data(), static_cast<UINT>(buffer.size()));
        if (result == 0) {
            const DWORD error = GetLastError();
            throw TervoError<SysError>(SysError(tstrings::MessageBuilder() << label << " failed", query, error));
        }
        if (result < buffer.size()) {
            return FileUtils::trimTrailingSeparators(tstring(buffer.data()));
        }
        buffer.assign(result + 1, L'\0');
    }
    throw TervoError<std::runtime_error>(
        std::runtime_error((tstrings::MessageBuilder() << "Unexpected reply from " << label).utf8()));
}

} // namespace

tstring_array getCommandArgs(CommandArgsMode mode) {
    int count = 0;
    LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!args) {
        const DWORD error = GetLastError();
        throw TervoError<SysError>(
            SysError(tstrings::MessageBuilder() << "CommandLineToArgvW failed", CommandLineToArgvW, error));
    }
    tstring_array result;
    for (int i = mode == ExcludeProgramName ? 1 : 0; i < count; ++i) {
        result.emplace_back(args[i]);
    }
    LocalFree(args);
    return result;
}

tstring getEnvVariable(const tstring& name) { return getEnvVariableImpl(name, nullptr); }

tstring getEnvVariable(const std::nothrow_t&, const tstring& name, const tstring& defaultValue) {
    bool notSet = false;
    tstring value = getEnvVariableImpl(name, &notSet);
    return notSet ? defaultValue : value;
}

bool isEnvVariableSet(const tstring& name) {
    wchar_t buffer[1];
    SetLastError(ERROR_SUCCESS);
    GetEnvironmentVariableW(name.c_str(), buffer, 1);
    return GetLastError() != ERROR_ENVVAR_NOT_FOUND;
}

void setEnvVariable(const tstring& name, const tstring& value) {
    if (!SetEnvironmentVariableW(name.c_str(), value.c_str())) {
        const DWORD error = GetLastError();
        throw TervoError<SysError>(SysError(tstrings::MessageBuilder()
                                                << "SetEnvironmentVariable(" << name << ", " << value << ") failed",
                                            SetEnvironmentVariableW, error));
    }
}

bool isInteractiveSession() {
    USEROBJECTFLAGS flags{};
    if (!GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags, nullptr) ||
        !(flags.dwFlags & WSF_VISIBLE)) {
        return false;
    }
    DWORD session = 0;
    return ProcessIdToSessionId(GetCurrentProcessId(), &session) && session != 0;
}

namespace {

// The process token's information of class `kind`, in a buffer of its size; empty when it cannot be read.
std::vector<BYTE> tokenInformation(TOKEN_INFORMATION_CLASS kind) {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
        return {};
    }
    const UniqueHandle token(raw);
    DWORD size = 0;
    GetTokenInformation(token.get(), kind, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size == 0 || !GetTokenInformation(token.get(), kind, buffer.data(), size, &size)) {
        return {};
    }
    return buffer;
}

bool isWellKnownSid(PSID sid, WELL_KNOWN_SID_TYPE type) {
    BYTE known[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof known;
    return CreateWellKnownSid(type, nullptr, known, &size) && EqualSid(sid, known);
}

} // namespace

bool isElevated() {
    const std::vector<BYTE> elevation = tokenInformation(TokenElevation);
    if (elevation.size() >= sizeof(TOKEN_ELEVATION) &&
        reinterpret_cast<const TOKEN_ELEVATION*>(elevation.data())->TokenIsElevated) {
        return true;
    }
    const std::vector<BYTE> user = tokenInformation(TokenUser);
    if (user.size() >= sizeof(TOKEN_USER) &&
        isWellKnownSid(reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid, WinLocalSystemSid)) {
        return true;
    }
    // Without user account control the token is not split, and membership is the right itself.
    const std::vector<BYTE> type = tokenInformation(TokenElevationType);
    if (type.size() < sizeof(TOKEN_ELEVATION_TYPE) ||
        *reinterpret_cast<const TOKEN_ELEVATION_TYPE*>(type.data()) != TokenElevationTypeDefault) {
        return false;
    }
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof administrators;
    BOOL member = FALSE;
    return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) &&
           CheckTokenMembership(nullptr, administrators, &member) && member;
}

tstring getCurrentUserSid() {
    const std::vector<BYTE> user = tokenInformation(TokenUser);
    if (user.size() < sizeof(TOKEN_USER)) {
        throw TervoError<std::runtime_error>(std::runtime_error("The process's token cannot be read"));
    }
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid, &text)) {
        const DWORD error = GetLastError();
        throw TervoError<SysError>(SysError(tstrings::MessageBuilder() << "The process's user cannot be read",
                                            ConvertSidToStringSidW, error));
    }
    const tstring sid(text);
    LocalFree(text);
    return sid;
}

tstring getKnownFolder(const GUID& id) {
    wchar_t* path = nullptr;
    const HRESULT result = SHGetKnownFolderPath(id, KF_FLAG_DONT_VERIFY, nullptr, &path);
    const tstring folder = SUCCEEDED(result) && path ? tstring(path) : tstring();
    CoTaskMemFree(path);
    if (folder.empty()) {
        throw TervoError<std::runtime_error>(std::runtime_error(
            (tstrings::MessageBuilder() << "SHGetKnownFolderPath failed with " << comErrorText(result)).utf8()));
    }
    return FileUtils::trimTrailingSeparators(folder);
}

tstring getProcessModulePath() { return FileUtils::toAbsolutePath(getModulePath(nullptr)); }

tstring getSystemDir() { return getSystemDirImpl(GetSystemDirectoryW, "GetSystemDirectory"); }

tstring getMsiexecPath() { return FileUtils::PathBuilder() << getSystemDir() << L"msiexec.exe"; }

tstring getTempDir() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD count = GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
        // An empty answer would put temporary files in the current directory.
        if (count == 0) {
            const DWORD error = GetLastError();
            throw TervoError<SysError>(
                SysError(tstrings::MessageBuilder() << "GetTempPath failed", GetTempPathW, error));
        }
        if (count < buffer.size()) {
            return FileUtils::trimTrailingSeparators(tstring(buffer.data(), count));
        }
        buffer.assign(count, L'\0');
    }
}

HMODULE getCurrentModuleHandle() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&getCurrentModuleHandle), &module)) {
        const DWORD error = GetLastError();
        throw TervoError<SysError>(
            SysError(tstrings::MessageBuilder() << "GetModuleHandleExW failed", GetModuleHandleExW, error));
    }
    return module;
}

tstring getCurrentModulePath() { return getModulePath(getCurrentModuleHandle()); }

} // namespace SysInfo
