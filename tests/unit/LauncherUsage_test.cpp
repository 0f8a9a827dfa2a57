#include <fstream>
#include <sstream>

#include "LauncherUsage.h"
#include "TestSupport.h"

TEST(LauncherUsage, SaysWhatTheReadmeSays) {
    std::ifstream in(TERVO_README, std::ios::binary);
    ASSERT_TRUE(in) << TERVO_README;
    std::stringstream readme;
    readme << in.rdbuf();
    const std::string text = readme.str();
    const std::string heading = "The usage that `setup.exe /?` shows:\n\n```\n";
    const size_t start = text.find(heading);
    ASSERT_NE(std::string::npos, start) << "the README shows the usage";
    const size_t end = text.find("```", start + heading.size());
    const std::string shown = text.substr(start + heading.size(), end - start - heading.size());
    EXPECT_EQ(shown, tstrings::encodeUtf8(tstrings::replaceAll(usageText(L"<name>"), L"\r\n", L"\n")));
    // The program's name stands in every example line.
    EXPECT_NE(tstring::npos, usageText(L"Setup \u00e4.exe").find(L"Setup \u00e4.exe /x [options]"));
}
