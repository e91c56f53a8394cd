// Entry name checks.
#include "names.h"

#include <vector>

namespace {

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

bool equalsIgnoringCase(const std::string& a, const char* b) {
  std::string::size_type i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i)
    if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
  return i == a.size() && b[i] == '\0';
}

// Components between '\' and '/' separators, without empty ones and ".".
std::vector<std::string> components(const std::string& name) {
  std::vector<std::string> parts;
  std::string part;
  for (std::string::size_type i = 0; i <= name.size(); ++i) {
    if (i == name.size() || name[i] == '/' || name[i] == '\\') {
      if (!part.empty() && part != ".") parts.push_back(part);
      part.clear();
    } else {
      part += name[i];
    }
  }
  return parts;
}

// Windows opens a device for these base names, whatever the extension.
bool isDeviceName(const std::string& component) {
  std::string base = component.substr(0, component.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  static const char* const devices[] = {"con", "prn", "aux", "nul", "conin$", "conout$"};
  for (const char* device : devices)
    if (equalsIgnoringCase(base, device)) return true;
  if (base.size() == 4 && base[3] >= '1' && base[3] <= '9') {
    std::string stem = base.substr(0, 3);
    if (equalsIgnoringCase(stem, "com") || equalsIgnoringCase(stem, "lpt")) return true;
  }
  return false;
}

// True for a name in the form Windows gives generated 8.3 short names:
// one to six characters, '~', digits, and an extension of up to three. On a
// volume that keeps short names, "_GUNCE~1" (or a hashed form such as
// "_G1A2B~1") reaches the backup directory under another spelling.
bool looksLikeShortName(const std::string& component) {
  std::string::size_type dot = component.find('.');
  std::string base = component.substr(0, dot);
  if (dot != std::string::npos && component.size() - dot - 1 > 3) return false;
  std::string::size_type tilde = base.find('~');
  if (tilde == std::string::npos || tilde == 0 || tilde > 6 || tilde + 1 == base.size() ||
      base.size() > 8)
    return false;
  for (std::string::size_type i = tilde + 1; i < base.size(); ++i)
    if (base[i] < '0' || base[i] > '9') return false;
  return true;
}

}  // namespace

bool isSafeEntryName(const std::string& name) {
  if (!name.empty() && (name[0] == '/' || name[0] == '\\')) return false;
  for (unsigned char c : name) {
    if (c < 0x20) return false;
    switch (c) {
      case ':':
      case '<':
      case '>':
      case '"':
      case '|':
      case '?':
      case '*':
        return false;
    }
  }
  std::vector<std::string> parts = components(name);
  for (const std::string& part : parts) {
    // Covers "..", and names Windows would silently trim into another name.
    if (part.back() == '.' || part.back() == ' ') return false;
    if (isDeviceName(part)) return false;
  }
  // The backup directory, also by a short name, and the journal's name,
  // which a backup copy of a top-level file of that name would overwrite.
  return parts.empty() ||
         (!equalsIgnoringCase(parts[0], backupDirName) && !looksLikeShortName(parts[0]) &&
          !equalsIgnoringCase(parts[0], journalFileName));
}

std::string cleanName(const std::string& name) {
  std::string clean;
  for (const std::string& part : components(name)) clean += (clean.empty() ? "" : "\\") + part;
  return clean;
}

bool hasControlBytes(const std::string& bytes) {
  for (unsigned char c : bytes)
    if (c < 0x20) return true;
  return false;
}

bool isUpdaterItself(const std::string& name) {
  std::string::size_type slash = name.rfind('/');
  std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
  return equalsIgnoringCase(base, "tavo_updater.exe");
}
