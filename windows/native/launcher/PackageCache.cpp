#include "PackageCache.h"

#include <shlobj.h>

#include <algorithm>
#include <functional>
#include <stdexcept>

#include "ErrorHandling.h"
#include "Log.h"
#include "ModuleVersion.h"
#include "MsiUtils.h"
#include "PathUtils.h"
#include "SysInfo.h"
#include "WinErrorHandling.h"

namespace PackageCache {

namespace {

constexpr size_t braced = 38;
constexpr size_t longestVersion = 64;

// The launcher's folders below the system's folder, outermost first.
constexpr const wchar_t* ownFolders[] = {L"Tervo", L"Package Cache"};

// The system's folder a cache lies in: ProgramData for the machine's, LocalAppData for the user's.
tstring cacheBase(bool machine) {
    return SysInfo::getKnownFolder(machine ? FOLDERID_ProgramData : FOLDERID_LocalAppData);
}

void warn(const tstrings::MessageBuilder& message, const SourceLocation& location = std::source_location::current()) {
    if (Logger::global().accepts(Severity::WARNING)) {
        logAt(Severity::WARNING, message, location);
    }
}

void inform(const tstrings::MessageBuilder& message, const SourceLocation& location = std::source_location::current()) {
    if (Logger::global().accepts(Severity::INFO)) {
        logAt(Severity::INFO, message, location);
    }
}

// The product code a cache folder's name starts with; none for a name the launcher does not make.
std::optional<Guid> folderProduct(const tstring& name) {
    if (name.size() <= braced + 1 || name[0] != L'{' || name[braced] != L'v') {
        return std::nullopt;
    }
    try {
        return Guid(name.substr(0, braced));
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
}

// Removes the folders of the cache below `base` for which `doomed` says so. The cache is read only
// where the launcher's folders on the way are plain folders: a link there could lead anywhere.
void removeFolders(const tstring& base, const std::function<bool(const Guid&, const tstring&)>& doomed) {
    tstring root = base;
    for (const wchar_t* folder : ownFolders) {
        root = FileUtils::joinPath(root, folder);
        if (!FileUtils::isDirectory(root) || isReparsePoint(root)) {
            return;
        }
    }
    tstring_array entries;
    FileUtils::DirectoryIterator(root).recurse(false).includeFiles(false).collect(entries);
    for (const tstring& path : entries) {
        const tstring name = FileUtils::leafName(path);
        const std::optional<Guid> product = folderProduct(name);
        if (!product || !doomed(*product, name)) {
            continue;
        }
        // A link is removed itself; deleting through it would empty what it leads to.
        const bool removed = isReparsePoint(path) ? FileUtils::deleteDirectory(path, std::nothrow)
                                                  : FileUtils::deleteDirectoryTree(path, std::nothrow);
        if (!removed) {
            warn(tstrings::MessageBuilder() << "The package cache folder [" << path
                                            << "] cannot be removed now (a file in it is in use); the next run tries again");
        }
    }
}

// Every cache this run may write: the machine's only when elevated, where its folders are the
// administrators'.
void removeEverywhere(const std::function<bool(const Guid&, const tstring&)>& doomed) {
    const bool elevated = SysInfo::isElevated();
    for (const bool machine : {true, false}) {
        if (machine && !elevated) {
            continue;
        }
        runReporting([&] { removeFolders(cacheBase(machine), doomed); });
    }
}

bool isInstalled(const Guid& product) {
    return MsiQueryProductStateW(product.toString().c_str()) != INSTALLSTATE_UNKNOWN;
}

// Whatever stands in a version folder besides the package: the package's own name is replaced as
// it is written, the rest may come from whoever made the folder first.
void emptyFolderExcept(const tstring& folder, const tstring& keep) {
    tstring_array entries;
    FileUtils::DirectoryIterator(folder).recurse(false).collect(entries);
    for (const tstring& path : entries) {
        if (tstrings::equal(FileUtils::leafName(path), keep, tstrings::IGNORE_CASE) && !isReparsePoint(path)) {
            continue;
        }
        if (FileUtils::isDirectory(path) && !isReparsePoint(path)) {
            FileUtils::deleteDirectoryTree(path);
        } else if (FileUtils::isDirectory(path)) {
            FileUtils::deleteDirectory(path);
        } else {
            FileUtils::deleteFile(path);
        }
    }
}

} // namespace

bool installsPerUser(const LauncherCommandLine& commandLine, const std::optional<tstring>& packageAllUsers,
                     const std::optional<tstring>& packagePerUser) {
    if (commandLine.verb() == L"/ju" || commandLine.verb() == L"/jm") {
        return commandLine.verb() == L"/ju";
    }
    if (commandLine.namesTransforms()) {
        return false;
    }
    const tstring allUsers = commandLine.property(L"ALLUSERS").value_or(packageAllUsers.value_or(L""));
    const tstring perUser = commandLine.property(L"MSIINSTALLPERUSER").value_or(packagePerUser.value_or(L""));
    return allUsers.empty() || (allUsers == L"2" && perUser == L"1");
}

tstring versionFolderName(const Guid& productCode, const tstring& version) {
    const bool plain = !version.empty() && version.size() <= longestVersion && version.front() != L'.' &&
                       version.back() != L'.' &&
                       std::all_of(version.begin(), version.end(), [](wchar_t c) { return c == L'.' || (c >= L'0' && c <= L'9'); });
    return plain ? productCode.toString() + L"v" + version : tstring();
}

tstring machineFolderSecurity() { return L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)"; }

tstring userFolderSecurity(const tstring& userSid) {
    return L"O:" + userSid + L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + userSid + L")";
}

Placement::Placement(const LauncherCommandLine& commandLine, const LauncherProduct& product) {
    const bool elevated = SysInfo::isElevated();
    // What the cache cannot safely do is a warning; what the run's rules decide is not.
    const auto useTemporaryDirectory = [&](const tstring& why, Severity level = Severity::INFO) {
        reason = why;
        if (Logger::global().accepts(level)) {
            logAt(level, tstrings::MessageBuilder() << why);
        }
        placeInTemporaryDirectory(product, elevated);
    };
    // An administrative image registers no product, so nothing would ever use the copy.
    if (commandLine.verb() == L"/a") {
        placeInTemporaryDirectory(product, elevated);
        return;
    }
    if (!product.keepsPackageCache()) {
        inform(tstrings::MessageBuilder() << "No package cache: this launcher was packed without one");
        placeInTemporaryDirectory(product, elevated);
        return;
    }
    std::string why;
    const auto properties =
        product.packageProperties({"ProductCode", "ProductVersion", "ALLUSERS", "MSIINSTALLPERUSER"}, &why);
    const auto value = [&](const char* name) -> std::optional<tstring> {
        if (!properties || !properties->values.count(name)) {
            return std::nullopt;
        }
        return tstrings::decodeUtf8OrWiden(properties->values.at(name));
    };
    try {
        productCode = Guid(value("ProductCode").value_or(L""));
    } catch (const std::runtime_error&) {
        useTemporaryDirectory(L"No package cache: the package's ProductCode cannot be read" +
                              (properties ? tstring() : L" (" + tstrings::decodeUtf8OrWiden(why) + L")"));
        return;
    }
    tstring folderName = versionFolderName(*productCode, value("ProductVersion").value_or(L""));
    if (folderName.empty()) {
        folderName = versionFolderName(*productCode, ModuleVersion::versionString(product.module(), L"ProductVersion"));
    }
    if (folderName.empty()) {
        useTemporaryDirectory(L"No package cache: the package has no ProductVersion of digits and dots");
        return;
    }
    if (!elevated && !installsPerUser(commandLine, value("ALLUSERS"), value("MSIINSTALLPERUSER"))) {
        useTemporaryDirectory(L"No package cache: this run is not elevated and the package installs per machine, so it "
                              L"is installed from a temporary folder and a repair will ask for the package again; run "
                              L"the launcher elevated to keep it");
        return;
    }

    try {
        const tstring base = cacheBase(elevated);
        // The system's folder is not the launcher's to replace.
        if (isReparsePoint(base)) {
            throw TervoError<std::runtime_error>(std::runtime_error(
                (tstrings::MessageBuilder() << base << " is a link, which the cache does not follow").utf8()));
        }
        const SecurityDescriptor security(elevated ? machineFolderSecurity()
                                                   : userFolderSecurity(SysInfo::getCurrentUserSid()));
        tstring folder = base;
        for (const wchar_t* own : ownFolders) {
            folder = FileUtils::joinPath(folder, own);
            chain.push_back(std::make_unique<SecureFolder>(folder, security));
        }
        versionFolder = std::make_unique<SecureFolder>(FileUtils::joinPath(folder, folderName), security);
        const tstring fileName = product.cachedPackageFileName();
        emptyFolderExcept(versionFolder->path(), fileName);
        package = FileUtils::joinPath(versionFolder->path(), fileName);
    } catch (const std::runtime_error& e) {
        runReporting([&] { reportException(SourceLocation(), e); });
        abandonCacheFolder();
        useTemporaryDirectory(L"No package cache: its folder cannot be made safe; see the record before this one",
                              Severity::WARNING);
        return;
    }
    try {
        product.package().saveToFile(package);
    } catch (const TervoError<SysError>& e) {
        runReporting([&] { reportException(SourceLocation(), e); });
        abandonCacheFolder();
        useTemporaryDirectory(L"No package cache: the package cannot be written into its folder; see the record before this one",
                              Severity::WARNING);
        return;
    } catch (...) {
        abandonCacheFolder();
        throw;
    }
    // Held so that nobody changes or removes it while msiexec reads it.
    heldPackage.reset(CreateFileW(package.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    inform(tstrings::MessageBuilder() << "Package cache: [" << package << "]");
}

Placement::~Placement() = default;

void Placement::abandonCacheFolder() noexcept {
    runReporting([&] {
        const tstring folder = versionFolder ? versionFolder->path() : tstring();
        heldPackage.reset();
        versionFolder.reset();
        chain.clear();
        package.clear();
        // What the installer may still need stays: an earlier package of this version of an installed product.
        if (!folder.empty() && productCode && !isInstalled(*productCode)) {
            FileUtils::deleteDirectoryTree(folder, std::nothrow);
        }
    });
}

void Placement::placeInTemporaryDirectory(const LauncherProduct& product, bool elevated) {
    // An elevated installer reads the package: the directory is the user's and the administrators' alone.
    std::unique_ptr<SecurityDescriptor> security;
    if (elevated) {
        security = std::make_unique<SecurityDescriptor>(userFolderSecurity(SysInfo::getCurrentUserSid()));
    }
    const tstring directory = FileUtils::createTempDirectory(tstring(), L".tmp", SysInfo::getTempDir(),
                                                             security ? security->get() : nullptr);
    temporary = std::make_unique<FileUtils::DeletionList>();
    temporary->addDirectoryTree(directory);
    package = FileUtils::PathBuilder() << directory << L"main.msi";
    product.package().saveToFile(package);
}

void Placement::finish(int status) noexcept {
    runReporting([&] {
        if (!versionFolder || !productCode) {
            prune();
            return;
        }
        const tstring name = FileUtils::leafName(versionFolder->path());
        heldPackage.reset();
        versionFolder.reset();
        chain.clear();
        // One pass: the pruning of products that are not installed takes this run's folder too when
        // the run failed and left its product uninstalled; a success also retires the other versions.
        const Guid product = *productCode;
        const bool succeeded = msi::isSuccessStatus(static_cast<UINT>(status));
        removeEverywhere([&](const Guid& code, const tstring& entry) {
            return (succeeded && code.toString() == product.toString() && entry != name) || !isInstalled(code);
        });
    });
}

void removeProduct(const Guid& productCode) noexcept {
    runReporting([&] {
        removeEverywhere([&](const Guid& code, const tstring&) { return code.toString() == productCode.toString(); });
    });
}

void prune() noexcept {
    runReporting([] { removeEverywhere([](const Guid& code, const tstring&) { return !isInstalled(code); }); });
}

} // namespace PackageCache
