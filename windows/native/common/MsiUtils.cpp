#include "MsiUtils.h"

#include <algorithm>
#include <string>
#include <type_traits>
#include <vector>

#include "Log.h"
#include "MsiDb.h"
#include "PathUtils.h"
#include "Resources.h"
#include "SysInfo.h"
#include "WinErrorHandling.h"

namespace msi {

std::string describeStatus(UINT code, const SourceLocation& location) {
    const tstring path = FileUtils::joinPath(SysInfo::getSystemDir(), L"msimsg.dll");
    const UniqueModule library(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    if (!library) {
        const DWORD error = GetLastError();
        throw TervoError<SysError>(
            SysError(tstrings::MessageBuilder() << "LoadLibraryExW(" << path << ") failed", LoadLibraryExW, error),
            location);
    }
    // String-table identifiers are 16 bits wide: a larger code has no entry of its own.
    if (code <= 0xFFFF) {
        try {
            return tstrings::encodeUtf8(StringResource(static_cast<UINT16>(code), library.get()).string());
        } catch (const std::exception&) {
        }
    }
    return "No description";
}

namespace {

// "<message>. MSI error [<code>](<the installer's description of the code>)"
std::string makeMessage(const std::string& message, UINT code) {
    // A message library that cannot be loaded fails the message being made, so it is thrown from here.
    return joinMessages(message, "MSI error [" + std::to_string(code) + "](" + describeStatus(code, SourceLocation()) + ")");
}

// Completes the description of a product call with its outcome.
ActionStatus handleMsiStatus(tstrings::MessageBuilder& description, UINT code) {
    if (isSuccessStatus(code)) {
        description << "succeeded";
        if (code != ERROR_SUCCESS) {
            description << " [" << code << "]";
        }
        if (Logger::global().accepts(Severity::INFO)) {
            logAt(Severity::INFO, description);
        }
        return ActionStatus(code, std::string());
    }
    description << "failed [" << code << "]";
    return ActionStatus(code, description.utf8());
}

// Registers the caller's callback as the installer's external message handler for its lifetime.
class CallbackTrigger {
public:
    explicit CallbackTrigger(Callback* callback) {
        MsiSetExternalUIW(adapter, 0xFFFFFFFF, callback);
    }
    ~CallbackTrigger() { MsiSetExternalUIW(nullptr, 0, nullptr); }
    CallbackTrigger(const CallbackTrigger&) = delete;
    CallbackTrigger& operator=(const CallbackTrigger&) = delete;

    static int WINAPI adapter(LPVOID context, UINT type, LPCWSTR text) {
        if (!context) {
            return 0;
        }
        const UINT kind = type & 0xFF000000;
        const UINT flags = type & 0x00FFFFFF;
        if (!text) {
            return 0;
        }
        // Nothing may propagate into the installer.
        runReporting([&] { static_cast<Callback*>(context)->notify(kind, flags, tstring(text)); });
        return 0;
    }
};

// Switches installer logging to a verbose log file, or off, for its lifetime.
class LogEnabler {
public:
    explicit LogEnabler(const tstring& path) {
        if (path.empty()) {
            MsiEnableLogW(0, nullptr, 0);
        } else {
            MsiEnableLogW(INSTALLLOGMODE_VERBOSE, path.c_str(), 0);
        }
    }
    ~LogEnabler() { MsiEnableLogW(0, nullptr, 0); }
    LogEnabler(const LogEnabler&) = delete;
    LogEnabler& operator=(const LogEnabler&) = delete;
};

class StateImpl : public ActionData::State {
public:
    explicit StateImpl(const ActionData& data)
        : uiLevel(data.getUiLevel()), log(data.getLogFile()),
          callback(data.getCallback() ? std::make_unique<CallbackTrigger>(data.getCallback()) : nullptr) {}

private:
    UiLevelGuard uiLevel;
    LogEnabler log;
    std::unique_ptr<CallbackTrigger> callback;
};

// Reads a text value through the installer's convention: the caller offers a buffer and its
// size, and hears ERROR_MORE_DATA while the value and its terminator do not fit. The size the
// installer reports back is not trusted for sizing; the buffer doubles until the value fits.
template <class Key1, class Key2>
tstring getProperty(UINT(WINAPI* read)(Key1, Key2, LPWSTR, LPDWORD), const char* functionName,
                    std::type_identity_t<Key1> key1, std::type_identity_t<Key2> key2) {
    std::vector<wchar_t> buffer(20);
    DWORD length = static_cast<DWORD>(buffer.size());
    UINT status = read(key1, key2, buffer.data(), &length);
    while (status == ERROR_MORE_DATA) {
        buffer.resize(buffer.size() * 2);
        length = static_cast<DWORD>(buffer.size());
        status = read(key1, key2, buffer.data(), &length);
    }
    if (status != ERROR_SUCCESS) {
        throw TervoError<Error>(
            Error(tstrings::MessageBuilder() << functionName << "(" << key1 << ", " << key2 << ") failed", status));
    }
    // A success that claims more than the buffer holds must not read past it.
    return tstring(buffer.data(), std::min<std::size_t>(length, buffer.size()));
}

tstring describeProductConfiguration(const Guid& code, INSTALLSTATE state, const tstring& commandLine) {
    return (tstrings::MessageBuilder() << "MsiConfigureProductEx(" << code.toString() << ", " << static_cast<int>(INSTALLLEVEL_MAXIMUM)
                                       << ", " << static_cast<int>(state) << ", " << commandLine << ") ")
        .str();
}

ActionStatus configureProduct(const Guid& code, INSTALLSTATE state, const tstring& commandLine) {
    const tstring codeText = code.toString();
    tstrings::MessageBuilder description(describeProductConfiguration(code, state, commandLine));
    const UINT status = MsiConfigureProductExW(codeText.c_str(), INSTALLLEVEL_MAXIMUM, state, commandLine.c_str());
    return handleMsiStatus(description, status);
}

} // namespace

bool isSuccessStatus(UINT status) {
    return status == ERROR_SUCCESS || status == ERROR_SUCCESS_REBOOT_INITIATED ||
           status == ERROR_SUCCESS_REBOOT_REQUIRED;
}

Error::Error(const tstrings::MessageBuilder& message, UINT reason) : Error(message.utf8(), reason) {}

Error::Error(const std::string& message, UINT reason)
    : std::runtime_error(makeMessage(message, reason)), reason(reason) {}

NoMoreItemsError::NoMoreItemsError(const tstrings::MessageBuilder& message) : Error(message, ERROR_NO_MORE_ITEMS) {}

void ActionStatus::throwIt() const { throw TervoError<Error>(Error(message, code)); }

void closeMSIHANDLE(MSIHANDLE handle) noexcept {
    if (handle == 0) {
        return;
    }
    const UINT status = MsiCloseHandle(handle);
    if (status != ERROR_SUCCESS) {
        runReporting([&] {
            if (Logger::global().accepts(Severity::WARNING)) {
                logAt(Severity::WARNING, tstrings::MessageBuilder() << "MsiCloseHandle(" << handle
                                                                    << ") failed with error=" << status);
            }
        });
    }
}

UiLevelGuard::UiLevelGuard(INSTALLUILEVEL level) : previous(MsiSetInternalUI(level, nullptr)) {}

UiLevelGuard::~UiLevelGuard() { MsiSetInternalUI(previous, nullptr); }

ActionData& ActionData::setProperty(const tstring& name, const tstring& value) {
    properties[name] = value;
    return *this;
}

ActionData& ActionData::setCommandLine(const tstring& text) {
    commandLine = text;
    return *this;
}

ActionData& ActionData::setUiLevel(INSTALLUILEVEL level) {
    uiLevel = level;
    return *this;
}

ActionData& ActionData::setCallback(Callback* newCallback) {
    callback = newCallback;
    return *this;
}

ActionData& ActionData::setLogFile(const tstring& path) {
    logFile = path;
    return *this;
}

std::unique_ptr<ActionData::State> createState(const ActionData& data) { return std::make_unique<StateImpl>(data); }

tstring quoteValue(const tstring& value) {
    tstring quoted = tstrings::replaceAll(value, L"\"", L"\"\"");
    if (quoted.empty()) {
        return L"\"\"";
    }
    if (quoted.find_first_of(L" \t") != tstring::npos) {
        quoted = L"\"" + quoted + L"\"";
    }
    return quoted;
}

tstring composeCommandLine(const ActionData& data) {
    tstring extra = tstrings::trimmed(data.getCommandLine(), L" \t");
    tstrings::MessageBuilder properties;
    for (const auto& [name, value] : data.getProperties()) {
        properties << " " << name << "=" << quoteValue(value);
    }
    const tstring propertyText = tstrings::trimmed(properties.str(), L" \t");
    if (!extra.empty() && !propertyText.empty()) {
        extra += L" ";
    }
    return extra + propertyText;
}

uninstall::uninstall() { setProperty(L"REBOOT", L"ReallySuppress"); }

uninstall& uninstall::productCode(const Guid& newCode) {
    code = newCode;
    return *this;
}

ActionStatus uninstall::execute(const tstring& commandLine) const {
    return configureProduct(code, INSTALLSTATE_ABSENT, commandLine);
}

configure& configure::productCode(const Guid& newCode) {
    code = newCode;
    return *this;
}

ActionStatus configure::execute(const tstring& commandLine) const {
    return configureProduct(code, INSTALLSTATE_LOCAL, commandLine);
}

install& install::packagePath(const tstring& newPath) {
    path = newPath;
    return *this;
}

ActionStatus install::execute(const tstring& commandLine) const {
    tstrings::MessageBuilder description;
    description << "MsiInstallProduct(" << path << ", " << commandLine << ") ";
    const UINT status = MsiInstallProductW(path.c_str(), commandLine.c_str());
    return handleMsiStatus(description, status);
}

tstring getProductInfo(const Guid& productCode, const tstring& name) {
    const tstring code = productCode.toString();
    return getProperty(MsiGetProductInfoW, "MsiGetProductInfo", code.c_str(), name.c_str());
}

tstring getProductInfo(const std::nothrow_t&, const Guid& productCode, const tstring& name) {
    try {
        return getProductInfo(productCode, name);
    } catch (const std::exception&) {
        return tstring();
    }
}

tstring getProperty(MSIHANDLE installHandle, const tstring& name) {
    return getProperty(MsiGetPropertyW, "MsiGetProperty", installHandle, name.c_str());
}

tstring getProperty(const std::nothrow_t&, MSIHANDLE installHandle, const tstring& name) {
    try {
        return getProperty(installHandle, name);
    } catch (const std::exception&) {
        return tstring();
    }
}

bool isProductInstalled(const Guid& productCode) {
    try {
        getProductInfo(productCode, L"VersionString");
        return true;
    } catch (const Error& e) {
        return e.getReason() != ERROR_UNKNOWN_PRODUCT && e.getReason() != ERROR_UNKNOWN_PROPERTY;
    }
}

// Here rather than with the rest of the record: it shares the growing read above.
tstring DatabaseRecord::getString(UINT field) const {
    return getProperty(MsiRecordGetStringW, "MsiRecordGetString", handle.get(), field);
}

bool waitForInstallationCompletion(DWORD timeoutMs) {
    const UniqueHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, L"Global\\_MSIExecute"));
    if (!mutex) {
        return true;
    }
    const DWORD result = WaitForSingleObject(mutex.get(), timeoutMs);
    if (timeoutMs != 0 && Logger::global().accepts(Severity::INFO)) {
        logAt(Severity::INFO, tstrings::MessageBuilder() << "finish waiting for mutex: " << result);
    }
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
        // A successful wait owns the installer's mutex: keeping it would block every later
        // installation on the machine until this process ends.
        ReleaseMutex(mutex.get());
    }
    return result != WAIT_TIMEOUT;
}

} // namespace msi
