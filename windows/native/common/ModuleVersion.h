// The texts of a module's version block (ProductName, ProductVersion and the like).
#pragma once

#include <cstddef>

#include "WinHeaders.h"
#include "tstrings.h"

namespace ModuleVersion {

// The text stored under `name` in the first string table of the version block that `module`
// carries as resource 1 of type RT_VERSION, without its terminating zero. Empty when the module
// has no version block, the block has no such text, or the block is malformed. Never throws.
tstring versionString(HMODULE module, const tstring& name) noexcept;

// The same, read from a version block of `size` bytes at `block`.
tstring versionString(const void* block, std::size_t size, const tstring& name);

} // namespace ModuleVersion
