#include "TempFolder.h"

#include <stdexcept>

#include "ErrorHandling.h"
#include "FileUtils.h"
#include "SysInfo.h"
#include "WinErrorHandling.h"

namespace {

[[noreturn]] void throwPlain(const tstrings::MessageBuilder& message) {
    throw TervoError<std::runtime_error>(std::runtime_error(message.utf8()));
}

} // namespace

tstring usableTempFolder() {
    tstring folder;
    try {
        folder = SysInfo::getTempDir();
    } catch (const SysError& e) {
        reportException(SourceLocation(), e);
        // The system takes the first of TMP and TEMP that is set.
        const tstring tmp = SysInfo::getEnvVariable(std::nothrow, L"TMP", L"");
        const tstring named = tmp.empty() ? SysInfo::getEnvVariable(std::nothrow, L"TEMP", L"") : tmp;
        throwPlain(tstrings::MessageBuilder() << "The temporary folder " << named << " (" << (tmp.empty() ? "TEMP" : "TMP")
                                              << ") is " << named.size() << " characters long, more than the system takes ("
                                              << MAX_PATH - 1 << "): set TMP and TEMP to a shorter path.");
    }
    try {
        FileUtils::deleteFile(FileUtils::createTempFile(tstring(), L".tmp", folder));
        return folder;
    } catch (const SysError& e) {
        reportException(SourceLocation(), e);
        tstrings::MessageBuilder message;
        message << "The temporary folder " << folder;
        if (!FileUtils::pathExists(folder)) {
            message << " does not exist: create it, or set TMP and TEMP to a folder that exists.";
        } else if (!FileUtils::isDirectory(folder)) {
            message << " is a file, not a folder: set TMP and TEMP to a folder.";
        } else if (e.code() == ERROR_ACCESS_DENIED) {
            message << " cannot be written: set TMP and TEMP to a folder you may write.";
        } else {
            message << " cannot be used (" << systemErrorText(e.code()) << "): set TMP and TEMP to another folder.";
        }
        throwPlain(message);
    }
}
