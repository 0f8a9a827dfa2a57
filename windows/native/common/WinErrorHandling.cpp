#include "WinErrorHandling.h"

#include <string>

#include "Log.h"
#include "PathUtils.h"
#include "SysInfo.h"

namespace {

std::string makeMessage(const std::string& message, const char* label, const void* function, DWORD code) {
    std::string text = std::string(label ? label : "Some error") + " [" + std::to_string(code) + "]";

    HMODULE module = nullptr;
    bool haveModule = false;
    if (function) {
        haveModule = GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                            GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                        static_cast<LPCWSTR>(function), &module) != 0;
        if (!haveModule && Logger::global().accepts(Severity::WARNING)) {
            logAt(Severity::WARNING, tstrings::MessageBuilder()
                                         << "GetModuleHandleEx() failed for " << function << " address.");
        }
    }
    if (!function || haveModule) {
        text += "(" + tstrings::encodeUtf8(systemErrorText(code, module)) + ")";
    }
    return joinMessages(message, text);
}

} // namespace

SysError::SysError(const tstrings::MessageBuilder& message, const void* function, DWORD code, const char* label)
    : std::runtime_error(makeMessage(message.utf8(), label, function, code)), errorCode(code) {}

tstring systemMessageDescription(DWORD code, HMODULE module) {
    for (;;) {
        DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
        if (module) {
            flags |= FORMAT_MESSAGE_FROM_HMODULE;
        }
        wchar_t* buffer = nullptr;
        const DWORD length =
            FormatMessageW(flags, module, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
        if (length > 0) {
            for (DWORD i = 0; i < length; ++i) {
                if (buffer[i] < 0x20) {
                    buffer[i] = L' ';
                }
            }
            for (DWORD i = length; i >= 1; --i) {
                if (buffer[i] > 0x20 && buffer[i] != L'.') {
                    break;
                }
                buffer[i] = L'\0';
            }
            tstring description(buffer);
            LocalFree(buffer);
            return description;
        }
        if (!module) {
            return L"No description available";
        }
        module = nullptr;
    }
}

tstring systemErrorText(DWORD code, HMODULE module) {
    return (tstrings::MessageBuilder() << "system error " << code << " (" << systemMessageDescription(code, module)
                                       << ")")
        .str();
}

tstring comErrorText(HRESULT code) {
    const auto value = static_cast<DWORD>(code);
    const DWORD lookup = ((value >> 16) & 0x1FFF) == FACILITY_WIN32 ? (value & 0xFFFF) : value;
    return tstrings::formatPrintf(L"COM error 0x%08X (%s)", value, systemMessageDescription(lookup).c_str());
}

void breakIfEnvVariableSet(const SourceLocation& location, const tstring& variable, const tstring& tag) {
    if (!SysInfo::isEnvVariableSet(variable)) {
        return;
    }
    const tstring value = SysInfo::getEnvVariable(std::nothrow, variable, tstring());
    if (value != L"*" && value.find(tag) == tstring::npos) {
        return;
    }
    const std::runtime_error reason((tstrings::MessageBuilder()
                                     << "debug break. Reason: environment variable " << variable << " is set.")
                                        .utf8());
    const tstring text = tstrings::decodeUtf8(makeLocatedMessage(reason, location));
    const tstring caption = FileUtils::leafName(SysInfo::getCurrentModulePath());
    MessageBoxW(nullptr, text.c_str(), caption.c_str(), MB_TASKMODAL);
}
