// Pure operations on path strings. Both slash and backslash separate on input; every
// separator inserted is a backslash. Nothing here touches the file system or throws.
#pragma once

#include "tstrings.h"

namespace FileUtils {

bool isSeparator(wchar_t c);

// The directory part, without the separators before the last component: C:\dir gives C:.
tstring parentPath(const tstring& path);

// What follows the last separator; the whole path when there is none.
tstring leafName(const tstring& path);

// The extension of the last component, full stop included, or empty.
tstring extensionOf(const tstring& path);

tstring withExtension(const tstring& path, const tstring& extension);

// The two joined by one backslash; an empty side gives the other one unchanged.
tstring joinPath(const tstring& first, const tstring& second);

tstring trimTrailingSeparators(const tstring& path);

// Slashes turned into backslashes, then ASCII letters lower-cased; for comparing paths.
tstring foldPath(const tstring& path);

// Joins pieces one after another with joinPath.
class PathBuilder {
public:
    PathBuilder() = default;
    explicit PathBuilder(const tstring& start) : path(start) {}

    PathBuilder& operator<<(const tstring& piece) {
        path = joinPath(path, piece);
        return *this;
    }

    operator const tstring&() const { return path; }
    const tstring& str() const { return path; }

private:
    tstring path;
};

} // namespace FileUtils
