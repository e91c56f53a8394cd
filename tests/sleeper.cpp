// Test helper standing in for a host that is still running: writes its
// process id to <pidfile>, waits until <gofile> exists, then lives <ms> more.
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "helper_os.h"

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  {
    std::ofstream out(std::string(argv[1]) + ".tmp");
    out << helperProcessId() << "\n";
  }
  std::rename((std::string(argv[1]) + ".tmp").c_str(), argv[1]);
  for (int i = 0; i < 60000 && !helperExists(argv[2]); i += 5) helperSleep(5);
  helperSleep(unsigned(std::atoi(argv[3])));
  return 0;
}
