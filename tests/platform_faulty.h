// Control of the fault-injecting platform layer: it passes every call to the
// real POSIX operations, counts the calls of each operation named below, and
// can make the k-th call of one of them fail. sleepMilliseconds returns at
// once, so that in-process runs do not wait for the host's pause.
#ifndef TAVO_TESTS_PLATFORM_FAULTY_H
#define TAVO_TESTS_PLATFORM_FAULTY_H

#include <functional>
#include <string>

enum class FaultOp {
  createDirectory,
  copyFileOver,
  removeFile,
  createOutputFile,
  writeOutputFile,
  closeOutputFile,
  setFileTimes,
  removeTree,
  moveFile,
  syncVolume,
  count
};

const char* faultOpName(FaultOp op);

// Clears the counters; with k > 0 the k-th call of `op` from now on fails.
// A failing copy or write leaves half of its data behind, as a full disk
// would; a failing close closes the file; the others change nothing. While
// copyFileOver is armed, no file can be moved aside, so backups are copies.
void armFault(FaultOp op, int k);

// Until the next armFault: `action` runs once, just before the k-th call of
// `op` (as another program changing the installation while the run goes on).
void beforeCall(FaultOp op, int k, std::function<void()> action);

// Calls of `op` since the last armFault.
int callsOf(FaultOp op);

// True when the armed fault has been injected.
bool faultInjected();

// Until the next armFault: once a read of the file `path` has reached its
// end, every later read of it is served from `bytes` instead (as a file
// system that answers differently the second time).
void serveOtherBytesLater(const std::string& path, const std::string& bytes);

// In a process whose environment sets TAVO_KILL_AT=k (the killable test
// build of the updater), the k-th call of an operation that changes the
// file system or reads a whole file kills the process with SIGKILL: a copy or
// a write after half of its data, any other operation before it acts.
// Questions (lookAt, canMoveAside, ...) are not counted.
#endif
