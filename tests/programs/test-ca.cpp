// Custom actions built on the library, run by the installer from tests/data/ca.wxs. Each action
// routes the library's log records into the installer's log and writes what it saw as
// "key=value" lines (UTF-8) into a file, for the tests to read after the installation.
#include <thread>
#include <utility>

#include "ErrorHandling.h"
#include "MsiCA.h"
#include "MsiDb.h"
#include "MsiUtils.h"
#include "UniqueHandle.h"
#include "WinHeaders.h"

namespace {

class Report {
public:
    void add(const std::string& key, const tstring& value) { lines += key + "=" + tstrings::encodeUtf8(value) + "\n"; }

    // Written in one piece at the end, so a test never reads half a report.
    void save(const tstring& path) const {
        const UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        if (!file || !WriteFile(file.get(), lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr)) {
            throw TervoError<std::runtime_error>(std::runtime_error("cannot write " + tstrings::encodeUtf8(path)));
        }
    }

private:
    std::string lines;
};

// Runs one action with the log routed into the installer's log. A failure of any kind is
// reported there and fails the action, as the installer expects of a DLL entry point.
template <class Body>
UINT runAction(MSIHANDLE handle, Body&& body) {
    const msi::MsiLogScope scope(handle);
    return runReporting(std::forward<Body>(body)) ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

tstring resultPath(const msi::CAFacade& ca, const wchar_t* name) {
    return msi::CAFacade::normalizeDirectory(ca.getProperty(L"RESULTDIR")) + name;
}

void reportArgs(Report& report, const msi::DeferredCA& ca) {
    for (const auto& [name, value] : ca.getArgs()) {
        report.add("arg[" + tstrings::encodeUtf8(name) + "]", value);
    }
}

} // namespace

// Immediate, early: changes properties, runs a nested action, reads the database and the data
// meant for the deferred action.
extern "C" __declspec(dllexport) UINT __stdcall CaImmediate(MSIHANDLE handle) {
    return runAction(handle, [handle] {
        msi::CAFacade ca(handle);
        Report report;
        ca.setProperty(L"CA_SET", L"set by action");
        ca.removeProperty(L"CA_REMOVED");
        ca.setPropertyIfEmpty(L"CA_IFEMPTY_EMPTY", L"filled");
        ca.setPropertyIfEmpty(L"CA_IFEMPTY_FULL", L"replaced");
        ca.doAction(L"CaNested");
        try {
            ca.doAction(L"CaNoSuchAction");
            report.add("doActionError", L"none");
        } catch (const msi::Error& e) {
            report.add("doActionReason", std::to_wstring(e.getReason()));
            report.add("doActionError", tstrings::decodeUtf8(dynamic_cast<const TervoErrorBase&>(e).plainMessage()));
        }
        report.add("modes", ca.getModes());
        report.add("productCode", ca.getProductCode().toString());
        const msi::Database database(ca.getImpl());
        report.add("databasePath", database.getPath());
        report.add("databaseProductName", database.getProperty(L"ProductName"));
        const msi::DeferredCA deferred(handle, L"CaDeferred");
        report.add("raw", deferred.getArg());
        reportArgs(report, deferred);
        report.save(resultPath(ca, L"immediate.txt"));
    });
}

// Run only through CaImmediate's doAction.
extern "C" __declspec(dllexport) UINT __stdcall CaNested(MSIHANDLE handle) {
    return runAction(handle, [handle] { msi::CAFacade(handle).setProperty(L"CA_NESTED", L"ran"); });
}

// Immediate, after CaImmediate: records the properties as the installation now has them.
extern "C" __declspec(dllexport) UINT __stdcall CaRecord(MSIHANDLE handle) {
    return runAction(handle, [handle] {
        const msi::CAFacade ca(handle);
        Report report;
        for (const wchar_t* name : {L"CA_SET", L"CA_REMOVED", L"CA_IFEMPTY_EMPTY", L"CA_IFEMPTY_FULL", L"CA_NESTED"}) {
            report.add(tstrings::encodeUtf8(name), ca.getProperty(name));
        }
        report.save(resultPath(ca, L"record.txt"));
    });
}

// Deferred: everything it knows comes from its data, the output path included. A "fail" argument
// of "deferred" makes it ask for an argument that is not there.
extern "C" __declspec(dllexport) UINT __stdcall CaDeferred(MSIHANDLE handle) {
    return runAction(handle, [handle] {
        const msi::DeferredCA ca(handle, L"CaDeferred");
        Report report;
        report.add("raw", ca.getArg());
        report.add("property", ca.getProperty(L"CaDeferred"));
        reportArgs(report, ca);
        report.add("modes", ca.getModes());
        report.add("productCode", ca.getProductCode().toString());
        if (Logger::global().accepts(Severity::INFO)) {
            logAt(Severity::INFO, tstrings::MessageBuilder() << "deferred action has " << ca.getArgs().size() << " arguments");
        }
        DWORD otherThread = 0;
        std::thread([&otherThread] {
            otherThread = GetCurrentThreadId();
            if (Logger::global().accepts(Severity::INFO)) {
                logAt(Severity::INFO, tstrings::MessageBuilder() << "record from a second thread");
            }
        }).join();
        report.add("otherThread", std::to_wstring(otherThread));
        if (ca.getParsedArg(L"fail") == L"deferred") {
            ca.getParsedArg(L"missing");
        }
        report.save(ca.getParsedArg(L"out"));
    });
}

// Immediate, run only when FAILCA is "immediate": an empty value is refused before the installer
// sees it.
extern "C" __declspec(dllexport) UINT __stdcall CaFail(MSIHANDLE handle) {
    return runAction(handle, [handle] { msi::CAFacade(handle).setProperty(L"CA_EMPTY", L""); });
}
