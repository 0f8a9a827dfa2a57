// /extract in this process: what is wrong with the folder is said of the folder, in the user's
// words, and what goes wrong with the launcher's own file is said of the launcher.
#include "ErrorHandling.h"
#include "ImportHook.h"
#include "LauncherProduct.h"
#include "PackageExtraction.h"
#include "TestSupport.h"
#include "UniqueHandle.h"

namespace {

class ExtractionTest : public TempDirTest {
protected:
    void TearDown() override {
        modules.clear();
        TempDirTest::TearDown();
    }
    LauncherProduct product(const tstring& path) {
        modules.emplace_back(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE));
        EXPECT_TRUE(modules.back()) << describeWinError(GetLastError());
        return LauncherProduct(modules.back().get(), path);
    }
    std::string refusal(const tstring& folder, const LauncherProduct& launcher) {
        try {
            extractPackage(folder, launcher);
        } catch (const std::runtime_error& e) {
            return dynamic_cast<const TervoErrorBase&>(e).plainMessage();
        }
        return "";
    }
    std::vector<UniqueModule> modules;
    CapturingAppender capture;
    ScopedAppender scope{&capture};
};

std::string utf8(const tstring& text) { return tstrings::encodeUtf8(text); }

} // namespace

TEST_F(ExtractionTest, FoldersThatCannotTakeThePackageAreSaidInPlainWords) {
    const LauncherProduct basic = product(testProgramDir() + L"\\e2e-basic-setup.exe");
    const tstring occupied = pathOf(L"occupied");
    ASSERT_TRUE(CreateDirectoryW(occupied.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((occupied + L"\\package.msi").c_str(), nullptr));
    const tstring tooLong = pathOf(tstring(300, L'x'));
    const std::pair<tstring, std::string> cases[] = {
        {tooLong, "Cannot extract the package into " + utf8(tooLong) +
                      ": its path is longer than the system takes (259 characters); choose a shorter one."},
        {L"NUL", "Cannot extract the package into NUL: it is a device, not a folder; choose a folder."},
        {L"con", "Cannot extract the package into con: it is a device, not a folder; choose a folder."},
        {occupied, "Cannot extract the package into " + utf8(occupied) +
                       ": a folder named package.msi stands where the package would go; remove it or choose another folder."},
    };
    for (const auto& [folder, message] : cases) {
        EXPECT_EQ(message, refusal(folder, basic)) << utf8(folder);
    }
    // A launcher named like its package, extracted into its own folder, would overwrite itself.
    const tstring self = pathOf(L"package.msi");
    ASSERT_TRUE(CopyFileW((testProgramDir() + L"\\e2e-basic-setup.exe").c_str(), self.c_str(), FALSE));
    EXPECT_EQ("Cannot extract the package into " + utf8(dir) + ": the package's name package.msi is this program's own file "
              "there; choose another folder.",
              refusal(dir, product(self)));
    EXPECT_EQ((std::vector<tstring>{L"occupied", L"package.msi"}), listDir(dir));
}

TEST_F(ExtractionTest, OnlyAFailureOfTheFolderNamesTheFolder) {
    const LauncherProduct basic = product(testProgramDir() + L"\\e2e-basic-setup.exe");
    const tstring folder = pathOf(L"new\\deeper");
    {
        // The launcher's own file fails to give its package.
        const IMPORT_HOOK(ReadFile) unreadable(failing<BOOL>(FALSE, ERROR_IO_DEVICE));
        const std::string message = refusal(folder, basic);
        EXPECT_EQ(0u, message.find("Cannot read the package from " + utf8(testProgramDir()) + "\\e2e-basic-setup.exe: ReadFile("))
            << message;
        EXPECT_EQ(std::string::npos, message.find("Cannot extract")) << message;
    }
    {
        // The folder's file fails to take it.
        const IMPORT_HOOK(WriteFile) full(failing<BOOL>(FALSE, ERROR_DISK_FULL));
        const std::string message = refusal(folder, basic);
        EXPECT_EQ(0u, message.find("Cannot extract the package into " + utf8(folder) + ": WriteFile(")) << message;
    }
    EXPECT_EQ(std::vector<tstring>{}, listDir(dir)) << "the folders it made are gone";
    EXPECT_EQ(utf8(folder + L"\\package.msi"), utf8(extractPackage(folder, basic)));
}
