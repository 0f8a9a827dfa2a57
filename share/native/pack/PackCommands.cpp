#include "PackCommands.h"

#include <io.h>

#include <algorithm>
#include <stdexcept>

#include "FileUtils.h"
#include "Guid.h"
#include "IconFile.h"
#include "MsiDb.h"
#include "MsiUtils.h"
#include "PeImage.h"
#include "PeWriter.h"
#include "SysInfo.h"
#include "VersionBlock.h"
#include "WinHeaders.h"

namespace pack {

namespace {

[[noreturn]] void fail(const tstrings::MessageBuilder& message) {
    throw TervoError<std::runtime_error>(std::runtime_error(message.utf8()));
}

// What the package's Property table says about the product.
struct ProductInfo {
    tstring productCode;
    tstring name;
    tstring version;
    tstring manufacturer;
};

ProductInfo readProductInfo(const tstring& packagePath) {
    if (!FileUtils::pathExists(packagePath) || FileUtils::isDirectory(packagePath)) {
        fail(tstrings::MessageBuilder() << "Package not found: " << packagePath);
    }
    try {
        const msi::Database database(packagePath);
        return ProductInfo{database.getProperty(std::nothrow, L"ProductCode"),
                           database.getProperty(std::nothrow, L"ProductName"),
                           database.getProperty(std::nothrow, L"ProductVersion"),
                           database.getProperty(std::nothrow, L"Manufacturer")};
    } catch (const TervoError<msi::Error>& e) {
        fail(tstrings::MessageBuilder() << packagePath << " is not a Windows Installer package: "
                                        << std::string(e.plainMessage()));
    }
}

// The braced upper-case form the launcher needs, exactly 38 characters.
tstring canonicalProductCode(const tstring& text, const char* origin) {
    try {
        return Guid(text).toString();
    } catch (const std::runtime_error&) {
        fail(tstrings::MessageBuilder() << "Invalid product code '" << text << "' " << origin
                                        << ": expected a GUID such as {6F3D2B1A-5C4E-4D7B-9A8F-1E2D3C4B5A69}");
    }
}

tstring defaultStubPath() {
    return FileUtils::joinPath(FileUtils::parentPath(SysInfo::getProcessModulePath()), L"tervo-launcher.exe");
}

PeImage openLauncher(const tstring& path, const char* role) {
    if (!FileUtils::pathExists(path) || FileUtils::isDirectory(path)) {
        fail(tstrings::MessageBuilder() << "The " << role << " was not found: " << path);
    }
    return PeImage::open(path);
}

tstring describeSize(uint64_t bytes) {
    tstrings::MessageBuilder text;
    if (bytes < 10 * 1024) {
        text << bytes << " bytes";
    } else if (bytes < 10 * 1024 * 1024) {
        text << (bytes + 512) / 1024 << " KB";
    } else {
        text << (bytes + 512 * 1024) / (1024 * 1024) << " MB";
    }
    return text.str();
}

// Passes the image to the staged file and reports progress for large packages.
class StagedSink : public ByteSink {
public:
    StagedSink(FileUtils::StagedFileWriter& writer, const Reporter& reporter, const tstring& name, uint64_t expected,
               bool showProgress)
        : writer(writer), reporter(reporter), name(name), expected(expected), showProgress(showProgress) {}

    void write(const char* data, size_t size) override {
        writer.write(data, size);
        written += size;
        if (showProgress && expected > 0) {
            const int percent = static_cast<int>(std::min<uint64_t>(100, written * 100 / expected));
            if (percent / 10 > reported / 10) {
                reported = percent;
                reporter.progress((tstrings::MessageBuilder() << "Writing " << name << ": " << percent << "%").str());
            }
        }
    }

private:
    FileUtils::StagedFileWriter& writer;
    const Reporter& reporter;
    tstring name;
    uint64_t expected;
    bool showProgress;
    uint64_t written = 0;
    int reported = 0;
};

// Progress is worth showing from this package size on.
constexpr uint64_t progressThreshold = 16 * 1024 * 1024;

const DataBlock& packageOf(const ResourceTree& resources, const tstring& launcherPath) {
    const DataBlock* package = resources.find(ResourceTypes::rcData, ResourceNames::package);
    if (!package) {
        fail(tstrings::MessageBuilder() << launcherPath << " carries no package: it is not a packed Tervo launcher");
    }
    return *package;
}

} // namespace

void Reporter::writeLine(FILE* stream, const tstring& line) {
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
        const tstring text = line + L"\n";
        DWORD written = 0;
        WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    const std::string text = tstrings::encodeUtf8(line) + "\n";
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

void Reporter::say(const tstring& line) const { writeLine(out, line); }
void Reporter::progress(const tstring& line) const { writeLine(err, line); }

void packPackage(const PackOptions& options, const Reporter& reporter) {
    const tstring packagePath = FileUtils::toAbsolutePath(options.input);
    const tstring outputPath = FileUtils::toAbsolutePath(options.output);
    const tstring stubPath = options.stub.empty() ? defaultStubPath() : FileUtils::toAbsolutePath(options.stub);
    if (FileUtils::foldPath(outputPath) == FileUtils::foldPath(packagePath) ||
        FileUtils::foldPath(outputPath) == FileUtils::foldPath(stubPath)) {
        fail(tstrings::MessageBuilder() << "The output must be another file than the package and the stub: "
                                        << outputPath);
    }

    const ProductInfo product = readProductInfo(packagePath);
    tstring productCode;
    if (!options.productCode.empty()) {
        productCode = canonicalProductCode(options.productCode, "given with --product-code");
    } else if (product.productCode.empty()) {
        fail(tstrings::MessageBuilder() << packagePath
                                        << " has no ProductCode property; give the product code with --product-code");
    } else {
        productCode = canonicalProductCode(product.productCode, "in the package's ProductCode property");
    }
    if (product.version.empty()) {
        fail(tstrings::MessageBuilder() << packagePath << " has no ProductVersion property");
    }

    const PeImage stub = openLauncher(stubPath, "launcher stub");
    ResourceTree resources = stub.resources();
    if (!resources.contains(ResourceTypes::rcData, ResourceNames::launcherMarker)) {
        fail(tstrings::MessageBuilder() << stubPath << " is not a Tervo launcher stub");
    }

    const auto package = SourceFile::open(packagePath);
    resources.replace(ResourceTypes::rcData, ResourceNames::package, LANG_NEUTRAL,
                      DataBlock(package, 0, package->size()));
    const std::string codeBytes = tstrings::encodeUtf8(productCode);
    resources.replace(ResourceTypes::rcData, ResourceNames::productCode, LANG_NEUTRAL,
                      DataBlock(std::vector<char>(codeBytes.begin(), codeBytes.end())));
    const tstring productName =
        product.name.empty() ? FileUtils::withExtension(FileUtils::leafName(packagePath), L"") : product.name;
    setVersionResource(resources, VersionStrings{productName, product.version, product.manufacturer,
                                                 productName + L" Setup", product.version,
                                                 FileUtils::leafName(outputPath)});
    if (!options.icon.empty()) {
        IconFile::read(FileUtils::toAbsolutePath(options.icon)).addTo(resources);
    }

    FileUtils::StagedFileWriter writer(outputPath);
    StagedSink sink(writer, reporter, FileUtils::leafName(outputPath), stub.fileSize() + package->size(),
                    !options.quiet && package->size() >= progressThreshold);
    const ImageLayout layout = writeImage(stub, resources, sink);
    writer.commit();

    if (!options.quiet) {
        reporter.say((tstrings::MessageBuilder() << L"Wrote " << outputPath << L": " << productName << L" "
                                                 << product.version << L", product code " << productCode << L", "
                                                 << describeSize(layout.fileSize))
                         .str());
    }
}

void inspectLauncher(const PackOptions& options, const Reporter& reporter) {
    const tstring launcherPath = FileUtils::toAbsolutePath(options.input);
    const PeImage launcher = openLauncher(launcherPath, "launcher");
    const ResourceTree resources = launcher.resources();
    const DataBlock& package = packageOf(resources, launcherPath);
    const DataBlock* code = resources.find(ResourceTypes::rcData, ResourceNames::productCode);
    tstring codeText = L"(none)";
    if (code) {
        const std::vector<char> bytes = code->load();
        codeText = tstrings::decodeUtf8OrWiden(std::string(bytes.begin(), bytes.end()));
    }

    // The installer reads databases from files only: the package goes to a temporary file first.
    const tstring tempPath = FileUtils::createTempFile(L"inspect", L".msi", SysInfo::getTempDir());
    FileUtils::DeletionList cleanup;
    cleanup.addFile(tempPath);
    {
        FileUtils::StagedFileWriter writer(tempPath);
        StagedSink sink(writer, reporter, FileUtils::leafName(tempPath), 0, false);
        package.writeTo(sink);
        writer.commit();
    }
    const ProductInfo product = readProductInfo(tempPath);

    reporter.say(L"Launcher:      " + launcherPath);
    reporter.say(L"Product code:  " + codeText);
    reporter.say((tstrings::MessageBuilder() << L"Package size:  " << package.size() << L" bytes").str());
    reporter.say(L"Product name:  " + product.name);
    reporter.say(L"Version:       " + product.version);
    reporter.say(L"Manufacturer:  " + product.manufacturer);
    if (!product.productCode.empty() && !tstrings::equal(product.productCode, codeText, tstrings::IGNORE_CASE)) {
        reporter.say(L"Note: the package's own ProductCode is " + product.productCode);
    }
}

void extractPackage(const PackOptions& options, const Reporter& reporter) {
    const tstring launcherPath = FileUtils::toAbsolutePath(options.input);
    const tstring outputPath = FileUtils::toAbsolutePath(options.output);
    if (FileUtils::foldPath(outputPath) == FileUtils::foldPath(launcherPath)) {
        fail(tstrings::MessageBuilder() << "The output must be another file than the launcher: " << outputPath);
    }
    const PeImage launcher = openLauncher(launcherPath, "launcher");
    const ResourceTree resources = launcher.resources();
    const DataBlock& package = packageOf(resources, launcherPath);

    FileUtils::StagedFileWriter writer(outputPath);
    StagedSink sink(writer, reporter, FileUtils::leafName(outputPath), package.size(),
                    !options.quiet && package.size() >= progressThreshold);
    package.writeTo(sink);
    writer.commit();
    if (!options.quiet) {
        reporter.say((tstrings::MessageBuilder() << L"Wrote " << outputPath << L": " << package.size() << L" bytes")
                         .str());
    }
}

} // namespace pack
