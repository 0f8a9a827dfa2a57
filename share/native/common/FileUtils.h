// Operations on the file system. Every failure throws a TervoError; the forms that take
// std::nothrow never throw.
#pragma once

#include <new>

#include "PathUtils.h"
#include "tstrings.h"

namespace FileUtils {

// The absolute path with . and .. resolved; the current directory for an empty path.
tstring toAbsolutePath(const tstring& path);

} // namespace FileUtils
