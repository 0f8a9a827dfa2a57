// Windows error codes as text, the system-error exception, and the debug break.
#pragma once

#include <stdexcept>
#include <string>

#include "ErrorHandling.h"
#include "WinHeaders.h"

// An operating-system failure. Its message is folded together when it is made: the
// description of the operation, the label, the code and the system's text for the code.
class SysError : public std::runtime_error {
public:
    SysError(const tstrings::MessageBuilder& message, const void* function, DWORD code,
             const char* label = "System error");

    // `function` is the failed system function itself, such as CreateFileW.
    template <class Function>
        requires std::is_function_v<Function>
    SysError(const tstrings::MessageBuilder& message, Function* function, DWORD code,
             const char* label = "System error")
        : SysError(message, reinterpret_cast<const void*>(function), code, label) {}

    // The system's error code, for callers that say in their own words what went wrong.
    DWORD code() const { return errorCode; }

private:
    DWORD errorCode;
};

// "system error <code> (<description>)"; the description comes from `module`'s message table
// when one is given, else from the system's.
tstring systemErrorText(DWORD code, HMODULE module = nullptr);
// The system's text for the code without trailing blanks, line breaks and full stops,
// or "No description available".
tstring systemMessageDescription(DWORD code, HMODULE module = nullptr);
// "COM error 0x<code> (<description>)"
tstring comErrorText(HRESULT code);

// Shows a task-modal box when the environment variable is "*" or contains `tag`, and
// returns when it is closed; for attaching a debugger at a chosen point.
void breakIfEnvVariableSet(const SourceLocation& location, const tstring& variable, const tstring& tag);
