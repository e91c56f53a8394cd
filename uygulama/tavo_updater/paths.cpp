// Path helpers built on the platform operations.
#include "paths.h"

#include "platform.h"

bool fileExists(const std::string& path) {
  PathInfo info;
  return lookAt(path, &info) && info.kind != PathKind::missing && info.kind != PathKind::directory;
}

void makeDirs(const std::string& path) {
  std::string kismi;
  for (char c : path) {
    kismi += c;
    if (c == '\\' || c == '/') createDirectory(kismi);
  }
  createDirectory(path);
}

void makeParentDirs(const std::string& path) {
  std::string::size_type last = path.find_last_of("\\/");
  if (last == std::string::npos) return;
  makeDirs(path.substr(0, last));
}

std::string joinPath(const std::string& base, std::string name) {
  for (char& c : name)
    if (c == '/') c = '\\';
  return base + "\\" + name;
}

std::string parentOf(const std::string& path) { return path.substr(0, path.find_last_of("\\/")); }
