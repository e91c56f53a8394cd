// Scratch helpers for tests.
#include "scratch.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace fs = std::filesystem;

std::string makeScratchDir() {
  static std::mt19937_64 random{std::random_device{}()};
  for (;;) {
    fs::path dir = fs::temp_directory_path() / ("tavo-test-" + std::to_string(random()));
    std::error_code error;
    if (fs::create_directory(dir, error)) return dir.string();
  }
}

void removeScratchDir(const std::string& dir) {
  std::error_code error;
  fs::remove_all(dir, error);
}

void putFile(const std::string& path, const std::string& content) {
  std::error_code error;
  fs::create_directories(fs::path(path).parent_path(), error);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string fileContent(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<missing>";
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::map<std::string, std::string> treeOf(const std::string& dir) {
  std::map<std::string, std::string> tree;
  std::error_code error;
  for (fs::recursive_directory_iterator it(dir, error), end; !error && it != end;
       it.increment(error)) {
    std::string relative = fs::relative(it->path(), dir).generic_string();
    tree[relative] = it->is_directory() ? "<dir>" : fileContent(it->path().string());
  }
  return tree;
}
