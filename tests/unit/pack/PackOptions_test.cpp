#include <gtest/gtest.h>

#include "PackError.h"
#include "PackOptions.h"

using namespace pack;

namespace {

std::string refusal(const std::vector<std::string>& args) {
    try {
        parsePackOptions(args);
    } catch (const UsageError& e) {
        return e.what();
    }
    return "accepted";
}

} // namespace

TEST(PackOptions, ReadsEveryCommandAndOption) {
    const PackOptions pack = parsePackOptions({"app.msi", "--output", "setup.exe", "--stub", "s.exe", "--product-code", "{X}",
                                               "--icon", "a.ico", "-q", "--no-default-log", "--no-package-cache"});
    EXPECT_EQ(PackOptions::Command::Pack, pack.command);
    EXPECT_EQ("app.msi", pack.input);
    EXPECT_EQ("setup.exe", pack.output);
    EXPECT_EQ("s.exe", pack.stub);
    EXPECT_EQ("{X}", pack.productCode);
    EXPECT_EQ("a.ico", pack.icon);
    EXPECT_TRUE(pack.quiet);
    EXPECT_TRUE(pack.noDefaultLog);
    EXPECT_TRUE(pack.noPackageCache);
    EXPECT_FALSE(parsePackOptions({"app.msi", "-o", "setup.exe"}).noDefaultLog);
    EXPECT_FALSE(parsePackOptions({"app.msi", "-o", "setup.exe", "--no-default-log"}).noPackageCache) << "each option its own";
    EXPECT_EQ("-", parsePackOptions({"--extract", "setup.exe", "-o", "-"}).output) << "standard output";
    EXPECT_TRUE(parsePackOptions({"--inspect", "setup.exe", "--json"}).json);
    const PackOptions extract = parsePackOptions({"--extract", "setup.exe", "-o", "app.msi", "--ignore-checksum"});
    EXPECT_EQ(PackOptions::Command::Extract, extract.command);
    EXPECT_TRUE(extract.ignoreChecksum);
    EXPECT_FALSE(extract.quiet);
    EXPECT_EQ(PackOptions::Command::Inspect, parsePackOptions({"--inspect", "setup.exe"}).command);
    EXPECT_EQ(PackOptions::Command::Help, parsePackOptions({"/?"}).command);
    EXPECT_EQ(PackOptions::Command::Version, parsePackOptions({"--version"}).command);
}

TEST(PackOptions, RefusesWhatMakesNoSense) {
    const struct {
        std::vector<std::string> args;
        const char* expected;
    } cases[] = {
        {{}, "No package given"},
        {{"--inspect"}, "No launcher given"},
        {{"a.msi"}, "No output file given (-o)"},
        {{"a.msi", "-o"}, "Missing value after -o"},
        {{"a.msi", "-o", "b.exe", "--frobnicate"}, "Unknown option --frobnicate"},
        {{"a.msi", "b.msi", "-o", "c.exe"}, "Unexpected argument b.msi"},
        {{"", "-o", "c.exe"}, "An empty argument is not a file name"},
        {{"a.msi", "-o", ""}, "Empty value after -o"},
        {{"a.msi", "-o", "b.exe", "--product-code", ""}, "Empty value after --product-code"},
        {{"a.msi", "-o", "b.exe", "--icon", ""}, "Empty value after --icon"},
        {{"a.msi", "-o", "b.exe", "--stub", ""}, "Empty value after --stub"},
        {{"a.msi", "-o", "b.exe", "--output", "c.exe"}, "--output is given more than once"},
        {{"a.msi", "-o", "b.exe", "--stub", "s", "--stub", "s"}, "--stub is given more than once"},
        {{"a.msi", "-o", "b.exe", "--icon", "i", "--icon", "i"}, "--icon is given more than once"},
        {{"a.msi", "-o", "b.exe", "--product-code", "x", "--product-code", "x"}, "--product-code is given more than once"},
        {{"a.msi", "-o", "b.exe", "-q", "--quiet"}, "--quiet is given more than once"},
        {{"--extract", "a.exe", "-o", "b", "--ignore-checksum", "--ignore-checksum"}, "--ignore-checksum is given more than once"},
        {{"--inspect", "a.exe", "--extract"}, "Only one of --inspect, --extract, --help and --version: --extract"},
        {{"--inspect", "a.exe", "-o", "b.msi"}, "--inspect writes no file; -o does not apply"},
        {{"--extract", "a.exe", "-o", "b.msi", "--icon", "i"}, "--stub, --product-code and --icon apply to packing only"},
        {{"a.msi", "-o", "b.exe", "--ignore-checksum"}, "--ignore-checksum applies to --extract only"},
        {{"a.msi", "-o", "b.exe", "--json"}, "--json applies to --inspect only"},
        {{"--extract", "a.exe", "-o", "b", "--json"}, "--json applies to --inspect only"},
        {{"--inspect", "a.exe", "--json", "--json"}, "--json is given more than once"},
        {{"--extract", "a.exe", "-o", "b", "--no-default-log"}, "--no-default-log applies to packing only"},
        {{"--inspect", "a.exe", "--no-default-log"}, "--no-default-log applies to packing only"},
        {{"a.msi", "-o", "b.exe", "--no-default-log", "--no-default-log"}, "--no-default-log is given more than once"},
        {{"--extract", "a.exe", "-o", "b", "--no-package-cache"}, "--no-package-cache applies to packing only"},
        {{"--inspect", "a.exe", "--no-package-cache"}, "--no-package-cache applies to packing only"},
        {{"a.msi", "-o", "b.exe", "--no-package-cache", "--no-package-cache"}, "--no-package-cache is given more than once"},
        {{"a.msi", "-o", "-"}, "A launcher cannot be written to standard output (-o -); name a file (./- for a file named -)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, refusal(c.args)) << c.expected;
    }
}
