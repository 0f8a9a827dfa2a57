#include "PackageTexts.h"

#include <exception>
#include <utility>
#include <vector>

#include "PackageProperties.h"
#include "Utf.h"

namespace pack {

namespace {

constexpr std::uint32_t utf8Codepage = 65001;
constexpr std::uint32_t westernCodepage = 1252;

// Windows-1252 from 0x80 to 0x9F; 0xA0 to 0xFF are U+00A0 to U+00FF.
constexpr char16_t windows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

// Reads the package through the packer's own file, which throws where the reader expects false.
class InputFileSource : public PackageProperties::ByteSource {
public:
    explicit InputFileSource(const InputFile& file) : file(file) {}
    std::uint64_t size() const override { return file.size(); }
    bool read(std::uint64_t offset, void* into, std::size_t count) const override {
        if (offset > file.size() || count > file.size() - offset) {
            return false;
        }
        try {
            file.readAt(offset, static_cast<char*>(into), count);
            return true;
        } catch (const std::exception&) {
            return false;
        }
    }

private:
    const InputFile& file;
};

} // namespace

std::optional<std::string> decodeStoredText(std::string_view bytes, std::uint32_t codepage, bool& replaced) {
    bool ascii = true;
    for (const char c : bytes) {
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    }
    if (ascii) {
        return std::string(bytes);
    }
    if (codepage == utf8Codepage) {
        // Valid UTF-8 comes back byte for byte; anything else had a part replaced.
        std::string text = toUtf8(toUtf16(bytes));
        replaced = replaced || text != bytes;
        return text;
    }
    if (codepage == 0 || codepage == westernCodepage) {
        std::u16string units;
        for (const char c : bytes) {
            const auto byte = static_cast<unsigned char>(c);
            units += byte >= 0x80 && byte < 0xA0 ? windows1252High[byte - 0x80] : static_cast<char16_t>(byte);
        }
        return toUtf8(units);
    }
    return std::nullopt;
}

bool readPropertyTexts(const InputFile& package, PackageFacts& facts, std::string* why) {
    const std::pair<const char*, std::string*> wanted[] = {{"ProductCode", &facts.productCode},
                                                           {"UpgradeCode", &facts.upgradeCode},
                                                           {"ProductName", &facts.productName},
                                                           {"ProductVersion", &facts.productVersion},
                                                           {"Manufacturer", &facts.manufacturer}};
    std::vector<std::string> names;
    for (const auto& [name, value] : wanted) {
        names.emplace_back(name);
    }
    const std::optional<PackageProperties::Properties> properties =
        PackageProperties::read(InputFileSource(package), names, why);
    if (!properties) {
        return false;
    }
    facts.replacedTexts.clear();
    for (const auto& [name, value] : wanted) {
        const auto found = properties->values.find(name);
        bool replaced = false;
        const std::optional<std::string> text =
            found == properties->values.end() ? std::string() : decodeStoredText(found->second, properties->codepage, replaced);
        if (text) {
            *value = *text;
        }
        if (replaced) {
            facts.replacedTexts.emplace_back(name);
        }
    }
    return true;
}

std::string replacedTextsWarning(const PackageFacts& facts) {
    if (facts.replacedTexts.empty()) {
        return "";
    }
    std::string names;
    for (const std::string& name : facts.replacedTexts) {
        names += (names.empty() ? "" : ", ") + name;
    }
    return "Warning: the package's " + names + (facts.replacedTexts.size() == 1 ? " is" : " are") +
           " not valid UTF-8, the package's codepage (65001): each invalid byte sequence is read as U+FFFD";
}

} // namespace pack
