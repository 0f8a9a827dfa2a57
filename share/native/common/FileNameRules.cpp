#include "FileNameRules.h"

#include <string_view>

bool isForbiddenInFileName(char16_t c) { return c < 0x20 || std::u16string_view(u"<>:\"/\\|?*").find(c) != std::u16string_view::npos; }

std::string fileNameProblem(const std::u16string& name) {
    if (name.empty()) {
        return "it is empty";
    }
    if (name.size() > 255) {
        return "it has " + std::to_string(name.size()) + " UTF-16 characters, more than the 255 Windows allows";
    }
    if (name == u"." || name == u"..") {
        return "it is not a file name";
    }
    for (const char16_t c : name) {
        if (c == u'/' || c == u'\\') {
            return "it holds a path separator";
        }
        if (c < 0x20) {
            return "it holds a control character";
        }
        if (isForbiddenInFileName(c)) {
            return std::string("it holds the character ") + static_cast<char>(c) +
                   ", which Windows does not allow in a file name";
        }
    }
    if (name.back() == u' ' || name.back() == u'.') {
        return "it ends in a space or a period, which Windows removes";
    }
    std::u16string stem = name.substr(0, name.find(u'.'));
    while (!stem.empty() && stem.back() == u' ') {
        stem.pop_back();
    }
    std::string device;
    for (const char16_t c : stem) {
        device += c >= u'a' && c <= u'z' ? static_cast<char>(c - (u'a' - u'A')) : static_cast<char>(c < 0x80 ? c : '?');
    }
    const bool numbered = device.size() == 4 && (device.starts_with("COM") || device.starts_with("LPT")) &&
                          device[3] >= '1' && device[3] <= '9';
    if (device == "CON" || device == "PRN" || device == "AUX" || device == "NUL" || numbered) {
        return "Windows takes it for the device " + device;
    }
    return "";
}
