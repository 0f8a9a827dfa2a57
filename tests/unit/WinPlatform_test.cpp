// The Windows layer: a staged output is delete-pending until commit, replaces the destination
// in one step, and names the destination when it cannot; package facts through msi.dll.
#include <iostream>

#include "FileUtils.h"
#include "PackTestSupport.h"
#include "TestSupport.h"
#include "Utf.h"

using namespace pack;

namespace {

tstring wide(const std::string& text) {
    const std::u16string units = toUtf16(text);
    return tstring(units.begin(), units.end());
}

class WinPlatformTest : public PackTempDirTest {};

} // namespace

TEST_F(WinPlatformTest, StagedOutputIsDeletePendingUntilCommit) {
    const std::string target = pathOf("Ääni setup.exe");
    writeBytes(target, "old contents");
    {
        const auto output = platform::createStagedOutput(target);
        output->write("new contents", 12);
        const std::vector<std::string> names = folderNames(dir);
        ASSERT_EQ(2u, names.size());
        const std::string staged = names[0] == "Ääni setup.exe" ? names[1] : names[0];
        EXPECT_EQ(0u, staged.find("stg")) << staged;
        // Windows lets nobody open a file that is to be deleted; Wine does. Both remove it with the handle.
        const HANDLE other = CreateFileW(wide(pathOf(staged)).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, 0, nullptr);
        if (other != INVALID_HANDLE_VALUE) {
            CloseHandle(other);
            EXPECT_NE(nullptr, GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version"))
                << "Windows opened a file that is to be deleted";
            std::cout << "[   NOTE   ] Wine opens a delete-pending file; Windows refuses it" << std::endl;
        }
    }
    EXPECT_EQ(std::vector<std::string>{"Ääni setup.exe"}, folderNames(dir));
    EXPECT_EQ("old contents", readBytes(target));

    const auto output = platform::createStagedOutput(target);
    output->write("new contents", 12);
    output->writeAt(0, "NEW", 3);
    output->commit();
    EXPECT_EQ("NEW contents", readBytes(target));
    EXPECT_EQ(std::vector<std::string>{"Ääni setup.exe"}, folderNames(dir));

    // A destination held open without sharing cannot be replaced: it stays, and so does nothing else.
    const HANDLE held = CreateFileW(wide(target).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    const auto blocked = platform::createStagedOutput(target);
    blocked->write("other", 5);
    const std::string message = refusalOf([&] { blocked->commit(); });
    CloseHandle(held);
    EXPECT_EQ(0u, message.find("Cannot write " + target + ": ")) << message;
    EXPECT_EQ("NEW contents", readBytes(target));
    EXPECT_EQ(std::vector<std::string>{"Ääni setup.exe"}, folderNames(dir));
}

TEST_F(WinPlatformTest, MsiReadsThePackageFactsAndRefusesOtherFiles) {
    const std::optional<PackageFacts> facts = platform::readPackageFacts(platform::absolutePath(TERVO_PACK_DATA "/basic.msi"));
    ASSERT_TRUE(facts.has_value());
    EXPECT_EQ("{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E01}", facts->productCode);
    EXPECT_EQ("Tervo E2E Basic", facts->productName);
    EXPECT_EQ("2.5.7", facts->productVersion);
    EXPECT_EQ("Tervo Tests", facts->manufacturer);
    EXPECT_EQ(2, facts->wordCount);
    EXPECT_EQ(std::vector<std::string>{"#basic.cab"}, facts->cabinets);
    ASSERT_EQ(1u, facts->files.size());
    EXPECT_EQ("payload.txt", facts->files[0].name);
    EXPECT_EQ(512, facts->files[0].attributes);
    EXPECT_EQ("Tervo Ääni", platform::readPackageFacts(platform::absolutePath(TERVO_PACK_DATA "/unicode.msi"))->productName);
    writeBytes(pathOf("notes.msi"), "just some text");
    for (const std::string& path : {pathOf("notes.msi"), pathOf("missing.msi"), dir}) {
        EXPECT_FALSE(platform::readPackageFacts(path).has_value()) << path;
    }
}

TEST_F(WinPlatformTest, PathsInTheSystemsSpelling) {
    writeBytes(pathOf("File.txt"), "x");
    EXPECT_TRUE(platform::sameFile(pathOf("File.txt"), pathOf("FILE.TXT")));
    EXPECT_TRUE(platform::sameFile(pathOf("new.exe"), pathOf("NEW.exe")));
    EXPECT_FALSE(platform::sameFile(pathOf("File.txt"), pathOf("other.txt")));
    EXPECT_EQ("C:\\a\\share\\tervo\\x.exe", platform::joinPath("C:\\a", "share/tervo/x.exe"));
    EXPECT_EQ("x.exe", platform::fileName("C:\\a\\x.exe"));
    EXPECT_EQ("C:\\a", platform::parentDirectory("C:\\a\\x.exe"));
    EXPECT_EQ(PathKind::Directory, platform::pathKind(dir));
    EXPECT_EQ(PathKind::Missing, platform::pathKind(pathOf("none")));
    EXPECT_EQ("Cannot read " + dir + ": it is a directory", refusalOf([&] { platform::openInput(dir); }));
}

TEST_F(WinPlatformTest, DevicesAreNeitherReadNorReplacedAndLinksAreFollowed) {
    for (const char* device : {"NUL", "CON", "COM1", "nul.txt"}) {
        const std::string path = platform::absolutePath(device);
        const PathState state = platform::examinePath(path);
        EXPECT_EQ(PathKind::Other, state.kind) << path;
        EXPECT_EQ("it is a device, not a regular file", state.reason) << path;
        EXPECT_EQ("Cannot read " + path + ": it is a device, not a regular file", refusalOf([&] { platform::openInput(path); }));
    }
    EXPECT_EQ(PathKind::File, platform::examinePath(platform::absolutePath(TERVO_PACK_DATA "/basic.msi")).kind);

    // A symbolic link leads to its target, which is what gets replaced; one that leads nowhere is
    // no file. Windows makes them for developers; Wine 8 says it made one and made nothing.
    writeBytes(pathOf("target.msi"), "x");
    const BOOL made = CreateSymbolicLinkW(wide(pathOf("link.msi")).c_str(), wide(pathOf("target.msi")).c_str(),
                                          SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    const DWORD error = GetLastError();
    if (!made || GetFileAttributesW(wide(pathOf("link.msi")).c_str()) == INVALID_FILE_ATTRIBUTES) {
        std::cout << "[   NOTE   ] no symbolic link was made (error " << error << "); links not checked" << std::endl;
        return;
    }
    EXPECT_EQ(PathKind::File, platform::examinePath(pathOf("link.msi")).kind);
    EXPECT_TRUE(platform::sameFile(pathOf("link.msi"), pathOf("target.msi")));
    EXPECT_EQ(FileUtils::foldPath(wide(pathOf("target.msi"))), FileUtils::foldPath(wide(platform::linkTarget(pathOf("link.msi")))));
    EXPECT_EQ(pathOf("target.msi"), platform::linkTarget(pathOf("target.msi")));
    DeleteFileW(wide(pathOf("target.msi")).c_str());
    EXPECT_EQ(PathKind::Unreachable, platform::examinePath(pathOf("link.msi")).kind);
}
