// What the running process knows about itself and the system: arguments, environment,
// its own module and the system's directories.
#pragma once

#include <new>

#include "WinHeaders.h"
#include "tstrings.h"

enum CommandArgsMode {
    IncludeProgramName = 0,
    ExcludeProgramName = 1
};

namespace SysInfo {

// The process's arguments as the system splits them.
tstring_array getCommandArgs(CommandArgsMode mode = ExcludeProgramName);

// The value of an environment variable; throws when it is not set. An empty value counts as set.
tstring getEnvVariable(const tstring& name);
// The value, or `defaultValue` when it is not set or cannot be read; never throws.
tstring getEnvVariable(const std::nothrow_t&, const tstring& name, const tstring& defaultValue);
bool isEnvVariableSet(const tstring& name);
void setEnvVariable(const tstring& name, const tstring& value);

// Whether a person can see and answer the process's windows: its window station is visible and
// it runs outside session 0, where services run. False when either cannot be read.
bool isInteractiveSession();

// Whether the process runs with administrators' rights: its token is elevated, or it is the
// system account, or a member of Administrators whose token is not split by user account
// control. False when the token cannot be read.
bool isElevated();
// The SID of the process's user as SDDL text (S-1-5-21-...). Throws when the token cannot be read.
tstring getCurrentUserSid();
// A folder of the system's, by its known-folder identifier (FOLDERID_ProgramData...), without a
// trailing separator. Throws when the system has none to give.
tstring getKnownFolder(const GUID& id);

// Absolute path of the process's executable.
tstring getProcessModulePath();
// Directory paths without trailing separators.
tstring getSystemDir();
// Throws when the system has no temporary directory to give (TMP or TEMP longer than it allows).
tstring getTempDir();
// The system directory's msiexec.exe; whether it exists is not tested.
tstring getMsiexecPath();

// The module that holds this library's code (the executable it is linked into); no reference is taken.
HMODULE getCurrentModuleHandle();
// Path of that module's file.
tstring getCurrentModulePath();

} // namespace SysInfo
