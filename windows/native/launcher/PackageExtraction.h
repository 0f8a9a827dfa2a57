// setup.exe /extract <folder>: the package the launcher carries, written out for administrators.
#pragma once

#include "LauncherProduct.h"
#include "tstrings.h"

// Writes the package, checked, into `folder` (as typed; made when missing) under the name the
// launcher gives it, and returns the file's path. What goes wrong with the folder is said of the
// folder, in the user's words: a path too long, a device, a folder standing where the file would
// go, the launcher's own file; the folders it made go again. A damaged package, or a launcher
// that cannot be read, keeps its own message.
tstring extractPackage(const tstring& folder, const LauncherProduct& product);
