#include "MsiCA.h"

#include <utility>

#include "ErrorHandling.h"
#include "MsiDb.h"
#include "MsiUtils.h"
#include "PathUtils.h"

namespace msi {

namespace {

// Run modes are MSIRUNMODE values 0 (MSIRUNMODE_ADMIN) to 18 (MSIRUNMODE_COMMIT).
constexpr int runModeCount = 19;

std::pair<tstring, tstring> parseArg(const tstring& token) {
    const size_t eq = token.find(L'=');
    if (eq == tstring::npos) {
        throw TervoError<std::runtime_error>(std::runtime_error(
            (tstrings::MessageBuilder() << "Missing expected '=' character in [" << token << "] string.").utf8()));
    }
    return {token.substr(0, eq), token.substr(eq + 1)};
}

void parseArgList(DeferredCA::ArgsCtnr& args, const tstring& list) {
    for (const tstring& token : tstrings::splitBy(list, L"*", 0)) {
        auto [name, value] = parseArg(token);
        args[std::move(name)] = std::move(value);
    }
}

// The installer formats the text it substitutes for [1] once more, so a bracketed piece would be
// read as a property reference and braces as a conditional group: the record header and any
// bracketed path would vanish from the log. Each such character goes in as its escape, [\c].
tstring escapeFormatting(const tstring& text) {
    tstring escaped;
    escaped.reserve(text.size());
    for (const wchar_t c : text) {
        if (c == L'[' || c == L']' || c == L'{' || c == L'}') {
            escaped += L"[\\";
            escaped += c;
            escaped += L']';
        } else {
            escaped += c;
        }
    }
    return escaped;
}

} // namespace

tstring CAImpl::getProperty(const tstring& name) const { return msi::getProperty(handle, name); }

void CAImpl::setProperty(const tstring& name, const tstring& value) {
    if (value.empty()) {
        throw TervoError<std::runtime_error>(std::runtime_error(
            (tstrings::MessageBuilder() << "Attempt to assign empty value to '" << name << "' MSI property").utf8()));
    }
    if (Logger::global().accepts(Severity::TRACE)) {
        logAt(Severity::TRACE, tstrings::MessageBuilder()
                                   << "Setting MSI property '" << name << "' to '" << value << "'");
    }
    const UINT status = MsiSetPropertyW(handle, name.c_str(), value.c_str());
    if (status != ERROR_SUCCESS) {
        throw TervoError<Error>(
            Error(tstrings::MessageBuilder() << "MsiSetProperty(" << name << ", " << value << ") failed", status));
    }
}

void CAImpl::removeProperty(const tstring& name) {
    if (Logger::global().accepts(Severity::TRACE)) {
        logAt(Severity::TRACE, tstrings::MessageBuilder() << "Removing MSI property '" << name << "'");
    }
    const UINT status = MsiSetPropertyW(handle, name.c_str(), nullptr);
    if (status != ERROR_SUCCESS) {
        throw TervoError<Error>(Error(tstrings::MessageBuilder() << "MsiSetProperty(" << name << ", NULL) failed", status));
    }
}

void CAFacade::setPropertyIfEmpty(const tstring& name, const tstring& value) {
    if (getProperty(name).empty()) {
        setProperty(name, value);
    }
}

Guid CAFacade::getProductCode() const { return Guid(getProperty(L"ProductCode")); }

bool CAFacade::isInMode(int mode) const {
    return MsiGetMode(getHandle(), static_cast<MSIRUNMODE>(mode)) != FALSE;
}

tstring CAFacade::getModes() const {
    tstring modes;
    for (int mode = 0; mode < runModeCount; ++mode) {
        modes += isInMode(mode) ? L'1' : L'0';
    }
    return modes;
}

void CAFacade::doAction(const tstring& name) {
    const UINT status = MsiDoActionW(getHandle(), name.c_str());
    if (status != ERROR_SUCCESS) {
        throw TervoError<Error>(Error(tstrings::MessageBuilder() << "MsiDoAction(" << name << ") failed", status));
    }
}

tstring CAFacade::normalizeDirectory(tstring path) {
    if (path.empty()) {
        return path;
    }
    for (wchar_t& c : path) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return FileUtils::trimTrailingSeparators(path) + L'\\';
}

DeferredCA::DeferredCA(MSIHANDLE installHandle, const tstring& caName) : CAFacade(installHandle), caName(caName) {
    parseArgs(args, getArg());
}

tstring DeferredCA::getArg() const {
    if (!isInMode(MSIRUNMODE_SCHEDULED) && !caName.empty()) {
        return getProperty(caName);
    }
    return getProperty(L"CustomActionData");
}

void DeferredCA::parseArgs(ArgsCtnr& args, const tstring& text) {
    ArgsCtnr parsed;
    const size_t tail = text.find(L"**");
    if (tail == tstring::npos) {
        parseArgList(parsed, text);
    } else {
        parseArgList(parsed, text.substr(0, tail));
        parsed[tstring()] = text.substr(tail + 2);
    }
    parsed.insert(args.begin(), args.end());
    args.swap(parsed);
}

const tstring& DeferredCA::getParsedArg(const tstring& name) const {
    const auto found = args.find(name);
    if (found == args.end()) {
        throw TervoError<std::runtime_error>(std::runtime_error(
            (tstrings::MessageBuilder() << "Argument << '" << name << "' not found.").utf8()));
    }
    return found->second;
}

MsiLogAppender::MsiLogAppender(MSIHANDLE installHandle) : handle(installHandle), ctorThreadId(GetCurrentThreadId()) {}

void MsiLogAppender::append(const LogRecord& record) {
    const tstring thread = record.threadId == ctorThreadId
                               ? tstring(L" ")
                               : (tstrings::MessageBuilder() << " (TID: " << record.threadId << ") ").str();
    const SYSTEMTIME& t = record.timestamp;
    const tstring text = tstrings::formatPrintf(
        L"[%02u:%02u:%02u.%03u%s%s:%u (%s)] %s: %s", unsigned(t.wHour), unsigned(t.wMinute), unsigned(t.wSecond),
        unsigned(t.wMilliseconds), thread.c_str(), record.fileName.c_str(), static_cast<unsigned>(record.line),
        record.functionName.c_str(), record.levelName.c_str(), record.message.c_str());
    DatabaseRecord message(1);
    message.setString(0, L"Orvel [1]").setString(1, escapeFormatting(text));
    MsiProcessMessage(handle, INSTALLMESSAGE_INFO, message.getHandle());
}

MsiLogScope::MsiLogScope(MSIHANDLE installHandle)
    : appender(installHandle), previous(Logger::global().currentAppender()), tee(&appender, previous) {
    Logger::global().installAppender(&tee);
}

MsiLogScope::~MsiLogScope() { Logger::global().installAppender(previous); }

} // namespace msi
