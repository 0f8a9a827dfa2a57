// The package cache end to end: real launchers install, upgrade and remove products in the test
// prefix, whose installer records the cached package as each product's source. Wine's user is an
// administrator with an elevated token, so these runs use the per-machine cache; the per-user and
// the temporary roads are PackageCache_test's, with the elevation answered otherwise.
#include <algorithm>
#include <functional>
#include <iostream>

#include "InstallerTestSupport.h"
#include "TestSupport.h"
#include "WinHeaders.h"

namespace {

const wchar_t* const basicCode = L"{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E01}";
const wchar_t* const upgradeCode = L"{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E21}";
const wchar_t* const failingCode = L"{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E11}";
const wchar_t* const helloCode = L"{6F3D2B1A-5C4E-4D7B-9A8F-1E2D3C4B5A69}";
constexpr DWORD failedRun = 0xFFFFFFFF;

std::string utf8(const tstring& text) { return tstrings::encodeUtf8(text); }

void note(const std::string& text) { std::cout << "[   NOTE   ] " << text << std::endl; }

tstring environmentFolder(const wchar_t* name) {
    wchar_t path[MAX_PATH] = {};
    GetEnvironmentVariableW(name, path, MAX_PATH);
    return path;
}

// A source-list property of a product installed per machine; empty when the installer has none.
tstring sourceInfo(const tstring& product, const wchar_t* property) {
    wchar_t value[MAX_PATH * 2] = {};
    DWORD size = MAX_PATH * 2;
    const UINT result = MsiSourceListGetInfoW(product.c_str(), nullptr, MSIINSTALLCONTEXT_MACHINE, MSICODE_PRODUCT,
                                              property, value, &size);
    return result == ERROR_SUCCESS ? tstring(value, size) : tstring();
}

class CacheTest : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        cache = environmentFolder(L"ProgramData") + L"\\Tervo\\Package Cache";
        removeAll();
        temp = pathOf(L"temp");
        ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
    }
    void TearDown() override {
        removeAll();
        TempDirTest::TearDown();
    }
    void removeAll() {
        for (const wchar_t* code : {basicCode, upgradeCode, failingCode, helloCode}) {
            removeProductForTest(code);
        }
        removeTreeForTest(cache);
    }

    ProcessResult run(const tstring& launcher, const tstring& args) {
        return runProcess(inQuotes(testProgramDir() + L"\\" + launcher) + L" " + args,
                          {L"TEMP=" + temp, L"TMP=" + temp, L"TERVO_DEBUG="});
    }

    // The names of the cache's folders, sorted.
    std::vector<tstring> cached() const { return exists(cache) ? listDir(cache) : std::vector<tstring>{}; }

    tstring cache;
    tstring temp;
};

} // namespace

TEST_F(CacheTest, AnInstallLeavesItsPackageWhereTheInstallerLooksForItsSource) {
    const bool elevated = processTokenIsElevated();
    note(std::string("the test's token says elevated=") + (elevated ? "yes" : "no") + "; the launchers it starts inherit it");
    ASSERT_TRUE(elevated);

    const struct {
        const wchar_t* launcher;
        const wchar_t* fileName;
    } cases[] = {
        {L"e2e-basic-setup.exe", L"main.msi"},
        {L"e2e-named-setup.exe", L"Tervo Basic \u00c4 2.5.7.msi"},
    };
    for (const auto& c : cases) {
        const ProcessResult r = run(c.launcher, L"/qn");
        ASSERT_EQ(0u, r.exitCode) << utf8(c.launcher) << ": " << r.standardError;
        const tstring folder = cache + L"\\" + basicCode + L"v2.5.7";
        EXPECT_EQ(std::vector<tstring>{tstring(basicCode) + L"v2.5.7"}, cached());
        EXPECT_EQ(std::vector<tstring>{c.fileName}, listDir(folder)) << utf8(c.launcher);
        EXPECT_TRUE(readFile(folder + L"\\" + c.fileName) == readFile(tstrings::decodeUtf8(TERVO_E2E_BASIC_MSI)))
            << utf8(c.launcher) << ": the package, byte for byte";
        EXPECT_EQ(utf8(folder + L"\\"), utf8(sourceInfo(basicCode, INSTALLPROPERTY_LASTUSEDSOURCE)));
        EXPECT_EQ(utf8(c.fileName), utf8(sourceInfo(basicCode, INSTALLPROPERTY_PACKAGENAME)));
        EXPECT_EQ(std::vector<tstring>{}, listDirExceptLogs(temp)) << utf8(c.launcher) << ": the temporary folder is clean";
        removeAll();
    }

    // Packed without a cache: the source is a temporary directory, gone after the run.
    const ProcessResult r = run(L"e2e-nocache-setup.exe", L"/qn");
    ASSERT_EQ(0u, r.exitCode) << r.standardError;
    EXPECT_EQ(std::vector<tstring>{}, cached());
    const tstring source = sourceInfo(basicCode, INSTALLPROPERTY_LASTUSEDSOURCE);
    EXPECT_EQ(0u, source.find(temp + L"\\")) << utf8(source);
    EXPECT_FALSE(exists(source));
    EXPECT_EQ(std::vector<tstring>{}, listDirExceptLogs(temp));
}

TEST_F(CacheTest, NoFolderOutlivesTheProductsThatNeedIt) {
    const tstring basicFolder = tstring(basicCode) + L"v2.5.7";
    // A failed install: not installed afterwards, so nothing kept.
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSTALL_FAILURE), run(L"e2e-failing-setup.exe", L"/qn").exitCode);
    EXPECT_EQ(std::vector<tstring>{}, cached());

    // Each way of removing the product removes its folder, at once or at the next run of any launcher.
    const struct {
        const char* name;
        std::function<void()> remove;
    } removals[] = {
        {"uninstall", [&] { EXPECT_EQ(0u, run(L"e2e-basic-setup.exe", L"uninstall").exitCode); }},
        {"/x", [&] { EXPECT_EQ(0u, run(L"e2e-basic-setup.exe", L"/qn /x").exitCode); }},
        {"msiexec /x, then another launcher",
         [&] {
             const ProcessResult removed = runProcess(L"msiexec.exe /x " + tstring(basicCode) + L" /qn");
             EXPECT_EQ(0u, removed.exitCode);
             EXPECT_EQ(std::vector<tstring>{basicFolder}, cached()) << "the installer knows nothing of the cache";
             EXPECT_EQ(static_cast<DWORD>(ERROR_INSTALL_FAILURE), run(L"e2e-failing-nocache-setup.exe", L"/qn").exitCode);
         }},
    };
    for (const auto& removal : removals) {
        ASSERT_EQ(0u, run(L"e2e-basic-setup.exe", L"/qn").exitCode) << removal.name;
        ASSERT_EQ(std::vector<tstring>{basicFolder}, cached()) << removal.name;
        removal.remove();
        EXPECT_FALSE(isProductInstalledForTest(basicCode)) << removal.name;
        EXPECT_EQ(std::vector<tstring>{}, cached()) << removal.name;
    }

    // A major upgrade removes the old product; only the new version's package stays.
    ASSERT_EQ(0u, run(L"e2e-basic-setup.exe", L"/qn").exitCode);
    const ProcessResult upgraded = run(L"e2e-upgrade-setup.exe", L"/qn");
    EXPECT_EQ(0u, upgraded.exitCode) << upgraded.standardError;
    EXPECT_TRUE(isProductInstalledForTest(upgradeCode));
    EXPECT_FALSE(isProductInstalledForTest(basicCode)) << "the major upgrade left the old product";
    EXPECT_EQ(std::vector<tstring>{tstring(upgradeCode) + L"v3.0.0"}, cached());

    // Packed without a cache: none is made.
    removeAll();
    ASSERT_EQ(0u, run(L"e2e-nocache-setup.exe", L"/qn").exitCode);
    EXPECT_EQ(std::vector<tstring>{}, cached());
}

TEST_F(CacheTest, ALauncherNeverRemovesAProductThatIsNotItsPackages) {
    // The basic product is installed; one launcher carries the sample package with the basic
    // product's code, another the basic package with a code no package has.
    ASSERT_EQ(0u, run(L"e2e-basic-setup.exe", L"/qn").exitCode);
    const struct {
        const wchar_t* launcher;
        const wchar_t* claimed;
        const wchar_t* own;
    } cases[] = {
        {L"e2e-otherpackage-setup.exe", basicCode, helloCode},
        {L"e2e-foreigncode-setup.exe", L"{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E99}", basicCode},
    };
    for (const auto& c : cases) {
        for (const wchar_t* args : {L"uninstall", L"/x /qn"}) {
            const ProcessResult r = run(c.launcher, args);
            const std::string name = utf8(c.launcher);
            EXPECT_EQ(failedRun, r.exitCode) << name << " " << utf8(args);
            EXPECT_EQ(std::vector<std::string>{name + " would remove the product " + utf8(c.claimed) +
                                               ", but the package inside it installs " + utf8(c.own) +
                                               ": it removes nothing. Download " + name + " again."},
                      outputLines(r.standardError))
                << utf8(args);
            EXPECT_TRUE(isProductInstalledForTest(basicCode)) << name << " " << utf8(args) << " removed it";
        }
    }
    EXPECT_EQ(std::vector<tstring>{tstring(basicCode) + L"v2.5.7"}, cached()) << "the basic product's source stays";
}
