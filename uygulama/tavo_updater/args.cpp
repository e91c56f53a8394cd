// Command-line option lookup.
#include "args.h"

#include <cstring>

std::string getArg(int argc, const char* const* argv, const char* name) {
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
  return "";
}
