// Host wait and relaunch.
#include "host.h"

#include <cctype>
#include <cstdlib>

#include "paths.h"
#include "platform.h"

std::uint32_t parseProcessId(const std::string& pidS) {
  // Read the magnitude apart from the sign so that every target gets the
  // result of a 32-bit strtoul, whatever the width of its unsigned long.
  const char* p = pidS.c_str();
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  if (!std::isdigit(static_cast<unsigned char>(*p))) return 0;
  unsigned long long magnitude = std::strtoull(p, nullptr, 10);
  if (magnitude > 0xFFFFFFFFull) return 0xFFFFFFFFu;
  std::uint32_t value = static_cast<std::uint32_t>(magnitude);
  return negative ? static_cast<std::uint32_t>(0u - value) : value;
}

void waitForHost(const std::string& pidS) {
  if (!pidS.empty()) waitForProcess(parseProcessId(pidS), 30000);
  sleepMilliseconds(400);
}

void relaunch(const std::string& exe, const std::string& hedef) {
  if (!exe.empty() && fileExists(exe)) startProcess(exe, hedef);
}
