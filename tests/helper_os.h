// What the test helper programs need from their system; one file per
// platform, picked by CMake like the updater's own platform layer.
#ifndef TAVO_TESTS_HELPER_OS_H
#define TAVO_TESTS_HELPER_OS_H

#include <cstdint>
#include <string>

// Full path of the running executable.
std::string helperExePath();

// The directory part of a path from helperExePath().
std::string helperDirOf(const std::string& path);

// The command line as the process received it: on Windows the raw text,
// elsewhere the arguments joined by single spaces.
std::string helperCommandLine(int argc, char** argv);

// The current working directory, as the system spells it.
std::string helperCurrentDir();

// Id of this process as the updater's --pid takes it.
std::uint32_t helperProcessId();

// True when `path` exists.
bool helperExists(const std::string& path);

void helperSleep(unsigned milliseconds);

#endif
