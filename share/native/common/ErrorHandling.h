// The exception family of the library and the helpers that throw and report it.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>

#include "SourceLocation.h"
#include "tstrings.h"

// Common base of every TervoError: gives the wrapped exception's own message.
class TervoErrorBase {
public:
    virtual ~TervoErrorBase() = default;
    // The message without the source location.
    virtual const char* plainMessage() const noexcept = 0;
};

// "file(line) at function(): message"
std::string makeLocatedMessage(const std::runtime_error& error, const SourceLocation& location);

// An exception of type T that also carries where it was thrown; what() gives the located message.
template <class T>
class TervoError : public TervoErrorBase, public T {
public:
    TervoError(const T& error, const SourceLocation& location = std::source_location::current())
        : T(error), locatedMessage(makeLocatedMessage(error, location)) {}

    const char* plainMessage() const noexcept override { return T::what(); }
    const char* what() const noexcept override { return locatedMessage.c_str(); }

private:
    std::string locatedMessage;
};

// Joins two phrases with ". ", or one blank after a phrase that ends in one of ";.,:!?".
std::string joinMessages(const std::string& first, const std::string& second);

// The C runtime's text for the current errno, in UTF-8; empty when there is none.
std::string lastCrtErrorText();

// One ERROR record "Exception with message '<what>' caught" at the given location.
void reportException(const SourceLocation& location, const std::exception& error);
// One ERROR record "Unknown exception caught" at the given location.
void reportUnknownException(const SourceLocation& location);
// One ERROR record with the message, written whatever the logger's threshold.
void logErrorAt(const SourceLocation& location, const tstring& message);

// Runs `body`; a std::runtime_error escaping it is reported with reportException, anything
// else with reportUnknownException, both at `location`. Returns whether the body completed.
// For destructors and callbacks that must not throw: nothing escapes, not even a failing report.
template <class Body>
bool runReporting(Body&& body, const SourceLocation& location = std::source_location::current()) noexcept {
    try {
        body();
        return true;
    } catch (const std::runtime_error& e) {
        try {
            reportException(location, e);
        } catch (...) {
        }
    } catch (...) {
        try {
            reportUnknownException(location);
        } catch (...) {
        }
    }
    return false;
}
