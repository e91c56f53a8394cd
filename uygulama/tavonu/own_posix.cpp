// The stand-in application's system calls on POSIX.
#include <spawn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <vector>

#include "own.h"

extern char** environ;

std::string ownExePath() {
  std::vector<char> buffer(PATH_MAX + 1);
  ssize_t n = readlink("/proc/self/exe", buffer.data(), PATH_MAX);
  return n < 0 ? std::string() : std::string(buffer.data(), std::size_t(n));
}

char pathSeparator() { return '/'; }

std::string updaterFileName() { return "tavo_updater"; }

std::uint32_t ownProcessId() { return std::uint32_t(getpid()); }

bool startDetached(const std::string& program, const std::vector<std::string>& args) {
  std::vector<std::string> owned = args;
  std::vector<char*> argv;
  std::string arg0 = program;
  argv.push_back(&arg0[0]);
  for (std::string& arg : owned) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  pid_t child = 0;
  return posix_spawn(&child, program.c_str(), nullptr, nullptr, argv.data(), environ) == 0;
}

void setEnvironment(const std::string& name, const std::string& value) {
  setenv(name.c_str(), value.c_str(), 1);
}
