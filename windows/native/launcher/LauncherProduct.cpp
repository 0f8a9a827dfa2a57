#include "LauncherProduct.h"

#include <stdexcept>
#include <string>
#include <vector>

#include "EmbeddedPackage.h"
#include "ErrorHandling.h"
#include "Log.h"
#include "ModuleVersion.h"
#include "PathUtils.h"
#include "Resources.h"

namespace {

// Long enough for any product's name, short enough to leave room for the rest of the path.
constexpr size_t maxNamePart = 100;

// The bytes of an RCDATA resource of the launcher; empty when it has none.
std::string resourceText(HMODULE module, const wchar_t* name) {
    const Resource resource(name, RT_RCDATA, module);
    if (!resource.available()) {
        return {};
    }
    const std::vector<std::uint8_t> bytes = resource.bytes();
    return std::string(bytes.begin(), bytes.end());
}

} // namespace

LauncherProduct::LauncherProduct(HMODULE module, const tstring& modulePath) : image(module), modulePath(modulePath) {}

tstring LauncherProduct::programName() const { return FileUtils::leafName(modulePath); }

tstring LauncherProduct::logBaseName() const {
    const tstring product = FileUtils::toFileNamePart(ModuleVersion::versionString(image, L"ProductName"), maxNamePart);
    if (!product.empty()) {
        return product;
    }
    const tstring program = programName();
    const tstring extension = FileUtils::extensionOf(program);
    return FileUtils::toFileNamePart(program.substr(0, program.size() - extension.size()), maxNamePart);
}

bool LauncherProduct::keepsDefaultLog() const { return resourceText(image, L"default_log") != "off"; }

bool LauncherProduct::keepsPackageCache() const { return resourceText(image, L"package_cache") != "off"; }

tstring LauncherProduct::packageFileName() const {
    const tstring stored = tstrings::decodeUtf8(resourceText(image, L"msi_filename"));
    if (FileUtils::isPlainFileName(stored)) {
        return stored;
    }
    if (!stored.empty() && Logger::global().accepts(Severity::WARNING)) {
        logAt(Severity::WARNING, tstrings::MessageBuilder()
                                     << "MSI_FILENAME [" << stored << "] is no plain file name; it is not used");
    }
    const tstring name = ModuleVersion::versionString(image, L"ProductName");
    const tstring version = ModuleVersion::versionString(image, L"ProductVersion");
    const tstring fromVersion = FileUtils::toFileNamePart(version.empty() ? name : name + L" " + version, maxNamePart);
    return (fromVersion.empty() || name.empty() ? L"package" : fromVersion) + L".msi";
}

std::optional<PackageProperties::Properties> LauncherProduct::packageProperties(const std::vector<std::string>& names,
                                                                                std::string* why) const {
    const Resource resource(L"msi", RT_RCDATA, image);
    if (!resource.available()) {
        if (why) {
            *why = "the launcher carries no package";
        }
        return std::nullopt;
    }
    DWORD size = 0;
    const auto* data = static_cast<const std::uint8_t*>(resource.getPtr(size));
    return PackageProperties::read(PackageProperties::MemorySource(data, size), names, why);
}

tstring LauncherProduct::cachedPackageFileName() const {
    const tstring stored = tstrings::decodeUtf8(resourceText(image, L"msi_filename"));
    return FileUtils::isPlainFileName(stored) ? stored : L"main.msi";
}

Guid LauncherProduct::productCode() const {
    try {
        const std::vector<std::uint8_t> bytes = Resource(L"product_code", RT_RCDATA, image).bytes();
        return Guid(std::string(bytes.begin(), bytes.end()));
    } catch (const std::runtime_error& e) {
        reportException(SourceLocation(), e);
    }
    const tstring name = programName();
    throw TervoError<std::runtime_error>(std::runtime_error(
        (tstrings::MessageBuilder() << name << " carries no product to remove: its product code is missing or damaged, "
                                              "so it is not a complete launcher. Download "
                                    << name << " again.")
            .utf8()));
}

Guid LauncherProduct::confirmedProductCode() const {
    const Guid code = productCode();
    const tstring name = programName();
    std::string why = "it has no ProductCode";
    std::optional<std::string> packageText;
    if (const auto properties = packageProperties({"ProductCode"}, &why)) {
        if (const auto row = properties->values.find("ProductCode"); row != properties->values.end()) {
            packageText = row->second;
        }
    }
    if (!packageText) {
        if (Logger::global().accepts(Severity::ERROR)) {
            logAt(Severity::ERROR, tstrings::MessageBuilder() << "The ProductCode of the package inside [" << modulePath
                                                              << "] cannot be read: " << why);
        }
        throw TervoError<std::runtime_error>(std::runtime_error(
            (tstrings::MessageBuilder() << name << " cannot tell which product its package installs, so it removes "
                                                   "nothing. Download "
                                        << name << " again.")
                .utf8()));
    }
    std::optional<Guid> packageCode;
    try {
        packageCode = Guid(*packageText);
    } catch (const std::runtime_error& e) {
        reportException(SourceLocation(), e);
    }
    if (!packageCode || packageCode->toString() != code.toString()) {
        throw TervoError<std::runtime_error>(std::runtime_error(
            (tstrings::MessageBuilder() << name << " would remove the product " << code.toString()
                                        << ", but the package inside it installs " << tstrings::decodeUtf8OrWiden(*packageText)
                                        << ": it removes nothing. Download " << name << " again.")
                .utf8()));
    }
    return code;
}
