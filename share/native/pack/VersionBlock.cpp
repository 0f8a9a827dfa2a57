#include "VersionBlock.h"

#include <algorithm>
#include <stdexcept>

#include "ErrorHandling.h"
#include "PackIo.h"

namespace pack {

namespace {

constexpr WORD usEnglish = 0x0409;
constexpr WORD unicodeCodePage = 1200;

// One node of the block: header (length, value length, type), key, padding, value, padding,
// children. The length covers the node and its children but not the padding after it.
struct Node {
    tstring key;
    std::vector<char> value;
    WORD valueLength = 0; // in bytes for binary values, in characters for text
    bool isText = false;
    std::vector<Node> children;

    void appendTo(std::vector<char>& out) const {
        const size_t start = out.size();
        appendU16(out, 0);
        appendU16(out, valueLength);
        appendU16(out, isText ? 1 : 0);
        for (wchar_t c : key) {
            appendU16(out, static_cast<uint16_t>(c));
        }
        appendU16(out, 0);
        out.resize(static_cast<size_t>(alignUp(out.size(), 4)), 0);
        out.insert(out.end(), value.begin(), value.end());
        for (const Node& child : children) {
            out.resize(static_cast<size_t>(alignUp(out.size(), 4)), 0);
            child.appendTo(out);
        }
        const size_t length = out.size() - start;
        if (length > 0xFFFF) {
            throw TervoError<std::runtime_error>(std::runtime_error((tstrings::MessageBuilder()
                << "The version block part [" << key << "] is longer than 65535 bytes").utf8()));
        }
        storeU16(out.data() + start, static_cast<uint16_t>(length));
    }
};

Node textNode(const tstring& key, const tstring& text) {
    Node node{key, {}, 0, true, {}};
    for (wchar_t c : text) {
        appendU16(node.value, static_cast<uint16_t>(c));
    }
    appendU16(node.value, 0);
    node.valueLength = static_cast<WORD>(std::min<size_t>(text.size() + 1, 0xFFFF));
    return node;
}

[[noreturn]] void throwBadVersion(const tstring& text) {
    throw TervoError<std::runtime_error>(std::runtime_error((tstrings::MessageBuilder()
        << "Invalid version [" << text << "]: expected one to four numbers from 0 to 65535 separated by dots, such as 1.2.3").utf8()));
}

} // namespace

FixedVersion parseVersion(const tstring& text) {
    FixedVersion version;
    size_t part = 0;
    size_t digits = 0;
    uint32_t value = 0;
    for (wchar_t c : text) {
        if (c >= L'0' && c <= L'9') {
            value = value * 10 + static_cast<uint32_t>(c - L'0');
            if (value > 0xFFFF) {
                throwBadVersion(text);
            }
            ++digits;
        } else if (c == L'.' && digits > 0 && part < 3) {
            version.parts[part++] = static_cast<WORD>(value);
            value = 0;
            digits = 0;
        } else {
            throwBadVersion(text);
        }
    }
    if (digits == 0) {
        throwBadVersion(text);
    }
    version.parts[part] = static_cast<WORD>(value);
    return version;
}

std::vector<char> buildVersionBlock(const VersionStrings& strings) {
    const FixedVersion fileVersion = parseVersion(strings.fileVersion);
    const FixedVersion productVersion = parseVersion(strings.productVersion);

    Node root{L"VS_VERSION_INFO", {}, sizeof(VS_FIXEDFILEINFO), false, {}};
    appendU32(root.value, VS_FFI_SIGNATURE);
    appendU32(root.value, VS_FFI_STRUCVERSION);
    appendU32(root.value, fileVersion.mostSignificant());
    appendU32(root.value, fileVersion.leastSignificant());
    appendU32(root.value, productVersion.mostSignificant());
    appendU32(root.value, productVersion.leastSignificant());
    appendU32(root.value, VS_FFI_FILEFLAGSMASK);
    appendU32(root.value, 0); // flags
    appendU32(root.value, VOS_NT_WINDOWS32);
    appendU32(root.value, VFT_APP);
    appendU32(root.value, VFT2_UNKNOWN);
    appendU32(root.value, 0); // date
    appendU32(root.value, 0);

    Node table{L"040904B0", {}, 0, true, {}};
    table.children = {textNode(L"CompanyName", strings.companyName), textNode(L"FileDescription", strings.fileDescription),
                      textNode(L"FileVersion", strings.fileVersion), textNode(L"OriginalFilename", strings.originalFilename),
                      textNode(L"ProductName", strings.productName), textNode(L"ProductVersion", strings.productVersion)};
    Node stringInfo{L"StringFileInfo", {}, 0, true, {table}};

    Node translation{L"Translation", {}, 4, false, {}};
    appendU16(translation.value, usEnglish);
    appendU16(translation.value, unicodeCodePage);
    Node varInfo{L"VarFileInfo", {}, 0, true, {translation}};

    root.children = {stringInfo, varInfo};
    std::vector<char> block;
    root.appendTo(block);
    return block;
}

void setVersionResource(ResourceTree& tree, const VersionStrings& strings) {
    tree.replace(ResourceTypes::version, 1, usEnglish, DataBlock(buildVersionBlock(strings)));
}

} // namespace pack
