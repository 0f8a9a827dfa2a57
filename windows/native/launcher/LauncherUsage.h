// What the launcher says to /?, /h and /help.
#pragma once

#include "tstrings.h"

// The usage text, with the launcher's file name `programName` in its examples; lines end in CR LF.
tstring usageText(const tstring& programName);

// Writes the usage text on standard output and, where a person can answer a dialog, shows it in
// an information box titled `programName`. Never throws.
void showUsage(const tstring& programName) noexcept;
