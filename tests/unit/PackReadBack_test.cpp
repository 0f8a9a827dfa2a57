// The packer's output read back by Windows itself: the loader's resource lookup, the version
// API, the icon API, the system's image checksum, and packed stand-in stubs run for real.
#include <map>
#include <sstream>

#include "IconFile.h"
#include "PackTestSupport.h"
#include "ResourceSection.h"
#include "TestSupport.h"
#include "UniqueHandle.h"
#include "Utf.h"
#include "VersionBlock.h"

using namespace pack;

namespace {

tstring wide(const std::string& text) {
    const std::u16string units = toUtf16(text);
    return tstring(units.begin(), units.end());
}

// The checksum the system's image helper computes for a file, loaded at run time so the test
// programs keep importing system DLLs only.
DWORD systemChecksum(const std::string& path) {
    UniqueModule imagehlp(LoadLibraryW(L"imagehlp.dll"));
    using MapFileAndCheckSum = DWORD(WINAPI*)(PCWSTR, PDWORD, PDWORD);
    const auto function = reinterpret_cast<MapFileAndCheckSum>(
        reinterpret_cast<void*>(GetProcAddress(imagehlp.get(), "MapFileAndCheckSumW")));
    EXPECT_NE(nullptr, function);
    DWORD stored = 0, computed = 0;
    EXPECT_EQ(0u, function ? function(wide(path).c_str(), &stored, &computed) : 1);
    EXPECT_EQ(stored, computed);
    return computed;
}

// The NAME=value lines a packed stub prints, with its exit code under "EXIT".
std::map<std::string, std::string> runPackedStub(const std::string& program, const std::string& packageOutput) {
    const ProcessResult result = runProcess(inQuotes(wide(program)) + L" " + inQuotes(wide(packageOutput)));
    std::map<std::string, std::string> values;
    std::istringstream lines(result.standardOutput);
    for (std::string line; std::getline(lines, line);) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) {
            values[line.substr(0, eq)] = line.substr(eq + 1, line.find_last_not_of("\r") - eq);
        }
    }
    values["EXIT"] = std::to_string(result.exitCode);
    return values;
}

std::string resourceBytes(HMODULE module, const wchar_t* name, const wchar_t* type) {
    HRSRC found = FindResourceW(module, name, type);
    if (!found) {
        return {};
    }
    return std::string(static_cast<const char*>(LockResource(LoadResource(module, found))), SizeofResource(module, found));
}

UniqueModule loadAsData(const std::string& path) {
    return UniqueModule(LoadLibraryExW(wide(path).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
}

class PackReadBackTest : public PackTempDirTest {};

} // namespace

TEST_F(PackReadBackTest, PackedStubsRunReadTheirPackageAndMatchTheSystemChecksum) {
    const std::string code = "{00000000-1111-2222-3333-444444444444}";
    const struct {
        const char* name;
        std::string stub;
        size_t size;
    } cases[] = {
        {"appended.exe", packStubPath(), 3 * 1024 * 1024 + 13},
        {"rewritten.exe", "", 1500001}, // the appended one packed again: its last section is rewritten
        {"larger.exe", "", 5 * 1024 * 1024 + 7},
        {"unaligned.exe", unalignedPackStubPath(), 1000003},
        {"streamed.exe", packStubPath(), 9 * 1024 * 1024 + 3},
    };
    for (const auto& c : cases) {
        const std::string package = randomBytes(c.size, static_cast<uint32_t>(c.size));
        ResourceTree resources = launcherResources(package, code);
        if (std::string(c.name) == "streamed.exe") {
            writeBytes(pathOf("app.msi"), package);
            const auto source = SourceFile::open(pathOf("app.msi"));
            resources.replace(ResourceTypes::rcData, ResourceNames::package, 0, DataBlock(source, 0, source->size()));
        }
        const ImageLayout layout = packFile(c.stub.empty() ? pathOf("appended.exe") : c.stub, pathOf(c.name), resources, true);
        EXPECT_EQ(layout.checksum, systemChecksum(pathOf(c.name))) << c.name;
        auto report = runPackedStub(pathOf(c.name), pathOf("main.msi"));
        EXPECT_EQ("0", report["EXIT"]) << c.name;
        EXPECT_EQ(std::to_string(package.size()), report["MSI"]) << c.name;
        EXPECT_TRUE(readBytes(pathOf("main.msi")) == package) << c.name << ": the package read back differs";
        EXPECT_EQ(code, report["PRODUCT_CODE"]) << c.name;
        EXPECT_NE("0", report["MANIFEST"]) << c.name;
        EXPECT_NE("0", report["MARKER"]) << c.name;
    }
}

TEST_F(PackReadBackTest, TheLoaderFindsEveryResourceByNameAndNumber) {
    // Enough entries that a binary search over a wrongly ordered table misses some.
    ResourceTree tree;
    std::vector<std::pair<ResourceId, std::string>> expected;
    for (int i = 0; i < 40; ++i) {
        const int key = (i * 17) % 40;
        const std::u16string name = toUtf16((key % 2 ? "name_" : "N") + std::to_string(key));
        tree.put(ResourceTypes::rcData, name, 0, blockOf("named " + std::to_string(key)));
        tree.put(ResourceTypes::rcData, static_cast<uint16_t>(1000 - 7 * key), 0, blockOf("numbered " + std::to_string(key)));
        expected.emplace_back(name, "named " + std::to_string(key));
        expected.emplace_back(static_cast<uint16_t>(1000 - 7 * key), "numbered " + std::to_string(key));
    }
    // Upper-cased non-ASCII names too: the loader upper-cases the name it looks for.
    tree.put(ResourceTypes::rcData, u"äöÿ_жя", 0, blockOf("letters"));
    packFile(packStubPath(), pathOf("many.exe"), tree);

    const UniqueModule module = loadAsData(pathOf("many.exe"));
    ASSERT_TRUE(module) << describeWinError(GetLastError());
    for (const auto& [id, bytes] : expected) {
        const tstring lookup = id.isNumber() ? L"#" + std::to_wstring(id.number()) : tstrings::lowercase(wide(id.describe()));
        HRSRC found = FindResourceW(module.get(), lookup.c_str(), MAKEINTRESOURCEW(10));
        ASSERT_NE(nullptr, found) << tstrings::encodeUtf8(lookup);
        EXPECT_EQ(bytes, resourceBytes(module.get(), lookup.c_str(), MAKEINTRESOURCEW(10)));
    }
    EXPECT_EQ("letters", resourceBytes(module.get(), L"\u00e4\u00f6\u00ff_\u0436\u044f", MAKEINTRESOURCEW(10)));
    EXPECT_NE(nullptr, FindResourceW(module.get(), L"TERVO_LAUNCHER", MAKEINTRESOURCEW(10)));
    EXPECT_EQ(nullptr, FindResourceW(module.get(), L"N41", MAKEINTRESOURCEW(10)));
}

TEST_F(PackReadBackTest, TheSystemReadsBackTheVersionStringsAndFixedVersions) {
    const VersionStrings sample = {"Tervo Sample Ääni", "2.5.1", "Tervo Oy", "Sample setup — installer", "10.0.1.45", "setup.exe"};
    ResourceTree tree;
    tree.put(ResourceTypes::version, 1, 0x40C, blockOf("stale French block"));
    setVersionResource(tree, sample);
    ASSERT_EQ(1u, tree.count());
    packFile(packStubPath(), pathOf("setup.exe"), tree);

    const tstring path = wide(pathOf("setup.exe"));
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    ASSERT_NE(0u, size) << describeWinError(GetLastError());
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data())) << describeWinError(GetLastError());

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    ASSERT_EQ(sizeof(VS_FIXEDFILEINFO), length);
    EXPECT_EQ(static_cast<DWORD>(VS_FFI_SIGNATURE), fixed->dwSignature);
    EXPECT_EQ(0x000A0000u, fixed->dwFileVersionMS);
    EXPECT_EQ(0x0001002Du, fixed->dwFileVersionLS);
    EXPECT_EQ(0x00020005u, fixed->dwProductVersionMS);
    EXPECT_EQ(0x00010000u, fixed->dwProductVersionLS);
    EXPECT_EQ(static_cast<DWORD>(VFT_APP), fixed->dwFileType);
    EXPECT_EQ(static_cast<DWORD>(VOS_NT_WINDOWS32), fixed->dwFileOS);

    const std::pair<const wchar_t*, std::string> strings[] = {
        {L"ProductName", sample.productName},         {L"ProductVersion", sample.productVersion},
        {L"CompanyName", sample.companyName},         {L"FileDescription", sample.fileDescription},
        {L"FileVersion", sample.fileVersion},         {L"OriginalFilename", sample.originalFilename},
    };
    for (const auto& [key, value] : strings) {
        wchar_t* text = nullptr;
        const tstring query = tstring(L"\\StringFileInfo\\040904B0\\") + key;
        ASSERT_TRUE(VerQueryValueW(info.data(), query.c_str(), reinterpret_cast<void**>(&text), &length)) << tstrings::encodeUtf8(key);
        EXPECT_EQ(wide(value), tstring(text)) << tstrings::encodeUtf8(key);
    }

    WORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length));
    ASSERT_EQ(4u, length);
    EXPECT_EQ(0x0409, translation[0]);
    EXPECT_EQ(1200, translation[1]);
}

TEST_F(PackReadBackTest, PackedIconGroupIsUsableAndReplacesTheStubIcons) {
    // A 32-bit colour image with its mask, as stored in .ico files, of the given size.
    const auto dibImage = [](uint32_t size, char shade) {
        std::vector<char> bytes;
        const uint32_t maskRow = (size + 31) / 32 * 4;
        for (const uint32_t field : {40u, size, 2 * size}) {
            appendU32(bytes, field);
        }
        appendU16(bytes, 1);
        appendU16(bytes, 32);
        for (const uint32_t field : {0u, size * size * 4 + maskRow * size, 0u, 0u, 0u, 0u}) {
            appendU32(bytes, field);
        }
        bytes.insert(bytes.end(), size_t{size} * size * 4, shade);
        bytes.insert(bytes.end(), size_t{maskRow} * size, '\0');
        return std::string(bytes.begin(), bytes.end());
    };
    const std::string small = dibImage(16, '\x40'), large = dibImage(32, '\x7F');
    std::vector<char> header;
    for (const uint16_t field : {0, 1, 2}) {
        appendU16(header, field);
    }
    uint32_t offset = 6 + 2 * 16;
    for (const auto& [size, image] : {std::pair<uint32_t, const std::string*>{16, &small}, {32, &large}}) {
        header.insert(header.end(), {static_cast<char>(size), static_cast<char>(size), 0, 0});
        appendU16(header, 1);
        appendU16(header, 32);
        appendU32(header, static_cast<uint32_t>(image->size()));
        appendU32(header, offset);
        offset += static_cast<uint32_t>(image->size());
    }
    writeBytes(pathOf("app.ico"), std::string(header.begin(), header.end()) + small + large);
    ResourceTree tree;
    tree.put(ResourceTypes::groupIcon, u"MAINICON", 0, blockOf("stub group"));
    tree.put(ResourceTypes::icon, 7, 0, blockOf("stub image"));
    IconFile::read(pathOf("app.ico")).addTo(tree);
    packFile(packStubPath(), pathOf("setup.exe"), tree);

    const UniqueModule module = loadAsData(pathOf("setup.exe"));
    ASSERT_TRUE(module) << describeWinError(GetLastError());
    std::string group = resourceBytes(module.get(), MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(14));
    ASSERT_EQ(6u + 2 * 14, group.size());
    EXPECT_EQ(2, LookupIconIdFromDirectoryEx(reinterpret_cast<PBYTE>(group.data()), TRUE, 32, 32, LR_DEFAULTCOLOR));
    EXPECT_EQ(1, LookupIconIdFromDirectoryEx(reinterpret_cast<PBYTE>(group.data()), TRUE, 16, 16, LR_DEFAULTCOLOR));
    for (const auto& [id, expected] : {std::pair<WORD, std::string>{1, small}, {2, large}}) {
        std::string image = resourceBytes(module.get(), MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(3));
        EXPECT_TRUE(image == expected) << id;
        HICON handle = CreateIconFromResourceEx(reinterpret_cast<PBYTE>(image.data()), static_cast<DWORD>(image.size()), TRUE,
                                                0x00030000, 0, 0, LR_DEFAULTCOLOR);
        EXPECT_NE(nullptr, handle) << id << ": " << describeWinError(GetLastError());
        if (handle) {
            DestroyIcon(handle);
        }
    }
    EXPECT_EQ(nullptr, FindResourceW(module.get(), L"MAINICON", MAKEINTRESOURCEW(14)));
    EXPECT_EQ(nullptr, FindResourceW(module.get(), MAKEINTRESOURCEW(7), MAKEINTRESOURCEW(3)));
}
