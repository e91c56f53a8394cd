// Entry point of tavo_updater.
#include <string>
#include <vector>

#include "platform.h"
#include "run.h"

int main(int argc, char** argv) {
  // The arguments as UTF-8 on every system, whatever the code page.
  std::vector<std::string> arguments = commandLineArguments(argc, argv);
  std::vector<const char*> pointers;
  for (const std::string& argument : arguments) pointers.push_back(argument.c_str());
  pointers.push_back(nullptr);
  return runUpdate(int(arguments.size()), pointers.data());
}
