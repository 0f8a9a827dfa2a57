#include "PackCommands.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <sstream>
#include <tuple>

#include "IconFile.h"
#include "Json.h"
#include "PackError.h"
#include "PackageChecksum.h"
#include "PackageRules.h"
#include "PackageTexts.h"
#include "PeImage.h"
#include "PeWriter.h"
#include "TervoVersion.h"
#include "Utf.h"
#include "VersionBlock.h"

namespace pack {

namespace {

const char* const guidExample = "{6F3D2B1A-5C4E-4D7B-9A8F-1E2D3C4B5A69}";
const char* const stubName = "tervo-launcher.exe";
const char* const setupSuffix = " Setup";

// Progress is worth showing from this package size on.
constexpr uint64_t progressThreshold = 16 * 1024 * 1024;

// An input the user named, as messages call it.
struct InputRole {
    const char* notFound; // starts the message when nothing is there
    const char* noun;
};
const InputRole packageRole{"Package not found: ", "the package"};
const InputRole stubRole{"The launcher stub was not found: ", "the launcher stub"};
const InputRole iconRole{"The icon was not found: ", "the icon"};
const InputRole launcherRole{"The launcher was not found: ", "the launcher"};

// A file the user named: it must be a regular file, checked before it is opened, so that a pipe
// or a device is never read from.
void requireFile(const std::string& path, const InputRole& role) {
    const PathState state = platform::examinePath(path);
    switch (state.kind) {
    case PathKind::File:
        return;
    case PathKind::Missing:
        throw Error(role.notFound + path);
    case PathKind::Directory:
        throw Error(std::string("Cannot read ") + role.noun + " " + path + ": it is a directory");
    case PathKind::Other:
    case PathKind::Unreachable:
        break;
    }
    throw Error(std::string("Cannot read ") + role.noun + " " + path + ": " + state.reason);
}

// How a destination is named in messages: as the system resolved it, except a device name such
// as Windows' NUL (\\.\NUL once resolved), which is named as the user wrote it.
std::string shownPath(const std::string& absolute, const std::string& given) {
    return absolute.rfind("\\\\.\\", 0) == 0 ? given : absolute;
}

// A destination the user named: a regular file or nothing, in a folder that exists. A symbolic
// link is followed (the file it leads to is replaced); one that leads nowhere, or to anything
// but a regular file, is refused.
void requireWritable(const std::string& path, const std::string& given, bool extracting) {
    if (given.back() == '/') {
        throw Error("Cannot write " + given + ": a name that ends in / is a folder's; give the file's name");
    }
    const PathState existing = platform::examinePath(path);
    switch (existing.kind) {
    case PathKind::File:
        return;
    case PathKind::Directory:
        throw Error("Cannot write " + path + ": it is a directory");
    case PathKind::Other:
        throw Error("Cannot write " + shownPath(path, given) + ": " + existing.reason +
                    (extracting ? "; -o - writes the package to standard output" : ""));
    case PathKind::Unreachable:
        throw Error("Cannot write " + path + ": " + existing.reason);
    case PathKind::Missing:
        break;
    }
    const std::string folder = platform::parentDirectory(path);
    const PathState state = platform::examinePath(folder);
    switch (state.kind) {
    case PathKind::Directory:
        return;
    case PathKind::Missing:
        throw Error("Cannot write " + path + ": the folder " + folder + " does not exist");
    case PathKind::File:
    case PathKind::Other:
        throw Error("Cannot write " + path + ": " + folder + " is not a folder");
    case PathKind::Unreachable:
        break;
    }
    throw Error("Cannot write " + path + ": its folder " + folder + " cannot be used: " + state.reason);
}

// The output may be none of the inputs, by any path (hard or symbolic links included): it would
// be replaced while, or before, it is read.
void requireDistinctOutput(const std::string& output, const std::vector<std::pair<const char*, std::string>>& inputs) {
    for (const auto& [role, input] : inputs) {
        if (!input.empty() && platform::sameFile(output, input)) {
            throw Error(std::string("The output must be another file than the ") + role + ": " + output +
                        (output == input ? "" : " is the same file as " + input));
        }
    }
}

// Where the default stub is looked for: beside the tool, as built and in the Windows zip, then
// in the installed tree's share/tervo.
std::string besideStubPath() { return platform::joinPath(platform::toolDirectory(), stubName); }
std::string installedStubPath() {
    return platform::joinPath(platform::parentDirectory(platform::toolDirectory()), std::string("share/tervo/") + stubName);
}

std::string defaultStubPath() {
    const std::string beside = besideStubPath();
    const std::string installed = installedStubPath();
    return platform::pathKind(beside) == PathKind::Missing && platform::pathKind(installed) == PathKind::File ? installed
                                                                                                             : beside;
}

std::string describeSize(uint64_t bytes) {
    if (bytes < 10 * 1024) {
        return std::to_string(bytes) + " bytes";
    }
    if (bytes < 10 * 1024 * 1024) {
        return std::to_string((bytes + 512) / 1024) + " KB";
    }
    return std::to_string((bytes + 512 * 1024) / (1024 * 1024)) + " MB";
}

// Passes the bytes on and reports every further tenth of `expected` written.
class ProgressSink : public ByteSink {
public:
    ProgressSink(ByteSink& out, Reporter& reporter, const std::string& name, uint64_t expected, bool show)
        : output(out), reporter(reporter), name(name), expected(expected), show(show && expected > 0) {}

    void write(const char* data, size_t size) override {
        output.write(data, size);
        advance(size);
    }
    void writeAt(uint64_t offset, const char* data, size_t size) override { output.writeAt(offset, data, size); }
    bool copyFrom(const InputFile& file, uint64_t offset, uint64_t size, const ChunkConsumer& copied) override {
        return output.copyFrom(file, offset, size, [&](const char* data, size_t piece) {
            advance(piece);
            copied(data, piece);
        });
    }

private:
    void advance(size_t size) {
        written += size;
        const int percent = show ? static_cast<int>(std::min<uint64_t>(100, written * 100 / expected)) : 0;
        if (percent / 10 > reported / 10) {
            reported = percent;
            reporter.err(printable("Writing " + name + ": " + std::to_string(percent) + "%"));
        }
    }

    ByteSink& output;
    Reporter& reporter;
    std::string name;
    uint64_t expected;
    bool show;
    uint64_t written = 0;
    int reported = 0;
};

// Passes the bytes on and hashes them.
class HashingSink : public ByteSink {
public:
    explicit HashingSink(ByteSink& out) : output(out) {}
    void write(const char* data, size_t size) override {
        output.write(data, size);
        hasher.update(data, size);
    }
    void writeAt(uint64_t offset, const char* data, size_t size) override { output.writeAt(offset, data, size); }
    bool copyFrom(const InputFile& file, uint64_t offset, uint64_t size, const ChunkConsumer& copied) override {
        return output.copyFrom(file, offset, size, [&](const char* data, size_t piece) {
            hasher.update(data, piece);
            copied(data, piece);
        });
    }
    uint64_t digest() const { return hasher.digest(); }

private:
    ByteSink& output;
    PackageChecksum::Xxh64 hasher;
};

void requireShortEnough(const std::string& property, const std::string& text, size_t limit) {
    const size_t length = toUtf16(text).size();
    if (length > limit) {
        throw Error("The package's " + property + " has " + std::to_string(length) +
                    " characters; a launcher's version block holds at most " + std::to_string(limit));
    }
}

std::string describeExternal(const std::string& packagePath, const std::vector<ExternalPart>& parts) {
    const ExternalPart& first = parts.front();
    std::string text = packagePath + " is not self-contained: ";
    text += first.kind == ExternalPart::Kind::Cabinet ? "its cabinet '" + first.name + "' is not embedded in it"
                                                      : "its file '" + first.name + "' is stored uncompressed beside it";
    if (parts.size() > 1) {
        text += " (and " + std::to_string(parts.size() - 1) + " more)";
    }
    return text + "; a launcher can only carry a package that holds all its files";
}

// The product code to embed: the one given, which must be the package's own in any spelling,
// or the package's.
std::string chooseProductCode(const std::string& packagePath, const std::string& given, const std::string& own) {
    std::optional<std::string> ownCode;
    if (!own.empty()) {
        ownCode = canonicalGuid(own);
        if (!ownCode) {
            throw Error("Invalid product code '" + own + "' in the package's ProductCode property: expected a GUID such as " +
                        guidExample);
        }
    }
    if (given.empty()) {
        if (!ownCode) {
            throw Error(packagePath + " has no ProductCode property; give the product code with --product-code");
        }
        return *ownCode;
    }
    const std::optional<std::string> givenCode = canonicalGuid(given);
    if (!givenCode) {
        throw Error("Invalid product code '" + given + "' given with --product-code: expected a GUID such as " + guidExample);
    }
    if (ownCode && *ownCode != *givenCode) {
        throw Error("The product code " + *givenCode + " given with --product-code differs from the package's ProductCode " +
                    *ownCode + ": the launcher could not remove the product it installs");
    }
    return *givenCode;
}

// A stub must be a program for 64-bit Windows with a window system (GUI) subsystem, as the
// launcher is: a DLL or a console program would be copied into a setup.exe that is not one.
void requireLauncherProgram(const PeImage& stub) {
    const std::string notAStub = stub.path() + " is not a launcher stub: ";
    if (stub.machine() != pe::machineAmd64) {
        char machine[8];
        std::snprintf(machine, sizeof machine, "%04X", stub.machine());
        throw Error(notAStub + "it is not built for x64 (its machine type is 0x" + machine + ")");
    }
    if (stub.characteristics() & pe::dllImage) {
        throw Error(notAStub + "it is a DLL, not a program");
    }
    if (!(stub.characteristics() & pe::executableImage)) {
        throw Error(notAStub + "it is not marked as an executable program");
    }
    if (stub.subsystem() != pe::subsystemWindowsGui) {
        throw Error(notAStub + (stub.subsystem() == pe::subsystemWindowsConsole
                                    ? std::string("it is a console program, not a Windows GUI program")
                                    : "its subsystem " + std::to_string(stub.subsystem()) + " is not the Windows GUI"));
    }
}

// Reports a file written; when standard output fails, says that the file is there all the same.
void reportWritten(Reporter& reporter, const std::string& path, const std::string& summary) {
    try {
        reporter.out(summary);
    } catch (const Error& e) {
        throw Error(path + " was written, but its summary was not: " + e.what());
    }
}

const DataBlock& packageOf(const ResourceTree& resources, const std::string& launcherPath) {
    const DataBlock* package = resources.find(ResourceTypes::rcData, ResourceNames::package);
    if (!package) {
        throw Error(launcherPath + " carries no package: it is not a packed Tervo launcher");
    }
    return *package;
}

// A small RCDATA text resource of a launcher: absent, its text, or more bytes than such a text
// can have, which are not shown as if they were one.
struct SmallText {
    bool present = false;
    uint64_t size = 0;
    std::optional<std::string> text; // nullopt when absent or too long

    bool tooLong() const { return present && !text; }
    // As the report shows it.
    std::string shown(const std::string& absent = "(none)") const {
        return text ? *text : present ? "(" + std::to_string(size) + " bytes, too long to show)" : absent;
    }
    // Why the JSON value is null although the launcher holds the resource.
    std::string withheldReason(const char16_t* name) const {
        return toUtf8(name) + " holds " + std::to_string(size) + " bytes, too many to show";
    }
};

SmallText smallText(const ResourceTree& resources, const char16_t* name, uint64_t limit = 1024) {
    SmallText small;
    if (const DataBlock* block = resources.find(ResourceTypes::rcData, name)) {
        small.present = true;
        small.size = block->size();
        if (block->size() <= limit) {
            small.text = block->text();
        }
    }
    return small;
}

// The launcher's checksum resource (absent when an older tool made it), and its value when the
// text is well formed.
struct StoredChecksum {
    SmallText resource;
    std::optional<uint64_t> value;

    bool present() const { return resource.present; }
    std::string text() const { return resource.shown(); }
};

// The version in a stub's marker: Tervo 1.0.0 and later put it there, earlier ones a placeholder.
std::optional<std::string> markerVersion(const ResourceTree& resources) {
    const DataBlock* marker = resources.find(ResourceTypes::rcData, ResourceNames::launcherMarker);
    const std::string text = marker && marker->size() <= 32 ? marker->text() : "";
    const bool isVersion = !text.empty() && text.find('.') != std::string::npos && text.front() != '.' &&
                           text.back() != '.' && text.find("..") == std::string::npos &&
                           text.find_first_not_of("0123456789.") == std::string::npos;
    return isVersion ? std::optional<std::string>(text) : std::nullopt;
}

StoredChecksum storedChecksum(const ResourceTree& resources) {
    StoredChecksum stored{smallText(resources, ResourceNames::checksum, 64), std::nullopt};
    if (stored.resource.text) {
        stored.value = PackageChecksum::parseText(*stored.resource.text);
    }
    return stored;
}

// The words of a cut launcher's verdict, the same wherever they are shown.
std::string truncation(const PeImage& launcher) {
    return "truncated: " + std::to_string(launcher.fileSize()) + " of " + std::to_string(launcher.declaredSize()) + " bytes";
}

// A launcher opened for --inspect or --extract, as far as it goes: a file cut short (an
// interrupted download) still shows the resources that lie before its end.
struct OpenedLauncher {
    std::string path;
    PeImage image;
    ResourceTree resources;
    // What lies past the end of a launcher cut short.
    std::vector<CutResource> cut;

    // The package's size, from its data or, when cut, from its directory entry.
    std::optional<uint64_t> packageSize() const {
        if (const DataBlock* package = resources.find(ResourceTypes::rcData, ResourceNames::package)) {
            return package->size();
        }
        for (const CutResource& resource : cut) {
            if (resource.type == ResourceId(ResourceTypes::rcData) && resource.name == ResourceId(ResourceNames::package)) {
                return resource.size;
            }
        }
        return std::nullopt;
    }
    bool isTervoLauncher() const {
        return resources.contains(ResourceTypes::rcData, ResourceNames::launcherMarker) || packageSize().has_value();
    }
};

OpenedLauncher openLauncher(const std::string& path) {
    requireFile(path, launcherRole);
    OpenedLauncher launcher{path, PeImage::open(path, PeImage::Cut::Allowed), {}, {}};
    launcher.resources = launcher.image.resources(&launcher.cut);
    return launcher;
}

// How the product code a launcher carries, which its uninstall removes, stands against its
// package's own ProductCode: the verdict --inspect --json gives, and when the launcher's uninstall
// cannot work or would remove another product, why, in words for the user.
struct ProductCodeCheck {
    std::string verdict;
    std::string problem;
};

ProductCodeCheck checkProductCode(const std::string& launcherPath, const SmallText& stored,
                                  const std::optional<PackageFacts>& product) {
    const std::string uninstall = platform::fileName(launcherPath) + " uninstall";
    if (!stored.present) {
        return {"none", launcherPath + " carries no product code (no PRODUCT_CODE resource): " + uninstall +
                            " cannot remove the product it installs"};
    }
    const std::optional<std::string> launcherCode = canonicalGuid(stored.text.value_or(""));
    if (!launcherCode) {
        const std::string what = stored.text ? "'" + *stored.text + "' (" + std::to_string(stored.size) + " bytes)"
                                             : std::to_string(stored.size) + " bytes";
        return {"malformed", "The product code that " + launcherPath + " carries, " + what + ", is not a GUID such as " +
                                 guidExample + ": " + uninstall + " cannot remove the product it installs"};
    }
    if (!product || product->productCode.empty()) {
        return {"unchecked", ""};
    }
    if (canonicalGuid(product->productCode) == launcherCode) {
        return {"matches", ""};
    }
    return {"differs", launcherPath + " carries the product code " + *stored.text + ", but its package's ProductCode is " +
                           product->productCode + ": " + uninstall +
                           " would remove another product than the one its package installs"};
}

// Standard output may be none of the files a command reads: what the tool writes there would
// change the file while it is read (tervo-pack --extract setup.exe -o - >> setup.exe).
void requireStandardOutputElsewhere(const std::vector<std::pair<const char*, std::string>>& inputs) {
    for (const auto& [role, input] : inputs) {
        if (!input.empty() && platform::standardOutputIs(input)) {
            throw Error(std::string("Standard output is ") + role + " " + input +
                        ": what the tool writes there would change it while it is read; redirect standard output to another file");
        }
    }
}

// Writes bytes nowhere, for a pass that only hashes them.
class NullSink : public ByteSink {
public:
    void write(const char*, size_t) override {}
    void writeAt(uint64_t, const char*, size_t) override {}
};

} // namespace

void ConsoleReporter::out(const std::string& line) { platform::writeLine(Stream::Out, line); }
void ConsoleReporter::err(const std::string& line) {
    try {
        platform::writeLine(Stream::Err, line);
    } catch (const std::exception&) {
        // Standard error lost: nothing is left to tell.
    }
}

void packPackage(const PackOptions& options, Reporter& reporter) {
    const std::string packagePath = platform::absolutePath(options.input);
    const std::string outputPath = platform::absolutePath(options.output);
    const std::string stubPath = options.stub.empty() ? defaultStubPath() : platform::absolutePath(options.stub);
    const std::string iconPath = options.icon.empty() ? "" : platform::absolutePath(options.icon);
    requireDistinctOutput(outputPath, {{"package", packagePath}, {"stub", stubPath}, {"icon", iconPath}});
    requireStandardOutputElsewhere({{"the package", packagePath}, {"the launcher stub", stubPath}, {"the icon", iconPath}});
    requireWritable(outputPath, options.output, false);
    requireFile(packagePath, packageRole);
    if (!iconPath.empty()) {
        requireFile(iconPath, iconRole);
    }
    const auto package = SourceFile::open(packagePath);
    const std::optional<PackageFacts> facts = platform::readPackageFacts(packagePath);
    if (!facts) {
        throw Error(packagePath + " is not a Windows Installer package");
    }
    if (const std::string warning = replacedTextsWarning(*facts); !warning.empty()) {
        reporter.err(warning);
    }
    const std::string productCode = chooseProductCode(packagePath, options.productCode, facts->productCode);
    if (facts->productVersion.empty()) {
        throw Error(packagePath + " has no ProductVersion property");
    }
    if (!tryParseVersion(facts->productVersion)) {
        throw Error("The package's ProductVersion '" + facts->productVersion +
                    "' cannot be a launcher's file version: it must be " + versionForm);
    }
    const std::vector<ExternalPart> external = findExternalParts(*facts);
    if (!external.empty()) {
        throw Error(describeExternal(packagePath, external));
    }
    const std::string outputName = platform::fileName(outputPath);
    const std::string packageName = platform::fileName(packagePath);
    std::string productName = facts->productName;
    if (productName.empty()) {
        productName = packageName.substr(0, packageName.rfind('.'));
    }
    requireShortEnough("ProductName", productName, maxVersionTextLength - std::string(setupSuffix).size());
    requireShortEnough("Manufacturer", facts->manufacturer, maxVersionTextLength);
    if (toUtf16(outputName).size() > maxVersionTextLength) {
        throw Error("The output's file name is longer than " + std::to_string(maxVersionTextLength) + " characters");
    }

    if (options.stub.empty() && platform::pathKind(stubPath) == PathKind::Missing) {
        throw Error("The launcher stub was not found: neither " + stubPath + " nor " + installedStubPath() +
                    " exists; name one with --stub");
    }
    requireFile(stubPath, stubRole);
    const PeImage stub = PeImage::open(stubPath);
    ResourceTree resources = stub.resources();
    if (!resources.contains(ResourceTypes::rcData, ResourceNames::launcherMarker)) {
        throw Error(stubPath + " is not a Tervo launcher stub");
    }
    requireLauncherProgram(stub);
    if (resources.contains(ResourceTypes::rcData, ResourceNames::package)) {
        throw Error(stubPath + " already carries a package; pack into the plain launcher stub " + stubName);
    }
    resources.replace(ResourceTypes::rcData, ResourceNames::package, neutralLanguage, DataBlock(package, 0, package->size()));
    resources.replace(ResourceTypes::rcData, ResourceNames::productCode, neutralLanguage, DataBlock(productCode));
    // What the stub carried of these is the stub's, not this package's.
    for (const char16_t* name : {ResourceNames::packageFileName, ResourceNames::upgradeCode, ResourceNames::defaultLog,
                                 ResourceNames::packageCache}) {
        resources.remove(ResourceTypes::rcData, name);
    }
    const std::string nameProblem = windowsFileNameProblem(packageName);
    if (nameProblem.empty()) {
        resources.replace(ResourceTypes::rcData, ResourceNames::packageFileName, neutralLanguage, DataBlock(packageName));
    } else {
        reporter.err(printable("Warning: the package's file name " + packageName + " is not one Windows takes (" + nameProblem +
                               "): the launcher records no file name for it, and setup.exe /extract names it after the product"));
    }
    if (!facts->upgradeCode.empty()) {
        const std::optional<std::string> upgradeCode = canonicalGuid(facts->upgradeCode);
        if (upgradeCode) {
            resources.replace(ResourceTypes::rcData, ResourceNames::upgradeCode, neutralLanguage, DataBlock(*upgradeCode));
        } else {
            reporter.err(printable("Warning: the package's UpgradeCode '" + facts->upgradeCode + "' is not a GUID such as " +
                                   guidExample + ": the launcher records no upgrade code"));
        }
    }
    if (options.noDefaultLog) {
        resources.replace(ResourceTypes::rcData, ResourceNames::defaultLog, neutralLanguage, DataBlock(std::string("off")));
    }
    if (options.noPackageCache) {
        resources.replace(ResourceTypes::rcData, ResourceNames::packageCache, neutralLanguage, DataBlock(std::string("off")));
    }
    setVersionResource(resources, VersionStrings{productName, facts->productVersion, facts->manufacturer,
                                                 productName + setupSuffix, facts->productVersion, outputName});
    if (!iconPath.empty()) {
        IconFile::read(iconPath).addTo(resources);
    }

    const std::unique_ptr<StagedOutput> output = platform::createStagedOutput(platform::linkTarget(outputPath));
    ProgressSink sink(*output, reporter, outputName, stub.fileSize() + package->size(),
                      !options.quiet && package->size() >= progressThreshold);
    const ImageLayout layout = writeImage(stub, resources, sink, true);
    output->commit();

    if (!options.quiet) {
        reportWritten(reporter, outputPath,
                      printable("Wrote " + outputPath + ": " + productName + " " + facts->productVersion + ", product code " +
                                productCode + ", " + describeSize(layout.fileSize)));
    }
}

void inspectLauncher(const PackOptions& options, Reporter& reporter) {
    const std::string launcherPath = platform::absolutePath(options.input);
    requireStandardOutputElsewhere({{"the launcher", launcherPath}});
    const OpenedLauncher launcher = openLauncher(launcherPath);
    if (!launcher.isTervoLauncher()) {
        throw Error(launcher.image.truncated() ? launcherPath + " is " + truncation(launcher.image) + ", before its resources"
                                               : launcherPath + " carries no package: it is not a packed Tervo launcher");
    }
    const ResourceTree& resources = launcher.resources;
    const bool text = !options.json;
    const auto line = [&](const std::string& label, const std::string& value) {
        if (text) {
            reporter.out(label + std::string(15 - std::min<size_t>(15, label.size()), ' ') + printable(value));
        }
    };
    const std::optional<std::string> version = markerVersion(resources);
    const SmallText productCode = smallText(resources, ResourceNames::productCode);
    const SmallText upgradeCode = smallText(resources, ResourceNames::upgradeCode);
    const SmallText fileName = smallText(resources, ResourceNames::packageFileName);
    const std::optional<uint64_t> packageSize = launcher.packageSize();
    const bool defaultLog = smallText(resources, ResourceNames::defaultLog).text != "off";
    const bool packageCache = smallText(resources, ResourceNames::packageCache).text != "off";
    const StoredChecksum stored = storedChecksum(resources);
    line("Launcher:", launcherPath);
    line("Made by:", version ? "Tervo " + *version : "an earlier Tervo (the launcher records no version)");
    line("Product code:", productCode.shown());
    line("Upgrade code:", upgradeCode.shown());
    line("Package file:", fileName.shown());
    line("Package size:", packageSize ? std::to_string(*packageSize) + " bytes" : "(none)");

    // What makes the launcher unsound, from the most to the least fundamental.
    std::vector<std::string> problems;
    std::string verdict;
    std::optional<PackageFacts> product;
    const DataBlock* package = resources.find(ResourceTypes::rcData, ResourceNames::package);
    if (launcher.image.truncated()) {
        verdict = "truncated";
        problems.push_back(launcherPath + " is " + truncation(launcher.image) +
                           " (an interrupted download or copy?): its package cannot be checked or read; get the file again");
        line("Checksum:", (stored.present() ? stored.text() : "none") + ", " + truncation(launcher.image));
    } else if (!package) {
        verdict = "no package";
        problems.push_back(launcherPath + " carries no package: it is not a packed Tervo launcher");
        line("Checksum:", "(none)");
    } else {
        // The installer database library reads files only: the package goes to a scratch file,
        // hashed on its way there.
        const std::unique_ptr<ScratchFile> scratch = platform::createScratchFile();
        HashingSink hashed(*scratch);
        package->writeTo(hashed);
        scratch->finish();
        const std::string actual = PackageChecksum::formatText(hashed.digest());
        if (!stored.present()) {
            verdict = "none";
            line("Checksum:", "none (the launcher was made by an older tool)");
        } else if (stored.value == hashed.digest()) {
            verdict = "matches";
            line("Checksum:", actual + ", the package matches");
        } else {
            verdict = "does not match";
            problems.push_back("The package inside " + launcherPath + " is damaged: its checksum is " + actual +
                               ", the launcher says " + stored.text());
            line("Checksum:", stored.text() + ", the package DOES NOT match (its checksum is " + actual + "): the launcher is damaged");
        }
        product = platform::readPackageFacts(scratch->path());
        if (const std::string warning = product ? replacedTextsWarning(*product) : ""; !warning.empty()) {
            reporter.err(warning);
        }
        // A damaged package that cannot be read is explained by its damage.
        if (!product && problems.empty()) {
            problems.push_back("The package carried by " + launcherPath + " is not a Windows Installer package");
        }
    }
    line("Default log:", defaultLog ? "on" : "off (packed with --no-default-log)");
    line("Package cache:", packageCache ? "on" : "off (packed with --no-package-cache)");

    // What the launcher's uninstall would remove: a launcher without a package is no launcher at
    // all, which says enough.
    const ProductCodeCheck code = checkProductCode(launcherPath, productCode, product);
    if (package && !code.problem.empty()) {
        problems.push_back(code.problem);
    }

    // The product as the package says, or else as the launcher's version block says.
    std::map<std::string, std::string> declared;
    if (const DataBlock* block = resources.find(ResourceTypes::version, 1); block && block->size() <= 65536) {
        declared = readVersionStrings(block->load());
    }
    const auto fact = [&](const std::string& own, const char* key) -> std::optional<std::string> {
        if (product) {
            return own.empty() ? std::nullopt : std::optional<std::string>(own);
        }
        const auto found = declared.find(key);
        return found == declared.end() || found->second.empty() ? std::nullopt : std::optional<std::string>(found->second);
    };
    const std::optional<std::string> productName = fact(product ? product->productName : "", "ProductName");
    const std::optional<std::string> productVersion = fact(product ? product->productVersion : "", "ProductVersion");
    const std::optional<std::string> manufacturer = fact(product ? product->manufacturer : "", "CompanyName");
    if (product || !declared.empty()) {
        line("Product name:", productName.value_or(""));
        line("Version:", productVersion.value_or(""));
        line("Manufacturer:", manufacturer.value_or(""));
    }
    if (text && !product && !declared.empty()) {
        reporter.out("Note: the product name, version and manufacturer above are the launcher's version block's, not read from its package");
    }
    if (text && product) {
        if (!product->productCode.empty() && code.verdict != "matches") {
            reporter.out("Note: the package's own ProductCode is " + printable(product->productCode));
        }
        const std::optional<std::string> ownUpgrade = canonicalGuid(product->upgradeCode);
        if (!product->upgradeCode.empty() && ownUpgrade != canonicalGuid(upgradeCode.text.value_or(""))) {
            reporter.out("Note: the package's own UpgradeCode is " + printable(product->upgradeCode));
        }
    }
    if (options.json) {
        // A null that stands for something the launcher holds says why.
        JsonObject withheld;
        const bool pathIsUtf8 = toUtf8(toUtf16(launcherPath)) == launcherPath;
        if (!pathIsUtf8) {
            withheld.addText("launcher", std::string("the path is not valid UTF-8"));
        }
        for (const auto& [key, name, resource] : {std::tuple{"productCode", ResourceNames::productCode, &productCode},
                                                  std::tuple{"upgradeCode", ResourceNames::upgradeCode, &upgradeCode},
                                                  std::tuple{"packageFileName", ResourceNames::packageFileName, &fileName},
                                                  std::tuple{"checksum", ResourceNames::checksum, &stored.resource}}) {
            if (resource->tooLong()) {
                withheld.addText(key, resource->withheldReason(name));
            }
        }
        const std::optional<std::string> ownCode =
            product && !product->productCode.empty() ? std::optional<std::string>(product->productCode) : std::nullopt;
        JsonObject object;
        object.addText("launcher", pathIsUtf8 ? std::optional<std::string>(launcherPath) : std::nullopt)
            .addText("tervoVersion", version)
            .addText("productCode", productCode.text)
            .addText("productCodeVerdict", code.verdict)
            .addText("packageProductCode", ownCode)
            .addText("upgradeCode", upgradeCode.text)
            .addText("productName", productName)
            .addText("productVersion", productVersion)
            .addText("manufacturer", manufacturer)
            .addText("packageFileName", fileName.text)
            .addNumber("packageSize", packageSize)
            .addText("checksum", stored.resource.text)
            .addText("checksumVerdict", verdict)
            .addBool("defaultLog", defaultLog)
            .addBool("packageCache", packageCache)
            .addNumber("fileSize", launcher.image.fileSize())
            .addNumber("expectedFileSize", launcher.image.declaredSize())
            .addObject("withheld", withheld)
            .addBool("sound", problems.empty());
        std::istringstream lines(object.text());
        for (std::string jsonLine; std::getline(lines, jsonLine);) {
            reporter.out(jsonLine);
        }
    }
    if (!problems.empty()) {
        for (size_t i = 0; i + 1 < problems.size(); ++i) {
            reporter.err("tervo-pack: " + printable(problems[i]));
        }
        throw Error(problems.back());
    }
}

void extractPackage(const PackOptions& options, Reporter& reporter) {
    const std::string launcherPath = platform::absolutePath(options.input);
    const bool toStandardOutput = options.output == standardOutputName;
    const std::string outputPath = toStandardOutput ? "" : platform::absolutePath(options.output);
    requireStandardOutputElsewhere({{"the launcher", launcherPath}});
    if (!toStandardOutput && platform::sameFile(outputPath, launcherPath)) {
        throw Error("The output must be another file than the launcher: " + outputPath);
    }
    const OpenedLauncher launcher = openLauncher(launcherPath);
    if (launcher.image.truncated()) {
        throw Error(launcherPath + " is " + truncation(launcher.image) + "; nothing was written");
    }
    const DataBlock& package = packageOf(launcher.resources, launcherPath);
    const StoredChecksum stored = storedChecksum(launcher.resources);
    const std::string describedOutput = toStandardOutput ? "standard output" : outputPath;
    const auto damage = [&](uint64_t digest) {
        return "The package inside " + launcherPath + " is damaged: its checksum is " + PackageChecksum::formatText(digest) +
               ", the launcher says " + stored.text();
    };

    if (toStandardOutput) {
        // A pipe cannot be taken back: the package is checked before its first byte goes out, and
        // hashed again on its way, in case the launcher changes meanwhile.
        const std::unique_ptr<ByteSink> out = platform::standardOutputSink();
        std::optional<uint64_t> checked;
        if (stored.present()) {
            NullSink nowhere;
            HashingSink hashed(nowhere);
            package.writeTo(hashed);
            checked = hashed.digest();
            if (stored.value != checked && !options.ignoreChecksum) {
                throw Error(damage(*checked) + "; nothing was written (--ignore-checksum writes it anyway)");
            }
        }
        ProgressSink progress(*out, reporter, describedOutput, package.size(),
                              !options.quiet && package.size() >= progressThreshold);
        HashingSink hashed(progress);
        package.writeTo(hashed);
        if (checked && hashed.digest() != *checked) {
            throw Error(launcherPath + " changed while it was read: what standard output received is not the package it held");
        }
        if (stored.present() && stored.value != hashed.digest()) {
            reporter.err("Warning: " + printable(damage(hashed.digest())));
        }
        if (!options.quiet) {
            reporter.err("Wrote the package to standard output: " + std::to_string(package.size()) + " bytes");
        }
        return;
    }

    requireWritable(outputPath, options.output, true);
    const std::string outputName = platform::fileName(outputPath);
    const std::unique_ptr<StagedOutput> output = platform::createStagedOutput(platform::linkTarget(outputPath), OutputKind::Data);
    ProgressSink progress(*output, reporter, outputName, package.size(),
                          !options.quiet && package.size() >= progressThreshold);
    HashingSink hashed(progress);
    package.writeTo(hashed);
    const bool damaged = stored.present() && stored.value != hashed.digest();
    if (damaged && !options.ignoreChecksum) {
        throw Error(damage(hashed.digest()) + "; nothing was written (--ignore-checksum writes it anyway)");
    }
    output->commit();
    if (damaged) {
        reporter.err("Warning: " + printable(damage(hashed.digest())));
    }
    if (!options.quiet) {
        reportWritten(reporter, outputPath, printable("Wrote " + outputPath + ": " + std::to_string(package.size()) + " bytes"));
    }
}
int runPackTool(const std::vector<std::string>& args, Reporter& reporter) {
    PackOptions options;
    try {
        options = parsePackOptions(args);
    } catch (const UsageError& e) {
        reporter.err("tervo-pack: " + printable(e.what()));
        reporter.err("");
        std::istringstream usage(packUsage());
        for (std::string line; std::getline(usage, line);) {
            reporter.err(line);
        }
        return 2;
    }
    try {
        switch (options.command) {
        case PackOptions::Command::Help: {
            std::istringstream usage(packUsage());
            for (std::string line; std::getline(usage, line);) {
                reporter.out(line);
            }
            break;
        }
        case PackOptions::Command::Version:
            reporter.out("tervo-pack " TERVO_VERSION);
            break;
        case PackOptions::Command::Pack:
            packPackage(options, reporter);
            break;
        case PackOptions::Command::Inspect:
            inspectLauncher(options, reporter);
            break;
        case PackOptions::Command::Extract:
            extractPackage(options, reporter);
            break;
        }
        return 0;
    } catch (const Error& e) {
        reporter.err("tervo-pack: " + printable(e.what()));
        const char* debug = std::getenv("TERVO_DEBUG");
        if (debug && std::string(debug) == "true") {
            reporter.err(std::string("  raised at ") + e.location().file_name() + ":" + std::to_string(e.location().line()) +
                         " in " + e.location().function_name());
        }
    } catch (const std::exception& e) {
        reporter.err("tervo-pack: " + printable(e.what()));
    }
    return 1;
}

} // namespace pack
