#include "SecureFolder.h"

#include <aclapi.h>
#include <sddl.h>

#include "ErrorHandling.h"
#include "FileUtils.h"
#include "Log.h"
#include "WinErrorHandling.h"

namespace {

// Opens `path` itself, never what a link there leads to; shared for reading and writing, never
// for deletion, so the folder stays where it is while the handle is held.
UniqueHandle openWithoutFollowing(const tstring& path, DWORD access) {
    return UniqueHandle(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

[[noreturn]] void throwFailed(const char* call, const tstring& path, const void* function, DWORD error,
                              const SourceLocation& location = std::source_location::current()) {
    throw TervoError<SysError>(SysError(tstrings::MessageBuilder() << call << "(" << path << ") failed", function, error),
                               location);
}

// Removes the link at `path`: a folder link with RemoveDirectory, any other with DeleteFile.
// Neither follows it.
void removeLink(const tstring& path, DWORD attributes) {
    const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!(folder ? RemoveDirectoryW(path.c_str()) : DeleteFileW(path.c_str()))) {
        const DWORD error = GetLastError();
        throwFailed(folder ? "RemoveDirectory" : "DeleteFile", path,
                    folder ? reinterpret_cast<const void*>(RemoveDirectoryW) : reinterpret_cast<const void*>(DeleteFileW),
                    error);
    }
    if (Logger::global().accepts(Severity::TRACE)) {
        logAt(Severity::TRACE, tstrings::MessageBuilder() << "Deleted [" << path << "] link");
    }
}

// Administrators may take over a folder whose DACL shuts them out: with these privileges, which
// their token holds but has off, a handle opened with backup semantics may change the owner and
// the DACL. True when both are on now.
bool enableOwnershipPrivileges() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &raw)) {
        return false;
    }
    const UniqueHandle token(raw);
    bool enabled = true;
    for (const wchar_t* name : {SE_RESTORE_NAME, SE_TAKE_OWNERSHIP_NAME}) {
        TOKEN_PRIVILEGES privileges{1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
        enabled = enabled && LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid) &&
                  AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr) &&
                  GetLastError() == ERROR_SUCCESS;
    }
    return enabled;
}

} // namespace

SecurityDescriptor::SecurityDescriptor(const tstring& sddl) : sddl(sddl) {
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
        const DWORD error = GetLastError();
        throw TervoError<SysError>(SysError(tstrings::MessageBuilder()
                                                << "ConvertStringSecurityDescriptorToSecurityDescriptor(" << sddl
                                                << ") failed",
                                            ConvertStringSecurityDescriptorToSecurityDescriptorW, error));
    }
}

SecurityDescriptor::~SecurityDescriptor() { LocalFree(descriptor); }

tstring readSecurityText(const tstring& path) {
    const UniqueHandle object = openWithoutFollowing(path, READ_CONTROL);
    if (!object) {
        const DWORD error = GetLastError();
        throwFailed("CreateFile", path, reinterpret_cast<const void*>(CreateFileW), error);
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    constexpr SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    const DWORD error =
        GetSecurityInfo(object.get(), SE_FILE_OBJECT, parts, nullptr, nullptr, nullptr, nullptr, &descriptor);
    if (error != ERROR_SUCCESS) {
        throwFailed("GetSecurityInfo", path, reinterpret_cast<const void*>(GetSecurityInfo), error);
    }
    wchar_t* text = nullptr;
    const BOOL converted =
        ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, parts, &text, nullptr);
    const DWORD conversionError = GetLastError();
    LocalFree(descriptor);
    if (!converted) {
        throwFailed("ConvertSecurityDescriptorToStringSecurityDescriptor", path,
                    reinterpret_cast<const void*>(ConvertSecurityDescriptorToStringSecurityDescriptorW),
                    conversionError);
    }
    const tstring result(text);
    LocalFree(text);
    return result;
}

bool isReparsePoint(const tstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

SecureFolder::SecureFolder(const tstring& path, const SecurityDescriptor& security) : folderPath(path) {
    constexpr DWORD access = READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES;
    // Twice at most: a link found the first time is removed, and the folder made in its place.
    for (int attempt = 0; attempt < 2 && !handle; ++attempt) {
        const bool created = FileUtils::createNewDirectory(path, security.get());
        handle = openWithoutFollowing(path, access);
        if (!handle && GetLastError() == ERROR_ACCESS_DENIED && enableOwnershipPrivileges()) {
            handle = openWithoutFollowing(path, access);
        }
        if (!handle) {
            const DWORD error = GetLastError();
            throwFailed("CreateFile", path, reinterpret_cast<const void*>(CreateFileW), error);
        }
        BY_HANDLE_FILE_INFORMATION info{};
        if (!GetFileInformationByHandle(handle.get(), &info)) {
            const DWORD error = GetLastError();
            throwFailed("GetFileInformationByHandle", path, reinterpret_cast<const void*>(GetFileInformationByHandle),
                        error);
        }
        // Asked both ways: Wine shows a link to a folder as a reparse point only by its path.
        const DWORD byPath = GetFileAttributesW(path.c_str());
        const DWORD attributes = info.dwFileAttributes | (byPath == INVALID_FILE_ATTRIBUTES ? 0 : byPath);
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            handle.reset();
            removeLink(path, attributes);
            continue;
        }
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            throwFailed("CreateDirectory", path, reinterpret_cast<const void*>(CreateDirectoryW), ERROR_ALREADY_EXISTS);
        }
        if (created) {
            return;
        }
        // Made by someone else, perhaps another user: ours from now on.
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        PSID owner = nullptr;
        PACL dacl = nullptr;
        GetSecurityDescriptorOwner(security.get(), &owner, &defaulted);
        GetSecurityDescriptorDacl(security.get(), &present, &dacl, &defaulted);
        const DWORD error = SetSecurityInfo(handle.get(), SE_FILE_OBJECT,
                                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                                PROTECTED_DACL_SECURITY_INFORMATION,
                                            owner, nullptr, dacl, nullptr);
        if (error != ERROR_SUCCESS) {
            throwFailed("SetSecurityInfo", path, reinterpret_cast<const void*>(SetSecurityInfo), error);
        }
        if (Logger::global().accepts(Severity::TRACE)) {
            logAt(Severity::TRACE, tstrings::MessageBuilder() << "Secured [" << path << "] directory with " << security.text());
        }
    }
    if (!handle) {
        throwFailed("CreateDirectory", path, reinterpret_cast<const void*>(CreateDirectoryW), ERROR_CANT_ACCESS_FILE);
    }
}
