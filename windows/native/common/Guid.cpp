#include "Guid.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <stdexcept>

#include <objbase.h>

#include "ErrorHandling.h"

namespace {

GUID initGuid(const tstring& text) {
    GUID result{};
    if (FAILED(IIDFromString(text.c_str(), &result))) {
        throw TervoError<std::runtime_error>(
            std::runtime_error((tstrings::MessageBuilder() << "IIDFromString(" << text << ") failed").utf8()));
    }
    return result;
}

// The braced, hyphenated form of the looser forms; any other text is returned as it is, for
// IIDFromString to refuse.
tstring canonicalGuidText(const tstring& text) {
    const bool opens = !text.empty() && text.front() == L'{';
    const bool closes = !text.empty() && text.back() == L'}';
    if (text.size() == 38 && opens && closes) {
        return text;
    }
    if (text.size() < 32) {
        return text;
    }
    tstring copy = text;
    if (!opens && !closes) {
        copy = L"{" + copy + L"}";
    }
    if (text.find(L'-') == tstring::npos) {
        // Yields the 8-4-4-4-12 grouping inside the braces.
        for (const size_t pos : {9, 14, 19, 24}) {
            copy.insert(pos, 1, L'-');
        }
    }
    return copy.size() == 38 ? copy : text;
}

} // namespace

Guid::Guid() : guid{} {}

Guid::Guid(const GUID& value) : guid(value) {}

Guid::Guid(const tstring& text) : guid(initGuid(canonicalGuidText(text))) {}

Guid::Guid(const std::string& text)
    : Guid(tstring(reinterpret_cast<const unsigned char*>(text.data()),
                   reinterpret_cast<const unsigned char*>(text.data()) + text.size())) {}

tstring Guid::toString(int flags) const {
    wchar_t buffer[128];
    if (StringFromGUID2(guid, buffer, static_cast<int>(std::size(buffer))) < 3) {
        throw TervoError<std::runtime_error>(std::runtime_error("StringFromGUID2() failed"));
    }
    tstring text(buffer);
    if (flags & formatNoBraces) {
        text = text.substr(1, text.size() - 2);
    }
    if (flags & formatNoHyphens) {
        text.erase(std::remove(text.begin(), text.end(), L'-'), text.end());
    }
    if (flags & formatLowercase) {
        text = tstrings::lowercase(text);
    }
    return text;
}

Guid Guid::generate() {
    GUID value{};
    if (FAILED(CoCreateGuid(&value))) {
        throw TervoError<std::runtime_error>(std::runtime_error("CoCreateGuid() failed"));
    }
    return Guid(value);
}

bool Guid::operator==(const Guid& other) const { return std::memcmp(&guid, &other.guid, sizeof guid) == 0; }

std::strong_ordering Guid::operator<=>(const Guid& other) const { return toString() <=> other.toString(); }
