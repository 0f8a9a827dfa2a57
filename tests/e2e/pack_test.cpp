// tervo-pack driven the way a packaging engineer drives it, and its output run for real.
#include <regex>

#include "InstallerTestSupport.h"
#include "TervoVersion.h"
#include "TestSupport.h"
#include "WinHeaders.h"

namespace {

const wchar_t* const basicCode = L"{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E01}";

tstring basicPackage() {
    wchar_t full[MAX_PATH];
    GetFullPathNameW(tstrings::decodeUtf8(TERVO_E2E_BASIC_MSI).c_str(), MAX_PATH, full, nullptr);
    return full;
}

bool isInstalled() { return isProductInstalledForTest(basicCode); }

void removeProduct() { removeProductForTest(basicCode); }

// A valid .ico file with one 16x16 32-bit image.
std::string iconFile() {
    std::string ico;
    const auto u16 = [&](unsigned v) { ico += static_cast<char>(v & 0xFF); ico += static_cast<char>(v >> 8); };
    const auto u32 = [&](unsigned v) { u16(v & 0xFFFF); u16(v >> 16); };
    const unsigned imageSize = 40 + 16 * 16 * 4 + 16 * 4;
    u16(0), u16(1), u16(1);                                          // ICONDIR
    ico += '\x10', ico += '\x10', ico += '\0', ico += '\0';          // 16x16, no palette
    u16(1), u16(32), u32(imageSize), u32(6 + 16);                    // planes, bits, size, offset
    u32(40), u32(16), u32(32), u16(1), u16(32), u32(0), u32(0);      // BITMAPINFOHEADER
    u32(0), u32(0), u32(0), u32(0);
    ico += std::string(16 * 16 * 4, '\x7f') + std::string(16 * 4, '\0');
    return ico;
}

tstring versionString(const std::vector<char>& block, const wchar_t* name) {
    wchar_t* value = nullptr;
    UINT length = 0;
    const tstring key = tstring(L"\\StringFileInfo\\040904B0\\") + name;
    if (!VerQueryValueW(block.data(), key.c_str(), reinterpret_cast<void**>(&value), &length)) {
        return L"<missing>";
    }
    return tstring(value, length > 0 ? length - 1 : 0);
}

class PackTest : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        removeProduct();
        out = pathOf(L"Out Dir \u00e9");
        ASSERT_TRUE(CreateDirectoryW(out.c_str(), nullptr));
    }
    void TearDown() override {
        removeProduct();
        TempDirTest::TearDown();
    }

    ProcessResult pack(const tstring& args) {
        return runProcess(inQuotes(testProgramDir() + L"\\tervo-pack.exe") + L" " + args);
    }

    ProcessResult runSetup(const tstring& setup, const tstring& args) {
        return runProcess(inQuotes(setup) + L" " + args, {L"TEMP=" + dir, L"TMP=" + dir});
    }

    tstring out;
};

} // namespace

TEST_F(PackTest, PackedLauncherInstallsUninstallsAndDescribesTheProduct) {
    const tstring setup = out + L"\\setup.exe";
    const ProcessResult packed = pack(inQuotes(basicPackage()) + L" -o " + inQuotes(setup));
    ASSERT_EQ(0u, packed.exitCode) << packed.standardError;
    EXPECT_TRUE(std::regex_search(packed.standardOutput,
                                  std::regex(R"(Wrote .*setup\.exe: Tervo E2E Basic 2\.5\.7, product code )"
                                             R"(\{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E01\}, \d+ KB)")))
        << packed.standardOutput;
    EXPECT_EQ("", packed.standardError) << "no progress for a small package";

    const ProcessResult installed = runSetup(setup, L"/qn");
    EXPECT_EQ(0u, installed.exitCode) << installed.standardError;
    EXPECT_TRUE(isInstalled());
    const ProcessResult removed = runSetup(setup, L"uninstall");
    EXPECT_EQ(0u, removed.exitCode) << removed.standardError;
    EXPECT_FALSE(isInstalled());

    // The version block and the product code as the system reads them.
    DWORD ignored = 0;
    std::vector<char> block(GetFileVersionInfoSizeW(setup.c_str(), &ignored));
    ASSERT_FALSE(block.empty());
    ASSERT_TRUE(GetFileVersionInfoW(setup.c_str(), 0, static_cast<DWORD>(block.size()), block.data()));
    EXPECT_EQ(L"Tervo E2E Basic", versionString(block, L"ProductName"));
    EXPECT_EQ(L"2.5.7", versionString(block, L"ProductVersion"));
    EXPECT_EQ(L"Tervo Tests", versionString(block, L"CompanyName"));
    EXPECT_EQ(L"Tervo E2E Basic Setup", versionString(block, L"FileDescription"));
    EXPECT_EQ(L"setup.exe", versionString(block, L"OriginalFilename"));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(0x00020005u, fixed->dwFileVersionMS);
    EXPECT_EQ(0x00070000u, fixed->dwFileVersionLS);
    EXPECT_EQ(0x00020005u, fixed->dwProductVersionMS);

    HMODULE image = LoadLibraryExW(setup.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, image);
    HRSRC code = FindResourceW(image, L"PRODUCT_CODE", RT_RCDATA);
    ASSERT_NE(nullptr, code);
    EXPECT_EQ(38u, SizeofResource(image, code));
    EXPECT_EQ("{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E01}",
              std::string(static_cast<const char*>(LockResource(LoadResource(image, code))), 38));
    EXPECT_EQ(nullptr, FindResourceW(image, MAKEINTRESOURCEW(1), RT_GROUP_ICON)) << "no icon was asked for";
    FreeLibrary(image);
}

TEST_F(PackTest, InspectAndExtractShowWhatTheLauncherCarries) {
    const tstring setup = out + L"\\setup.exe";
    ASSERT_EQ(0u, pack(inQuotes(basicPackage()) + L" -o " + inQuotes(setup) + L" --quiet").exitCode);

    const ProcessResult inspected = pack(L"--inspect " + inQuotes(setup));
    EXPECT_EQ(0u, inspected.exitCode) << inspected.standardError;
    const std::string expectedSize = std::to_string(readFile(basicPackage()).size());
    for (const std::string& line : {std::string("Made by:       Tervo " TERVO_VERSION),
                                    std::string("Product code:  {3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E01}"),
                                    "Package size:  " + expectedSize + " bytes", std::string("Product name:  Tervo E2E Basic"),
                                    std::string("Version:       2.5.7"), std::string("Manufacturer:  Tervo Tests"),
                                    std::string(", the package matches")}) {
        EXPECT_NE(std::string::npos, inspected.standardOutput.find(line)) << inspected.standardOutput;
    }

    const tstring extracted = out + L"\\again.msi";
    const ProcessResult extract = pack(L"--extract " + inQuotes(setup) + L" -o " + inQuotes(extracted));
    EXPECT_EQ(0u, extract.exitCode) << extract.standardError;
    EXPECT_EQ(readFile(basicPackage()), readFile(extracted));

    // To standard output, a pipe here: the package byte for byte, and the summary on standard error.
    const ProcessResult piped = pack(L"--extract " + inQuotes(setup) + L" -o -");
    EXPECT_EQ(0u, piped.exitCode) << piped.standardError;
    EXPECT_TRUE(readFile(basicPackage()) == piped.standardOutput);
    EXPECT_EQ("Wrote the package to standard output: " + expectedSize + " bytes\r\n", piped.standardError);
    const ProcessResult nowhere = pack(L"--extract " + inQuotes(setup) + L" -o NUL");
    EXPECT_EQ(1u, nowhere.exitCode);
    EXPECT_EQ("tervo-pack: Cannot write NUL: it is a device, not a regular file; -o - writes the package to standard output\r\n",
              nowhere.standardError);
}

TEST_F(PackTest, StandardOutputThatIsTheLauncherItselfIsRefused) {
    // As cmd's >> sets it up: standard output appends to the launcher that the tool reads.
    const tstring setup = pathOf(L"self.exe");
    ASSERT_EQ(0u, pack(inQuotes(basicPackage()) + L" -o " + inQuotes(setup) + L" --quiet").exitCode);
    const std::string original = readFile(setup);
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    const tstring batch = pathOf(L"self.bat");
    for (const tstring& command : {L"--extract " + inQuotes(setup) + L" -o -", L"--inspect " + inQuotes(setup) + L" --json"}) {
        writeFile(batch, tstrings::encodeUtf8(L"@" + inQuotes(testProgramDir() + L"\\tervo-pack.exe") + L" " + command + L" >> " +
                                              inQuotes(setup) + L"\r\n@exit /b %ERRORLEVEL%\r\n"));
        const ProcessResult r = runProcess(inQuotes(tstring(system) + L"\\cmd.exe") + L" /c " + inQuotes(batch));
        EXPECT_EQ(1u, r.exitCode) << tstrings::encodeUtf8(command);
        EXPECT_EQ("tervo-pack: Standard output is the launcher " + tstrings::encodeUtf8(setup) +
                      ": what the tool writes there would change it while it is read; redirect standard output to another file\r\n",
                  r.standardError);
        EXPECT_TRUE(readFile(setup) == original) << "the launcher changed";
    }
    // Appending to another file is what -o - is for.
    const tstring other = pathOf(L"other.msi");
    writeFile(other, "");
    writeFile(batch, tstrings::encodeUtf8(L"@" + inQuotes(testProgramDir() + L"\\tervo-pack.exe") + L" --extract " + inQuotes(setup) +
                                          L" -o - -q >> " + inQuotes(other) + L"\r\n@exit /b %ERRORLEVEL%\r\n"));
    const ProcessResult appended = runProcess(inQuotes(tstring(system) + L"\\cmd.exe") + L" /c " + inQuotes(batch));
    EXPECT_EQ(0u, appended.exitCode) << appended.standardError;
    EXPECT_TRUE(readFile(other) == readFile(basicPackage()));
}

TEST_F(PackTest, ProductCodeOverrideAndIcon) {
    const tstring icon = pathOf(L"app.ico");
    writeFile(icon, iconFile());
    const tstring setup = out + L"\\custom.exe";
    const ProcessResult packed = pack(inQuotes(basicPackage()) + L" -o " + inQuotes(setup) +
                                      L" --product-code 3e0d6c2b1f4a4b599c7e5a1b2c3d4e01 --icon " + inQuotes(icon));
    ASSERT_EQ(0u, packed.exitCode) << packed.standardError;
    HMODULE image = LoadLibraryExW(setup.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, image);
    HRSRC code = FindResourceW(image, L"PRODUCT_CODE", RT_RCDATA);
    ASSERT_NE(nullptr, code);
    EXPECT_EQ("{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E01}",
              std::string(static_cast<const char*>(LockResource(LoadResource(image, code))), SizeofResource(image, code)));
    EXPECT_NE(nullptr, FindResourceW(image, MAKEINTRESOURCEW(1), RT_GROUP_ICON));
    EXPECT_NE(nullptr, FindResourceW(image, MAKEINTRESOURCEW(1), RT_ICON));
    FreeLibrary(image);
}

TEST_F(PackTest, RefusalsExplainAndWriteNothing) {
    const tstring notAPackage = pathOf(L"notes.msi");
    writeFile(notAPackage, "just some text, not a compound file");
    const tstring withoutCode = pathOf(L"nocode.msi");
    ASSERT_TRUE(CopyFileW(basicPackage().c_str(), withoutCode.c_str(), FALSE));
    const ProcessResult edited = runProcess(inQuotes(testProgramDir() + L"\\msi-edit.exe") + L" " + inQuotes(withoutCode) +
                                            L" \"DELETE FROM `Property` WHERE `Property` = 'ProductCode'\"");
    ASSERT_EQ(0u, edited.exitCode) << edited.standardError;
    const tstring basic = inQuotes(basicPackage());
    const tstring target = L" -o " + inQuotes(out + L"\\setup.exe");

    const struct {
        tstring args;
        const char* expected;
    } cases[] = {
        {inQuotes(pathOf(L"missing.msi")) + target, "Package not found: "},
        {inQuotes(notAPackage) + target, " is not a Windows Installer package\r"},
        {inQuotes(withoutCode) + target, " has no ProductCode property; give the product code with --product-code"},
        {basic + target + L" --product-code {not-a-guid}", "Invalid product code '{not-a-guid}' given with --product-code"},
        {basic + target + L" --stub " + inQuotes(testProgramDir() + L"\\run-report.exe"), " is not a Tervo launcher stub"},
        {basic + L" -o " + inQuotes(out + L"\\no such dir\\setup.exe"), "no such dir does not exist\r"},
        {basic + target + L" --product-code {0A1B2C3D-4E5F-4071-8293-A4B5C6D7E8F9}", " differs from the package's ProductCode "},
        {basic + L" -o NUL", "tervo-pack: Cannot write NUL: it is a device, not a regular file\r"},
        {basic + L" -o " + L"CON", "tervo-pack: Cannot write CON: it is a device, not a regular file\r"},
    };
    for (const auto& c : cases) {
        const ProcessResult r = pack(c.args);
        EXPECT_EQ(1u, r.exitCode) << c.expected;
        EXPECT_EQ(0u, r.standardError.find("tervo-pack: ")) << r.standardError;
        EXPECT_NE(std::string::npos, r.standardError.find(c.expected)) << r.standardError;
        EXPECT_EQ(std::vector<tstring>{}, listDir(out)) << c.expected;
    }

    // A destination in use stays as it was, and the staged copy is gone.
    const tstring busy = out + L"\\busy.exe";
    writeFile(busy, "old contents");
    const HANDLE held = CreateFileW(busy.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    const ProcessResult blocked = pack(basic + L" -o " + inQuotes(busy));
    CloseHandle(held);
    EXPECT_EQ(1u, blocked.exitCode);
    EXPECT_EQ(0u, blocked.standardError.find("tervo-pack: Cannot write " + tstrings::encodeUtf8(busy) + ": "))
        << blocked.standardError;
    EXPECT_EQ(std::vector<tstring>{L"busy.exe"}, listDir(out));
    EXPECT_EQ("old contents", readFile(busy));
}

TEST_F(PackTest, CommandLineMistakesExitWithTwo) {
    for (const tstring& args : {tstring(), tstring(L"a.msi"), tstring(L"a.msi -o"), tstring(L"a.msi -o b.exe --frobnicate"),
                                tstring(L"--inspect a.exe -o b.msi"), tstring(L"--inspect a.exe --extract")}) {
        const ProcessResult r = pack(args);
        EXPECT_EQ(2u, r.exitCode) << tstrings::encodeUtf8(args);
        EXPECT_NE(std::string::npos, r.standardError.find("Usage:")) << r.standardError;
    }
    const ProcessResult help = pack(L"--help");
    EXPECT_EQ(0u, help.exitCode);
    EXPECT_NE(std::string::npos, help.standardOutput.find("tervo-pack --inspect SETUP.exe"));
}
