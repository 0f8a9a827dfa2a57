// A loaded dynamic library and the lookup of its exports.
#pragma once

#include <string>

#include "UniqueHandle.h"
#include "WinHeaders.h"
#include "tstrings.h"

// Keeps one reference on a library from construction to destruction; every copy holds a
// reference of its own. Functions looked up stay valid while any copy lives.
class Dll {
public:
    enum SystemDirectoryTag { SystemDirectory };

    // Loads the library at the path; throws when it cannot be loaded.
    explicit Dll(const tstrings::MessageBuilder& path);
    // Loads the library of that file name from the system directory.
    Dll(const tstrings::MessageBuilder& fileName, SystemDirectoryTag);
    Dll(const Dll& other);
    Dll(Dll&&) noexcept = default;
    Dll& operator=(const Dll& other);
    Dll& operator=(Dll&&) noexcept = default;

    // The address of the export, or null when there is none and `throwIfMissing` is false.
    void* getFunction(const std::string& name, bool throwIfMissing) const;

    const tstring& getPath() const { return path; }
    HMODULE getHandle() const { return handle.get(); }

private:
    tstring path;
    UniqueModule handle;
};
