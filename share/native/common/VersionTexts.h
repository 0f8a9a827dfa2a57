// Reading the texts of a version block (the RT_VERSION resource of a Windows image), for the
// launcher, which names its log and package after them, and for the packer, which shows them.
// Portable: the bytes are read little-endian, one by one, with every offset checked.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

// The texts of the block's first string table, in their order, as (name, value) in UTF-16
// ("ProductName", "Tervo Hello"); values without their terminating zero. Empty for a block that is
// malformed above the table; a malformed entry ends the list there. Never reads outside the block.
std::vector<std::pair<std::u16string, std::u16string>> readVersionTexts(const void* block, std::size_t size);
