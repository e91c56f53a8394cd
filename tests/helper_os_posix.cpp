// Test helper system calls on POSIX.
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <vector>

#include "helper_os.h"

std::string helperExePath() {
  std::vector<char> buffer(PATH_MAX + 1);
  ssize_t n = readlink("/proc/self/exe", buffer.data(), PATH_MAX);
  return n < 0 ? std::string() : std::string(buffer.data(), std::size_t(n));
}

std::string helperDirOf(const std::string& path) {
  std::string::size_type last = path.rfind('/');
  return last == std::string::npos ? "." : path.substr(0, last);
}

std::string helperCommandLine(int argc, char** argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) line += (i ? " " : "") + std::string(argv[i]);
  return line;
}

std::string helperCurrentDir() {
  std::vector<char> buffer(PATH_MAX + 1);
  return getcwd(buffer.data(), buffer.size()) ? std::string(buffer.data()) : std::string();
}

std::uint32_t helperProcessId() { return std::uint32_t(getpid()); }

bool helperExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

void helperSleep(unsigned milliseconds) {
  struct timespec t = {time_t(milliseconds / 1000), long(milliseconds % 1000) * 1000000L};
  nanosleep(&t, nullptr);
}
