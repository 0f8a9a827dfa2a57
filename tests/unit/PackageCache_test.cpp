// The package cache in this process, with the launcher's own units and the test prefix's real
// folders: where a run puts its package, the security of the folders it makes or takes over, links
// on the way, and what is removed afterwards. Wine's user is an administrator with an elevated
// token; hooks on GetTokenInformation make the process answer that it is not.
#include "WinHeaders.h"

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <cwchar>
#include <iostream>
#include <map>
#include <set>

#include "ImportHook.h"
#include "InstallerTestSupport.h"
#include "LauncherCommandLine.h"
#include "LauncherProduct.h"
#include "PackageCache.h"
#include "PathUtils.h"
#include "SecureFolder.h"
#include "SysInfo.h"
#include "TestSupport.h"

namespace {

const wchar_t* const basicCode = L"{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E01}";

LauncherCommandLine lineOf(const tstring& args) { return LauncherCommandLine(L"setup.exe " + args); }

void note(const std::string& text) { std::cout << "[   NOTE   ] " << text << std::endl; }

// The token of a user whose administrators' rights are split off by user account control.
auto notElevated() {
    return [](auto original, HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID data, DWORD size, PDWORD needed) -> BOOL {
        if (kind == TokenElevation && data && size >= sizeof(TOKEN_ELEVATION)) {
            static_cast<TOKEN_ELEVATION*>(data)->TokenIsElevated = FALSE;
            return TRUE;
        }
        if (kind == TokenElevationType && data && size >= sizeof(TOKEN_ELEVATION_TYPE)) {
            *static_cast<TOKEN_ELEVATION_TYPE*>(data) = TokenElevationTypeLimited;
            return TRUE;
        }
        return original(token, kind, data, size, needed);
    };
}

// SDDL as the system writes it back: read in and out once, the auto-inherited flag dropped.
tstring canonical(const tstring& sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
        << tstrings::encodeUtf8(sddl);
    wchar_t* text = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr);
    tstring result = text ? tstrings::replaceAll(text, L"D:PAI(", L"D:P(") : L"";
    LocalFree(text);
    LocalFree(descriptor);
    return result;
}

bool runningOnWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

tstring sddlOf(PSECURITY_DESCRIPTOR descriptor) {
    wchar_t* text = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr);
    tstring result = text ? tstrings::replaceAll(text, L"D:PAI(", L"D:P(") : L"";
    LocalFree(text);
    return result;
}

// The security the code gives each folder, as it hands it to the system: when it creates one, and
// when it takes one over. Wine keeps no DACL (it turns it into Unix permissions and makes one up
// from them when asked), so this is what shows that the right one is set.
class AppliedSecurity {
public:
    AppliedSecurity()
        : create([this](auto original, LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
              if (security && security->lpSecurityDescriptor) {
                  applied[path] = sddlOf(security->lpSecurityDescriptor);
              }
              return original(path, security);
          }),
          takeOver([this](auto original, HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION parts, PSID owner,
                          PSID group, PACL dacl, PACL sacl) {
              SECURITY_DESCRIPTOR descriptor;
              InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
              SetSecurityDescriptorOwner(&descriptor, owner, FALSE);
              SetSecurityDescriptorDacl(&descriptor, TRUE, dacl, FALSE);
              if (parts & PROTECTED_DACL_SECURITY_INFORMATION) {
                  SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
              }
              wchar_t path[MAX_PATH * 4] = {};
              GetFinalPathNameByHandleW(object, path, MAX_PATH * 4, 0);
              applied[tstrings::hasPrefix(path, L"\\\\?\\") ? tstring(path + 4) : tstring(path)] = sddlOf(&descriptor);
              return original(object, type, parts, owner, group, dacl, sacl);
          }) {}

    // The SDDL last given to `path`, or "(none)".
    tstring of(const tstring& path) const {
        for (const auto& [where, sddl] : applied) {
            if (tstrings::equal(where, path, tstrings::IGNORE_CASE)) {
                return sddl;
            }
        }
        return L"(none)";
    }

private:
    std::map<tstring, tstring> applied;
    IMPORT_HOOK(CreateDirectoryW) create;
    IMPORT_HOOK(SetSecurityInfo) takeOver;
};

// Checks that `folder` was given `sddl` and reads back as such where the system keeps DACLs; on
// Wine, that at least nobody but its owner may write it any more.
void expectSecurity(const AppliedSecurity& applied, const tstring& folder, const tstring& sddl) {
    EXPECT_EQ(tstrings::encodeUtf8(canonical(sddl)), tstrings::encodeUtf8(applied.of(folder))) << tstrings::encodeUtf8(folder);
    const tstring readBack = canonical(readSecurityText(folder));
    if (runningOnWine()) {
        EXPECT_EQ(tstring::npos, readBack.find(L";FA;;;WD)")) << tstrings::encodeUtf8(readBack);
    } else {
        EXPECT_EQ(tstrings::encodeUtf8(canonical(sddl)), tstrings::encodeUtf8(readBack)) << tstrings::encodeUtf8(folder);
    }
}

class PlacementTest : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        removeProductForTest(basicCode);
        machineBase = SysInfo::getKnownFolder(FOLDERID_ProgramData) + L"\\Tervo";
        userBase = SysInfo::getKnownFolder(FOLDERID_LocalAppData) + L"\\Tervo";
        clean();
    }
    void TearDown() override {
        removeProductForTest(basicCode);
        clean();
        TempDirTest::TearDown();
    }
    void clean() {
        for (const tstring& base : {machineBase, userBase}) {
            if (isReparsePoint(base + L"\\Package Cache")) {
                RemoveDirectoryW((base + L"\\Package Cache").c_str());
            }
            removeTreeForTest(base);
        }
    }

    // A launcher of the build, loaded as the loader maps a program.
    LauncherProduct product(const wchar_t* name) {
        const tstring path = testProgramDir() + L"\\" + name;
        modules.emplace_back(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE));
        EXPECT_TRUE(modules.back()) << describeWinError(GetLastError());
        return LauncherProduct(modules.back().get(), path);
    }

    tstring versionFolder(const tstring& base) const { return base + L"\\Package Cache\\" + basicCode + L"v2.5.7"; }

    tstring machineBase;
    tstring userBase;
    std::vector<UniqueModule> modules;
    CapturingAppender capture;
    ScopedAppender scope{&capture};
};

} // namespace

TEST(PackageCacheRules, PerUserOnlyWhenNothingMakesItPerMachine) {
    const struct {
        const wchar_t* line;
        std::optional<tstring> allUsers;  // the package's
        std::optional<tstring> perUser;
        bool expected;
    } cases[] = {
        {L"", std::nullopt, std::nullopt, true},
        {L"", L"", std::nullopt, true},
        {L"", L"1", std::nullopt, false},
        {L"", L"3", std::nullopt, false},
        {L"ALLUSERS=1", std::nullopt, std::nullopt, false},
        {L"ALLUSERS=\"\"", L"1", std::nullopt, true},
        {L"allusers=2", std::nullopt, std::nullopt, false},
        {L"ALLUSERS=2 MSIINSTALLPERUSER=1", std::nullopt, std::nullopt, true},
        {L"", L"2", L"1", true},
        {L"", L"2", L"", false},
        {L"MSIINSTALLPERUSER=1", L"2", std::nullopt, true},
        {L"MSIINSTALLPERUSER=\"\"", L"2", L"1", false},
        {L"TRANSFORMS=user.mst", std::nullopt, std::nullopt, false},
        {L"/ju", L"1", std::nullopt, true},
        {L"/jm", std::nullopt, std::nullopt, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, PackageCache::installsPerUser(lineOf(c.line), c.allUsers, c.perUser))
            << tstrings::encodeUtf8(c.line) << " / " << tstrings::encodeUtf8(c.allUsers.value_or(L"(none)"));
    }
}

TEST(PackageCacheRules, FolderNamesAndSecurity) {
    const Guid code(tstring(L"{3e0d6c2b-1f4a-4b59-9c7e-5a1b2c3d4e01}"));
    const std::pair<tstring, tstring> names[] = {
        {L"2.5.7", L"{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E01}v2.5.7"},
        {L"1", L"{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E01}v1"},
        {tstring(64, L'9'), L"{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E01}v" + tstring(64, L'9')},
        {tstring(65, L'9'), L""}, {L"", L""}, {L"1.0-beta", L""}, {L"..\\..\\x", L""}, {L".1", L""}, {L"1.", L""},
    };
    for (const auto& [version, name] : names) {
        EXPECT_EQ(tstrings::encodeUtf8(name), tstrings::encodeUtf8(PackageCache::versionFolderName(code, version)));
    }
    // Full control for the system and administrators only; Users read and run, or the one user.
    EXPECT_EQ(L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)", PackageCache::machineFolderSecurity());
    EXPECT_EQ(L"O:S-1-5-21-1-2-3-1001D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;S-1-5-21-1-2-3-1001)",
              PackageCache::userFolderSecurity(L"S-1-5-21-1-2-3-1001"));
    for (const tstring& sddl : {PackageCache::machineFolderSecurity(), PackageCache::userFolderSecurity(SysInfo::getCurrentUserSid())}) {
        EXPECT_NO_THROW(SecurityDescriptor{sddl}) << tstrings::encodeUtf8(sddl);
    }
}

TEST_F(PlacementTest, ElevatedRunsCacheForTheMachineInFoldersOnlyAdministratorsWrite) {
    const bool elevated = processTokenIsElevated();
    note(std::string("the process token says elevated=") + (elevated ? "yes" : "no"));
    ASSERT_TRUE(elevated) << "the machine cache needs an elevated test run";
    ASSERT_TRUE(SysInfo::isElevated());

    // Another user made the folder first, granting everyone everything, and planted a file where
    // the package goes and one beside it.
    const SecurityDescriptor everyone(L"D:(A;OICI;FA;;;WD)");
    SECURITY_ATTRIBUTES open{sizeof open, everyone.get(), FALSE};
    ASSERT_TRUE(CreateDirectoryW(machineBase.c_str(), &open));
    ASSERT_TRUE(CreateDirectoryW((machineBase + L"\\Package Cache").c_str(), &open));
    ASSERT_TRUE(CreateDirectoryW(versionFolder(machineBase).c_str(), &open));
    writeFile(versionFolder(machineBase) + L"\\main.msi", "planted package");
    writeFile(versionFolder(machineBase) + L"\\data1.cab", "planted cabinet");

    const LauncherProduct basic = product(L"e2e-basic-setup.exe");
    const AppliedSecurity applied;
    {
        PackageCache::Placement placement(lineOf(L"/qn"), basic);
        EXPECT_EQ(tstrings::encodeUtf8(versionFolder(machineBase) + L"\\main.msi"),
                  tstrings::encodeUtf8(placement.packagePath()));
        EXPECT_EQ(readFile(tstrings::decodeUtf8(TERVO_E2E_BASIC_MSI)), readFile(placement.packagePath()));
        EXPECT_EQ(std::vector<tstring>{L"main.msi"}, listDir(versionFolder(machineBase)));
        EXPECT_EQ(L"", placement.noCacheReason());
        // Held: nobody may change or remove it while msiexec reads it.
        EXPECT_FALSE(DeleteFileW(placement.packagePath().c_str()));
        for (const tstring& folder : {machineBase, machineBase + L"\\Package Cache", versionFolder(machineBase)}) {
            expectSecurity(applied, folder, PackageCache::machineFolderSecurity());
        }
        note("the everyone-writable folders were taken over; Wine reads back " +
             tstrings::encodeUtf8(readSecurityText(machineBase)) + " (made from Unix permissions; nothing is enforced)");
        placement.finish(0);
    }
    EXPECT_FALSE(exists(versionFolder(machineBase))) << "pruned: nothing installed the product";
    EXPECT_TRUE(exists(machineBase + L"\\Package Cache"));
    EXPECT_FALSE(exists(userBase)) << "an elevated run keeps no per-user cache";
}

TEST_F(PlacementTest, RunsThatAreNotElevatedCacheOnlyWhatInstallsPerUser) {
    const IMPORT_HOOK(GetTokenInformation) limited(notElevated());
    ASSERT_FALSE(SysInfo::isElevated());
    const AppliedSecurity applied;
    const struct {
        const wchar_t* launcher;
        const wchar_t* line;
        bool cached;
    } cases[] = {
        {L"e2e-basic-setup.exe", L"/qn", false},
        {L"e2e-basic-setup.exe", L"/qn ALLUSERS=\"\"", true},
        {L"e2e-peruser-setup.exe", L"/qn", true},
        {L"e2e-peruser-setup.exe", L"/qn ALLUSERS=1", false},
        {L"e2e-peruser-setup.exe", L"/jm", false},
        {L"e2e-nocache-setup.exe", L"/qn ALLUSERS=\"\"", false},
    };
    for (const auto& c : cases) {
        const std::string context = tstrings::encodeUtf8(c.launcher) + " " + tstrings::encodeUtf8(c.line);
        tstring temporary;
        {
            PackageCache::Placement placement(lineOf(c.line), product(c.launcher));
            const tstring path = placement.packagePath();
            EXPECT_EQ(readFile(tstrings::decodeUtf8(TERVO_E2E_BASIC_MSI)).size(), readFile(path).size()) << context;
            EXPECT_FALSE(exists(machineBase)) << context << ": the machine's cache is the administrators'";
            if (c.cached) {
                EXPECT_EQ(tstrings::encodeUtf8(versionFolder(userBase) + L"\\main.msi"), tstrings::encodeUtf8(path));
                for (const tstring& folder : {userBase, userBase + L"\\Package Cache", versionFolder(userBase)}) {
                    expectSecurity(applied, folder, PackageCache::userFolderSecurity(SysInfo::getCurrentUserSid()));
                }
            } else {
                temporary = FileUtils::parentPath(path);
                EXPECT_EQ(0u, path.find(SysInfo::getTempDir() + L"\\")) << context << ": " << tstrings::encodeUtf8(path);
                EXPECT_FALSE(exists(userBase)) << context;
                // The launcher packed without a cache says nothing of it in the log.
                EXPECT_EQ(tstring(c.launcher) != L"e2e-nocache-setup.exe",
                          tstrings::hasPrefix(placement.noCacheReason(), L"No package cache: this run is not elevated"))
                    << context << ": " << tstrings::encodeUtf8(placement.noCacheReason());
            }
        }
        if (!temporary.empty()) {
            EXPECT_FALSE(exists(temporary)) << context << ": the temporary directory goes with the run";
        }
        clean();
    }
}

TEST_F(PlacementTest, LinksOnTheWayAreRemovedNeverFollowed) {
    // Wine makes no links for Windows programs (CreateSymbolicLinkW does nothing, and
    // FSCTL_SET_REPARSE_POINT is refused): hooks make folders answer as links, which the cache must
    // remove rather than follow. tests/scripts/cache-links.sh does it with real Unix links.
    const tstring cache = machineBase + L"\\Package Cache";
    std::set<tstring> links;
    std::vector<tstring> removed;
    const auto isLink = [&](LPCWSTR path) { return links.count(path) > 0; };
    const IMPORT_HOOK(GetFileAttributesW) attributes([&](auto original, LPCWSTR path) {
        const DWORD found = original(path);
        return found != INVALID_FILE_ATTRIBUTES && isLink(path) ? found | FILE_ATTRIBUTE_REPARSE_POINT : found;
    });
    const IMPORT_HOOK(RemoveDirectoryW) unlink([&](auto original, LPCWSTR path) {
        const BOOL done = original(path);
        if (done && isLink(path)) {
            removed.push_back(path);
            links.erase(path);
        }
        return done;
    });
    // An empty folder stands for each link: what a junction is to RemoveDirectory.
    for (const tstring& link : {cache, versionFolder(machineBase)}) {
        clean();
        links = {link};
        removed.clear();
        for (const tstring& folder : {machineBase, cache, versionFolder(machineBase)}) {
            if (folder.size() <= link.size()) {
                ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
            }
        }
        PackageCache::Placement placement(lineOf(L"/qn"), product(L"e2e-basic-setup.exe"));
        EXPECT_EQ(tstrings::encodeUtf8(versionFolder(machineBase) + L"\\main.msi"), tstrings::encodeUtf8(placement.packagePath()));
        EXPECT_EQ(std::vector<tstring>{link}, removed) << "the link is removed, and a folder made in its place";
        EXPECT_TRUE(exists(placement.packagePath()));
    }
    // The system's folder is not the launcher's to remove: the run uses a temporary directory.
    clean();
    const IMPORT_HOOK(SHGetKnownFolderPath) linked([&](auto original, REFKNOWNFOLDERID id, DWORD flags, HANDLE user, PWSTR* path) {
        const HRESULT result = original(id, flags, user, path);
        if (SUCCEEDED(result)) {
            links.insert(*path);
        }
        return result;
    });
    capture.records.clear();
    PackageCache::Placement placement(lineOf(L"/qn"), product(L"e2e-basic-setup.exe"));
    EXPECT_EQ(0u, placement.packagePath().find(SysInfo::getTempDir() + L"\\")) << tstrings::encodeUtf8(placement.packagePath());
    EXPECT_FALSE(exists(machineBase));
    EXPECT_EQ(1u, capture.messages(Severity::ERROR).size()) << "the reason is in the debug log";
    ASSERT_EQ(1u, capture.messages(Severity::WARNING).size());
    EXPECT_EQ(0u, capture.messages(Severity::WARNING)[0].find(L"No package cache: its folder cannot be made safe"));
}

TEST_F(PlacementTest, WhatNoInstalledProductNeedsIsRemoved) {
    const tstring cache = machineBase + L"\\Package Cache\\";
    const tstring otherVersion = cache + basicCode + L"v1.0.0";
    const tstring unknown = cache + L"{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E77}v1.0";
    const tstring notOurs = cache + L"notes";
    const auto plant = [&] {
        for (const tstring& folder : {machineBase, machineBase + L"\\Package Cache", otherVersion, unknown, notOurs}) {
            CreateDirectoryW(folder.c_str(), nullptr);
        }
        writeFile(otherVersion + L"\\main.msi", "old");
        writeFile(unknown + L"\\main.msi", "gone");
    };
    const LauncherProduct basic = product(L"e2e-basic-setup.exe");

    // A failed install of a product that is not installed: its folder goes, with every folder of a
    // product that is not installed; what is not the cache's stays.
    plant();
    {
        PackageCache::Placement placement(lineOf(L"/qn"), basic);
        placement.finish(ERROR_INSTALL_FAILURE);
    }
    EXPECT_EQ(std::vector<tstring>{L"notes"}, listDir(cache));

    // A successful install keeps its folder and drops the product's other versions; a folder in
    // use stays for the next run, with a warning.
    plant();
    {
        PackageCache::Placement placement(lineOf(L"/qn"), basic);
        const INSTALLUILEVEL previous = MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
        ASSERT_EQ(static_cast<UINT>(ERROR_SUCCESS), MsiInstallProductW(placement.packagePath().c_str(), L""));
        MsiSetInternalUI(previous, nullptr);
        const UniqueHandle inUse(CreateFileW((unknown + L"\\main.msi").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(inUse);
        capture.records.clear();
        placement.finish(0);
        EXPECT_EQ((std::vector<tstring>{L"notes", tstring(basicCode) + L"v2.5.7", L"{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E77}v1.0"}),
                  listDir(cache));
        ASSERT_EQ(1u, capture.messages(Severity::WARNING).size());
        EXPECT_NE(tstring::npos, capture.messages(Severity::WARNING)[0].find(unknown));
    }
    // Removing the product removes every version of it.
    ASSERT_TRUE(CreateDirectoryW(otherVersion.c_str(), nullptr));
    writeFile(otherVersion + L"\\main.msi", "old");
    PackageCache::removeProduct(Guid(tstring(basicCode)));
    EXPECT_EQ((std::vector<tstring>{L"notes", L"{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E77}v1.0"}), listDir(cache));
}
