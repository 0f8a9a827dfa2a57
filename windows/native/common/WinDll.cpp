#include "Dll.h"

#include "PathUtils.h"
#include "SysInfo.h"
#include "WinErrorHandling.h"

namespace {

UniqueModule loadLibrary(const tstring& path) {
    UniqueModule module(LoadLibraryW(path.c_str()));
    if (!module) {
        const DWORD error = GetLastError();
        throw TervoError<SysError>(
            SysError(tstrings::MessageBuilder() << "LoadLibraryW(" << path << ") failed", LoadLibraryW, error));
    }
    return module;
}

} // namespace

Dll::Dll(const tstrings::MessageBuilder& libraryPath) : path(libraryPath.str()), handle(loadLibrary(path)) {}

Dll::Dll(const tstrings::MessageBuilder& fileName, SystemDirectoryTag)
    : path(FileUtils::joinPath(SysInfo::getSystemDir(), fileName.str())), handle(loadLibrary(path)) {}

Dll::Dll(const Dll& other) : path(other.path) {
    if (!GetModuleHandleExW(0, path.c_str(), handle.put())) {
        const DWORD error = GetLastError();
        throw TervoError<SysError>(SysError(tstrings::MessageBuilder() << "GetModuleHandleExW(" << path << ") failed",
                                            GetModuleHandleExW, error));
    }
}

Dll& Dll::operator=(const Dll& other) {
    if (this != &other) {
        *this = Dll(other);
    }
    return *this;
}

void* Dll::getFunction(const std::string& name, bool throwIfMissing) const {
    const FARPROC function = GetProcAddress(handle.get(), name.c_str());
    if (!function && throwIfMissing) {
        const DWORD error = GetLastError();
        throw TervoError<SysError>(SysError(tstrings::MessageBuilder()
                                                << "GetProcAddress(" << path << ", " << name << ") failed",
                                            GetProcAddress, error));
    }
    return reinterpret_cast<void*>(function);
}
