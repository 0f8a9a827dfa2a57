// Installer helpers for tests: expectations about installer errors, computed from the platform
// rather than from the code under test, and products set up and removed with the plain calls.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "MsiUtils.h"
#include "SysInfo.h"
#include "TestSupport.h"

// The platform's own description of an installer code, read without the code under test.
// Wine's msimsg.dll has no string table, so there every code reads "No description".
inline std::string installerDescription(UINT code) {
    const tstring path = SysInfo::getSystemDir() + L"\\msimsg.dll";
    HMODULE library = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    EXPECT_NE(nullptr, library) << GetLastError();
    const wchar_t* text = nullptr;
    const int length = LoadStringW(library, code, reinterpret_cast<wchar_t*>(&text), 0);
    std::string description = length > 0 ? tstrings::encodeUtf8(tstring(text, length)) : "No description";
    FreeLibrary(library);
    return description;
}

// The one line on standard error with which a launcher reports that msiexec ended with the failure
// `status`: its name, the status with the installer's description, and its log. Returns the log's
// path; records a failure and returns empty text when the line is not so.
inline tstring installerFailureLog(const std::string& standardError, const std::string& launcher, UINT status) {
    std::string description = installerDescription(status);
    while (!description.empty() && (description.back() == '.' || description.back() == ' ')) {
        description.pop_back();
    }
    const std::string head =
        launcher + ": msiexec.exe ended with status " + std::to_string(status) + " (" + description + "). Log: ";
    const std::vector<std::string> lines = outputLines(standardError);
    if (lines.size() != 1 || lines[0].rfind(head, 0) != 0) {
        ADD_FAILURE() << "expected one line starting [" << head << "], got: " << standardError;
        return {};
    }
    return tstrings::decodeUtf8(lines[0].substr(head.size()));
}

// `body` must throw msi::Error with `reason` from `function`, its message being `text`, ". " and
// the installer's description of the reason.
inline void expectInstallerError(const std::function<void()>& body, const std::string& function,
                                 const std::string& text, UINT reason) {
    try {
        body();
    } catch (const msi::Error& e) {
        EXPECT_EQ(reason, e.getReason()) << e.what();
        const auto* located = dynamic_cast<const TervoErrorBase*>(&e);
        ASSERT_NE(nullptr, located) << e.what();
        EXPECT_EQ(text + ". MSI error [" + std::to_string(reason) + "](" + installerDescription(reason) + ")",
                  located->plainMessage());
        EXPECT_NE(std::string::npos, std::string(e.what()).find(") at " + function + "(): ")) << e.what();
        return;
    }
    ADD_FAILURE() << "nothing thrown, expected: " << text;
}

// Whether the test process's token is elevated, read with the plain calls: Wine's user is an
// administrator with an elevated token, and the programs a test starts inherit it.
inline bool processTokenIsElevated() {
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return false;
    }
    const BOOL read = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
    CloseHandle(token);
    return read && elevation.TokenIsElevated;
}

// Whether the test prefix has the product installed.
inline bool isProductInstalledForTest(const tstring& productCode) {
    return MsiQueryProductStateW(productCode.c_str()) == INSTALLSTATE_DEFAULT;
}

// Removes the product silently when the test prefix has it, with the plain installer calls.
inline void removeProductForTest(const tstring& productCode) {
    if (MsiQueryProductStateW(productCode.c_str()) != INSTALLSTATE_UNKNOWN) {
        const INSTALLUILEVEL previous = MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
        MsiConfigureProductExW(productCode.c_str(), INSTALLLEVEL_MAXIMUM, INSTALLSTATE_ABSENT, L"REBOOT=ReallySuppress");
        MsiSetInternalUI(previous, nullptr);
    }
}

// A value the e2e basic package recorded in the registry (Greeting, EchoPath, Tag, Share,
// InstallDir), or "<none>".
inline tstring basicPackageValue(const wchar_t* name) {
    std::vector<wchar_t> value(40000);
    DWORD size = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\Tervo E2E Basic", name, RRF_RT_REG_SZ, nullptr, value.data(),
                     &size) != ERROR_SUCCESS) {
        return L"<none>";
    }
    return value.data();
}

// The GREETING property the e2e basic package recorded in the registry, or "<none>".
inline tstring basicPackageGreeting() { return basicPackageValue(L"Greeting"); }
