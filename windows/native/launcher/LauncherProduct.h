// What a launcher tells about the product it carries, from its own resources besides the package:
// its version block, the package's file name, its product code, and whether it keeps a default log.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "EmbeddedPackage.h"
#include "Guid.h"
#include "PackageProperties.h"
#include "WinHeaders.h"
#include "tstrings.h"

class LauncherProduct {
public:
    // `module` is the launcher's image and `modulePath` its file; nothing is read yet.
    LauncherProduct(HMODULE module, const tstring& modulePath);

    // The launcher's file name, as messages and captions show it.
    tstring programName() const;
    // The launcher's image, for its version block, and its file.
    HMODULE module() const { return image; }
    const tstring& path() const { return modulePath; }

    // The package the launcher carries (see EmbeddedPackage for what throws).
    EmbeddedPackage package() const { return EmbeddedPackage(image, modulePath); }
    // Rows of the package's Property table, read from the loaded image: only the few pages that
    // lead to them, whatever the package's size, and nothing of its checksum. nullopt, with the
    // reason in *why, when there is no package or it is not a well-formed installer database.
    std::optional<PackageProperties::Properties> packageProperties(const std::vector<std::string>& names,
                                                                   std::string* why = nullptr) const;

    // The start of the default log's name: the version block's ProductName made fit for a file
    // name, or the launcher's file name without its extension when there is none.
    tstring logBaseName() const;
    // False when the packer was told that the product logs by itself (DEFAULT_LOG holds "off").
    bool keepsDefaultLog() const;
    // False when the packer was told to keep no package cache (PACKAGE_CACHE holds "off").
    bool keepsPackageCache() const;

    // The name /extract gives the package: MSI_FILENAME when it holds a plain file name; else
    // "<ProductName> <ProductVersion>.msi" from the version block; else package.msi.
    tstring packageFileName() const;
    // The name the package cache gives the package: MSI_FILENAME when it holds a plain file name,
    // else main.msi.
    tstring cachedPackageFileName() const;

    // The product code of PRODUCT_CODE. A launcher without a readable one carries no product to
    // remove: throws TervoError<std::runtime_error> saying so in plain words, after an ERROR
    // record with the underlying failure.
    Guid productCode() const;
    // The same, once it is confirmed to be the ProductCode of the package the launcher carries, so
    // that a launcher never removes another product: else throws TervoError<std::runtime_error>
    // that names both codes, or says that the package cannot be read, in plain words.
    Guid confirmedProductCode() const;

private:
    HMODULE image;
    tstring modulePath;
};
