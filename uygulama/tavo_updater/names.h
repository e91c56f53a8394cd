// Checks on archive entry names: which names may be written under the
// installation directory, and which one is the updater's own executable.
#ifndef TAVO_UPDATER_NAMES_H
#define TAVO_UPDATER_NAMES_H

#include <string>

#include "constants.h"

// False for a name that could reach outside the installation directory, name
// a device or an alternate stream, alias another name on Windows, write
// into the backup directory, or have a backup copy over the journal.
bool isSafeEntryName(const std::string& name);

// `name` with '\' as its separator and without empty and "." components:
// the one spelling of a name that the journal keeps ("./a//b" is "a\b").
std::string cleanName(const std::string& name);

// True when `bytes` holds a control character (a byte below 0x20). Decoding
// a stored name from code page 437 turns those bytes into printable ones, so
// the stored bytes are checked as well as the decoded name.
bool hasControlBytes(const std::string& bytes);

// True when the part after the last '/' is "tavo_updater.exe" in any ASCII
// letter case ('\' is not a separator here).
bool isUpdaterItself(const std::string& name);

#endif
