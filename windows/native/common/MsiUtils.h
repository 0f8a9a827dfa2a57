// Typed access to the Windows Installer service: status codes, installer errors with the
// installer's own description, handle ownership, product actions and queries.
#pragma once

#include <map>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include "ErrorHandling.h"
#include "Log.h"
#include "Guid.h"
#include "UniqueHandle.h"
#include "WinHeaders.h"
#include "tstrings.h"

namespace msi {

// 0, 1641 (reboot initiated) and 3010 (reboot required) are successes; every other code fails.
bool isSuccessStatus(UINT status);

// The installer's own description of a status code, from the system's msimsg.dll; "No description"
// when it has none. Throws when msimsg.dll cannot be loaded, located at `location`.
std::string describeStatus(UINT code, const SourceLocation& location = std::source_location::current());

// A failed installer call. The message ends with the installer's description of the reason.
class Error : public std::runtime_error {
public:
    Error(const tstrings::MessageBuilder& message, UINT reason);
    Error(const std::string& message, UINT reason);
    UINT getReason() const { return reason; }

private:
    UINT reason;
};

// A view has no further row (reason 259).
class NoMoreItemsError : public Error {
public:
    explicit NoMoreItemsError(const tstrings::MessageBuilder& message);
};

// The outcome of a product action: the status code, and the failure text when it failed.
class ActionStatus {
public:
    ActionStatus(UINT code, const std::string& message) : message(message), code(code) {}
    explicit operator bool() const { return isSuccessStatus(code); }
    UINT getCode() const { return code; }
    const std::string& getMessage() const { return message; }
    [[noreturn]] void throwIt() const;

private:
    std::string message;
    UINT code;
};

// Closes an installer handle; a failure is only a WARNING record. Never throws.
void closeMSIHANDLE(MSIHANDLE handle) noexcept;

struct MsiHandleTraits {
    using Handle = MSIHANDLE;
    static Handle none() noexcept { return 0; }
    static bool isValid(Handle h) noexcept { return h != 0; }
    static void close(Handle h) noexcept { closeMSIHANDLE(h); }
};

} // namespace msi

// Single owner of an installer handle.
using UniqueMsiHandle = UniqueOwner<msi::MsiHandleTraits>;

namespace msi {

// Sets the installer's internal UI level for its lifetime and puts the previous one back.
class UiLevelGuard {
public:
    explicit UiLevelGuard(INSTALLUILEVEL level);
    ~UiLevelGuard();
    UiLevelGuard(const UiLevelGuard&) = delete;
    UiLevelGuard& operator=(const UiLevelGuard&) = delete;

private:
    INSTALLUILEVEL previous;
};

// Receives the installer's messages while an action runs.
class Callback {
public:
    virtual ~Callback() = default;
    // kind: the message type word masked with 0xFF000000; flags: masked with 0x00FFFFFF.
    virtual void notify(UINT kind, UINT flags, const tstring& text) = 0;
};

// What every product action carries: properties for its command line, extra command-line
// text, the installer UI level, an optional message callback (not owned) and an optional
// verbose log file.
class ActionData {
public:
    // The installer-wide settings of one running action; destroying it restores them.
    class State {
    public:
        virtual ~State() = default;
    };

    ActionData& setProperty(const tstring& name, const tstring& value);
    ActionData& setCommandLine(const tstring& text);
    ActionData& setUiLevel(INSTALLUILEVEL level);
    ActionData& setCallback(Callback* callback);
    ActionData& setLogFile(const tstring& path);

    const std::map<tstring, tstring>& getProperties() const { return properties; }
    const tstring& getCommandLine() const { return commandLine; }
    INSTALLUILEVEL getUiLevel() const { return uiLevel; }
    Callback* getCallback() const { return callback; }
    const tstring& getLogFile() const { return logFile; }

private:
    std::map<tstring, tstring> properties;
    tstring commandLine;
    INSTALLUILEVEL uiLevel = INSTALLUILEVEL_NONE;
    Callback* callback = nullptr;
    tstring logFile;
};

// Sets up the installer's UI level, log and message handler for one action run.
std::unique_ptr<ActionData::State> createState(const ActionData& data);

// The action's command line: its extra text, then " name=value" for every property in name order.
tstring composeCommandLine(const ActionData& data);

// A property value as the installer's command line expects it: quotes doubled, enclosed in
// quotes when it holds a blank or a tab, "" when empty.
tstring quoteValue(const tstring& value);

// Runs one kind of product action (install, configure, uninstall) around its installer call.
template <class Kind>
class action : public ActionData {
public:
    // Runs the action. Never throws: a failure of any kind comes back as the status, and an
    // exception as status 1359 "Unknown error".
    ActionStatus operator()(const std::nothrow_t&) const noexcept {
        try {
            const std::unique_ptr<ActionData::State> state = createState(*this);
            const tstring commandLine = composeCommandLine(*this);
            ActionStatus status = static_cast<const Kind&>(*this).execute(commandLine);
            if (!status && Logger::global().accepts(Severity::ERROR)) {
                logAt(Severity::ERROR, tstrings::MessageBuilder(status.getMessage()));
            }
            return status;
        } catch (const std::runtime_error& e) {
            try {
                reportException(SourceLocation(), e);
            } catch (...) {
            }
        } catch (...) {
            try {
                reportUnknownException(SourceLocation());
            } catch (...) {
            }
        }
        return ActionStatus(ERROR_INTERNAL_ERROR, "Unknown error");
    }
};

// Removes a product (REBOOT=ReallySuppress).
class uninstall : public action<uninstall> {
public:
    uninstall();
    uninstall& productCode(const Guid& code);
    ActionStatus execute(const tstring& commandLine) const;

private:
    Guid code;
};

// Installs every feature of an installed product locally.
class configure : public action<configure> {
public:
    configure& productCode(const Guid& code);
    ActionStatus execute(const tstring& commandLine) const;

private:
    Guid code;
};

// Installs a package.
class install : public action<install> {
public:
    install& packagePath(const tstring& path);
    ActionStatus execute(const tstring& commandLine) const;

private:
    tstring path;
};

// A product's information attribute (MsiGetProductInfo), such as "VersionString" or
// "LocalPackage". Throws msi::Error with the installer's status (1605: not installed).
tstring getProductInfo(const Guid& productCode, const tstring& name);
// As above; empty on any failure.
tstring getProductInfo(const std::nothrow_t&, const Guid& productCode, const tstring& name);

// A property of the running installation behind `installHandle`; a property that is not set
// reads as empty. Throws msi::Error when the installer refuses the read.
tstring getProperty(MSIHANDLE installHandle, const tstring& name);
// As above; empty on any failure.
tstring getProperty(const std::nothrow_t&, MSIHANDLE installHandle, const tstring& name);

// Whether the installer knows the product. Only "unknown product" (1605) and "unknown property"
// (1608) answer no; any other installer failure counts as installed.
bool isProductInstalled(const Guid& productCode);

// Waits up to `timeoutMs` for a running installation (the installer's execution mutex) to
// finish. Returns false only when the wait timed out.
bool waitForInstallationCompletion(DWORD timeoutMs);

} // namespace msi
