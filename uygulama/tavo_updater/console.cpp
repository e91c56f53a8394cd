// Console messages, flushed line by line.
#include "console.h"

#include "constants.h"

void say(std::FILE* stream, const char* text, std::vector<std::string>* kept) {
  std::fputs(text, stream);
  std::fflush(stream);
  if (kept == nullptr) return;
  std::string line = text;
  if (!line.empty() && line.back() == '\n') line.pop_back();
  kept->push_back(line);
}

void sayWith(std::FILE* stream, const char* format, const std::string& value,
             std::vector<std::string>* kept) {
  // The value ends where a C string would, as printf would print it.
  std::string line = format;
  std::string::size_type at = line.find("%s");
  if (at != std::string::npos) line.replace(at, 2, value.c_str());
  say(stream, line.c_str(), kept);
}

std::string heldFileLine(const std::string& entry, const std::vector<FileHolder>& holders) {
  std::string named = entry;
  for (const FileHolder& holder : holders)
    named += " (" + holder.program + ", pid " + std::to_string(holder.pid) + ")";
  return lineWith(errHeld, named);
}
