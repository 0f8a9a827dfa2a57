// Support for code that runs as a custom action: typed access to the running installation
// (properties, run modes, actions), the arguments of deferred actions, and log records routed into
// the installer's own log. Nothing here may outlive the install handle it was given.
#pragma once

#include <map>

#include "Guid.h"
#include "Log.h"
#include "WinHeaders.h"
#include "tstrings.h"

namespace msi {

// Property access on the install handle the installer gave the custom action. The handle is
// borrowed: it is never closed here.
class CAImpl {
public:
    explicit CAImpl(MSIHANDLE installHandle) : handle(installHandle) {}

    // The property's value; a property that is not set reads as empty. Throws msi::Error.
    tstring getProperty(const tstring& name) const;
    // Throws std::runtime_error for an empty value (removal is removeProperty) before the installer
    // is called, and msi::Error when the installer refuses.
    void setProperty(const tstring& name, const tstring& value);
    // Throws msi::Error when the installer refuses.
    void removeProperty(const tstring& name);

    MSIHANDLE getHandle() const { return handle; }

private:
    MSIHANDLE handle;
};

// What custom-action code works with: properties, run modes, nested actions and conveniences,
// all on the install handle of its CAImpl.
class CAFacade {
public:
    explicit CAFacade(MSIHANDLE installHandle) : impl(installHandle) {}
    explicit CAFacade(const CAImpl& impl) : impl(impl) {}

    tstring getProperty(const tstring& name) const { return impl.getProperty(name); }
    void setProperty(const tstring& name, const tstring& value) { impl.setProperty(name, value); }
    void removeProperty(const tstring& name) { impl.removeProperty(name); }

    // Sets the property only when it reads as empty.
    void setPropertyIfEmpty(const tstring& name, const tstring& value);

    // The "ProductCode" property; throws when it is not a GUID.
    Guid getProductCode() const;

    // Whether the installation is in the run mode (an MSIRUNMODE value).
    bool isInMode(int mode) const;
    // Run modes 0 to 18 as 19 characters, "1" for a mode that is set and "0" otherwise; the
    // character of mode m stands at position m.
    tstring getModes() const;

    // Runs an action of the installation; throws msi::Error when the installer reports failure.
    void doAction(const tstring& name);

    // Backslashes only, and exactly one at the end; the empty path stays empty.
    static tstring normalizeDirectory(tstring path);

    const CAImpl& getImpl() const { return impl; }
    MSIHANDLE getHandle() const { return impl.getHandle(); }

private:
    CAImpl impl;
};

// The arguments of a custom action, passed as "name=value" tokens joined by "*"; a "**" ends the
// list and everything after it is kept whole under the empty name.
class DeferredCA : public CAFacade {
public:
    using ArgsCtnr = std::map<tstring, tstring>;

    // Reads and parses the action's data at once, so malformed data throws here. `caName` is the
    // name of the running action; it may be empty.
    explicit DeferredCA(MSIHANDLE installHandle, const tstring& caName = tstring());

    // The raw data: CustomActionData when the action runs deferred or has no name, else the
    // property named after the action (how immediate actions get the same data).
    tstring getArg() const;

    // Parses `text` into `args`: entries parsed now replace those of the same name, entries not
    // parsed again stay. A token without "=" throws and leaves `args` as it was.
    static void parseArgs(ArgsCtnr& args, const tstring& text);

    // The value of a parsed argument; throws std::runtime_error when there is none.
    const tstring& getParsedArg(const tstring& name) const;

    const ArgsCtnr& getArgs() const { return args; }
    const tstring& getName() const { return caName; }

private:
    ArgsCtnr args;
    tstring caName;
};

// Forwards each record to the installer's log as an INSTALLMESSAGE_INFO message, "Orvel " and
// "[hh:mm:ss.mmm file:line (function)] LEVEL: message"; records from a thread other than the
// constructing one carry " (TID: id)" after the time. Brackets and braces go to the installer
// escaped, so the log shows them as written. Failures to build the message propagate to the
// logger's caller; the installer's answer is ignored.
class MsiLogAppender : public LogAppender {
public:
    explicit MsiLogAppender(MSIHANDLE installHandle);
    void append(const LogRecord& record) override;

private:
    MSIHANDLE handle;
    DWORD ctorThreadId;
};

// Routes log records to the installer first and to the previously installed sink second, for as
// long as it lives; destroying it reinstalls the previous sink. Scopes end in reverse order of
// creation. The logger points into it, so it is neither copied nor moved.
class MsiLogScope {
public:
    explicit MsiLogScope(MSIHANDLE installHandle);
    ~MsiLogScope();
    MsiLogScope(const MsiLogScope&) = delete;
    MsiLogScope& operator=(const MsiLogScope&) = delete;

private:
    MsiLogAppender appender;
    LogAppender* previous;
    TeeLogAppender tee;
};

} // namespace msi
