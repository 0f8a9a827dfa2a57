#include "FileUtils.h"

#include <cstdlib>
#include <stdexcept>

#include "ErrorHandling.h"
#include "WinHeaders.h"

namespace FileUtils {

tstring toAbsolutePath(const tstring& path) {
    if (path.empty()) {
        wchar_t* buffer = _wgetcwd(nullptr, 0);
        if (!buffer) {
            throw TervoError<std::runtime_error>(std::runtime_error("_tgetcwd() failed"));
        }
        const tstring result(buffer);
        free(buffer);
        if (result.empty()) {
            throw TervoError<std::runtime_error>(std::runtime_error("_tgetcwd() returned empty string"));
        }
        return result;
    }
    wchar_t* buffer = _wfullpath(nullptr, path.c_str(), 0);
    if (!buffer) {
        throw TervoError<std::runtime_error>(
            std::runtime_error((tstrings::MessageBuilder() << "_tfullpath(" << path << ") failed").utf8()));
    }
    const tstring result(buffer);
    free(buffer);
    return result;
}

} // namespace FileUtils
