// Custom-action support: argument parsing and paths directly; properties, modes, actions and log
// routing on an installer session opened in this process; and custom actions built on the library
// (test-ca.dll) run by the real msiexec.exe of the test prefix.
#include <regex>
#include <sstream>
#include <thread>

#include "Dll.h"
#include "ImportHook.h"
#include "InstallerTestSupport.h"
#include "MsiCA.h"
#include "MsiDb.h"
#include "SysInfo.h"
#include "TestSupport.h"

namespace {

using Args = msi::DeferredCA::ArgsCtnr;

const wchar_t* const probeCode = L"{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E41}";
const char* const probeData = "*first=1*second=a=b=c*empty=*fail=*first=2**tail*x=y=z**more";

tstring probePackage() { return tstrings::decodeUtf8(TERVO_CA_MSI); }

// A text read through the installer's convention: ask for the length, then read.
template <class Read>
tstring readText(Read read) {
    DWORD length = 0;
    wchar_t none[1] = {};
    read(none, &length);
    std::vector<wchar_t> text(length + 1);
    length = static_cast<DWORD>(text.size());
    EXPECT_EQ(0u, read(text.data(), &length));
    return tstring(text.data(), length);
}

// Each message the library hands to the installer, and the text the installer makes of it.
struct SentMessage {
    MSIHANDLE installHandle;
    INSTALLMESSAGE type;
    tstring templateText;
    tstring text;
    tstring rendered;
};
std::vector<SentMessage> sentMessages;
std::vector<tstring> arrivals; // installer and earlier sink, in the order records reach them
INT processMessage(decltype(&MsiProcessMessage) original, MSIHANDLE install, INSTALLMESSAGE type, MSIHANDLE record) {
    const auto field = [record](UINT n) {
        return readText([&](LPWSTR buffer, LPDWORD length) { return MsiRecordGetStringW(record, n, buffer, length); });
    };
    const SentMessage sent{install, type, field(0), field(1), readText([&](LPWSTR buffer, LPDWORD length) {
                               return MsiFormatRecordW(install, record, buffer, length);
                           })};
    arrivals.push_back(L"installer: " + sent.text);
    sentMessages.push_back(sent);
    return original(install, type, record);
}

class ArrivalAppender : public LogAppender {
public:
    void append(const LogRecord& record) override { arrivals.push_back(L"earlier: " + record.message); }
};

// An installer session on the probe package, opened in this process without installing anything.
class CASessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
        ASSERT_EQ(0u, MsiOpenPackageW(probePackage().c_str(), &session));
    }
    void TearDown() override { MsiCloseHandle(session); }
    MSIHANDLE session = 0;
    NopLogAppender quiet;
    ScopedAppender quietScope{&quiet};
};

// "[hh:mm:ss.mmm<thread>file:line (function)] LEVEL: message" as the appender writes it.
std::string recordPattern(const std::string& thread, const std::string& file, const std::string& function,
                          const std::string& tail) {
    return R"(\[\d\d:\d\d:\d\d\.\d\d\d)" + thread + file + R"(:\d+ \()" + function + R"(\)\] )" + tail;
}

} // namespace

TEST(DeferredCAArgs, ParsesNameValueTokensAndKeepsTheTailWhole) {
    const struct {
        const wchar_t* data;
        Args expected;
    } cases[] = {
        {L"", {}},
        {L"a=1*b=x=y=z", {{L"a", L"1"}, {L"b", L"x=y=z"}}},
        {L"a=1**tail*with=stars", {{L"a", L"1"}, {L"", L"tail*with=stars"}}},
        {L"**only*tail=x", {{L"", L"only*tail=x"}}},
        {L"**", {{L"", L""}}},
        {L"a=1***b=2", {{L"a", L"1"}, {L"", L"*b=2"}}},
        {L"a=1*a=2", {{L"a", L"2"}}},
        {L" a = 1 *=v*k=", {{L" a ", L" 1 "}, {L"", L"v"}, {L"k", L""}}},
        {L"=token**tail", {{L"", L"tail"}}},
    };
    for (const auto& c : cases) {
        Args args;
        msi::DeferredCA::parseArgs(args, c.data);
        EXPECT_EQ(c.expected, args) << tstrings::encodeUtf8(c.data);
    }
}

TEST(DeferredCAArgs, TokenWithoutEqualsSignFailsAndLeavesTheArgumentsAlone) {
    const struct {
        const wchar_t* data;
        const char* message;
    } cases[] = {
        {L"a=1*", "Missing expected '=' character in [] string."},
        {L"a=1*bare*c=3**tail", "Missing expected '=' character in [bare] string."},
        {L"*", "Missing expected '=' character in [] string."},
    };
    for (const auto& c : cases) {
        Args args{{L"old", L"kept"}};
        EXPECT_EQ(c.message, thrownPlainMessage([&] { msi::DeferredCA::parseArgs(args, c.data); },
                                                "msi::`anonymous-namespace'::parseArg"));
        EXPECT_EQ((Args{{L"old", L"kept"}}), args) << tstrings::encodeUtf8(c.data);
    }
}

TEST(DeferredCAArgs, NewDataReplacesEqualNamesAndKeepsTheRest) {
    Args args{{L"c", L"kept"}, {L"a", L"old"}, {L"", L"old tail"}};
    msi::DeferredCA::parseArgs(args, L"a=new*b=2");
    EXPECT_EQ((Args{{L"a", L"new"}, {L"b", L"2"}, {L"c", L"kept"}, {L"", L"old tail"}}), args);
    msi::DeferredCA::parseArgs(args, L"**new tail");
    EXPECT_EQ(L"new tail", args[L""]);
    EXPECT_EQ(4u, args.size());
}

TEST(CAFacade, NormalizeDirectoryGivesBackslashesAndOneTrailingSeparator) {
    const struct {
        const wchar_t* path;
        const wchar_t* expected;
    } cases[] = {
        {L"", L""},
        {L"C:/dir/sub//", L"C:\\dir\\sub\\"},
        {L"C:\\dir", L"C:\\dir\\"},
        {L"C:\\a/b\\/", L"C:\\a\\b\\"},
        {L"//server/share", L"\\\\server\\share\\"},
        {L"/", L"\\"},
        {L"\\\\/", L"\\"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, msi::CAFacade::normalizeDirectory(c.path)) << tstrings::encodeUtf8(c.path);
    }
}

TEST_F(CASessionTest, EmptyValueIsRefusedBeforeItIsLoggedOrReachesTheInstaller) {
    CapturingAppender capture;
    ScopedAppender scope(&capture);
    msi::CAFacade ca(session);
    EXPECT_EQ("Attempt to assign empty value to 'CA_REMOVED' MSI property",
              thrownPlainMessage([&] { ca.setProperty(L"CA_REMOVED", L""); }, "msi::CAImpl::setProperty"));
    EXPECT_EQ("Attempt to assign empty value to 'CA_IFEMPTY_EMPTY' MSI property",
              thrownPlainMessage([&] { ca.setPropertyIfEmpty(L"CA_IFEMPTY_EMPTY", L""); }, "msi::CAImpl::setProperty"));
    EXPECT_TRUE(capture.records.empty());
    EXPECT_EQ(L"present", ca.getProperty(L"CA_REMOVED")) << "an empty value would have removed it";
}

TEST_F(CASessionTest, InstallerRefusalsNameTheCallAndCarryTheStatus) {
    msi::CAFacade none(MSIHANDLE(0));
    expectInstallerError([&] { none.setProperty(L"NAME", L"value"); }, "msi::CAImpl::setProperty",
                         "MsiSetProperty(NAME, value) failed", MsiSetPropertyW(0, L"NAME", L"value"));
    expectInstallerError([&] { none.removeProperty(L"NAME"); }, "msi::CAImpl::removeProperty",
                         "MsiSetProperty(NAME, NULL) failed", MsiSetPropertyW(0, L"NAME", nullptr));

    msi::CAFacade ca(session);
    const UINT unknownAction = MsiDoActionW(session, L"CaNoSuchAction");
    EXPECT_NE(0u, unknownAction);
    expectInstallerError([&] { ca.doAction(L"CaNoSuchAction"); }, "msi::CAFacade::doAction",
                         "MsiDoAction(CaNoSuchAction) failed", unknownAction);
}

TEST_F(CASessionTest, ActionDataWithoutANameIsCustomActionDataAndIsParsedAtOnce) {
    msi::CAFacade ca(session);
    ca.setProperty(L"CustomActionData", L"x=1**rest");
    ca.setProperty(L"CaDeferred", L"y=2");
    const msi::DeferredCA unnamed(session);
    EXPECT_EQ(L"x=1**rest", unnamed.getArg());
    EXPECT_EQ((Args{{L"x", L"1"}, {L"", L"rest"}}), unnamed.getArgs());
    EXPECT_EQ(L"1", unnamed.getParsedArg(L"x"));
    EXPECT_EQ("Argument << 'missing' not found.",
              thrownPlainMessage([&] { unnamed.getParsedArg(L"missing"); }, "msi::DeferredCA::getParsedArg"));
    EXPECT_EQ(L"y=2", msi::DeferredCA(session, L"CaDeferred").getArg()) << "not deferred: the named property";

    ca.setProperty(L"CustomActionData", L"x=1*y");
    EXPECT_EQ("Missing expected '=' character in [y] string.",
              thrownPlainMessage([&] { msi::DeferredCA{session}; }, "msi::`anonymous-namespace'::parseArg"));
}

TEST_F(CASessionTest, LogRecordsReachTheInstallerVerbatimWithTheThreadOfOtherThreads) {
    const IMPORT_HOOK(MsiProcessMessage) hook(processMessage);
    sentMessages.clear();

    msi::MsiLogAppender appender(session);
    LogRecord record;
    record.timestamp.wHour = 1;
    record.timestamp.wMinute = 2;
    record.timestamp.wSecond = 3;
    record.timestamp.wMilliseconds = 4;
    record.threadId = GetCurrentThreadId();
    record.fileName = L"Source.cpp";
    record.line = 42;
    record.functionName = L"ns::`anonymous-namespace'::work";
    record.levelName = L"INFO";
    // The installer formats the text it puts in for [1] once more: brackets and braces must come
    // out as they went in.
    record.message = L"Created [C:\\dir [1]] file {{x}} [ProductName] {y} 100% %s";
    appender.append(record);
    record.threadId = GetCurrentThreadId() + 4;
    record.levelName = L"ERROR";
    record.message = L"elsewhere";
    appender.append(record);

    ASSERT_EQ(2u, sentMessages.size());
    for (const SentMessage& sent : sentMessages) {
        EXPECT_EQ(session, sent.installHandle);
        EXPECT_EQ(INSTALLMESSAGE_INFO, sent.type);
        EXPECT_EQ(L"Orvel [1]", sent.templateText);
    }
    EXPECT_EQ(L"Orvel [01:02:03.004 Source.cpp:42 (ns::`anonymous-namespace'::work)] INFO: "
              L"Created [C:\\dir [1]] file {{x}} [ProductName] {y} 100% %s",
              sentMessages[0].rendered);
    EXPECT_EQ(L"Orvel [01:02:03.004 (TID: " + std::to_wstring(GetCurrentThreadId() + 4) +
                  L") Source.cpp:42 (ns::`anonymous-namespace'::work)] ERROR: elsewhere",
              sentMessages[1].rendered);
}

TEST_F(CASessionTest, LogScopeSendsToTheInstallerFirstAndRestoresTheEarlierSink) {
    const IMPORT_HOOK(MsiProcessMessage) hook(processMessage);
    sentMessages.clear();
    arrivals.clear();
    ArrivalAppender earlier;
    ScopedAppender installed(&earlier);
    DWORD otherThread = 0;
    {
        const msi::MsiLogScope scope(session);
        EXPECT_NE(&earlier, Logger::global().currentAppender());
        logAt(Severity::INFO, tstrings::MessageBuilder() << "from the action");
        std::thread([&otherThread] {
            otherThread = GetCurrentThreadId();
            logAt(Severity::WARNING, tstrings::MessageBuilder() << "from a second thread");
        }).join();
        {
            const msi::MsiLogScope inner(session);
            logAt(Severity::TRACE, tstrings::MessageBuilder() << "nested");
        }
        EXPECT_EQ(4u, sentMessages.size()) << "the nested record reaches both scopes' installer sinks";
    }
    EXPECT_EQ(&earlier, Logger::global().currentAppender());
    logAt(Severity::INFO, tstrings::MessageBuilder() << "after the scope");

    ASSERT_EQ(4u, sentMessages.size());
    const std::vector<tstring> prefixes{L"installer: ", L"earlier: ", L"installer: ", L"earlier: ", L"installer: ",
                                        L"installer: ", L"earlier: ", L"earlier: "};
    ASSERT_EQ(prefixes.size(), arrivals.size());
    for (std::size_t i = 0; i < arrivals.size(); ++i) {
        EXPECT_EQ(0u, arrivals[i].find(prefixes[i])) << i << ": " << tstrings::encodeUtf8(arrivals[i]);
    }
    EXPECT_EQ(L"earlier: after the scope", arrivals.back());

    const std::string own = tstrings::encodeUtf8(sentMessages[0].rendered);
    const std::string other = tstrings::encodeUtf8(sentMessages[1].rendered);
    EXPECT_TRUE(std::regex_match(own, std::regex("Orvel " + recordPattern(" ", R"(MsiCA_test\.cpp)", ".*TestBody",
                                                                         "INFO: from the action"))))
        << own;
    EXPECT_TRUE(std::regex_match(other, std::regex("Orvel " + recordPattern(" \\(TID: " + std::to_string(otherThread) +
                                                                             "\\) ",
                                                                         R"(MsiCA_test\.cpp)", ".*",
                                                                         "WARNING: from a second thread"))))
        << other;
}

TEST(TestCustomActionDll, ExportsUndecoratedEntryPoints) {
    const Dll dll(tstrings::MessageBuilder() << testProgramDir() << L"\\test-ca.dll");
    for (const char* name : {"CaImmediate", "CaNested", "CaRecord", "CaDeferred", "CaFail"}) {
        EXPECT_NE(nullptr, dll.getFunction(name, false)) << name;
    }
}

namespace {

// Runs the probe package through msiexec.exe; the custom actions write their reports to the
// fixture's directory.
class CustomActionInstallTest : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        removeProbe();
    }
    void TearDown() override {
        removeProbe();
        TempDirTest::TearDown();
    }

    static void removeProbe() { removeProductForTest(probeCode); }

    DWORD msiexec(const tstring& arguments) {
        const ProcessResult result = runProcess(L"\"" + SysInfo::getMsiexecPath() + L"\" " + arguments);
        return result.exitCode;
    }

    DWORD install(const tstring& properties = L"") {
        return msiexec(L"/i \"" + probePackage() + L"\" /qn /l*v \"" + pathOf(L"install.log") + L"\" RESULTDIR=\"" +
                       dir + L"\" " + properties);
    }

    // The verbose log as text: UTF-16 when it starts with a byte-order mark, else narrow.
    std::string installLog() const {
        const std::string bytes = readFile(pathOf(L"install.log"));
        if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
            return tstrings::encodeUtf8(tstring(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2));
        }
        return bytes;
    }

    std::map<std::string, std::string> report(const wchar_t* name) const {
        std::map<std::string, std::string> entries;
        std::istringstream in(readFile(pathOf(name)));
        for (std::string line; std::getline(in, line);) {
            const std::size_t eq = line.find('=');
            entries[line.substr(0, eq)] = eq == std::string::npos ? "" : line.substr(eq + 1);
        }
        return entries;
    }

    static bool installed() { return MsiQueryProductStateW(probeCode) == INSTALLSTATE_DEFAULT; }
};

bool contains(const std::string& text, const std::string& pattern) {
    return std::regex_search(text, std::regex(pattern));
}

} // namespace

TEST_F(CustomActionInstallTest, ActionsChangePropertiesReadModesAndDataAndLogIntoTheInstallersLog) {
    ASSERT_EQ(0u, install());
    ASSERT_TRUE(installed());
    const std::string data = tstrings::encodeUtf8(L"out=" + dir + L"\\deferred.txt") + probeData;
    const std::map<std::string, std::string> args{{"arg[out]", tstrings::encodeUtf8(dir + L"\\deferred.txt")},
                                                  {"arg[first]", "2"},
                                                  {"arg[second]", "a=b=c"},
                                                  {"arg[empty]", ""},
                                                  {"arg[fail]", ""},
                                                  {"arg[]", "tail*x=y=z**more"}};

    // The later action sees what the first one did, the nested action included.
    const std::map<std::string, std::string> expectedRecord{{"CA_SET", "set by action"},
                                                            {"CA_REMOVED", ""},
                                                            {"CA_IFEMPTY_EMPTY", "filled"},
                                                            {"CA_IFEMPTY_FULL", "kept"},
                                                            {"CA_NESTED", "ran"}};
    EXPECT_EQ(expectedRecord, report(L"record.txt"));

    auto immediate = report(L"immediate.txt");
    EXPECT_EQ(std::to_string(ERROR_FUNCTION_NOT_CALLED), immediate["doActionReason"]);
    EXPECT_EQ("MsiDoAction(CaNoSuchAction) failed. MSI error [1626](" + installerDescription(ERROR_FUNCTION_NOT_CALLED) +
                  ")",
              immediate["doActionError"]);
    EXPECT_EQ(tstrings::encodeUtf8(probeCode), immediate["productCode"]);
    EXPECT_EQ("*CA*", immediate["databasePath"]);
    EXPECT_EQ("Tervo CA Probe", immediate["databaseProductName"]);
    EXPECT_EQ(data, immediate["raw"]) << "an immediate action reads the property named after the action";

    auto deferred = report(L"deferred.txt");
    EXPECT_EQ(data, deferred["raw"]) << "a deferred action reads CustomActionData";
    // Windows hides ordinary properties from deferred actions; the property was changed after
    // the action was scheduled.
    std::cout << "property named after the deferred action, read while deferred: '" << deferred["property"] << "'"
              << (deferred["property"].empty() ? " (hidden)" : " (readable)") << "\n";
    for (const auto& [key, value] : args) {
        EXPECT_EQ(value, deferred[key]) << key;
    }
    EXPECT_EQ(tstrings::encodeUtf8(probeCode), deferred["productCode"]);

    const std::string immediateModes = immediate["modes"];
    const std::string deferredModes = deferred["modes"];
    for (const std::string& modes : {immediateModes, deferredModes}) {
        ASSERT_EQ(19u, modes.size()) << modes;
        EXPECT_EQ(std::string::npos, modes.find_first_not_of("01")) << modes;
        EXPECT_EQ('0', modes[MSIRUNMODE_ROLLBACK]) << modes;
        EXPECT_EQ('0', modes[MSIRUNMODE_COMMIT]) << modes;
    }
    EXPECT_EQ('0', immediateModes[MSIRUNMODE_SCHEDULED]);
    EXPECT_EQ('1', immediateModes[MSIRUNMODE_LOGENABLED]) << "the installation writes a log";
    EXPECT_EQ('1', deferredModes[MSIRUNMODE_SCHEDULED]);
    // Windows answers only the scheduled, rollback and commit modes inside a deferred action.
    std::cout << "run modes, immediate " << immediateModes << ", deferred " << deferredModes
              << (deferredModes.find('1') != deferredModes.rfind('1') ? " (modes besides SCHEDULED answered while deferred)"
                                                                       : " (only SCHEDULED set while deferred)")
              << "\n";

    const std::string log = installLog();
    EXPECT_TRUE(contains(log, "Orvel " + recordPattern(" ", R"(MsiCA\.cpp)", R"(msi::CAImpl::setProperty)",
                                                       "TRACE: Setting MSI property 'CA_SET' to 'set by action'")))
        << log;
    EXPECT_TRUE(contains(log, "Orvel " + recordPattern(" ", R"(MsiCA\.cpp)", R"(msi::CAImpl::removeProperty)",
                                                       "TRACE: Removing MSI property 'CA_REMOVED'")));
    EXPECT_TRUE(contains(log, "Orvel " + recordPattern(" ", R"(test-ca\.cpp)", ".*CaDeferred.*",
                                                       "INFO: deferred action has 6 arguments")));
    EXPECT_TRUE(contains(log, "Orvel " + recordPattern(" \\(TID: " + deferred["otherThread"] + "\\) ", R"(test-ca\.cpp)",
                                                       ".*", "INFO: record from a second thread")));

    // Removal runs none of the actions.
    for (const wchar_t* name : {L"immediate.txt", L"record.txt", L"deferred.txt"}) {
        ASSERT_TRUE(DeleteFileW(pathOf(name).c_str()));
    }
    EXPECT_EQ(0u, msiexec(L"/x " + tstring(probeCode) + L" /qn"));
    EXPECT_FALSE(installed());
    EXPECT_EQ((std::vector<tstring>{L"install.log"}), listDir(dir));
}

TEST_F(CustomActionInstallTest, AThrowingActionIsReportedAndFailsTheInstallation) {
    const struct {
        const wchar_t* failca;
        const char* record;
    } cases[] = {
        {L"immediate", R"(ERROR: Exception with message 'MsiCA\.cpp\(\d+\) at msi::CAImpl::setProperty\(\): )"
                       R"(Attempt to assign empty value to 'CA_EMPTY' MSI property' caught)"},
        {L"deferred", R"(ERROR: Exception with message 'MsiCA\.cpp\(\d+\) at msi::DeferredCA::getParsedArg\(\): )"
                      R"(Argument << 'missing' not found\.' caught)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(tstrings::encodeUtf8(c.failca));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INSTALL_FAILURE), install(L"FAILCA=" + tstring(c.failca)));
        EXPECT_FALSE(installed());
        const std::string log = installLog();
        EXPECT_TRUE(contains(log, "Orvel " + recordPattern(" ", R"(test-ca\.cpp)", ".*", c.record))) << log;
        EXPECT_FALSE(exists(pathOf(L"deferred.txt")));
        removeProbe();
    }
}
