// The failures of the packaging tool: a message for the user, in UTF-8, that names the user's
// own file and the reason, and the place in the code that raised it.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

namespace pack {

class Error : public std::runtime_error {
public:
    explicit Error(const std::string& message, const std::source_location& location = std::source_location::current())
        : std::runtime_error(message), where(location) {}

    const std::source_location& location() const noexcept { return where; }

private:
    std::source_location where;
};

// A command line the tool cannot follow; the tool prints the text and the usage and exits 2.
class UsageError : public Error {
public:
    using Error::Error;
};

// Why the system refused a file operation, in words that read the same on every system.
enum class Reason { NotFound, FolderMissing, IsDirectory, AccessDenied, InUse, DiskFull, Other };

// The words for `reason`; `systemText` (the system's own description) for Reason::Other.
std::string describeReason(Reason reason, const std::string& systemText);

} // namespace pack
