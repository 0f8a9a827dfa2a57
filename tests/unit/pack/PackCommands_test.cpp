// The tool as a whole, in-process, on real packages: what it writes, what it shows, and every
// refusal with its exit code and message, the same on Linux and on Windows.
#include "PackCommands.h"

#include <algorithm>

#include "PackTestSupport.h"
#include "Json.h"
#include "PackageChecksum.h"
#include "VersionBlock.h"

using namespace pack;

namespace {

const std::string basicCode = "{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E01}";
const std::string basicUpgradeCode = "{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E02}";
// The stand-in stub's marker holds no version, like the launchers of before Tervo 1.0.0.
const std::string standInMaker = "an earlier Tervo (the launcher records no version)";

std::string package(const std::string& name) { return platform::absolutePath(TERVO_PACK_DATA "/" + name + ".msi"); }

class Capture : public Reporter {
public:
    void out(const std::string& line) override { output += line + "\n"; }
    void err(const std::string& line) override { errors += line + "\n"; }
    std::string output;
    std::string errors;
};

class PackCommandsTest : public PackTempDirTest {
protected:
    void SetUp() override {
        PackTempDirTest::SetUp();
        out = pathOf("out é");
        std::filesystem::create_directory(fsPath(out));
    }

    int run(const std::vector<std::string>& args) {
        result = Capture();
        return runPackTool(args, result);
    }
    // Packs `source` into `name` in the output folder with the stand-in stub.
    std::string packed(const std::string& source, const std::string& name, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {source, "-o", pack::platform::joinPath(out, name), "--stub", packStubPath(), "-q"};
        args.insert(args.end(), extra.begin(), extra.end());
        EXPECT_EQ(0, run(args)) << result.errors;
        return pack::platform::joinPath(out, name);
    }

    std::string out;
    Capture result;
};

} // namespace

TEST_F(PackCommandsTest, PacksShowsAndExtractsTheSameBytesEveryTime) {
    const std::string setup = pack::platform::joinPath(out, "setup.exe");
    ASSERT_EQ(0, run({package("basic"), "-o", setup, "--stub", packStubPath()})) << result.errors;
    const std::string summary = "Wrote " + setup + ": Tervo E2E Basic 2.5.7, product code " + basicCode + ", ";
    EXPECT_EQ(summary, result.output.substr(0, summary.size()));
    EXPECT_EQ(std::to_string((readBytes(setup).size() + 512) / 1024) + " KB\n", result.output.substr(summary.size()));
    EXPECT_EQ("", result.errors) << "no progress for a small package";
    const std::string first = readBytes(setup);
    EXPECT_TRUE(readBytes(packed(package("basic"), "setup.exe")) == first) << "the same inputs give the same bytes";

    ASSERT_EQ(0, run({"--inspect", setup})) << result.errors;
    const std::string bytes = readBytes(package("basic"));
    const std::string checksum = PackageChecksum::formatText(PackageChecksum::xxh64(bytes.data(), bytes.size()));
    EXPECT_EQ("Launcher:      " + setup + "\nMade by:       " + standInMaker + "\nProduct code:  " + basicCode +
                  "\nUpgrade code:  " + basicUpgradeCode + "\nPackage file:  basic.msi\nPackage size:  " +
                  std::to_string(bytes.size()) + " bytes\nChecksum:      " + checksum +
                  ", the package matches\nDefault log:   on\nPackage cache: on\nProduct name:  Tervo E2E Basic\n"
                  "Version:       2.5.7\nManufacturer:  Tervo Tests\n",
              result.output);
    EXPECT_EQ("", result.errors);

    // What the launcher carries beside the package, and the package last of all its data, so that
    // a launcher cut short still holds the rest.
    const PeImage image = PeImage::open(setup);
    const ResourceTree tree = image.resources();
    EXPECT_EQ("basic.msi", tree.find(ResourceTypes::rcData, ResourceNames::packageFileName)->text());
    EXPECT_EQ(basicUpgradeCode, tree.find(ResourceTypes::rcData, ResourceNames::upgradeCode)->text());
    EXPECT_FALSE(tree.contains(ResourceTypes::rcData, ResourceNames::defaultLog));
    EXPECT_FALSE(tree.contains(ResourceTypes::rcData, ResourceNames::packageCache));
    const DataBlock* carried = tree.find(ResourceTypes::rcData, ResourceNames::package);
    for (const auto& [type, names] : tree.types()) {
        for (const auto& [name, languages] : names) {
            for (const auto& [language, data] : languages) {
                if (&data != carried) {
                    EXPECT_LT(data.sourceOffset(), carried->sourceOffset()) << type.describe() << "/" << name.describe();
                }
            }
        }
    }
    EXPECT_EQ(image.endOfSectionData(), alignUp(carried->sourceOffset() + carried->size(), image.fileAlignment()));

    const std::string extracted = pack::platform::joinPath(out, "extracted.msi");
    ASSERT_EQ(0, run({"--extract", setup, "-o", extracted})) << result.errors;
    EXPECT_EQ("Wrote " + extracted + ": " + std::to_string(bytes.size()) + " bytes\n", result.output);
    EXPECT_TRUE(readBytes(extracted) == bytes);
}

TEST_F(PackCommandsTest, ALargePackageKeepsItsProgressAndChecksumsWhenTheSystemCopiesIt) {
    // Large enough for progress, and for the Linux layer to copy it in the kernel.
    const std::string big = pathOf("big.msi");
    const std::string bytes = readBytes(package("basic")) + randomBytes(17 << 20, 3);
    writeBytes(big, bytes);
    const std::string setup = pack::platform::joinPath(out, "setup.exe");
    ASSERT_EQ(0, run({big, "-o", setup, "--stub", packStubPath()})) << result.errors;
    size_t progressLines = 0;
    for (size_t at = 0; (at = result.errors.find("Writing setup.exe: ", at)) != std::string::npos; ++at) {
        ++progressLines;
    }
    EXPECT_GE(progressLines, 4u) << result.errors;

    std::string image = readBytes(setup);
    const PeImage written = PeImage::open(setup);
    image.replace(written.optionalHeaderOffset() + pe::checkSum, 4, 4, '\0');
    PeChecksum sum;
    sum.add(0, image.data(), image.size());
    EXPECT_EQ(sum.finish(image.size()), written.checksum());
    ASSERT_EQ(0, run({"--inspect", setup})) << result.errors;
    EXPECT_NE(std::string::npos, result.output.find(", the package matches")) << result.output;
    const std::string extracted = pack::platform::joinPath(out, "extracted.msi");
    ASSERT_EQ(0, run({"--extract", setup, "-o", extracted, "-q"})) << result.errors;
    EXPECT_TRUE(readBytes(extracted) == bytes);
}

TEST_F(PackCommandsTest, ProductCodeInAnotherSpellingNonAsciiTextsAndAnIcon) {
    const std::string setup = packed(package("unicode"), "Ääni 日本.exe", {"--product-code", "3e0d6c2b1f4a4b599c7e5a1b2c3d4e01"});
    const ResourceTree tree = PeImage::open(setup).resources();
    EXPECT_EQ(basicCode, tree.find(ResourceTypes::rcData, ResourceNames::productCode)->text());
    const std::string version = tree.find(ResourceTypes::version, 1)->text();
    for (const std::u16string& text : {std::u16string(u"Tervo Ääni Setup"), std::u16string(u"Ääni 日本.exe")}) {
        EXPECT_NE(std::string::npos, version.find(std::string(reinterpret_cast<const char*>(text.data()), 2 * text.size())));
    }
    // A package without a product code takes the one given.
    const std::string coded = packed(package("nocode"), "coded.exe", {"--product-code", "{0a1b2c3d-4e5f-4071-8293-a4b5c6d7e8f9}"});
    EXPECT_EQ("{0A1B2C3D-4E5F-4071-8293-A4B5C6D7E8F9}",
              PeImage::open(coded).resources().find(ResourceTypes::rcData, ResourceNames::productCode)->text());
}

TEST_F(PackCommandsTest, RefusalsNameTheUsersFileAndTheReasonAndWriteNothing) {
    const std::string basic = package("basic");
    const std::string target = pack::platform::joinPath(out, "setup.exe");
    writeBytes(pathOf("notes.msi"), "just some text, not a compound file");
    writeBytes(pathOf("a file"), "x");
    // A PE file without the stub's marker, and a stub that already carries a package.
    std::string unmarked = readBytes(packStubPath());
    const std::u16string marker = u"TERVO_LAUNCHER";
    const size_t at = unmarked.rfind(std::string(reinterpret_cast<const char*>(marker.data()), 2 * marker.size()));
    ASSERT_NE(std::string::npos, at);
    unmarked[at] = 'X';
    writeBytes(pathOf("unmarked.exe"), unmarked);
    const std::string carrying = packed(basic, "carrying.exe");
    std::filesystem::rename(fsPath(carrying), fsPath(pathOf("carrying.exe")));

    // Stubs that are no x64 GUI program: a DLL, a console program, an ARM64 program.
    const PeImage standIn = PeImage::open(packStubPath());
    const auto editedStub = [&](const std::string& name, uint32_t offset, uint16_t value) {
        std::string bytes = readBytes(packStubPath());
        storeU16(bytes.data() + offset, value);
        writeBytes(pathOf(name), bytes);
        return pathOf(name);
    };
    const uint32_t fileHeader = standIn.ntHeadersOffset() + 4;
    const std::string dll = editedStub("library.dll", fileHeader + pe::characteristics, standIn.characteristics() | pe::dllImage);
    const std::string console = editedStub("console.exe", standIn.optionalHeaderOffset() + pe::subsystem, pe::subsystemWindowsConsole);
    const std::string arm = editedStub("arm.exe", fileHeader + pe::machine, 0xAA64);
    const std::string icon = pathOf("app.ico");
    writeBytes(icon, "not read: the output would replace it");

    const std::string stub = packStubPath();
    const struct {
        std::vector<std::string> args;
        std::string expected;
    } cases[] = {
        {{pathOf("missing.msi"), "-o", target}, "Package not found: " + pathOf("missing.msi")},
        {{dir, "-o", target}, "Cannot read the package " + dir + ": it is a directory"},
        {{pathOf("notes.msi"), "-o", target}, pathOf("notes.msi") + " is not a Windows Installer package"},
        {{package("nocode"), "-o", target}, package("nocode") + " has no ProductCode property; give the product code with --product-code"},
        {{basic, "-o", target, "--product-code", "{not-a-guid}"}, "Invalid product code '{not-a-guid}' given with --product-code: expected a GUID such as {6F3D2B1A-5C4E-4D7B-9A8F-1E2D3C4B5A69}"},
        {{basic, "-o", target, "--product-code", "{0A1B2C3D-4E5F-4071-8293-A4B5C6D7E8F9}"},
         "The product code {0A1B2C3D-4E5F-4071-8293-A4B5C6D7E8F9} given with --product-code differs from the package's "
         "ProductCode " + basicCode + ": the launcher could not remove the product it installs"},
        {{package("external"), "-o", target}, package("external") + " is not self-contained: its cabinet 'basic.cab' is not "
         "embedded in it; a launcher can only carry a package that holds all its files"},
        {{package("uncompressed"), "-o", target}, package("uncompressed") + " is not self-contained: its file 'payload.txt' is "
         "stored uncompressed beside it; a launcher can only carry a package that holds all its files"},
        {{package("longname"), "-o", target}, "The package's ProductName has 20000 characters; a launcher's version block holds at most 4090"},
        {{package("beta"), "-o", target}, "The package's ProductVersion '1.0.0-beta' cannot be a launcher's file version: it must be "
         "one to four numbers from 0 to 65535 separated by dots, such as 1.2.3"},
        {{basic, "-o", target, "--stub", pathOf("missing.exe")}, "The launcher stub was not found: " + pathOf("missing.exe")},
        {{basic, "-o", target, "--stub", pathOf("unmarked.exe")}, pathOf("unmarked.exe") + " is not a Tervo launcher stub"},
        {{basic, "-o", target, "--stub", pathOf("carrying.exe")}, pathOf("carrying.exe") + " already carries a package; pack "
         "into the plain launcher stub tervo-launcher.exe"},
        {{basic, "-o", target, "--stub", dll}, dll + " is not a launcher stub: it is a DLL, not a program"},
        {{basic, "-o", target, "--stub", console}, console + " is not a launcher stub: it is a console program, not a Windows GUI program"},
        {{basic, "-o", target, "--stub", arm}, arm + " is not a launcher stub: it is not built for x64 (its machine type is 0xAA64)"},
        {{basic, "-o", target, "--stub", dir}, "Cannot read the launcher stub " + dir + ": it is a directory"},
        {{basic, "-o", target, "--icon", basic}, "[" + basic + "] is not a valid icon file: its header is wrong"},
        {{basic, "-o", target, "--icon", pathOf("missing.ico")}, "The icon was not found: " + pathOf("missing.ico")},
        {{basic, "-o", target, "--icon", dir}, "Cannot read the icon " + dir + ": it is a directory"},
        {{basic, "-o", pack::platform::joinPath(out, "no such dir/setup.exe")}, "Cannot write " +
         pack::platform::joinPath(out, "no such dir/setup.exe") + ": the folder " + pack::platform::joinPath(out, "no such dir") + " does not exist"},
        {{basic, "-o", out}, "Cannot write " + out + ": it is a directory"},
        {{basic, "-o", out + "/new/"}, "Cannot write " + out + "/new/: a name that ends in / is a folder's; give the file's name"},
        {{basic, "-o", pathOf("a file/setup.exe")}, "Cannot write " + pathOf("a file/setup.exe") + ": " + pathOf("a file") + " is not a folder"},
        {{basic, "-o", basic}, "The output must be another file than the package: " + basic},
        {{basic, "-o", stub, "--stub", stub}, "The output must be another file than the stub: " + stub},
        {{basic, "-o", icon, "--icon", icon}, "The output must be another file than the icon: " + icon},
        {{basic, "-o", pathOf("./x/../app.ico"), "--icon", icon}, "The output must be another file than the icon: " + icon},
        {{"--inspect", pathOf("missing.exe")}, "The launcher was not found: " + pathOf("missing.exe")},
        {{"--inspect", dir}, "Cannot read the launcher " + dir + ": it is a directory"},
        {{"--extract", pathOf("missing.exe"), "-o", target}, "The launcher was not found: " + pathOf("missing.exe")},
        {{"--inspect", stub}, stub + " carries no package: it is not a packed Tervo launcher"},
        {{"--extract", pathOf("carrying.exe"), "-o", pathOf("carrying.exe")}, "The output must be another file than the launcher: " + pathOf("carrying.exe")},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(1, run(c.args)) << c.expected;
        EXPECT_EQ("tervo-pack: " + c.expected + "\n", result.errors);
        EXPECT_EQ(std::vector<std::string>{}, folderNames(out)) << c.expected;
    }
    EXPECT_EQ("not read: the output would replace it", readBytes(icon));
    EXPECT_EQ(2, run({basic, "-o", target, "--icon", ""}));
    EXPECT_EQ(0u, result.errors.find("tervo-pack: Empty value after --icon\n\nUsage:\n")) << result.errors;
    EXPECT_EQ(std::vector<std::string>{}, folderNames(out));
}

TEST_F(PackCommandsTest, ADamagedPackageIsReportedAndExtractedOnlyOnRequest) {
    const std::string setup = packed(package("basic"), "setup.exe");
    const ResourceTree tree = PeImage::open(setup).resources();
    const DataBlock* stored = tree.find(ResourceTypes::rcData, ResourceNames::package);
    const uint64_t packageAt = stored->sourceOffset();
    std::string bytes = readBytes(setup);
    const std::string original = bytes.substr(static_cast<size_t>(packageAt), static_cast<size_t>(stored->size()));
    bytes.replace(static_cast<size_t>(packageAt), 8, "DAMAGED!");
    const std::string damaged = pathOf("damaged.exe");
    writeBytes(damaged, bytes);
    const std::string expectedSum = PackageChecksum::formatText(PackageChecksum::xxh64(original.data(), original.size()));
    const std::string damage = "DAMAGED!" + original.substr(8);
    const std::string actualSum = PackageChecksum::formatText(PackageChecksum::xxh64(damage.data(), damage.size()));

    const std::string message = "The package inside " + damaged + " is damaged: its checksum is " + actualSum +
                                ", the launcher says " + expectedSum;
    // What the launcher says is shown, the product as its version block gives it, and the damage.
    EXPECT_EQ(1, run({"--inspect", damaged}));
    EXPECT_EQ("Launcher:      " + damaged + "\nMade by:       " + standInMaker + "\nProduct code:  " + basicCode +
                  "\nUpgrade code:  " + basicUpgradeCode + "\nPackage file:  basic.msi\nPackage size:  " +
                  std::to_string(original.size()) + " bytes\nChecksum:      " + expectedSum +
                  ", the package DOES NOT match (its checksum is " + actualSum +
                  "): the launcher is damaged\nDefault log:   on\nPackage cache: on\nProduct name:  Tervo E2E Basic\nVersion:       2.5.7\n"
                  "Manufacturer:  Tervo Tests\nNote: the product name, version and manufacturer above are the launcher's "
                  "version block's, not read from its package\n",
              result.output);
    EXPECT_EQ("tervo-pack: " + message + "\n", result.errors);
    EXPECT_EQ(1, run({"--inspect", damaged, "--json"}));
    EXPECT_NE(std::string::npos, result.output.find("\n  \"checksumVerdict\": \"does not match\",\n")) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("\n  \"sound\": false\n}\n")) << result.output;
    EXPECT_EQ("tervo-pack: " + message + "\n", result.errors);

    // Damage that leaves the package readable is damage all the same.
    std::string inside = readBytes(setup);
    inside[static_cast<size_t>(packageAt + original.size() - 100)] ^= 1;
    writeBytes(pathOf("inside.exe"), inside);
    EXPECT_EQ(1, run({"--inspect", pathOf("inside.exe")}));
    EXPECT_NE(std::string::npos, result.output.find("\nProduct name:  Tervo E2E Basic\n")) << result.output;
    EXPECT_EQ(0u, result.errors.find("tervo-pack: The package inside " + pathOf("inside.exe") + " is damaged: ")) << result.errors;

    const std::string extracted = pack::platform::joinPath(out, "app.msi");
    EXPECT_EQ(1, run({"--extract", damaged, "-o", extracted}));
    EXPECT_EQ("tervo-pack: " + message + "; nothing was written (--ignore-checksum writes it anyway)\n", result.errors);
    EXPECT_EQ(std::vector<std::string>{"setup.exe"}, folderNames(out));
    EXPECT_EQ(0, run({"--extract", damaged, "-o", extracted, "--ignore-checksum", "-q"}));
    EXPECT_EQ("Warning: " + message + "\n", result.errors);
    EXPECT_TRUE(readBytes(extracted) == damage);
}

TEST_F(PackCommandsTest, ALauncherWithoutChecksumFromAnOlderToolStillWorks) {
    ResourceTree additions;
    const auto source = SourceFile::open(package("basic"));
    additions.replace(ResourceTypes::rcData, ResourceNames::package, 0, DataBlock(source, 0, source->size()));
    additions.replace(ResourceTypes::rcData, ResourceNames::productCode, 0, blockOf("{3e0d6c2b-1f4a-4b59-9c7e-5a1b2c3d4e01}"));
    const std::string old = pathOf("old.exe");
    packFile(packStubPath(), old, additions);
    EXPECT_EQ(0, run({"--inspect", old})) << result.errors;
    EXPECT_NE(std::string::npos, result.output.find("\nChecksum:      none (the launcher was made by an older tool)\n"));
    EXPECT_NE(std::string::npos, result.output.find("\nUpgrade code:  (none)\nPackage file:  (none)\n")) << result.output;
    EXPECT_EQ(std::string::npos, result.output.find("ProductCode")) << "the same code in another spelling";
    EXPECT_NE(std::string::npos, result.output.find("\nNote: the package's own UpgradeCode is " + basicUpgradeCode + "\n"))
        << result.output;
    EXPECT_EQ(0, run({"--inspect", old, "--json"})) << result.errors;
    EXPECT_NE(std::string::npos, result.output.find("\n  \"upgradeCode\": null,\n")) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("\n  \"checksum\": null,\n  \"checksumVerdict\": \"none\",\n")) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("\n  \"sound\": true\n}\n")) << result.output;
    const std::string extracted = pack::platform::joinPath(out, "app.msi");
    EXPECT_EQ(0, run({"--extract", old, "-o", extracted, "-q"})) << result.errors;
    EXPECT_TRUE(readBytes(extracted) == readBytes(package("basic")));
}

TEST_F(PackCommandsTest, InspectNamesTheTervoVersionFromTheStubsMarker) {
    for (const std::string& marker : {std::string("2.3.4"), std::string("1")}) {
        ResourceTree additions;
        additions.replace(ResourceTypes::rcData, ResourceNames::launcherMarker, 0, blockOf(marker));
        const std::string stub = pathOf("stub " + marker + ".exe");
        packFile(packStubPath(), stub, additions);
        const std::string setup = pathOf("setup " + marker + ".exe");
        ASSERT_EQ(0, run({package("basic"), "-o", setup, "--stub", stub, "-q"})) << result.errors;
        ASSERT_EQ(0, run({"--inspect", setup})) << result.errors;
        const std::string expected = marker == "1" ? standInMaker : "Tervo " + marker;
        EXPECT_NE(std::string::npos, result.output.find("\nMade by:       " + expected + "\n")) << result.output;
    }
}

TEST_F(PackCommandsTest, InspectAsJsonGivesOneObjectWithEveryKeyInItsOrder) {
    const std::string setup = packed(package("quoted"), "Ääni setup.exe", {"--no-default-log"});
    const std::string bytes = readBytes(package("quoted"));
    const std::string checksum = PackageChecksum::formatText(PackageChecksum::xxh64(bytes.data(), bytes.size()));
    const uint64_t size = readBytes(setup).size();
    ASSERT_EQ(0, run({"--inspect", "--json", setup})) << result.errors;
    EXPECT_EQ("{\n  \"launcher\": " + jsonString(setup) + ",\n  \"tervoVersion\": null,\n  \"productCode\": \"" + basicCode +
                  "\",\n  \"productCodeVerdict\": \"matches\",\n  \"packageProductCode\": \"" + basicCode +
                  "\",\n  \"upgradeCode\": \"" + basicUpgradeCode +
                  "\",\n  \"productName\": \"Say \\\"hi\\\" \\\\ Ääni\",\n  \"productVersion\": \"2.5.7\",\n"
                  "  \"manufacturer\": \"Back\\\\slash\\tTab\",\n  \"packageFileName\": \"quoted.msi\",\n  \"packageSize\": " +
                  std::to_string(bytes.size()) + ",\n  \"checksum\": \"" + checksum +
                  "\",\n  \"checksumVerdict\": \"matches\",\n  \"defaultLog\": false,\n  \"packageCache\": true,\n"
                  "  \"fileSize\": " + std::to_string(size) + ",\n  \"expectedFileSize\": " + std::to_string(size) +
                  ",\n  \"withheld\": {},\n  \"sound\": true\n}\n",
              result.output);
    EXPECT_EQ("", result.errors);
    EXPECT_EQ("off", PeImage::open(setup).resources().find(ResourceTypes::rcData, ResourceNames::defaultLog)->text());
    ASSERT_EQ(0, run({"--inspect", setup})) << result.errors;
    EXPECT_NE(std::string::npos, result.output.find("\nDefault log:   off (packed with --no-default-log)\n")) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("\nProduct name:  Say \"hi\" \\ Ääni\n")) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("\nManufacturer:  Back\\slash\\tTab\n")) << "a tab shown as \\t";

    // Whoever made a launcher chose its texts: no control character of theirs reaches the terminal.
    // Such a product code is none the launcher can remove, which the message says in escapes too.
    ResourceTree hostile = launcherResources(readBytes(package("basic")), "{X}\x1b]0;title\x07\xc2\x9b" "2J");
    packFile(packStubPath(), pathOf("hostile.exe"), hostile);
    EXPECT_EQ(1, run({"--inspect", pathOf("hostile.exe")})) << result.errors;
    EXPECT_NE(std::string::npos, result.output.find("\nProduct code:  {X}\\x1b]0;title\\x07\\u009b2J\n")) << result.output;
    EXPECT_EQ("tervo-pack: The product code that " + pathOf("hostile.exe") + " carries, '{X}\\x1b]0;title\\x07\\u009b2J' (17 bytes), "
              "is not a GUID such as {6F3D2B1A-5C4E-4D7B-9A8F-1E2D3C4B5A69}: hostile.exe uninstall cannot remove the product it installs\n",
              result.errors);

    // A stub carries no package: the object says so, and so does the exit code.
    EXPECT_EQ(1, run({"--inspect", "--json", packStubPath()}));
    EXPECT_NE(std::string::npos, result.output.find("\n  \"packageSize\": null,\n  \"checksum\": null,\n"
                                                    "  \"checksumVerdict\": \"no package\",\n")) << result.output;
    EXPECT_EQ("tervo-pack: " + packStubPath() + " carries no package: it is not a packed Tervo launcher\n", result.errors);
}

TEST_F(PackCommandsTest, AnUpgradeCodeIsKeptWhenItIsAGuidAndLeftOutWithAWarningWhenNot) {
    const struct {
        const char* name;
        const char* stored;
        std::string warning;
    } cases[] = {
        {"basic", "{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E02}", ""},
        {"noupgrade", nullptr, ""},
        {"badupgrade", nullptr, "Warning: the package's UpgradeCode 'not-a-guid' is not a GUID such as "
                                "{6F3D2B1A-5C4E-4D7B-9A8F-1E2D3C4B5A69}: the launcher records no upgrade code\n"},
    };
    for (const auto& c : cases) {
        const std::string setup = packed(package(c.name), std::string(c.name) + ".exe");
        EXPECT_EQ(c.warning, result.errors) << c.name;
        const ResourceTree tree = PeImage::open(setup).resources();
        const DataBlock* stored = tree.find(ResourceTypes::rcData, ResourceNames::upgradeCode);
        EXPECT_EQ(c.stored ? c.stored : "(none)", stored ? stored->text() : "(none)") << c.name;
    }
}

TEST_F(PackCommandsTest, ALauncherCutShortShowsWhatItHoldsAndIsNeitherCheckedNorExtracted) {
    const std::string setup = packed(package("basic"), "setup.exe");
    const std::string whole = readBytes(setup);
    const std::string cut = pathOf("cut.exe");
    // Inside the package, which comes last (a page of padding at most follows it).
    writeBytes(cut, whole.substr(0, whole.size() - 8000));
    const std::string bytes = readBytes(package("basic"));
    const std::string checksum = PackageChecksum::formatText(PackageChecksum::xxh64(bytes.data(), bytes.size()));
    const std::string verdict = "truncated: " + std::to_string(whole.size() - 8000) + " of " + std::to_string(whole.size()) + " bytes";

    EXPECT_EQ(1, run({"--inspect", cut}));
    EXPECT_EQ("Launcher:      " + cut + "\nMade by:       " + standInMaker + "\nProduct code:  " + basicCode +
                  "\nUpgrade code:  " + basicUpgradeCode + "\nPackage file:  basic.msi\nPackage size:  " +
                  std::to_string(bytes.size()) + " bytes\nChecksum:      " + checksum + ", " + verdict +
                  "\nDefault log:   on\nPackage cache: on\nProduct name:  Tervo E2E Basic\nVersion:       2.5.7\nManufacturer:  Tervo Tests\n"
                  "Note: the product name, version and manufacturer above are the launcher's version block's, not read from "
                  "its package\n",
              result.output);
    EXPECT_EQ("tervo-pack: " + cut + " is " + verdict +
                  " (an interrupted download or copy?): its package cannot be checked or read; get the file again\n",
              result.errors);
    EXPECT_EQ(1, run({"--inspect", cut, "--json"}));
    for (const std::string& member : std::vector<std::string>{"\"checksumVerdict\": \"truncated\"", "\"fileSize\": " + std::to_string(whole.size() - 8000),
                                      "\"expectedFileSize\": " + std::to_string(whole.size()), "\"sound\": false",
                                      "\"productName\": \"Tervo E2E Basic\"", "\"packageSize\": " + std::to_string(bytes.size())}) {
        EXPECT_NE(std::string::npos, result.output.find("\n  " + member)) << member << "\n" << result.output;
    }
    const std::string extracted = pack::platform::joinPath(out, "app.msi");
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--extract", cut, "-o", extracted},
                                                 std::vector<std::string>{"--extract", cut, "-o", extracted, "--ignore-checksum"}}) {
        EXPECT_EQ(1, run(args));
        EXPECT_EQ("tervo-pack: " + cut + " is " + verdict + "; nothing was written\n", result.errors);
        EXPECT_EQ(std::vector<std::string>{"setup.exe"}, folderNames(out));
    }
    // Cut before its resources, it is still called truncated.
    writeBytes(cut, whole.substr(0, 5000));
    EXPECT_EQ(1, run({"--inspect", cut}));
    EXPECT_EQ("tervo-pack: " + cut + " is truncated: 5000 of " + std::to_string(whole.size()) + " bytes, before its resources\n",
              result.errors);
}

TEST_F(PackCommandsTest, ALauncherWhoseUninstallCannotWorkOrRemovesAnotherProductIsUnsound) {
    const std::string bytes = readBytes(package("basic"));
    const std::string foreign = "{0A1B2C3D-4E5F-4071-8293-A4B5C6D7E8F9}";
    const std::string guidRule = ", is not a GUID such as {6F3D2B1A-5C4E-4D7B-9A8F-1E2D3C4B5A69}: ";
    const struct {
        const char* name;
        std::optional<std::string> code; // nullopt: no PRODUCT_CODE resource
        std::string shown;               // the report's product code line
        const char* verdict;
        std::string json;                // the productCode member
        std::string message;             // after "tervo-pack: " and the launcher's path; empty: sound
    } cases[] = {
        {"foreign", foreign, foreign, "differs", "\"" + foreign + "\"",
         " carries the product code " + foreign + ", but its package's ProductCode is " + basicCode +
             ": foreign.exe uninstall would remove another product than the one its package installs"},
        {"none", std::nullopt, "(none)", "none", "null",
         " carries no product code (no PRODUCT_CODE resource): none.exe uninstall cannot remove the product it installs"},
        {"short", "{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E0}", "{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E0}", "malformed",
         "\"{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E0}\"",
         " carries, '{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E0}' (37 bytes)" + guidRule + "short.exe uninstall cannot remove the product it installs"},
        {"line end", basicCode + "\n", basicCode + "\\x0a", "malformed", "\"" + basicCode + "\\n\"",
         " carries, '" + basicCode + "\\x0a' (39 bytes)" + guidRule + "line end.exe uninstall cannot remove the product it installs"},
        {"not hex", "{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4EZZ}", "{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4EZZ}", "malformed",
         "\"{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4EZZ}\"",
         " carries, '{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4EZZ}' (38 bytes)" + guidRule + "not hex.exe uninstall cannot remove the product it installs"},
        {"escape", "{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E\x1b" "1}", "{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E\\x1b1}", "malformed",
         "\"{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E\\u001b1}\"",
         " carries, '{3E0D6C2B-1F4A-4B59-9C7E-5A1B2C3D4E\\x1b1}' (38 bytes)" + guidRule + "escape.exe uninstall cannot remove the product it installs"},
        {"long", std::string(5000, '{'), "(5000 bytes, too long to show)", "malformed", "null",
         " carries, 5000 bytes" + guidRule + "long.exe uninstall cannot remove the product it installs"},
        // Spellings the launcher reads are the package's own code.
        {"lower", "{3e0d6c2b-1f4a-4b59-9c7e-5a1b2c3d4e01}", "{3e0d6c2b-1f4a-4b59-9c7e-5a1b2c3d4e01}", "matches",
         "\"{3e0d6c2b-1f4a-4b59-9c7e-5a1b2c3d4e01}\"", ""},
        {"bare", "3E0D6C2B1F4A4B599C7E5A1B2C3D4E01", "3E0D6C2B1F4A4B599C7E5A1B2C3D4E01", "matches",
         "\"3E0D6C2B1F4A4B599C7E5A1B2C3D4E01\"", ""},
    };
    for (const auto& c : cases) {
        ResourceTree tree = launcherResources(bytes, c.code.value_or(""));
        if (!c.code) {
            tree.remove(ResourceTypes::rcData, ResourceNames::productCode);
        }
        const std::string launcher = pathOf(std::string(c.name) + ".exe");
        packFile(packStubPath(), launcher, tree);
        const bool sound = c.message.empty();
        const std::string errors = sound ? "" : "tervo-pack: " + (c.message.starts_with(" carries, ") ? "The product code that " + launcher + c.message
                                                                                                      : launcher + c.message) + "\n";
        EXPECT_EQ(sound ? 0 : 1, run({"--inspect", launcher})) << c.name;
        EXPECT_EQ(errors, result.errors) << c.name;
        EXPECT_NE(std::string::npos, result.output.find("\nProduct code:  " + c.shown + "\n")) << c.name << "\n" << result.output;
        EXPECT_EQ(sound ? std::string::npos : result.output.find("\nNote: the package's own ProductCode is " + basicCode + "\n"),
                  result.output.find("\nNote: the package's own ProductCode is ")) << c.name << "\n" << result.output;

        EXPECT_EQ(sound ? 0 : 1, run({"--inspect", launcher, "--json"})) << c.name;
        EXPECT_EQ(errors, result.errors) << c.name;
        for (const std::string& member : {"\"productCode\": " + c.json + ",\n  \"productCodeVerdict\": \"" + c.verdict +
                                              "\",\n  \"packageProductCode\": \"" + basicCode + "\",",
                                          std::string(sound ? "\"sound\": true" : "\"sound\": false")}) {
            EXPECT_NE(std::string::npos, result.output.find("\n  " + member)) << c.name << ": " << member << "\n" << result.output;
        }
        const std::string withheld = c.json == "null" && c.code ? "{\"productCode\": \"PRODUCT_CODE holds 5000 bytes, too many to show\"}" : "{}";
        EXPECT_NE(std::string::npos, result.output.find("\n  \"withheld\": " + withheld + ",\n")) << c.name << "\n" << result.output;
    }

    // Without its package's own code to compare with, a well-formed code is left unchecked, and a
    // launcher without a package is no launcher at all, whatever its code.
    const std::string coded = packed(package("nocode"), "coded.exe", {"--product-code", foreign});
    EXPECT_EQ(0, run({"--inspect", coded, "--json"})) << result.errors;
    EXPECT_NE(std::string::npos, result.output.find("\n  \"productCodeVerdict\": \"unchecked\",\n  \"packageProductCode\": null,\n"))
        << result.output;
    EXPECT_EQ(1, run({"--inspect", packStubPath(), "--json"}));
    EXPECT_NE(std::string::npos, result.output.find("\n  \"productCode\": null,\n  \"productCodeVerdict\": \"none\",\n")) << result.output;
    EXPECT_EQ("tervo-pack: " + packStubPath() + " carries no package: it is not a packed Tervo launcher\n", result.errors);
}

TEST_F(PackCommandsTest, ResourcesTooLongToBeWhatTheyShouldAreNullInJsonAndSayWhy) {
    const std::string bytes = readBytes(package("basic"));
    ResourceTree tree = launcherResources(bytes, basicCode);
    tree.replace(ResourceTypes::rcData, ResourceNames::upgradeCode, 0, blockOf(std::string(5000, 'u')));
    tree.replace(ResourceTypes::rcData, ResourceNames::packageFileName, 0, blockOf(std::string(1025, 'f')));
    const std::string names = pathOf("names.exe");
    packFile(packStubPath(), names, tree);
    // The upgrade code and the file name do not stop an uninstall: the launcher is sound.
    EXPECT_EQ(0, run({"--inspect", names})) << result.errors;
    EXPECT_NE(std::string::npos, result.output.find("\nUpgrade code:  (5000 bytes, too long to show)\n"
                                                    "Package file:  (1025 bytes, too long to show)\n")) << result.output;
    EXPECT_EQ(0, run({"--inspect", names, "--json"})) << result.errors;
    for (const std::string& member : {std::string("\"upgradeCode\": null,"), std::string("\"packageFileName\": null,"),
                                      std::string("\"withheld\": {\"upgradeCode\": \"UPGRADE_CODE holds 5000 bytes, too many to show\", "
                                                  "\"packageFileName\": \"MSI_FILENAME holds 1025 bytes, too many to show\"},")}) {
        EXPECT_NE(std::string::npos, result.output.find("\n  " + member + "\n")) << member << "\n" << result.output;
    }

    // 1024 bytes are still shown; a checksum is shown up to 64 bytes, and one longer is no checksum.
    tree.replace(ResourceTypes::rcData, ResourceNames::packageFileName, 0, blockOf(std::string(1024, 'f')));
    tree.replace(ResourceTypes::rcData, ResourceNames::checksum, 0, blockOf(std::string(65, 'c')));
    const std::string checksum = pathOf("checksum.exe");
    packFile(packStubPath(), checksum, tree);
    EXPECT_EQ(1, run({"--inspect", checksum, "--json"}));
    for (const std::string& member : {"\"packageFileName\": \"" + std::string(1024, 'f') + "\",", std::string("\"checksum\": null,"),
                                      std::string("\"checksumVerdict\": \"does not match\","),
                                      std::string("\"withheld\": {\"upgradeCode\": \"UPGRADE_CODE holds 5000 bytes, too many to show\", "
                                                  "\"checksum\": \"MSI_CHECKSUM holds 65 bytes, too many to show\"},")}) {
        EXPECT_NE(std::string::npos, result.output.find("\n  " + member + "\n")) << member << "\n" << result.output;
    }
    EXPECT_EQ(0u, result.errors.find("tervo-pack: The package inside " + checksum + " is damaged: its checksum is XXH64:"))
        << result.errors;
    EXPECT_NE(std::string::npos, result.errors.find(", the launcher says (65 bytes, too long to show)\n")) << result.errors;
}

TEST_F(PackCommandsTest, EveryProblemIsReportedTheMostFundamentalFirst) {
    // A damaged package and a product code of another product: two lines, one exit code.
    ResourceTree tree = launcherResources(readBytes(package("basic")), "{0A1B2C3D-4E5F-4071-8293-A4B5C6D7E8F9}");
    tree.replace(ResourceTypes::rcData, ResourceNames::checksum, 0, blockOf("XXH64:0123456789abcdef"));
    const std::string launcher = pathOf("both.exe");
    packFile(packStubPath(), launcher, tree);
    EXPECT_EQ(1, run({"--inspect", launcher}));
    const size_t damage = result.errors.find("tervo-pack: The package inside " + launcher + " is damaged: ");
    const size_t code = result.errors.find("tervo-pack: " + launcher + " carries the product code {0A1B2C3D-");
    EXPECT_EQ(0u, damage) << result.errors;
    EXPECT_NE(std::string::npos, code) << result.errors;
    EXPECT_EQ(2, std::count(result.errors.begin(), result.errors.end(), '\n')) << result.errors;
}

TEST_F(PackCommandsTest, TextsFromThePackageReachTheScreenEscapedAndJsonExact) {
    const std::string setup = pack::platform::joinPath(out, "hostile.exe");
    ASSERT_EQ(0, run({package("hostile"), "-o", setup, "--stub", packStubPath()})) << result.errors;
    EXPECT_EQ(0u, result.output.find("Wrote " + setup + ": A\\tB\\x1bC 2.5.7, product code " + basicCode + ", ")) << result.output;
    ASSERT_EQ(0, run({"--inspect", setup})) << result.errors;
    EXPECT_NE(std::string::npos, result.output.find("\nProduct name:  A\\tB\\x1bC\nVersion:       2.5.7\n"
                                                    "Manufacturer:  Soft\\u00adHyphen\\x7f\n")) << result.output;
    ASSERT_EQ(0, run({"--inspect", setup, "--json"})) << result.errors;
    EXPECT_NE(std::string::npos, result.output.find("\n  \"productName\": \"A\\tB\\u001bC\",\n")) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("\n  \"manufacturer\": \"Soft\\u00adHyphen\\u007f\",\n")) << result.output;
    // The version block keeps the exact name.
    const std::string block = PeImage::open(setup).resources().find(ResourceTypes::version, 1)->text();
    const std::u16string name = u"A\tB\x1b" u"C Setup";
    EXPECT_NE(std::string::npos, block.find(std::string(reinterpret_cast<const char*>(name.data()), 2 * name.size())));

    // What a launcher says of itself, from its resources and its version block (its package is
    // unreadable here), is shown escaped just the same: a right-to-left override reverses no name.
    ResourceTree tree = launcherResources("no database", basicCode);
    tree.replace(ResourceTypes::rcData, ResourceNames::packageFileName, 0, blockOf("Safe\u202Egpj.msi"));
    setVersionResource(tree, VersionStrings{"Safe\u202Eexe.jpg App", "1.0", "\u2066Isolated\u2069 \u200B\uFEFF", "x", "1.0", "x.exe"});
    const std::string spoofed = pathOf("spoofed.exe");
    packFile(packStubPath(), spoofed, tree);
    EXPECT_EQ(1, run({"--inspect", spoofed}));
    for (const std::string& expected : {std::string("\nPackage file:  Safe\\u202egpj.msi\n"),
                                        std::string("\nProduct name:  Safe\\u202eexe.jpg App\n"),
                                        std::string("\nManufacturer:  \\u2066Isolated\\u2069 \\u200b\\ufeff\n")}) {
        EXPECT_NE(std::string::npos, result.output.find(expected)) << expected << "\n" << result.output;
    }
    EXPECT_EQ(std::string::npos, result.output.find("\u202E")) << "no override reaches the terminal";
    EXPECT_EQ(1, run({"--inspect", spoofed, "--json"}));
    EXPECT_NE(std::string::npos, result.output.find("\n  \"productName\": \"Safe\\u202eexe.jpg App\",\n")) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("\n  \"packageFileName\": \"Safe\\u202egpj.msi\",\n")) << result.output;
}

TEST_F(PackCommandsTest, NoPackageCacheIsStoredShownAndNeverTakenFromTheStub) {
    const std::string setup = packed(package("basic"), "nocache.exe", {"--no-package-cache"});
    const ResourceTree tree = PeImage::open(setup).resources();
    EXPECT_EQ("off", tree.find(ResourceTypes::rcData, ResourceNames::packageCache)->text());
    EXPECT_FALSE(tree.contains(ResourceTypes::rcData, ResourceNames::defaultLog)) << "the default log is another option";
    ASSERT_EQ(0, run({"--inspect", setup})) << result.errors;
    EXPECT_NE(std::string::npos, result.output.find("\nDefault log:   on\nPackage cache: off (packed with --no-package-cache)\n"))
        << result.output;
    ASSERT_EQ(0, run({"--inspect", setup, "--json"})) << result.errors;
    EXPECT_NE(std::string::npos, result.output.find("\n  \"defaultLog\": true,\n  \"packageCache\": false,\n")) << result.output;

    // What a stub carries of it is the stub's, not this package's.
    ResourceTree marked;
    marked.replace(ResourceTypes::rcData, ResourceNames::packageCache, 0, blockOf("off"));
    const std::string stub = pathOf("cacheless stub.exe");
    packFile(packStubPath(), stub, marked);
    const std::string plain = pack::platform::joinPath(out, "plain.exe");
    ASSERT_EQ(0, run({package("basic"), "-o", plain, "--stub", stub, "-q"})) << result.errors;
    EXPECT_FALSE(PeImage::open(plain).resources().contains(ResourceTypes::rcData, ResourceNames::packageCache));
    // Only the exact three bytes turn it off, as for the default log.
    ResourceTree loud = launcherResources(readBytes(package("basic")), basicCode);
    loud.replace(ResourceTypes::rcData, ResourceNames::packageCache, 0, blockOf("OFF"));
    packFile(packStubPath(), pathOf("loud.exe"), loud);
    ASSERT_EQ(0, run({"--inspect", pathOf("loud.exe")})) << result.errors;
    EXPECT_NE(std::string::npos, result.output.find("\nPackage cache: on\n")) << result.output;
}
