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

// Whether `name` can stand as one file name in a folder on Windows, whatever the folder: 1 to 255
// UTF-16 units, no separator, none of < > : " | ? * nor a control character, not ending in a
// blank or a full stop (which Windows drops), not . or .., and not a device name (CON, PRN, AUX,
// NUL, COM1 to COM9, LPT1 to LPT9, in any case, with or without an extension).
bool isPlainFileName(const tstring& name);

// `text` made into a plain file name part: every character that no file name may hold becomes an
// underscore, blanks and full stops at the end go, and it is cut to `maxLength` UTF-16 units
// (never inside a surrogate pair). Empty when nothing is left; the caller adds the extension.
tstring toFileNamePart(const tstring& text, size_t maxLength);

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
