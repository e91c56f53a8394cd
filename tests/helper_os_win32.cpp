// Test helper system calls on Windows.
#define WIN32_LEAN_AND_MEAN
// libstdc++ may have defined it already.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <vector>

#include "helper_os.h"

std::string helperExePath() {
  std::vector<char> buffer(MAX_PATH);
  for (;;) {
    DWORD n = GetModuleFileNameA(nullptr, buffer.data(), DWORD(buffer.size()));
    if (n == 0) return std::string();
    if (n < buffer.size()) return std::string(buffer.data(), n);
    buffer.resize(buffer.size() * 2);
  }
}

std::string helperDirOf(const std::string& path) {
  std::string::size_type last = path.find_last_of("\\/");
  return last == std::string::npos ? "." : path.substr(0, last);
}

std::string helperCommandLine(int, char**) { return GetCommandLineA(); }

std::string helperCurrentDir() {
  DWORD n = GetCurrentDirectoryA(0, nullptr);
  if (n == 0) return std::string();
  std::vector<char> buffer(n);
  n = GetCurrentDirectoryA(n, buffer.data());
  return std::string(buffer.data(), n);
}

std::uint32_t helperProcessId() { return std::uint32_t(GetCurrentProcessId()); }

bool helperExists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void helperSleep(unsigned milliseconds) { Sleep(DWORD(milliseconds)); }
