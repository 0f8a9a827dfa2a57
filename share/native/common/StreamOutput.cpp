// The library's output to C++ streams. It sits in a unit of its own so that programs that
// never write to a std::ostream do not link the standard stream and locale machinery, which
// would more than double the size of the launcher.
#include <ios>
#include <ostream>

#include "Log.h"
#include "app.h"
#include "tstrings.h"

namespace {

// Present exactly where the iostreams are: the debug console keeps them in step through it.
[[maybe_unused]] const bool standardStreamsFollowTheConsole =
    (app::syncStandardStreams = [] { std::ios_base::sync_with_stdio(true); }, true);

} // namespace

void StreamLogAppender::append(const LogRecord& record) { *stream << formatFullRecord(record) << std::endl; }

namespace tstrings {

std::ostream& operator<<(std::ostream& out, const MessageBuilder& builder) {
    const std::string text = builder.utf8();
    return out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

} // namespace tstrings
