// Console messages. Each line is flushed as soon as it is written, so that a
// caller keeping the output in a file or a pipe has every line, also from a
// run that is killed a moment later. A caller that passes `kept` also gets
// the line there (without its line end): the run keeps what it wrote to
// standard error for its outcome.
#ifndef TAVO_UPDATER_CONSOLE_H
#define TAVO_UPDATER_CONSOLE_H

#include <cstdio>
#include <string>
#include <vector>

#include "platform.h"

// Writes `text` to `stream` and flushes it.
void say(std::FILE* stream, const char* text, std::vector<std::string>* kept = nullptr);

// Writes `format` with its one %s replaced by `value`, and flushes it.
void sayWith(std::FILE* stream, const char* format, const std::string& value,
             std::vector<std::string>* kept = nullptr);

// The line for a file that stays held: "tavo_updater: dosya kullanimda:
// <entry>", then " (<program>, pid <n>)" for each holder, then a line feed.
std::string heldFileLine(const std::string& entry, const std::vector<FileHolder>& holders);

#endif
