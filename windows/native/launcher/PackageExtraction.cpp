#include "PackageExtraction.h"

#include <stdexcept>

#include "ErrorHandling.h"
#include "FileUtils.h"
#include "WinErrorHandling.h"

namespace {

[[noreturn]] void refuse(const tstring& folder, const tstrings::MessageBuilder& why) {
    throw TervoError<std::runtime_error>(std::runtime_error(
        (tstrings::MessageBuilder() << "Cannot extract the package into " << folder << ": " << why.str()).utf8()));
}

// Removes, deepest first, the empty folders that `made` lists in the order they were made.
void removeMadeFolders(const tstring_array& made) {
    FileUtils::DeletionList cleanup;
    for (auto dir = made.rbegin(); dir != made.rend(); ++dir) {
        cleanup.addEmptyDirectory(*dir);
    }
}

} // namespace

tstring extractPackage(const tstring& typed, const LauncherProduct& product) {
    tstring folder;
    try {
        folder = FileUtils::toAbsolutePath(typed);
    } catch (const std::runtime_error& e) {
        reportException(SourceLocation(), e);
        refuse(typed, tstrings::MessageBuilder() << "its path is longer than the system takes (" << MAX_PATH - 1
                                                 << " characters); choose a shorter one.");
    }
    // NUL, CON and their kind are devices wherever they are named.
    if (tstrings::hasPrefix(folder, L"\\\\.\\")) {
        refuse(typed, tstrings::MessageBuilder() << "it is a device, not a folder; choose a folder.");
    }
    const tstring name = product.packageFileName();
    const tstring path = FileUtils::joinPath(folder, name);
    if (FileUtils::isDirectory(path)) {
        refuse(folder, tstrings::MessageBuilder() << "a folder named " << name
                                                  << " stands where the package would go; remove it or choose another folder.");
    }
    if (tstrings::equal(FileUtils::toAbsolutePath(product.path()), path, tstrings::IGNORE_CASE)) {
        refuse(folder, tstrings::MessageBuilder() << "the package's name " << name << " is this program's own file "
                                                                                      "there; choose another folder.");
    }
    // Folders made here go again if the package cannot be written.
    tstring_array made;
    try {
        FileUtils::createDirectoryChain(folder, &made);
        product.package().saveToFile(path);
    } catch (const TervoError<SysError>& e) {
        removeMadeFolders(made);
        // What the system refused of the folder or the file in it; the launcher's own reads never come here.
        refuse(folder, tstrings::MessageBuilder() << e.plainMessage());
    } catch (...) {
        removeMadeFolders(made);
        throw;
    }
    return path;
}
