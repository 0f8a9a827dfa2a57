#include "ErrorHandling.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>

#include "Log.h"
#include "WinHeaders.h"

std::string makeLocatedMessage(const std::runtime_error& error, const SourceLocation& location) {
    return tstrings::encodeUtf8(sourceFileName(location)) + "(" + std::to_string(location.line) + ") at " +
           (location.function ? location.function : "") + "(): " + error.what();
}

namespace {

bool isBlank(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x80 && std::isspace(byte);
}

} // namespace

std::string joinMessages(const std::string& first, const std::string& second) {
    size_t firstEnd = first.size();
    while (firstEnd > 0 && isBlank(first[firstEnd - 1])) {
        --firstEnd;
    }
    std::string text = first.substr(0, firstEnd);

    size_t separator = 0;
    if (firstEnd > 0) {
        if (std::strchr(";.,:!?", text.back()) == nullptr) {
            text += ". ";
            separator = 2;
        } else {
            text += " ";
            separator = 1;
        }
    }

    size_t secondBegin = 0;
    size_t secondEnd = second.size();
    while (secondBegin < secondEnd && isBlank(second[secondBegin])) {
        ++secondBegin;
    }
    while (secondEnd > secondBegin && isBlank(second[secondEnd - 1])) {
        --secondEnd;
    }
    if (secondBegin == secondEnd) {
        text.resize(text.size() - separator);
        return text;
    }
    return text + second.substr(secondBegin, secondEnd - secondBegin);
}

std::string lastCrtErrorText() {
    wchar_t buffer[2048] = {};
    if (_wcserror_s(buffer, std::size(buffer), errno) != 0) {
        return {};
    }
    return tstrings::encodeUtf8(buffer);
}

void logErrorAt(const SourceLocation& location, const tstring& message) {
    Logger::global().write(Severity::ERROR, sourceFileName(location), location.line,
                           tstrings::decodeUtf8(location.function ? location.function : ""), message);
}

void reportException(const SourceLocation& location, const std::exception& error) {
    // what() is UTF-8: decoded, so that non-ASCII text (a path, a user name) stays intact.
    logErrorAt(location, (tstrings::MessageBuilder() << "Exception with message '"
                                                     << tstrings::decodeUtf8OrWiden(error.what()) << "' caught")
                             .str());
}

void reportUnknownException(const SourceLocation& location) { logErrorAt(location, L"Unknown exception caught"); }
