#include "Resources.h"

#include "ErrorHandling.h"
#include "FileUtils.h"
#include "WinErrorHandling.h"

namespace {

// The text of a name or type for messages: the string itself, or "#" and the number.
tstring keyText(LPCWSTR key) {
    if (IS_INTRESOURCE(key)) {
        return (tstrings::MessageBuilder() << "#" << reinterpret_cast<ULONG_PTR>(key)).str();
    }
    return key;
}

// The key handed to the system: the number as it is, else the copy of the text.
LPCWSTR keyFor(LPCWSTR original, const tstring& text) { return IS_INTRESOURCE(original) ? original : text.c_str(); }

bool isStringTable(LPCWSTR type) { return IS_INTRESOURCE(type) && type == RT_STRING; }

std::uint16_t numberOf(LPCWSTR key) { return static_cast<std::uint16_t>(reinterpret_cast<ULONG_PTR>(key)); }

} // namespace

Resource::Resource(LPCWSTR name, LPCWSTR type, HMODULE module)
    : nameText(keyText(name)), nameKey(keyFor(name, nameText)), typeText(keyText(type)),
      typeKey(keyFor(type, typeText)), module(module) {}

Resource::Resource(std::uint16_t id, LPCWSTR type, HMODULE module) : Resource(MAKEINTRESOURCEW(id), type, module) {}

Resource::Resource(const Resource& other)
    : nameText(other.nameText), nameKey(keyFor(other.nameKey, nameText)), typeText(other.typeText),
      typeKey(keyFor(other.typeKey, typeText)), module(other.module) {}

HRSRC Resource::find() const {
    // A string table is stored in blocks of 16 entries; block n holds the ids 16 (n - 1) to 16 n - 1.
    const LPCWSTR name = isStringTable(typeKey) ? MAKEINTRESOURCEW(numberOf(nameKey) / 16 + 1) : nameKey;
    return FindResourceW(module, name, typeKey);
}

tstrings::MessageBuilder Resource::describe(const char* failure) const {
    tstrings::MessageBuilder message;
    message << failure << " (name='" << nameText << "', type='" << typeText << "')";
    return message;
}

bool Resource::available() const noexcept { return find() != nullptr; }

LPCVOID Resource::getPtr(DWORD& size) const {
    const HRSRC info = find();
    if (!info) {
        const DWORD error = GetLastError();
        throw TervoError<SysError>(SysError(describe("cannot find resource"), FindResourceW, error));
    }
    const HGLOBAL loaded = LoadResource(module, info);
    if (!loaded) {
        const DWORD error = GetLastError();
        throw TervoError<SysError>(SysError(describe("cannot load resource"), LoadResource, error));
    }
    const LPVOID data = LockResource(loaded);
    if (!data) {
        const DWORD error = GetLastError();
        throw TervoError<SysError>(SysError(describe("cannot lock resource"), LockResource, error));
    }
    if (!isStringTable(typeKey)) {
        size = SizeofResource(module, info);
        return data;
    }
    // Each entry is a count of code units followed by that many code units.
    const auto* entry = static_cast<const WORD*>(data);
    for (unsigned i = numberOf(nameKey) % 16; i > 0; --i) {
        entry += 1 + *entry;
    }
    size = *entry * 2u;
    return entry + 1;
}

DWORD Resource::size() const {
    DWORD size = 0;
    getPtr(size);
    return size;
}

LPCVOID Resource::rawData() const {
    DWORD size = 0;
    return getPtr(size);
}

std::vector<std::uint8_t> Resource::bytes() const {
    DWORD size = 0;
    const auto* data = static_cast<const std::uint8_t*>(getPtr(size));
    return std::vector<std::uint8_t>(data, data + size);
}

void Resource::saveToFile(const tstring& path) const {
    DWORD size = 0;
    const LPCVOID data = getPtr(size);
    FileUtils::StagedFileWriter writer(path);
    writer.write(data, size);
    writer.commit();
}

tstring StringResource::string() const {
    DWORD size = 0;
    const auto* text = static_cast<const wchar_t*>(resource.getPtr(size));
    return tstring(text, size / 2);
}

tstring StringResource::string(const std::nothrow_t&, const tstring& defaultValue) const {
    tstring result;
    if (runReporting([&] { result = string(); })) {
        return result;
    }
    return defaultValue;
}
