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
