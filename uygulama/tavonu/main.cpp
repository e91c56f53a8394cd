// Tavonu, the stand-in application: it shows the version written in
// "surum.txt" beside it, records that it ran in "rapor.txt" there, and with
// "--guncelle <archive>" hands the archive to tavo_updater and exits. When it
// finds the journal of an update that was cut short in its directory, it
// first hands the directory to "tavo_updater --kurtar" and exits; the
// updater starts it again once the installation is whole. It always asks
// the updater for the outcome in "guncelleme_sonucu.json" beside it, and
// when it finds that file at its start it says what the update did and
// removes it, so that each outcome is told once.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "constants.h"
#include "last_update.h"
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

std::string outcomePath(const std::string& dir) {
  return dir + pathSeparator() + "guncelleme_sonucu.json";
}

// Says what the last update did, once.
void tellLastUpdate(const std::string& dir) {
  std::ifstream in(outcomePath(dir), std::ios::binary);
  if (!in) return;
  std::stringstream json;
  json << in.rdbuf();
  in.close();
  std::printf("%s\n", describeOutcome(json.str()).c_str());
  std::remove(outcomePath(dir).c_str());
}

// Starts the updater beside the application with `args`, its own pid and
// path and the outcome file; false (with a message) when it cannot be
// started.
bool handOver(const std::string& dir, std::vector<std::string> args) {
  std::string updater = dir + pathSeparator() + updaterFileName();
  args.insert(args.end(), {"--pid", std::to_string(ownProcessId()), "--exe", ownExePath(),
                           "--sonuc", outcomePath(dir)});
  std::fflush(stdout);
  if (startDetached(updater, args)) return true;
  std::fprintf(stderr, "tavonu: guncelleyici baslatilamadi: %s\n", updater.c_str());
  return false;
}

bool interruptedUpdate(const std::string& dir) {
  char sep = pathSeparator();
  return std::ifstream(dir + sep + backupDirName + sep + journalFileName).good();
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = ownDir();
  std::string version = readVersion(dir);
  std::printf("Tavonu surum %s\n", version.c_str());
  tellLastUpdate(dir);
  std::ofstream(dir + pathSeparator() + "rapor.txt", std::ios::app) << "surum " << version << "\n";

  // The recovery is asked for once: an application that the recovery
  // itself started again (it could not finish) carries the variable and
  // runs as it is, instead of handing over in a loop.
  if (interruptedUpdate(dir) && std::getenv("TAVONU_KURTARMA") == nullptr) {
    setEnvironment("TAVONU_KURTARMA", "1");
    if (!handOver(dir, {"--kurtar", dir})) return 1;
    std::printf("Tavonu yarim kalan guncellemeyi geri aldiriyor.\n");
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "--guncelle") == 0) {
    if (!handOver(dir, {"--zip", argv[2], "--hedef", dir})) return 1;
    std::printf("Tavonu guncelleme icin kapaniyor.\n");
  }
  return 0;
}
