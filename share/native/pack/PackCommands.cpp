#include "PackCommands.h"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <sstream>

#include "IconFile.h"
#include "PackError.h"
#include "PackageChecksum.h"
#include "PackageRules.h"
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

// A file the user named: it must exist and not be a directory. `what` starts the message.
void requireFile(const std::string& path, const std::string& what) {
    const PathKind kind = platform::pathKind(path);
    if (kind == PathKind::Missing) {
        throw Error(what + path);
    }
    if (kind == PathKind::Directory) {
        throw Error(what + path + " is a directory");
    }
    if (kind == PathKind::Other) {
        throw Error(what + path + " is not a regular file");
    }
}

// A destination the user named: not a directory, in a folder that exists.
void requireWritable(const std::string& path) {
    const PathKind existing = platform::pathKind(path);
    if (existing == PathKind::Directory) {
        throw Error("Cannot write " + path + ": it is a directory");
    }
    if (existing == PathKind::Other) {
        throw Error("Cannot write " + path + ": it is not a regular file");
    }
    const std::string folder = platform::parentDirectory(path);
    const PathKind kind = platform::pathKind(folder);
    if (kind == PathKind::Missing) {
        throw Error("Cannot write " + path + ": the folder " + folder + " does not exist");
    }
    if (kind != PathKind::Directory) {
        throw Error("Cannot write " + path + ": " + folder + " is not a folder");
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
            reporter.err("Writing " + name + ": " + std::to_string(percent) + "%");
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

PeImage openLauncher(const std::string& path) {
    requireFile(path, "The launcher was not found: ");
    return PeImage::open(path);
}

const DataBlock& packageOf(const ResourceTree& resources, const std::string& launcherPath) {
    const DataBlock* package = resources.find(ResourceTypes::rcData, ResourceNames::package);
    if (!package) {
        throw Error(launcherPath + " carries no package: it is not a packed Tervo launcher");
    }
    return *package;
}

// The launcher's checksum resource: absent (an older tool made it), its text, and its value
// when the text is well formed.
struct StoredChecksum {
    bool present = false;
    std::string text;
    std::optional<uint64_t> value;
};

// Which Tervo made a launcher: its stub's marker holds the version since Tervo 1.0.0, a
// placeholder before.
std::string madeBy(const ResourceTree& resources) {
    const DataBlock* marker = resources.find(ResourceTypes::rcData, ResourceNames::launcherMarker);
    const std::string text = marker && marker->size() <= 32 ? marker->text() : "";
    const bool isVersion = !text.empty() && text.find('.') != std::string::npos && text.front() != '.' &&
                           text.back() != '.' && text.find("..") == std::string::npos &&
                           text.find_first_not_of("0123456789.") == std::string::npos;
    return isVersion ? "Tervo " + text : "an earlier Tervo (the launcher records no version)";
}

StoredChecksum storedChecksum(const ResourceTree& resources) {
    StoredChecksum stored;
    const DataBlock* block = resources.find(ResourceTypes::rcData, ResourceNames::checksum);
    if (block) {
        stored.present = true;
        stored.text = block->size() <= 64 ? block->text() : "(" + std::to_string(block->size()) + " bytes)";
        stored.value = PackageChecksum::parseText(stored.text);
    }
    return stored;
}

} // namespace

void ConsoleReporter::out(const std::string& line) { platform::writeLine(Stream::Out, line); }
void ConsoleReporter::err(const std::string& line) { platform::writeLine(Stream::Err, line); }

void packPackage(const PackOptions& options, Reporter& reporter) {
    const std::string packagePath = platform::absolutePath(options.input);
    const std::string outputPath = platform::absolutePath(options.output);
    const std::string stubPath = options.stub.empty() ? defaultStubPath() : platform::absolutePath(options.stub);
    if (platform::sameFile(outputPath, packagePath) || platform::sameFile(outputPath, stubPath)) {
        throw Error("The output must be another file than the package and the stub: " + outputPath);
    }
    requireWritable(outputPath);
    requireFile(packagePath, "Package not found: ");
    const auto package = SourceFile::open(packagePath);
    const std::optional<PackageFacts> facts = platform::readPackageFacts(packagePath);
    if (!facts) {
        throw Error(packagePath + " is not a Windows Installer package");
    }
    const std::string productCode = chooseProductCode(packagePath, options.productCode, facts->productCode);
    if (facts->productVersion.empty()) {
        throw Error(packagePath + " has no ProductVersion property");
    }
    const std::vector<ExternalPart> external = findExternalParts(*facts);
    if (!external.empty()) {
        throw Error(describeExternal(packagePath, external));
    }
    const std::string outputName = platform::fileName(outputPath);
    std::string productName = facts->productName;
    if (productName.empty()) {
        const std::string packageName = platform::fileName(packagePath);
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
    requireFile(stubPath, "The launcher stub was not found: ");
    const PeImage stub = PeImage::open(stubPath);
    ResourceTree resources = stub.resources();
    if (!resources.contains(ResourceTypes::rcData, ResourceNames::launcherMarker)) {
        throw Error(stubPath + " is not a Tervo launcher stub");
    }
    if (resources.contains(ResourceTypes::rcData, ResourceNames::package)) {
        throw Error(stubPath + " already carries a package; pack into the plain launcher stub " + stubName);
    }
    resources.replace(ResourceTypes::rcData, ResourceNames::package, neutralLanguage, DataBlock(package, 0, package->size()));
    resources.replace(ResourceTypes::rcData, ResourceNames::productCode, neutralLanguage, DataBlock(productCode));
    setVersionResource(resources, VersionStrings{productName, facts->productVersion, facts->manufacturer,
                                                 productName + setupSuffix, facts->productVersion, outputName});
    if (!options.icon.empty()) {
        IconFile::read(platform::absolutePath(options.icon)).addTo(resources);
    }

    const std::unique_ptr<StagedOutput> output = platform::createStagedOutput(outputPath);
    ProgressSink sink(*output, reporter, outputName, stub.fileSize() + package->size(),
                      !options.quiet && package->size() >= progressThreshold);
    const ImageLayout layout = writeImage(stub, resources, sink, true);
    output->commit();

    if (!options.quiet) {
        reporter.out("Wrote " + outputPath + ": " + productName + " " + facts->productVersion + ", product code " +
                     productCode + ", " + describeSize(layout.fileSize));
    }
}

void inspectLauncher(const PackOptions& options, Reporter& reporter) {
    const std::string launcherPath = platform::absolutePath(options.input);
    const PeImage launcher = openLauncher(launcherPath);
    const ResourceTree resources = launcher.resources();
    const DataBlock& package = packageOf(resources, launcherPath);
    const DataBlock* code = resources.find(ResourceTypes::rcData, ResourceNames::productCode);
    const std::string codeText = code ? code->text() : "(none)";
    reporter.out("Launcher:      " + launcherPath);
    reporter.out("Made by:       " + madeBy(resources));
    reporter.out("Product code:  " + codeText);
    reporter.out("Package size:  " + std::to_string(package.size()) + " bytes");

    // The installer database library reads files only: the package goes to a scratch file,
    // hashed on its way there.
    const std::unique_ptr<ScratchFile> scratch = platform::createScratchFile();
    HashingSink hashed(*scratch);
    package.writeTo(hashed);
    scratch->finish();
    const StoredChecksum stored = storedChecksum(resources);
    const std::string actual = PackageChecksum::formatText(hashed.digest());
    if (!stored.present) {
        reporter.out("Checksum:      none (the launcher was made by an older tool)");
    } else if (stored.value == hashed.digest()) {
        reporter.out("Checksum:      " + actual + ", the package matches");
    } else {
        reporter.out("Checksum:      " + stored.text + ", the package DOES NOT match (its checksum is " + actual +
                     "): the launcher is damaged");
    }

    const std::optional<PackageFacts> product = platform::readPackageFacts(scratch->path());
    if (!product) {
        throw Error("The package carried by " + launcherPath + " is not a Windows Installer package");
    }
    reporter.out("Product name:  " + product->productName);
    reporter.out("Version:       " + product->productVersion);
    reporter.out("Manufacturer:  " + product->manufacturer);
    const std::optional<std::string> own = canonicalGuid(product->productCode);
    if (!product->productCode.empty() && own != canonicalGuid(codeText)) {
        reporter.out("Note: the package's own ProductCode is " + product->productCode);
    }
}

void extractPackage(const PackOptions& options, Reporter& reporter) {
    const std::string launcherPath = platform::absolutePath(options.input);
    const std::string outputPath = platform::absolutePath(options.output);
    if (platform::sameFile(outputPath, launcherPath)) {
        throw Error("The output must be another file than the launcher: " + outputPath);
    }
    const PeImage launcher = openLauncher(launcherPath);
    const ResourceTree resources = launcher.resources();
    const DataBlock& package = packageOf(resources, launcherPath);
    requireWritable(outputPath);

    const StoredChecksum stored = storedChecksum(resources);
    const std::string outputName = platform::fileName(outputPath);
    const std::unique_ptr<StagedOutput> output = platform::createStagedOutput(outputPath, OutputKind::Data);
    ProgressSink progress(*output, reporter, outputName, package.size(),
                          !options.quiet && package.size() >= progressThreshold);
    HashingSink hashed(progress);
    package.writeTo(hashed);
    const std::string actual = PackageChecksum::formatText(hashed.digest());
    const bool damaged = stored.present && stored.value != hashed.digest();
    const std::string damage = "The package inside " + launcherPath + " is damaged: its checksum is " + actual +
                               ", the launcher says " + stored.text;
    if (damaged && !options.ignoreChecksum) {
        throw Error(damage + "; nothing was written (--ignore-checksum writes it anyway)");
    }
    output->commit();
    if (damaged) {
        reporter.err("Warning: " + damage);
    }
    if (!options.quiet) {
        reporter.out("Wrote " + outputPath + ": " + std::to_string(package.size()) + " bytes");
    }
}

int runPackTool(const std::vector<std::string>& args, Reporter& reporter) {
    PackOptions options;
    try {
        options = parsePackOptions(args);
    } catch (const UsageError& e) {
        reporter.err(std::string("tervo-pack: ") + e.what());
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
        reporter.err(std::string("tervo-pack: ") + e.what());
        const char* debug = std::getenv("TERVO_DEBUG");
        if (debug && std::string(debug) == "true") {
            reporter.err(std::string("  raised at ") + e.location().file_name() + ":" + std::to_string(e.location().line()) +
                         " in " + e.location().function_name());
        }
    } catch (const std::exception& e) {
        reporter.err(std::string("tervo-pack: ") + e.what());
    }
    return 1;
}

} // namespace pack
