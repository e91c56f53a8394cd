// Tavonu, the stand-in application: it shows the version written in
// "surum.txt" beside it, records that it ran in "rapor.txt" there, and with
// "--guncelle <archive>" hands the archive to tavo_updater and exits.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "own.h"

namespace {

std::string ownDir() {
  std::string exe = ownExePath();
  std::string::size_type last = exe.find_last_of(pathSeparator());
  return last == std::string::npos ? "." : exe.substr(0, last);
}

std::string readVersion(const std::string& dir) {
  std::ifstream in(dir + pathSeparator() + "surum.txt");
  std::string version;
  std::getline(in, version);
  return version.empty() ? "?" : version;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = ownDir();
  std::string version = readVersion(dir);
  std::printf("Tavonu surum %s\n", version.c_str());
  std::ofstream(dir + pathSeparator() + "rapor.txt", std::ios::app) << "surum " << version << "\n";

  if (argc == 3 && std::strcmp(argv[1], "--guncelle") == 0) {
    std::string updater = dir + pathSeparator() + updaterFileName();
    std::fflush(stdout);
    if (!startDetached(updater, {"--zip", argv[2], "--hedef", dir, "--pid",
                                 std::to_string(ownProcessId()), "--exe", ownExePath()})) {
      std::fprintf(stderr, "tavonu: guncelleyici baslatilamadi: %s\n", updater.c_str());
      return 1;
    }
    std::printf("Tavonu guncelleme icin kapaniyor.\n");
  }
  return 0;
}
