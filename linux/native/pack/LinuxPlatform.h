// The Linux layer's parts that its own tests reach beyond the platform interface.
#pragma once

#include <memory>
#include <string>

#include "Platform.h"

namespace pack::linux_platform {

// How a staged output holds its bytes before commit: an unnamed file (O_TMPFILE), linked into
// place at commit, or a hidden named file beside the destination, for file systems without
// unnamed files, removed on failure and when the process is ended by SIGINT, SIGTERM or SIGHUP.
enum class Staging { Unnamed, Named };

// createStagedOutput with the staging chosen; Unnamed falls back to Named where the file system
// cannot make unnamed files.
std::unique_ptr<StagedOutput> createStagedOutput(const std::string& destination, Staging staging,
                                                 OutputKind kind = OutputKind::Program);

} // namespace pack::linux_platform
