// The fault-injecting platform layer for tests: every operation of
// platform.h, passed through to a second build of the POSIX file whose
// functions carry a "real_" prefix, with a counter per operation and one
// armed fault.
#include "platform_faulty.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "platform.h"

// The real operations, and the pass-through of those this layer leaves alone.
#define PLATFORM_PASS(type, name, parameters, arguments) \
  type real_##name parameters;                           \
  type name parameters { return real_##name arguments; }
#define PLATFORM_OWN(type, name, parameters) type real_##name parameters;
#include "platform_operations.h"
#undef PLATFORM_PASS
#undef PLATFORM_OWN

namespace {

struct FaultState {
  int calls[int(FaultOp::count)] = {};
  FaultOp op = FaultOp::count;
  int k = 0;
  bool injected = false;
  // The file served from otherBytes once it was read to its end.
  std::string otherPath, otherBytes;
  FileHandle otherHandle = invalidHandle;
  bool readWhole = false;
  FaultOp hookOp = FaultOp::count;
  int hookK = 0;
  std::function<void()> hook;
};

FaultState state;

// True when this file-system operation is the one TAVO_KILL_AT names.
bool killNow() {
  static const char* at = std::getenv("TAVO_KILL_AT");
  static int k = at != nullptr ? std::atoi(at) : 0;
  static int operations = 0;
  return ++operations == k;
}

void killed() { raise(SIGKILL); }

// Counts the call; true when this is the one that must fail.
bool faultHere(FaultOp op) {
  int n = ++state.calls[int(op)];
  if (op == state.hookOp && n == state.hookK && state.hook) std::exchange(state.hook, nullptr)();
  if (op != state.op || n != state.k) return false;
  state.injected = true;
  return true;
}

// The same for an operation that can be killed only before it acts.
bool failsNow(FaultOp op) {
  if (killNow()) killed();
  return faultHere(op);
}

}  // namespace

const char* faultOpName(FaultOp op) {
  static const char* const names[] = {
      "createDirectory", "copyFileOver", "removeFile", "createOutputFile", "writeOutputFile",
      "closeOutputFile", "setFileTimes", "removeTree", "moveFile",         "syncVolume"};
  return op < FaultOp::count ? names[int(op)] : "none";
}

void armFault(FaultOp op, int k) {
  state = FaultState();
  state.op = op;
  state.k = k;
}

void serveOtherBytesLater(const std::string& path, const std::string& bytes) {
  state.otherPath = path;
  state.otherBytes = bytes;
}

void beforeCall(FaultOp op, int k, std::function<void()> action) {
  state.hookOp = op;
  state.hookK = k;
  state.hook = std::move(action);
}

int callsOf(FaultOp op) { return state.calls[int(op)]; }

bool faultInjected() { return state.injected; }

// While copies are swept, no file of the installation can be moved into the
// backup directory (as from a volume apart from it), so every backup is a
// copy.
bool moveFile(const std::string& from, const std::string& to, bool replace) {
  if (failsNow(FaultOp::moveFile)) return false;
  bool aside = from.find("_guncelleme_yedek") == std::string::npos &&
               to.find("_guncelleme_yedek") != std::string::npos;
  return !(aside && state.op == FaultOp::copyFileOver) && real_moveFile(from, to, replace);
}

bool syncDirectory(const std::string& path) {
  if (killNow()) killed();
  return real_syncDirectory(path);
}

bool syncVolume(const std::string& path) {
  return !failsNow(FaultOp::syncVolume) && real_syncVolume(path);
}

bool createDirectory(const std::string& path) {
  return !failsNow(FaultOp::createDirectory) && real_createDirectory(path);
}

// Half a copy, as when the disk fills up or the process dies during it.
void halfCopy(const std::string& from, const std::string& to) {
  struct stat st;
  std::string target = real_systemPath(to);
  if (real_copyFileOver(from, to) && stat(target.c_str(), &st) == 0)
    truncate(target.c_str(), st.st_size / 2);
}

bool copyFileOver(const std::string& from, const std::string& to) {
  if (killNow()) {
    halfCopy(from, to);
    killed();
  }
  if (!faultHere(FaultOp::copyFileOver)) return real_copyFileOver(from, to);
  halfCopy(from, to);
  return false;
}

bool removeFile(const std::string& path) {
  return !failsNow(FaultOp::removeFile) && real_removeFile(path);
}

bool removeTree(const std::string& path) {
  return !failsNow(FaultOp::removeTree) && real_removeTree(path);
}

bool emptyDirectory(const std::string& path) {
  if (killNow()) killed();
  return real_emptyDirectory(path);
}

bool removeDirectory(const std::string& path) {
  if (killNow()) killed();
  return real_removeDirectory(path);
}

FileHandle createOutputFile(const std::string& path, const PathInfo* like) {
  return failsNow(FaultOp::createOutputFile) ? invalidHandle : real_createOutputFile(path, like);
}

bool writeOutputFile(FileHandle file, const void* data, std::size_t size) {
  if (killNow()) {
    real_writeOutputFile(file, data, size / 2);
    killed();
  }
  if (!faultHere(FaultOp::writeOutputFile)) return real_writeOutputFile(file, data, size);
  real_writeOutputFile(file, data, size / 2);
  return false;
}

bool closeOutputFile(FileHandle file) {
  bool closed = real_closeOutputFile(file);
  return !failsNow(FaultOp::closeOutputFile) && closed;
}

bool setFileTimes(const std::string& path, FileTime when) {
  return !failsNow(FaultOp::setFileTimes) && real_setFileTimes(path, when);
}

bool flushOutputFile(FileHandle file) {
  if (killNow()) killed();
  return real_flushOutputFile(file);
}

bool readWholeFile(const std::string& path, std::string* content) {
  if (killNow()) killed();
  return real_readWholeFile(path, content);
}

void sleepMilliseconds(unsigned) {}

// The archive is only read: its operations pass through uncounted, its
// reads from otherBytes once serveOtherBytesLater asks for it.
bool openInputFile(const std::string& path, InputFile* file, Reading reading) {
  bool opened = real_openInputFile(path, file, reading);
  if (opened && path == state.otherPath) state.otherHandle = file->handle;
  return opened;
}

std::int64_t readInputFile(const InputFile& file, std::uint64_t offset, void* buffer,
                           std::size_t size) {
  bool served = file.handle == state.otherHandle;
  if (served && state.readWhole) {
    std::size_t from = std::size_t(std::min<std::uint64_t>(offset, state.otherBytes.size()));
    return std::int64_t(state.otherBytes.copy(static_cast<char*>(buffer), size, from));
  }
  std::int64_t got = real_readInputFile(file, offset, buffer, size);
  state.readWhole = state.readWhole || (served && got >= 0 && offset + got >= file.size);
  return got;
}
