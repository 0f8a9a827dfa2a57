#include "VersionBlock.h"

#include "PackError.h"
#include "PackIo.h"
#include "Utf.h"
#include "VersionTexts.h"

namespace pack {

namespace {

constexpr uint16_t usEnglish = 0x0409;
constexpr uint16_t unicodeCodePage = 1200;
// VS_FIXEDFILEINFO: its signature and structure version, the flags mask, VOS_NT_WINDOWS32, VFT_APP.
constexpr uint32_t fixedInfoSignature = 0xFEEF04BD;
constexpr uint32_t fixedInfoVersion = 0x00010000;
constexpr uint32_t fileFlagsMask = 0x3F;
constexpr uint32_t windowsNt32 = 0x00040004;
constexpr uint32_t application = 1;
constexpr uint16_t fixedInfoSize = 52;

// One node of the block: header (length, value length, type), key, padding, value, padding,
// children. The length covers the node and its children but not the padding after it.
struct Node {
    std::u16string key;
    std::vector<char> value;
    uint16_t valueLength = 0; // in bytes for binary values, in characters for text
    bool isText = false;
    std::vector<Node> children;

    void appendTo(std::vector<char>& out) const {
        const size_t start = out.size();
        appendU16(out, 0);
        appendU16(out, valueLength);
        appendU16(out, isText ? 1 : 0);
        appendUtf16(out, key);
        appendU16(out, 0);
        out.resize(static_cast<size_t>(alignUp(out.size(), 4)), 0);
        out.insert(out.end(), value.begin(), value.end());
        for (const Node& child : children) {
            out.resize(static_cast<size_t>(alignUp(out.size(), 4)), 0);
            child.appendTo(out);
        }
        storeU16(out.data() + start, static_cast<uint16_t>(out.size() - start));
    }
};

Node textNode(const char16_t* key, const std::string& text) {
    const std::u16string value = toUtf16(text);
    if (value.size() > maxVersionTextLength) {
        throw Error("The version block's " + toUtf8(key) + " text has " + std::to_string(value.size()) +
                    " characters; at most " + std::to_string(maxVersionTextLength) + " fit");
    }
    Node node{key, {}, static_cast<uint16_t>(value.size() + 1), true, {}};
    appendUtf16(node.value, value);
    appendU16(node.value, 0);
    return node;
}

[[noreturn]] void throwBadVersion(const std::string& text) {
    throw Error("Invalid version [" + text + "]: expected " + std::string(versionForm));
}

} // namespace

std::optional<FixedVersion> tryParseVersion(const std::string& text) {
    try {
        return parseVersion(text);
    } catch (const Error&) {
        return std::nullopt;
    }
}

std::map<std::string, std::string> readVersionStrings(const std::vector<char>& block) {
    std::map<std::string, std::string> strings;
    for (const auto& [name, value] : readVersionTexts(block.data(), block.size())) {
        strings.emplace(toUtf8(name), toUtf8(value));
    }
    return strings;
}

FixedVersion parseVersion(const std::string& text) {
    FixedVersion version;
    size_t part = 0;
    size_t digits = 0;
    uint32_t value = 0;
    for (const char c : text) {
        if (c >= '0' && c <= '9') {
            value = value * 10 + static_cast<uint32_t>(c - '0');
            if (value > 0xFFFF) {
                throwBadVersion(text);
            }
            ++digits;
        } else if (c == '.' && digits > 0 && part < 3) {
            version.parts[part++] = static_cast<uint16_t>(value);
            value = 0;
            digits = 0;
        } else {
            throwBadVersion(text);
        }
    }
    if (digits == 0) {
        throwBadVersion(text);
    }
    version.parts[part] = static_cast<uint16_t>(value);
    return version;
}

std::vector<char> buildVersionBlock(const VersionStrings& strings) {
    const FixedVersion fileVersion = parseVersion(strings.fileVersion);
    const FixedVersion productVersion = parseVersion(strings.productVersion);

    Node root{u"VS_VERSION_INFO", {}, fixedInfoSize, false, {}};
    for (const uint32_t field : {fixedInfoSignature, fixedInfoVersion, fileVersion.mostSignificant(),
                                 fileVersion.leastSignificant(), productVersion.mostSignificant(),
                                 productVersion.leastSignificant(), fileFlagsMask, 0u /* flags */, windowsNt32,
                                 application, 0u /* subtype */, 0u, 0u /* date */}) {
        appendU32(root.value, field);
    }

    Node table{u"040904B0", {}, 0, true, {}};
    table.children = {textNode(u"CompanyName", strings.companyName), textNode(u"FileDescription", strings.fileDescription),
                      textNode(u"FileVersion", strings.fileVersion), textNode(u"OriginalFilename", strings.originalFilename),
                      textNode(u"ProductName", strings.productName), textNode(u"ProductVersion", strings.productVersion)};
    Node stringInfo{u"StringFileInfo", {}, 0, true, {table}};

    Node translation{u"Translation", {}, 4, false, {}};
    appendU16(translation.value, usEnglish);
    appendU16(translation.value, unicodeCodePage);
    Node varInfo{u"VarFileInfo", {}, 0, true, {translation}};

    root.children = {stringInfo, varInfo};
    std::vector<char> block;
    root.appendTo(block);
    return block;
}

void setVersionResource(ResourceTree& tree, const VersionStrings& strings) {
    tree.replace(ResourceTypes::version, 1, usEnglish, DataBlock(buildVersionBlock(strings)));
}

} // namespace pack
