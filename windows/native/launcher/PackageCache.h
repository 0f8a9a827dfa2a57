// Where the launcher puts its package for msiexec: in a cache folder of the product's own, which
// Windows records as the product's source and finds again for repairs, patches and upgrades, or,
// where no folder that others cannot write is to be had, in a new temporary directory that goes
// with the run.
//
// The per-machine cache, for elevated runs: %ProgramData%\Tervo\Package Cache\{ProductCode}v<ProductVersion>\.
// The per-user cache, for runs that are not elevated and install per user: the same below
// %LOCALAPPDATA%. A run that is neither (not elevated, per machine) uses the temporary directory:
// a folder the user can write must never be the source of a product that the installer service
// repairs as the system.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "FileUtils.h"
#include "Guid.h"
#include "LauncherCommandLine.h"
#include "LauncherProduct.h"
#include "SecureFolder.h"
#include "UniqueHandle.h"
#include "tstrings.h"

namespace PackageCache {

// Whether the package and the command line install per user: ALLUSERS empty (as the line sets it,
// else as the package has it), or 2 with MSIINSTALLPERUSER 1; /ju advertises per user, /jm per
// machine; transforms may change any of it and count as per machine.
bool installsPerUser(const LauncherCommandLine& commandLine, const std::optional<tstring>& packageAllUsers,
                     const std::optional<tstring>& packagePerUser);

// The folder name of one version of one product: {PRODUCTCODE}v<version>. Empty when the version
// is not one to put in a folder name (digits and dots, at most 64).
tstring versionFolderName(const Guid& productCode, const tstring& version);

// The SDDL of the folders: the system and administrators in full, and Users may read (per
// machine), or the user `userSid` in full (per user, and a temporary directory of an elevated run).
tstring machineFolderSecurity();
tstring userFolderSecurity(const tstring& userSid);

// The package of one run of msiexec, placed and held until the object goes; a temporary
// directory goes with it, a cache folder stays unless finish() found it of no use.
class Placement {
public:
    // Decides where the package goes and writes it there, staged and checked. A cache that cannot
    // be made safe (a link in the way that is not the launcher's, a folder that cannot be
    // secured) is left for the temporary directory, with a WARNING record. Throws what writing the
    // package throws (a damaged package, a full disk in the temporary directory).
    Placement(const LauncherCommandLine& commandLine, const LauncherProduct& product);
    ~Placement();
    Placement(const Placement&) = delete;
    Placement& operator=(const Placement&) = delete;

    const tstring& packagePath() const { return package; }
    // Why the package is not cached, in a line for the run's log; empty when it is, or when the
    // launcher was packed without a cache.
    const tstring& noCacheReason() const { return reason; }

    // After msiexec ended with `status`: a failed run whose product is not installed removes its
    // cache folder; a successful one removes the product's other versions; then every cache is
    // pruned. Never throws.
    void finish(int status) noexcept;

private:
    void placeInTemporaryDirectory(const LauncherProduct& product, bool elevated);
    // Lets go of a cache folder that will not be used, and removes it unless an installed product may need it.
    void abandonCacheFolder() noexcept;

    tstring package;
    tstring reason;
    std::optional<Guid> productCode;
    std::unique_ptr<SecureFolder> versionFolder;
    std::vector<std::unique_ptr<SecureFolder>> chain;
    UniqueHandle heldPackage;
    std::unique_ptr<FileUtils::DeletionList> temporary;
};

// Removes the cache folders of every version of `productCode` that this run may remove (per
// machine when elevated, per user always). A folder in use stays, with a WARNING. Never throws.
void removeProduct(const Guid& productCode) noexcept;

// Removes the cache folders of products that are no longer installed. Never throws.
void prune() noexcept;

} // namespace PackageCache
