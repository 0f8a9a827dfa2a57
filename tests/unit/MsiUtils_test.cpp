// The installer layer against the real installer service and message library of the test prefix.
#include <thread>

#include "ImportHook.h"
#include "InstallerTestSupport.h"
#include "MsiUtils.h"
#include "PathUtils.h"
#include "SysInfo.h"
#include "TestSupport.h"
#include "WinErrorHandling.h"

namespace {

const wchar_t* const basicCode = L"{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E01}";

tstring basicPackage() { return tstrings::decodeUtf8(TERVO_E2E_BASIC_MSI); }

INSTALLUILEVEL currentUiLevel() {
    const INSTALLUILEVEL level = MsiSetInternalUI(INSTALLUILEVEL_NOCHANGE, nullptr);
    return level;
}

class Collector : public msi::Callback {
public:
    void notify(UINT kind, UINT flags, const tstring& text) override {
        kinds.push_back(kind);
        EXPECT_EQ(0u, flags & 0xFF000000);
        EXPECT_FALSE(text.empty() && kind == INSTALLMESSAGE_ACTIONSTART);
        if (throwing) {
            throw std::runtime_error("callback failure");
        }
    }
    std::vector<UINT> kinds;
    bool throwing = false;
};

// A kind whose installer call throws a runtime error, or something else.
class Throwing : public msi::action<Throwing> {
public:
    msi::ActionStatus execute(const tstring&) const {
        if (unknown) {
            throw 7;
        }
        throw std::runtime_error("no installer today");
    }
    bool unknown = false;
};

// Puts test-msimsg.dll in place of the prefix's msimsg.dll for its lifetime. Tests that read the
// installer's texts hold the installer lock, so no other test sees the exchange.
class OwnMessageLibrary {
public:
    OwnMessageLibrary() {
        MoveFileExW(system.c_str(), saved.c_str(), 0); // a run that died half-way left the saved one
        EXPECT_TRUE(CopyFileW((testProgramDir() + L"\\test-msimsg.dll").c_str(), system.c_str(), FALSE));
    }
    ~OwnMessageLibrary() { EXPECT_TRUE(MoveFileExW(saved.c_str(), system.c_str(), MOVEFILE_REPLACE_EXISTING)); }
    OwnMessageLibrary(const OwnMessageLibrary&) = delete;
    OwnMessageLibrary& operator=(const OwnMessageLibrary&) = delete;

private:
    const tstring system = SysInfo::getSystemDir() + L"\\msimsg.dll";
    const tstring saved = system + L".tervo-saved";
};

class MsiActionTest : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        removeBasic();
    }
    void TearDown() override {
        removeBasic();
        TempDirTest::TearDown();
    }
    static void removeBasic() { removeProductForTest(basicCode); }
};

} // namespace

TEST(MsiStatus, OnlyZeroAndTheRebootCodesSucceed) {
    for (UINT code : {0u, 1641u, 3010u}) {
        EXPECT_TRUE(msi::isSuccessStatus(code)) << code;
        EXPECT_TRUE(msi::ActionStatus(code, ""));
    }
    for (UINT code : {1u, 259u, 1359u, 1602u, 1603u, 1605u, 1618u, 3011u}) {
        EXPECT_FALSE(msi::isSuccessStatus(code)) << code;
    }
}

// The text of the installer's message library in the system directory: an entry, an empty entry
// of a present block, or none for a code whose block is absent or that is above 65535.
TEST(MsiError, CarriesTheMessageLibrarysEntryEmptyOrNone) {
    const OwnMessageLibrary library;
    const std::string notInstalled = "(This action is only valid for products that are currently installed.)";
    const msi::Error error(tstrings::MessageBuilder() << "MsiGetProductInfo(" << basicCode << ", VersionString) failed",
                           ERROR_UNKNOWN_PRODUCT);
    EXPECT_EQ(ERROR_UNKNOWN_PRODUCT, error.getReason());
    EXPECT_EQ("MsiGetProductInfo({3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E01}, VersionString) failed. MSI error [1605]" +
                  notInstalled,
              std::string(error.what()));
    const std::pair<msi::Error, std::string> cases[] = {
        {msi::Error("Is it there?", 1605), "Is it there? MSI error [1605]" + notInstalled},
        {msi::Error("Op:", 3010), "Op: MSI error [3010](A restart is required to complete the install.)"},
        {msi::Error("Op", 1604), "Op. MSI error [1604]()"},
        {msi::Error("Op", 1620), "Op. MSI error [1620](No description)"},
        {msi::Error("Odd", 70000), "Odd. MSI error [70000](No description)"},
    };
    for (const auto& [made, expected] : cases) {
        EXPECT_EQ(expected, made.what());
    }
    const IMPORT_HOOK(LoadLibraryExW) refused(failing<HMODULE>(nullptr, ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(tstrings::encodeUtf8(L"LoadLibraryExW(" + SysInfo::getSystemDir() + L"\\msimsg.dll) failed. System error [126](" +
                                   systemErrorText(ERROR_MOD_NOT_FOUND) + L")"),
              thrownPlainMessage([] { msi::Error("Op", 1605); }, "msi::`anonymous-namespace'::makeMessage"));
}

TEST(MsiError, NoMoreItemsIsAnErrorWithReason259) {
    try {
        throw TervoError<msi::NoMoreItemsError>(msi::NoMoreItemsError(tstrings::MessageBuilder() << "No more items"));
    } catch (const msi::Error& e) {
        EXPECT_EQ(static_cast<UINT>(ERROR_NO_MORE_ITEMS), e.getReason());
        EXPECT_EQ(0u, std::string(e.what()).find("MsiUtils_test.cpp("));
    }
    try {
        msi::ActionStatus(ERROR_INSTALL_FAILURE, "install failed").throwIt();
    } catch (const msi::Error& e) {
        EXPECT_EQ(static_cast<UINT>(ERROR_INSTALL_FAILURE), e.getReason());
        EXPECT_NE(std::string::npos, std::string(e.what()).find(") at msi::ActionStatus::throwIt(): install failed. "));
    }
}

TEST(CommandLine, PropertiesInNameOrderAfterTheExtraText) {
    msi::ActionData data;
    EXPECT_EQ(L"", msi::composeCommandLine(data));
    data.setCommandLine(L" \t/l*v log.txt  ");
    data.setProperty(L"ZED", L"last").setProperty(L"ALPHA", L"a b").setProperty(L"EMPTY", L"");
    data.setProperty(L"ALPHA", L"first value");
    EXPECT_EQ(L"/l*v log.txt ALPHA=\"first value\" EMPTY=\"\" ZED=last", msi::composeCommandLine(data));

    msi::ActionData onlyProperties;
    onlyProperties.setProperty(L"REBOOT", L"ReallySuppress");
    EXPECT_EQ(L"REBOOT=ReallySuppress", msi::composeCommandLine(onlyProperties));
}

TEST(CommandLine, QuoteValue) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"", L"\"\""},
        {L"plain", L"plain"},
        {L"a b", L"\"a b\""},
        {L"tab\there", L"\"tab\there\""},
        {L"say\"hi\"", L"say\"\"hi\"\""},
        {L"say \"hi\"", L"\"say \"\"hi\"\"\""},
    };
    for (const auto& [value, expected] : cases) {
        EXPECT_EQ(tstring(expected), msi::quoteValue(value)) << tstrings::encodeUtf8(value);
    }
}

TEST_F(MsiActionTest, UninstallOfAMissingProductFailsWithOneErrorRecord) {
    CapturingAppender capture;
    ScopedAppender scope(&capture);
    MsiSetInternalUI(INSTALLUILEVEL_BASIC, nullptr);
    msi::uninstall action;
    action.productCode(Guid(tstring(basicCode)));
    const msi::ActionStatus status = action(std::nothrow);
    EXPECT_FALSE(status);
    EXPECT_EQ(static_cast<UINT>(ERROR_UNKNOWN_PRODUCT), status.getCode());
    EXPECT_EQ("MsiConfigureProductEx({3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E01}, 65535, 2, REBOOT=ReallySuppress) failed [1605]",
              status.getMessage());
    ASSERT_EQ(1u, capture.records.size());
    EXPECT_EQ(L"ERROR", capture.records[0].levelName);
    EXPECT_EQ(L"msi::action<class msi::uninstall>::operator ()", capture.records[0].functionName);
    EXPECT_EQ(tstrings::decodeUtf8(status.getMessage()), capture.records[0].message);
    EXPECT_EQ(INSTALLUILEVEL_BASIC, currentUiLevel()) << "the UI level from before the run";
    MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
}

TEST_F(MsiActionTest, InstallAndUninstallSucceedWithInfoRecordsAndRestoreTheSettings) {
    CapturingAppender capture;
    ScopedAppender scope(&capture);
    Collector collector;
    const tstring log = pathOf(L"install log.txt");
    MsiSetInternalUI(INSTALLUILEVEL_BASIC, nullptr);

    msi::install install;
    install.packagePath(basicPackage()).setProperty(L"GREETING", L"from the action").setLogFile(log).setCallback(&collector);
    const msi::ActionStatus installed = install(std::nothrow);
    EXPECT_TRUE(installed) << installed.getMessage();
    EXPECT_EQ("", installed.getMessage());
    EXPECT_EQ(INSTALLSTATE_DEFAULT, MsiQueryProductStateW(basicCode));
    EXPECT_EQ(INSTALLUILEVEL_BASIC, currentUiLevel());
    EXPECT_FALSE(collector.kinds.empty()) << "the callback saw the installer's messages";
    ASSERT_EQ(1u, capture.messages(Severity::INFO).size());
    EXPECT_EQ(L"MsiInstallProduct(" + basicPackage() + L", GREETING=\"from the action\") succeeded",
              capture.messages(Severity::INFO)[0]);
    EXPECT_EQ(L"msi::`anonymous-namespace'::handleMsiStatus", capture.records.back().functionName);

    // The installer log was switched off after the run: a later installer call leaves it as it was.
    ASSERT_TRUE(exists(log));
    const std::string logged = readFile(log);
    EXPECT_FALSE(logged.empty());
    MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
    MsiInstallProductW(basicPackage().c_str(), L"FAILME=1");
    EXPECT_EQ(logged, readFile(log));

    collector.throwing = true;
    msi::uninstall uninstall;
    uninstall.productCode(Guid(tstring(basicCode))).setCallback(&collector);
    const msi::ActionStatus removed = uninstall(std::nothrow);
    EXPECT_TRUE(removed) << removed.getMessage();
    EXPECT_EQ(INSTALLSTATE_UNKNOWN, MsiQueryProductStateW(basicCode));
    EXPECT_FALSE(capture.messages(Severity::ERROR).empty()) << "the callback's exceptions are reported";
    EXPECT_EQ(L"Exception with message 'callback failure' caught", capture.messages(Severity::ERROR)[0]);
    EXPECT_EQ(L"MsiConfigureProductEx({3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E01}, 65535, 2, REBOOT=ReallySuppress) succeeded",
              capture.messages(Severity::INFO).back());
}

TEST(MsiAction, AnExceptionInsideTheRunBecomesStatus1359) {
    for (const bool unknown : {false, true}) {
        CapturingAppender capture;
        ScopedAppender scope(&capture);
        MsiSetInternalUI(INSTALLUILEVEL_FULL, nullptr);
        Throwing action;
        action.unknown = unknown;
        const msi::ActionStatus status = action(std::nothrow);
        EXPECT_EQ(static_cast<UINT>(ERROR_INTERNAL_ERROR), status.getCode());
        EXPECT_EQ("Unknown error", status.getMessage());
        ASSERT_EQ(1u, capture.records.size());
        EXPECT_EQ(unknown ? L"Unknown exception caught" : L"Exception with message 'no installer today' caught",
                  capture.records[0].message);
        EXPECT_EQ(L"msi::action<class `anonymous-namespace'::Throwing>::operator ()", capture.records[0].functionName);
        EXPECT_EQ(INSTALLUILEVEL_FULL, currentUiLevel());
        MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
    }
}

// What a run asks of the installer, in order, with the installer's answers chosen by the test.
TEST(MsiAction, SettingsAreMadeAroundTheCallAndUndoneInReverse) {
    std::vector<tstring> calls;
    INSTALLUI_HANDLERW handler = nullptr;
    UINT answer = 0;
    const IMPORT_HOOK(MsiSetInternalUI) ui([&](auto, INSTALLUILEVEL level, HWND*) {
        calls.push_back((tstrings::MessageBuilder() << "ui " << static_cast<int>(level)).str());
        return INSTALLUILEVEL_BASIC;
    });
    const IMPORT_HOOK(MsiEnableLogW) log([&](auto, DWORD mode, LPCWSTR path, DWORD attributes) {
        calls.push_back((tstrings::MessageBuilder() << "log " << mode << " " << path << " " << attributes).str());
        return 0u;
    });
    const IMPORT_HOOK(MsiSetExternalUIW) external([&](auto, INSTALLUI_HANDLERW h, DWORD filter, LPVOID) {
        handler = h ? h : handler;
        calls.push_back((tstrings::MessageBuilder() << "handler " << filter).str());
        return INSTALLUI_HANDLERW();
    });
    const IMPORT_HOOK(MsiConfigureProductExW) configure([&](auto, LPCWSTR, int, INSTALLSTATE, LPCWSTR line) {
        calls.push_back(L"configure " + tstring(line));
        return answer;
    });
    struct : msi::Callback {
        void notify(UINT kind, UINT flags, const tstring& text) override {
            seen.push_back((tstrings::MessageBuilder() << kind << " " << flags << " " << text).str());
        }
        std::vector<tstring> seen;
    } callback;
    const std::vector<tstring> plain{L"ui 2", L"log 0 NULL 0", L"configure REBOOT=ReallySuppress", L"log 0 NULL 0", L"ui 3"};
    const std::vector<tstring> logged{L"ui 2", L"log 4096 C:\\l.txt 0", L"handler 4294967295",
                                      L"configure REBOOT=ReallySuppress", L"handler 0", L"log 0 NULL 0", L"ui 3"};
    const struct {
        UINT answer;
        bool withLogAndCallback;
        Severity level;
        const wchar_t* outcome;
    } cases[] = {{3010, true, Severity::INFO, L"succeeded [3010]"},
                 {1641, false, Severity::INFO, L"succeeded [1641]"},
                 {1603, false, Severity::ERROR, L"failed [1603]"}};
    for (const auto& c : cases) {
        CapturingAppender capture;
        ScopedAppender scope(&capture);
        calls.clear();
        answer = c.answer;
        msi::uninstall action;
        action.productCode(Guid(tstring(basicCode)));
        if (c.withLogAndCallback) {
            action.setLogFile(L"C:\\l.txt").setCallback(&callback);
        }
        const msi::ActionStatus status = action(std::nothrow);
        EXPECT_EQ(c.answer, status.getCode());
        EXPECT_EQ(c.level == Severity::INFO, static_cast<bool>(status));
        EXPECT_EQ(c.withLogAndCallback ? logged : plain, calls) << c.answer;
        EXPECT_EQ(1u, capture.records.size());
        EXPECT_EQ(std::vector<tstring>{L"MsiConfigureProductEx({3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E01}, 65535, 2, "
                                       L"REBOOT=ReallySuppress) " + tstring(c.outcome)},
                  capture.messages(c.level));
    }
    // The handler the installer was given passes on only messages with a callback and a text.
    CapturingAppender capture;
    ScopedAppender scope(&capture);
    ASSERT_NE(nullptr, handler);
    EXPECT_EQ(0, handler(nullptr, 0x0B123456, L"no callback"));
    EXPECT_EQ(0, handler(&callback, 0x0B123456, nullptr));
    EXPECT_EQ(0, handler(&callback, 0x0B123456, L"text"));
    EXPECT_EQ(std::vector<tstring>{L"184549376 1193046 text"}, callback.seen);
    EXPECT_TRUE(capture.records.empty());
}

TEST(WaitForInstallation, TimesOutWhileHeldAndReleasesWhatItAcquires) {
    CapturingAppender capture;
    ScopedAppender scope(&capture);
    EXPECT_TRUE(msi::waitForInstallationCompletion(0)) << "no installation is running";

    HANDLE acquired = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread holder([&] {
        HANDLE mutex = CreateMutexW(nullptr, TRUE, L"Global\\_MSIExecute");
        SetEvent(acquired);
        WaitForSingleObject(release, INFINITE);
        ReleaseMutex(mutex);
        // Keeps the mutex alive until the main thread has taken and given it back.
        Sleep(1000);
        CloseHandle(mutex);
    });
    WaitForSingleObject(acquired, INFINITE);
    EXPECT_FALSE(msi::waitForInstallationCompletion(0));
    EXPECT_TRUE(capture.records.empty()) << "a wait without time-out writes nothing";
    EXPECT_FALSE(msi::waitForInstallationCompletion(200));
    EXPECT_EQ(std::vector<tstring>{L"finish waiting for mutex: 258"}, capture.messages(Severity::INFO));
    SetEvent(release);
    EXPECT_TRUE(msi::waitForInstallationCompletion(5000));

    // Another thread can take the mutex at once: the wait above did not keep it.
    std::thread other([] {
        HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, L"Global\\_MSIExecute");
        ASSERT_NE(nullptr, mutex);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 0));
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    });
    other.join();
    holder.join();
    CloseHandle(acquired);
    CloseHandle(release);
}

TEST(MsiQuery, PropertiesOfAnOpenPackageSession) {
    MSIHANDLE session = 0;
    ASSERT_EQ(0u, MsiOpenPackageW(tstrings::decodeUtf8(TERVO_QUERY_MSI).c_str(), &session));
    EXPECT_EQ(L"abcdefghijklmnopqrst", msi::getProperty(session, L"P20"));
    EXPECT_EQ(100u, msi::getProperty(std::nothrow, session, L"P100").size());
    EXPECT_EQ(L"", msi::getProperty(session, L"NOT_SET")) << "an unset property is empty, not an error";
    MsiCloseHandle(session);

    wchar_t buffer[20];
    DWORD length = 20;
    const UINT refused = MsiGetPropertyW(session, L"P20", buffer, &length);
    ASSERT_NE(0u, refused);
    expectInstallerError([&] { msi::getProperty(session, L"P20"); }, "msi::`anonymous-namespace'::getProperty",
                         "MsiGetProperty(" + std::to_string(session) + ", P20) failed", refused);
    EXPECT_EQ(L"", msi::getProperty(std::nothrow, session, L"P20"));
}

TEST(MsiQuery, InstalledUnlessTheInstallerKnowsNoSuchProductOrProperty) {
    const Guid code{tstring(basicCode)};
    const std::pair<UINT, bool> cases[] = {{1605, false}, {1608, false}, {1603, true}, {1610, true}};
    for (const auto& [status, installed] : cases) {
        const IMPORT_HOOK(MsiGetProductInfoW) info(failing<UINT>(status, 0));
        EXPECT_EQ(installed, msi::isProductInstalled(code)) << status;
    }
    // Other failures pass through: here the installer's description cannot be read.
    const IMPORT_HOOK(MsiGetProductInfoW) info(failing<UINT>(1605, 0));
    const IMPORT_HOOK(LoadLibraryExW) noLibrary(failing<HMODULE>(nullptr, ERROR_MOD_NOT_FOUND));
    EXPECT_THROW(msi::isProductInstalled(code), TervoError<SysError>);
}

TEST(MsiHandle, ZeroIsNoHandleAndAFailedCloseIsAWarning) {
    CapturingAppender capture;
    ScopedAppender scope(&capture);
    std::vector<MSIHANDLE> closed;
    const IMPORT_HOOK(MsiCloseHandle) close([&](auto, MSIHANDLE handle) {
        closed.push_back(handle);
        return handle == 42 ? UINT(ERROR_INVALID_HANDLE) : UINT(ERROR_SUCCESS);
    });
    for (const MSIHANDLE handle : {0u, 7u, 42u}) {
        msi::closeMSIHANDLE(handle);
    }
    EXPECT_EQ((std::vector<MSIHANDLE>{7, 42}), closed);
    EXPECT_EQ(std::vector<tstring>{L"MsiCloseHandle(42) failed with error=6"}, capture.messages(Severity::WARNING));
    EXPECT_EQ(1u, capture.records.size());
}

TEST_F(MsiActionTest, ProductInformationFollowsARealInstallAndRemoval) {
    const Guid code{tstring(basicCode)};
    EXPECT_FALSE(msi::isProductInstalled(code));
    expectInstallerError([&] { msi::getProductInfo(code, L"VersionString"); },
                         "msi::`anonymous-namespace'::getProperty",
                         "MsiGetProductInfo({3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E01}, VersionString) failed",
                         ERROR_UNKNOWN_PRODUCT);
    EXPECT_EQ(L"", msi::getProductInfo(std::nothrow, code, L"VersionString"));

    ASSERT_TRUE(msi::install().packagePath(basicPackage())(std::nothrow));
    EXPECT_TRUE(msi::isProductInstalled(code));
    EXPECT_EQ(L"2.5.7", msi::getProductInfo(code, L"VersionString"));
    EXPECT_EQ(L"Tervo E2E Basic", msi::getProductInfo(std::nothrow, code, L"ProductName"));

    ASSERT_TRUE(msi::uninstall().productCode(code)(std::nothrow));
    EXPECT_FALSE(msi::isProductInstalled(code));
}
