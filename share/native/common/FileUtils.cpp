#include "FileUtils.h"

#include <algorithm>
#include <exception>
#include <stdexcept>

#include "ErrorHandling.h"

namespace FileUtils {

DirectoryIterator& DirectoryIterator::collect(tstring_array& list) {
    if (!isDirectory(root)) {
        return *this;
    }
    iterateDirectory(root, *this);
    list.insert(list.end(), items.begin(), items.end());
    items.clear();
    return *this;
}

bool DirectoryIterator::visitFile(const tstring& path) {
    if (filesIncluded) {
        items.push_back(path);
    }
    return true;
}

bool DirectoryIterator::visitDirectory(const tstring& path) {
    if (directoriesIncluded) {
        items.push_back(path);
    }
    if (recurseInto) {
        DirectoryIterator(path)
            .recurse(recurseInto)
            .includeFiles(filesIncluded)
            .includeDirectories(directoriesIncluded)
            .collect(items);
    }
    return true;
}

tstring createTempDirectory(const tstring& prefix, const tstring& suffix, const tstring& directory,
                            void* securityDescriptor) {
    std::exception_ptr lastFailure;
    for (int attempt = 0; attempt < 100; ++attempt) {
        // The file reserves the name through exclusive creation until the directory takes its place.
        const tstring path = createTempFile(prefix, suffix, directory);
        deleteFile(path);
        // Another process can take the name between the file's removal and the directory's
        // creation, with a placeholder or a directory of its own: the next name is tried then. A
        // directory this call did not create itself is never handed out, and a failure that
        // persists is passed on as it is.
        try {
            if (createNewDirectory(path, securityDescriptor)) {
                return path;
            }
        } catch (const std::runtime_error&) {
            lastFailure = std::current_exception();
        }
    }
    if (lastFailure) {
        std::rethrow_exception(lastFailure);
    }
    throw TervoError<std::runtime_error>(std::runtime_error(
        (tstrings::MessageBuilder() << "createTempDirectory(" << prefix << ", " << suffix << ", " << directory
                                    << ") failed")
            .utf8()));
}

DeletionList::~DeletionList() {
    std::vector<Entry> pending = std::move(entries);
    entries.clear();
    std::stable_sort(pending.begin(), pending.end(),
                     [](const Entry& a, const Entry& b) { return a.kind < b.kind; });
    for (const Entry& entry : pending) {
        // The operations do not throw; the guard only keeps an allocation failure from ending the process.
        runReporting([&] {
            switch (entry.kind) {
            case DeletionKind::File:
                deleteFile(entry.path, std::nothrow);
                break;
            case DeletionKind::FilesInDirectory:
                deleteFilesInDirectory(entry.path, std::nothrow);
                break;
            case DeletionKind::DirectoryTree:
                deleteDirectoryTree(entry.path, std::nothrow);
                break;
            case DeletionKind::EmptyDirectory:
                deleteDirectory(entry.path, std::nothrow);
                break;
            }
        });
    }
}

DeletionList& DeletionList::addFile(const tstring& path) {
    entries.push_back({path, DeletionKind::File});
    return *this;
}

DeletionList& DeletionList::addFilesInDirectory(const tstring& directory) {
    entries.push_back({directory, DeletionKind::FilesInDirectory});
    return *this;
}

DeletionList& DeletionList::addDirectoryTree(const tstring& directory) {
    entries.push_back({directory, DeletionKind::DirectoryTree});
    return *this;
}

DeletionList& DeletionList::addEmptyDirectory(const tstring& directory) {
    entries.push_back({directory, DeletionKind::EmptyDirectory});
    return *this;
}

DeletionList& DeletionList::addEmptyDirectoryChain(const std::pair<tstring, tstring>& rootAndRelativePath) {
    // Compared as the system resolves them before deleting (. and .., trailing dots and blanks),
    // so that no spelling of the relative path reaches the root or anything above it.
    const tstring root = foldPath(trimTrailingSeparators(toAbsolutePath(rootAndRelativePath.first)));
    const tstring path = foldPath(trimTrailingSeparators(
        toAbsolutePath(joinPath(rootAndRelativePath.first, rootAndRelativePath.second))));
    if (path.size() <= root.size() + 1 || path.compare(0, root.size(), root) != 0 || !isSeparator(path[root.size()])) {
        return *this;
    }
    const tstring_array names = tstrings::splitBy(path.substr(root.size() + 1), L"\\");
    // A name of dots and blanks left inside the path would be the last one of a scheduled parent,
    // which the system strips: "root\. ." is the root.
    if (std::any_of(names.begin(), names.end(),
                    [](const tstring& name) { return name.find_first_not_of(L". ") == tstring::npos; })) {
        return *this;
    }
    tstring_array chain;
    tstring directory = root;
    for (const tstring& name : names) {
        directory += L'\\' + name;
        chain.push_back(directory);
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        addEmptyDirectory(*it);
    }
    return *this;
}

DeletionList& DeletionList::clear() {
    entries.clear();
    return *this;
}

} // namespace FileUtils
