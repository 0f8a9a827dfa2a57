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
