// Where a throw or log site sits in the source: file, function and line.
#pragma once

#include <source_location>
#include <string>
#include <string_view>

#include "tstrings.h"

struct SourceLocation {
    const char* file;     // the compiler's spelling of the path; static lifetime
    const char* function; // the qualified function text, see normalizeFunctionName; static lifetime
    int line;

    SourceLocation(const char* file, const char* function, int line);

    // Implicit on purpose: declaring a parameter `const SourceLocation& loc =
    // std::source_location::current()` captures the caller's location.
    SourceLocation(const std::source_location& where = std::source_location::current());
};

// The file-name part of the location's path: what follows the last slash or backslash.
tstring sourceFileName(const SourceLocation& location);

// Turns a compiler's pretty function signature into the qualified name without return
// type and parameters, in the compiler-neutral form "msi::action<class msi::uninstall>::operator ()"
// or "FileUtils::`anonymous-namespace'::createDir".
std::string normalizedFunctionName(std::string_view prettyName);

// normalizedFunctionName of a static string, kept for the life of the process.
const char* normalizeFunctionName(const char* prettyName);
