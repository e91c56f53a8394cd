// What the stand-in application needs from its system.
#ifndef TAVONU_OWN_H
#define TAVONU_OWN_H

#include <cstdint>
#include <string>
#include <vector>

// Full path of the running executable; "" when unknown.
std::string ownExePath();

// Separator between a directory and a file name on this system.
char pathSeparator();

// File name of the updater next to the application.
std::string updaterFileName();

// Id of this process.
std::uint32_t ownProcessId();

// Sets the environment variable `name` for this process and the processes
// it starts.
void setEnvironment(const std::string& name, const std::string& value);

// Starts `program` with `args` (not including the program itself), without
// waiting. True when it was started.
bool startDetached(const std::string& program, const std::vector<std::string>& args);

#endif
