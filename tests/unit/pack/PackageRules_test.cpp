#include <gtest/gtest.h>

#include "PackageRules.h"

using namespace pack;

TEST(PackageRules, CanonicalGuidAcceptsTheInstallersFormsOnly) {
    const std::string canonical = "{0A1B2C3D-4E5F-4071-8293-A4B5C6D7E8F9}";
    for (const char* text : {"{0A1B2C3D-4E5F-4071-8293-A4B5C6D7E8F9}", "{0a1b2c3d-4e5f-4071-8293-a4b5c6d7e8f9}",
                             "0a1b2c3d-4e5f-4071-8293-A4B5C6D7E8F9", "0a1b2c3d4e5f40718293a4b5c6d7e8f9"}) {
        EXPECT_EQ(canonical, canonicalGuid(text).value_or("refused")) << text;
    }
    for (const char* text : {"", "{}", "{0A1B2C3D-4E5F-4071-8293-A4B5C6D7E8F}", "{0A1B2C3D-4E5F-4071-8293-A4B5C6D7E8F9",
                             "0A1B2C3D-4E5F-4071-8293-A4B5C6D7E8F9}", "{0A1B2C3D4E5F40718293A4B5C6D7E8F9}",
                             "{0A1B2C3D-4E5F-4071-8293-A4B5C6D7E8FG}", "0A1B2C3D_4E5F-4071-8293-A4B5C6D7E8F9",
                             "{0A1B2C3D-4E5F4-071-8293-A4B5C6D7E8F9}", "0a1b2c3d4e5f40718293a4b5c6d7e8fz", "{not-a-guid}"}) {
        EXPECT_FALSE(canonicalGuid(text).has_value()) << text;
    }
}

TEST(PackageRules, FindsCabinetsAndFilesOutsideThePackage) {
    const auto names = [](const PackageFacts& facts) {
        std::string text;
        for (const ExternalPart& part : findExternalParts(facts)) {
            text += (part.kind == ExternalPart::Kind::Cabinet ? "cab:" : "file:") + part.name + " ";
        }
        return text;
    };
    const std::vector<PackageFile> files = {{"a.txt", 0}, {"B~1.TXT|b long.txt", 0x4000}, {"c.txt", 0x2000}};
    const struct {
        const char* label;
        int32_t wordCount;
        std::vector<std::string> cabinets;
        std::vector<PackageFile> files;
        std::string expected;
    } cases[] = {
        {"embedded cabinet, compressed by default", 2, {"#a.cab"}, {{"a.txt", 0}, {"b.txt", 0x4000}}, ""},
        {"external cabinets", 2, {"#in.cab", "out.cab", "disk2.cab"}, {}, "cab:out.cab cab:disk2.cab "},
        {"files by their own attributes", 2, {"#a.cab"}, files, "file:c.txt "},
        {"uncompressed by default", 0, {}, files, "file:a.txt file:c.txt "},
        {"administrative image", 6, {}, files, "file:a.txt file:b long.txt file:c.txt "},
        {"no files at all", 0, {}, {}, ""},
    };
    for (const auto& c : cases) {
        PackageFacts facts;
        facts.wordCount = c.wordCount;
        facts.cabinets = c.cabinets;
        facts.files = c.files;
        EXPECT_EQ(c.expected, names(facts)) << c.label;
    }
}

TEST(PackageRules, AFileNameIsKeptOnlyWhenWindowsTakesItAsItIs) {
    // 255 UTF-16 code units, of which 170 are three bytes long in UTF-8.
    std::string longest(85, 'a');
    for (int i = 0; i < 170; ++i) {
        longest += "日";
    }
    for (const std::string& name : std::vector<std::string>{"app.msi", "A", "Ääni 日本.msi", "x.y.z", "setup (1).msi", "CONSOLE.msi", "COM0.msi",
                                   "COM10.msi", "LPT.msi", "xCON.msi", "nul-x.msi", ".hidden", std::string(255, 'a'), longest}) {
        EXPECT_EQ("", windowsFileNameProblem(name)) << name;
    }
    const struct {
        std::string name;
        const char* problem;
    } cases[] = {
        {"", "it is empty"},
        {std::string(256, 'a'), "it has 256 UTF-16 characters, more than the 255 Windows allows"},
        {".", "it is not a file name"},
        {"..", "it is not a file name"},
        {"a/b.msi", "it holds a path separator"},
        {"a\\b.msi", "it holds a path separator"},
        {"tab\there.msi", "it holds a control character"},
        {"a:b.msi", "it holds the character :, which Windows does not allow in a file name"},
        {"say \"hi\".msi", "it holds the character \", which Windows does not allow in a file name"},
        {"a<b", "it holds the character <"},
        {"a>b", "it holds the character >"},
        {"a|b", "it holds the character |"},
        {"a?b", "it holds the character ?"},
        {"a*b", "it holds the character *"},
        {"app.msi.", "it ends in a space or a period, which Windows removes"},
        {"app.msi ", "it ends in a space or a period, which Windows removes"},
        {"CON", "Windows takes it for the device CON"},
        {"con.msi", "Windows takes it for the device CON"},
        {"Prn.tar.gz", "Windows takes it for the device PRN"},
        {"aux", "Windows takes it for the device AUX"},
        {"NUL .msi", "Windows takes it for the device NUL"},
        {"com1.msi", "Windows takes it for the device COM1"},
        {"LPT9", "Windows takes it for the device LPT9"},
        {"bad \xff.msi", "it is not valid UTF-8"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(0u, windowsFileNameProblem(c.name).find(c.problem)) << c.name << ": " << windowsFileNameProblem(c.name);
    }
}
