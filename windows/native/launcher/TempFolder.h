// The run's temporary folder (TMP, TEMP), which the launcher, msiexec and the installer write into.
#pragma once

#include "tstrings.h"

// The temporary folder, once a new file can be made in it. Throws TervoError<std::runtime_error>
// in the user's words when it cannot: the folder, what is wrong with it (missing, a file, not
// writable, a path longer than the system allows) and what to do; the failed system call stays in
// the debug log.
tstring usableTempFolder();
