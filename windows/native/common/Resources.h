// Read access to the resources of a loaded module: the bytes in place, a copy, a file, or
// one entry of a string table.
#pragma once

#include <cstdint>
#include <new>
#include <vector>

#include "WinHeaders.h"
#include "tstrings.h"

// One resource of `module`'s resource section. Names and types are either text or numbers
// (MAKEINTRESOURCE); text is copied, so the arguments need not outlive the object. Nothing is
// looked up until the data is asked for; the module must stay loaded while its data is used.
// A resource of type RT_STRING is an entry of a string table: the number is the string's id.
class Resource {
public:
    Resource(LPCWSTR name, LPCWSTR type, HMODULE module);
    Resource(std::uint16_t id, LPCWSTR type, HMODULE module);
    Resource(const Resource& other);
    Resource& operator=(const Resource&) = delete;

    // Whether the module holds the resource; never throws.
    bool available() const noexcept;

    // The data inside the module's image, and its size in bytes. Throws when the resource cannot
    // be found, loaded or locked.
    LPCVOID getPtr(DWORD& size) const;
    DWORD size() const;
    LPCVOID rawData() const;
    // A copy of the data.
    std::vector<std::uint8_t> bytes() const;
    // Writes the data to `path` straight from the image, replacing a file there. The file only
    // ever appears complete; a missing resource fails before anything is created.
    void saveToFile(const tstring& path) const;

private:
    HRSRC find() const;
    tstrings::MessageBuilder describe(const char* failure) const;

    tstring nameText;
    LPCWSTR nameKey;
    tstring typeText;
    LPCWSTR typeKey;
    HMODULE module;
};

// One entry of a string table.
class StringResource {
public:
    StringResource(std::uint16_t id, HMODULE module) : resource(id, RT_STRING, module) {}

    // The entry's text; an empty entry gives empty text. Throws when its block is missing.
    tstring string() const;
    // The text, or `defaultValue` after reporting the failure; never throws.
    tstring string(const std::nothrow_t&, const tstring& defaultValue) const;

private:
    Resource resource;
};
