#include "Dll.h"

#include <memory>

#include "PathUtils.h"
#include "SysInfo.h"
#include "TestSupport.h"
#include "WinErrorHandling.h"

namespace {

// A system library that nothing else in this program loads.
const wchar_t* const spareLibrary = L"dbghelp.dll";

Dll loadSpare() { return Dll(tstrings::MessageBuilder() << spareLibrary, Dll::SystemDirectory); }

} // namespace

TEST(Dll, LoadsFromTheSystemDirectoryAndNamesAMissingLibrary) {
    const Dll dll = loadSpare();
    EXPECT_EQ(FileUtils::joinPath(SysInfo::getSystemDir(), spareLibrary), dll.getPath());
    wchar_t loaded[MAX_PATH];
    ASSERT_NE(0u, GetModuleFileNameW(dll.getHandle(), loaded, MAX_PATH));
    EXPECT_TRUE(tstrings::equal(dll.getPath(), loaded, tstrings::IGNORE_CASE)) << tstrings::encodeUtf8(loaded);

    const tstring missing = testProgramDir() + L"\\tervo-missing.dll";
    EXPECT_EQ(tstrings::encodeUtf8(L"LoadLibraryW(" + missing + L") failed. System error [126](" +
                                   systemErrorText(ERROR_MOD_NOT_FOUND) + L")"),
              thrownPlainMessage([&] { Dll(tstrings::MessageBuilder() << missing); }, "`anonymous-namespace'::loadLibrary"));
}

TEST(Dll, MissingExportGivesNullOrThrowsWithPathAndName) {
    const Dll dll = loadSpare();
    EXPECT_EQ(nullptr, dll.getFunction("TervoNoSuchExport", false));
    EXPECT_NE(nullptr, dll.getFunction("UnDecorateSymbolName", true));
    EXPECT_EQ(tstrings::encodeUtf8(L"GetProcAddress(" + dll.getPath() + L", Tervo\u00fc) failed. System error [127](" +
                                   systemErrorText(ERROR_PROC_NOT_FOUND) + L")"),
              thrownPlainMessage([&] { dll.getFunction("Tervo\xc3\xbc", true); }, "Dll::getFunction"));
}

TEST(Dll, EveryCopyHoldsItsOwnReference) {
    ASSERT_EQ(nullptr, GetModuleHandleW(spareLibrary)) << "the test needs a library that is not loaded yet";
    {
        auto original = std::make_unique<Dll>(loadSpare());
        const Dll copy(*original);
        EXPECT_EQ(original->getHandle(), copy.getHandle());
        original.reset();
        ASSERT_NE(nullptr, GetModuleHandleW(spareLibrary));
        using Undecorate = DWORD(WINAPI*)(PCSTR, PSTR, DWORD, DWORD);
        const auto undecorate = reinterpret_cast<Undecorate>(copy.getFunction("UnDecorateSymbolName", true));
        char name[64] = {};
        EXPECT_NE(0u, undecorate("?f@@YAXXZ", name, sizeof name, 0));
        EXPECT_STREQ("void __cdecl f(void)", name);

        Dll assigned(tstrings::MessageBuilder() << L"kernel32.dll");
        assigned = copy;
        EXPECT_EQ(copy.getHandle(), assigned.getHandle());
    }
    EXPECT_EQ(nullptr, GetModuleHandleW(spareLibrary)) << "a reference was left behind";
}
