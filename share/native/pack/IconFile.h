// An .ico file read as the RT_ICON images and the RT_GROUP_ICON directory of a resource section.
#pragma once

#include <string>
#include <vector>

#include "ResourceTree.h"

namespace pack {

class IconFile {
public:
    // Reads and checks the file; throws a pack::Error naming it and the fault.
    static IconFile read(const std::string& path);
    // Checks the bytes of an .ico file; `name` is used in messages.
    static IconFile parse(const std::vector<char>& bytes, const std::string& name);

    // The images in file order, each a PNG or a DIB with its mask; resource ids 1..n.
    const std::vector<std::vector<char>>& images() const { return imageData; }
    // The group directory: the file's header and entries, each entry ending in its image's id.
    const std::vector<char>& groupDirectory() const { return group; }

    // Replaces every icon and icon group of the tree with this icon: group 1 and images 1..n.
    // Icons of the stub would otherwise be shown first or be mixed with these.
    void addTo(ResourceTree& tree, uint16_t language = neutralLanguage) const;

private:
    std::vector<std::vector<char>> imageData;
    std::vector<char> group;
};

} // namespace pack
