// Command-line option lookup.
#ifndef TAVO_UPDATER_ARGS_H
#define TAVO_UPDATER_ARGS_H

#include <string>

// The argument that follows the first argument equal to `name` (looked for
// from index 1 up to the last but one), or "" when there is none.
std::string getArg(int argc, const char* const* argv, const char* name);

#endif
