// Entry point of tavo_paket, the publisher's packer.
#include <string>
#include <vector>

#include "packer.h"
#include "platform.h"

int main(int argc, char** argv) {
  // The arguments as UTF-8 on every system, whatever the code page.
  std::vector<std::string> arguments = commandLineArguments(argc, argv);
  std::vector<const char*> pointers;
  for (const std::string& argument : arguments) pointers.push_back(argument.c_str());
  pointers.push_back(nullptr);
  return runPacker(int(arguments.size()), pointers.data());
}
