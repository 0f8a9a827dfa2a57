#include "PathUtils.h"
#include "TestSupport.h"

using namespace FileUtils;

TEST(PathUtils, ParentPath) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"C:\\dir\\file", L"C:\\dir"}, {L"C:\\dir", L"C:"},   {L"C:\\dir\\", L"C:\\dir"},
        {L"C:\\dir\\.", L"C:"},         {L"dir\\\\file", L"dir"}, {L"\\file", L""},
        {L"file", L""},                 {L"a/b/c", L"a/b"},    {L"", L""},
    };
    for (const auto& [path, expected] : cases) {
        EXPECT_EQ(tstring(expected), parentPath(path)) << path;
    }
}

TEST(PathUtils, LeafNameAndExtension) {
    EXPECT_EQ(L"", leafName(L"C:\\dir\\"));
    EXPECT_EQ(L"setup.exe", leafName(L"setup.exe"));
    EXPECT_EQ(L"c.txt", leafName(L"a/b\\c.txt"));

    const std::pair<const wchar_t*, const wchar_t*> extensions[] = {
        {L"dir.d\\file", L""}, {L"x\\..", L""},          {L"..", L""},    {L"\\..", L""},
        {L"archive.tar.gz", L".gz"}, {L".profile", L".profile"}, {L".", L"."}, {L"a.b\\c", L""},
    };
    for (const auto& [path, expected] : extensions) {
        EXPECT_EQ(tstring(expected), extensionOf(path)) << path;
    }
}

TEST(PathUtils, WithExtension) {
    EXPECT_EQ(L"report.txt", withExtension(L"report", L".txt"));
    EXPECT_EQ(L"a.b", withExtension(L"a.b.c", L""));
    EXPECT_EQ(L"C:\\out\\data", withExtension(L"C:\\out\\data.bin", L""));
}

TEST(PathUtils, JoinAndTrim) {
    EXPECT_EQ(L"C:\\t\\x", joinPath(L"C:\\t\\\\", L"\\x"));
    EXPECT_EQ(L"x", joinPath(L"", L"x"));
    EXPECT_EQ(L"C:\\t", joinPath(L"C:\\t", L""));
    EXPECT_EQ(L"C:\\t\\/x", joinPath(L"C:\\t", L"//x"));  // only one leading separator is dropped
    EXPECT_EQ(L"", trimTrailingSeparators(L"\\\\"));
    EXPECT_EQ(L"C:", trimTrailingSeparators(L"C:\\"));
    EXPECT_EQ(L"", trimTrailingSeparators(L""));
}

TEST(PathUtils, FoldPathAndBuilder) {
    EXPECT_EQ(L"c:\\temp\\\u00dcber\\a", foldPath(L"C:/Temp/\u00dcber\\A"));
    const tstring built = PathBuilder() << L"C:\\Temp\\" << L"12.tmp" << L"main.msi";
    EXPECT_EQ(L"C:\\Temp\\12.tmp\\main.msi", built);
}

TEST(PathUtils, PlainFileNamesAndNamesMadeFromText) {
    const std::pair<tstring, bool> names[] = {
        {L"app.msi", true},          {L"J\u00fcrgen \u65e5\u672c 1.0.msi", true}, {L"..app", true},
        {L"com10.msi", true},        {L"CONSOLE.msi", true},                      {tstring(255, L'a'), true},
        {L"", false},                {L".", false},                               {L"..", false},
        {tstring(256, L'a'), false}, {L"a\\b.msi", false},                        {L"a/b.msi", false},
        {L"C:app.msi", false},       {L"a?.msi", false},                          {L"a\".msi", false},
        {L"tab\t.msi", false},       {L"app.msi ", false},                        {L"app.", false},
        {L"con", false},             {L"Nul.msi", false},                         {L"lpt9.tar.gz", false},
        {L"COM1", false},
    };
    for (const auto& [name, plain] : names) {
        EXPECT_EQ(plain, isPlainFileName(name)) << tstrings::encodeUtf8(name);
    }

    const struct {
        tstring text;
        size_t max;
        tstring part;
    } parts[] = {
        {L"Tervo Hello", 100, L"Tervo Hello"},
        {L"A<B>:C\"D/E\\F|G?H*I\tJ", 100, L"A_B__C_D_E_F_G_H_I_J"},
        {L"Ends in dots. . ", 100, L"Ends in dots"},
        {L"...", 100, L""},
        {L"abc\U0001F600def", 4, L"abc"},
        {L"abc\U0001F600def", 5, L"abc\U0001F600"},
        {L"abcdef", 3, L"abc"},
    };
    for (const auto& c : parts) {
        EXPECT_EQ(tstrings::encodeUtf8(c.part), tstrings::encodeUtf8(toFileNamePart(c.text, c.max)))
            << tstrings::encodeUtf8(c.text);
    }
}
