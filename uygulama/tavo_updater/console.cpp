// Console messages, flushed line by line.
#include "console.h"

void say(std::FILE* stream, const char* text) {
  std::fputs(text, stream);
  std::fflush(stream);
}

void sayWith(std::FILE* stream, const char* format, const std::string& value) {
  std::fprintf(stream, format, value.c_str());
  std::fflush(stream);
}

std::string heldFileLine(const std::string& entry, const std::vector<FileHolder>& holders) {
  std::string line = "tavo_updater: dosya kullanimda: " + entry;
  for (const FileHolder& holder : holders)
    line += " (" + holder.program + ", pid " + std::to_string(holder.pid) + ")";
  return line + "\n";
}
