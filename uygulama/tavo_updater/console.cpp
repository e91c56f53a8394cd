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
