// The stand-in application's system calls on Windows.
#define WIN32_LEAN_AND_MEAN
// libstdc++ may have defined it already.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstring>
#include <vector>

#include "own.h"

namespace {

// Quotes one argument so that the C runtime's parser gives it back as it
// is: backslashes count only before a double quote, where they are doubled.
std::string quoteArgument(const std::string& arg) {
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') backslashes = backslashes * 2 + 1;
    quoted.append(backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  return quoted + "\"";
}

}  // namespace

std::string ownExePath() {
  std::vector<char> buffer(MAX_PATH);
  for (;;) {
    DWORD n = GetModuleFileNameA(nullptr, buffer.data(), DWORD(buffer.size()));
    if (n == 0) return std::string();
    if (n < buffer.size()) return std::string(buffer.data(), n);
    buffer.resize(buffer.size() * 2);
  }
}

char pathSeparator() { return '\\'; }

std::string updaterFileName() { return "tavo_updater.exe"; }

std::uint32_t ownProcessId() { return std::uint32_t(GetCurrentProcessId()); }

bool startDetached(const std::string& program, const std::vector<std::string>& args) {
  std::string line = quoteArgument(program);
  for (const std::string& arg : args) line += " " + quoteArgument(arg);
  std::vector<char> lineBuf(line.begin(), line.end());
  lineBuf.push_back('\0');
  STARTUPINFOA si;
  std::memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  std::memset(&pi, 0, sizeof pi);
  if (!CreateProcessA(program.c_str(), lineBuf.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &si, &pi))
    return false;
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return true;
}

void setEnvironment(const std::string& name, const std::string& value) {
  SetEnvironmentVariableA(name.c_str(), value.c_str());
}
