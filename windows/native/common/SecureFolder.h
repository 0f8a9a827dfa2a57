// Folders that nobody but the system, administrators and the user they are made for can write,
// for files that an installer, perhaps running as the system, reads later: their security is
// set explicitly, links are never followed, and they are held while they are used.
#pragma once

#include "UniqueHandle.h"
#include "WinHeaders.h"
#include "tstrings.h"

// A security descriptor made from SDDL text (owner and protected DACL, such as
// "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"); it owns the descriptor and frees it.
class SecurityDescriptor {
public:
    // Throws TervoError<SysError> naming the text when the system cannot read it.
    explicit SecurityDescriptor(const tstring& sddl);
    ~SecurityDescriptor();
    SecurityDescriptor(const SecurityDescriptor&) = delete;
    SecurityDescriptor& operator=(const SecurityDescriptor&) = delete;

    PSECURITY_DESCRIPTOR get() const { return descriptor; }
    const tstring& text() const { return sddl; }

private:
    tstring sddl;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
};

// The owner and DACL of the file or folder `path` as SDDL text, read without following a link.
// Throws TervoError<SysError> naming the path when they cannot be read.
tstring readSecurityText(const tstring& path);

// Whether `path` is a reparse point (a junction, a symbolic link, a mount point), read without
// following it. False when nothing is there.
bool isReparsePoint(const tstring& path);

// A folder made for files that only the owners `security` names may write, held open while the
// object lives: without FILE_SHARE_DELETE, so it cannot be renamed, replaced or removed meanwhile.
// A new folder is created with `security`; an existing one gets its owner and DACL, whoever made
// it. A reparse point at `path` is never followed: it is removed (the link, not what it leads
// to) and a folder made in its place. Throws TervoError<SysError> naming the path when the folder
// cannot be made so; a file standing at `path` is left and reported the same way.
class SecureFolder {
public:
    SecureFolder(const tstring& path, const SecurityDescriptor& security);

    const tstring& path() const { return folderPath; }

private:
    tstring folderPath;
    UniqueHandle handle;
};
