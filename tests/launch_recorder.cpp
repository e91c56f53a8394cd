// Test helper started by the updater's relaunch: writes its command line and
// working directory, one per line, to "launched.txt" beside itself.
#include <cstdio>
#include <fstream>

#include "helper_os.h"

int main(int argc, char** argv) {
  std::string exe = helperExePath();
  std::string dir = helperDirOf(exe);
  std::string sep = exe.size() > dir.size() ? exe.substr(dir.size(), 1) : "/";
  std::string tmp = dir + sep + "launched.tmp";
  {
    std::ofstream out(tmp, std::ios::binary);
    out << helperCommandLine(argc, argv) << "\n" << helperCurrentDir() << "\n";
  }
  // Renamed into place so a reader never sees half a record.
  std::rename(tmp.c_str(), (dir + sep + "launched.txt").c_str());
  return 0;
}
