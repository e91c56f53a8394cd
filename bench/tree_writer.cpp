// Benchmark helper: the least work that installing a tree takes. Lists the
// directories and files of <model>, then recreates them under <dest>, each
// file with the model's size written from memory in large blocks, and prints
// the seconds that the writing took (the listing is not counted).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Item {
  std::string path;  // relative to the tree's root
  bool isDirectory;
  std::uintmax_t size;
};

std::vector<Item> listTree(const std::string& model) {
  std::vector<Item> items;
  for (const auto& e : fs::recursive_directory_iterator(model)) {
    std::string rel = e.path().string().substr(model.size());
    if (e.is_directory())
      items.push_back({rel, true, 0});
    else if (e.is_regular_file())
      items.push_back({rel, false, e.file_size()});
  }
  return items;
}

bool writeFile(const std::string& path, std::uintmax_t size, const std::vector<char>& block) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = true;
  while (ok && size > 0) {
    std::size_t n = size < block.size() ? std::size_t(size) : block.size();
    ssize_t written = write(fd, block.data(), n);
    ok = written > 0;
    if (ok) size -= std::uintmax_t(written);
  }
  return close(fd) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: tree_writer <model dir> <dest dir>\n", stderr);
    return 2;
  }
  std::vector<Item> items = listTree(argv[1]);
  std::string dest = argv[2];
  std::vector<char> block(1 << 20, 'x');
  auto start = std::chrono::steady_clock::now();
  mkdir(dest.c_str(), 0755);
  for (const Item& item : items) {
    std::string target = dest + item.path;
    bool ok = item.isDirectory ? mkdir(target.c_str(), 0755) == 0 || errno == EEXIST
                               : writeFile(target, item.size, block);
    if (!ok) {
      std::perror(target.c_str());
      return 1;
    }
  }
  std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
  std::printf("%.6f\n", spent.count());
  return 0;
}
