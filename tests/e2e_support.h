// Support for the end-to-end runs: how to start the updater and its helper
// programs, how to spell a path for them, and running them to completion.
#ifndef TAVO_TESTS_E2E_SUPPORT_H
#define TAVO_TESTS_E2E_SUPPORT_H

#include <map>
#include <string>
#include <vector>

#include "constants.h"

// A file tree as treeOf() gives it.
typedef std::map<std::string, std::string> Tree;

// What the updater prints on standard output for each outcome.
inline const std::string banner = sayBanner;
inline const std::string succeeded = banner + sayDone;
inline const std::string rolledBack = banner + sayRollingBack;

struct E2eConfig {
  std::string updater;              // host path of the updater executable
  std::string helpers;              // host directory of the helper programs
  std::vector<std::string> prefix;  // words put before every program, e.g. "wine"
  bool windows = false;             // paths spelt Z:\..., Windows semantics
};

// Reads --updater, --helpers, --prefix (repeatable) and --paths posix|wine.
bool parseE2eConfig(int argc, char** argv, E2eConfig* config);
const E2eConfig& e2eConfig();

// Starts GoogleTest and reads the runner's own options; prints the usage
// and returns false when they are missing or unknown.
bool setUpE2e(int* argc, char** argv);

// A host path as the program under test takes it.
std::string spell(const std::string& hostPath);

// Host path of a helper program, e.g. helperProgram("sleeper").
std::string helperProgram(const std::string& name);

struct RunResult {
  int code = -1;
  std::string out, err;  // line feeds only: CR LF from a Windows runtime is undone
  double seconds = 0;
};

// Runs the updater with `args` in `cwd`, with extra environment entries.
RunResult runUpdater(const std::vector<std::string>& args, const std::string& cwd,
                     const std::vector<std::string>& environment = {});

// The same for another program (a host path), e.g. helperProgram("tavo_paket").
RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& cwd, const std::vector<std::string>& environment = {});

// Starts `program` (the updater when empty) in the background, its output
// going nowhere, with `environment` entries added; returns its host pid or -1.
int startUpdater(const std::vector<std::string>& args, const std::string& cwd,
                 const std::string& program = "", const std::vector<std::string>& environment = {});

// Waits for a background updater; its exit code, or -1 when a signal ended it.
int waitUpdater(int pid);

// Starts a helper program in the background; returns its host pid or -1.
int startHelper(const std::string& name, const std::vector<std::string>& args);

// Waits for a background helper to end.
void waitHelper(int pid);

// Waits up to `seconds` for `path` to exist.
bool waitForFile(const std::string& path, double seconds);

// Seconds on a monotonic clock.
double monotonicSeconds();

// minisign on the host: makes the key pair `dir`/pub, `dir`/sec without a
// password; signs `file` into `file`.minisig with it and `options`. True on success.
bool makeKeyPair(const std::string& dir);
bool signFile(const std::string& dir, const std::string& file, const std::string& options = "");

#endif
