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

#include "platform.h"

std::string real_systemPath(const std::string& path);
bool real_pathAttributes(const std::string& path, bool* isDirectory);
bool real_createDirectory(const std::string& path);
bool real_lookAt(const std::string& path, PathInfo* info);
bool real_listDirectory(const std::string& path, std::vector<std::string>* names);
std::uint32_t real_unixPermissions(const PathInfo& info);
bool real_moveFile(const std::string& from, const std::string& to, bool replace);
bool real_syncDirectory(const std::string& path);
bool real_syncVolume(const std::string& path);
bool real_copyFileOver(const std::string& from, const std::string& to);
bool real_removeFile(const std::string& path);
bool real_canMoveAside(const std::string& path);
bool real_fileHolders(const std::string& path, std::vector<FileHolder>* holders);
bool real_removeTree(const std::string& path);
bool real_emptyDirectory(const std::string& path);
bool real_fileIdentity(const std::string& path, std::string* identity);
bool real_storedName(const std::string& path, std::string* name);
bool real_freeSpace(const std::string& path, std::uint64_t* bytes);
bool real_removeDirectory(const std::string& path);
std::string real_nameKey(const std::string& name);
bool real_sameFileContent(const std::string& a, const std::string& b);
OutputFile real_createOutputFile(const std::string& path, const PathInfo* like);
bool real_writeOutputFile(OutputFile file, const void* data, std::size_t size);
bool real_closeOutputFile(OutputFile file);
bool real_setFileTimes(const std::string& path, FileTime when);
bool real_flushOutputFile(OutputFile file);
bool real_syncFile(const std::string& path);
bool real_readWholeFile(const std::string& path, std::string* content);
HoldResult real_holdDirectory(const std::string&, const std::string&, DirectoryHold*);
void real_releaseDirectory(DirectoryHold* hold);
bool real_waitForProcess(std::uint32_t pid, unsigned milliseconds);
std::vector<std::string> real_commandLineArguments(int argc, char** argv);
bool real_startProcess(const std::string& exe, const std::string& workDir);
bool real_openInputFile(const std::string& path, InputFile* file, bool shareWriting);
std::int64_t real_readInputFile(const InputFile& file, std::uint64_t offset, void* buffer,
                                std::size_t size);
bool real_inputFileUnchanged(const InputFile& file);
void real_closeInputFile(InputFile* file);
bool real_pathMissing(const std::string& path);

namespace {

struct FaultState {
  int calls[int(FaultOp::count)] = {};
  FaultOp op = FaultOp::count;
  int k = 0;
  bool injected = false;
  // The file served from otherBytes once it was read to its end.
  std::string otherPath, otherBytes;
  std::intptr_t otherHandle = -1;
  bool readWhole = false;
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

int callsOf(FaultOp op) { return state.calls[int(op)]; }

bool faultInjected() { return state.injected; }

std::string systemPath(const std::string& path) { return real_systemPath(path); }

bool pathAttributes(const std::string& path, bool* isDirectory) {
  return real_pathAttributes(path, isDirectory);
}

bool lookAt(const std::string& path, PathInfo* info) { return real_lookAt(path, info); }

// A listing only reads: it passes through uncounted.
bool listDirectory(const std::string& path, std::vector<std::string>* names) {
  return real_listDirectory(path, names);
}

std::uint32_t unixPermissions(const PathInfo& info) { return real_unixPermissions(info); }

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

// Questions only: they change nothing, so they are neither counted nor
// kill points.
bool canMoveAside(const std::string& path) { return real_canMoveAside(path); }

bool fileHolders(const std::string& path, std::vector<FileHolder>* holders) {
  return real_fileHolders(path, holders);
}

bool removeTree(const std::string& path) {
  return !failsNow(FaultOp::removeTree) && real_removeTree(path);
}

bool emptyDirectory(const std::string& path) {
  if (killNow()) killed();
  return real_emptyDirectory(path);
}

bool fileIdentity(const std::string& path, std::string* identity) {
  return real_fileIdentity(path, identity);
}

bool storedName(const std::string& path, std::string* name) { return real_storedName(path, name); }

bool freeSpace(const std::string& path, std::uint64_t* bytes) {
  return real_freeSpace(path, bytes);
}

bool removeDirectory(const std::string& path) {
  if (killNow()) killed();
  return real_removeDirectory(path);
}

std::string nameKey(const std::string& name) { return real_nameKey(name); }

bool sameFileContent(const std::string& a, const std::string& b) {
  return real_sameFileContent(a, b);
}

OutputFile createOutputFile(const std::string& path, const PathInfo* like) {
  return failsNow(FaultOp::createOutputFile) ? invalidHandle : real_createOutputFile(path, like);
}

bool writeOutputFile(OutputFile file, const void* data, std::size_t size) {
  if (killNow()) {
    real_writeOutputFile(file, data, size / 2);
    killed();
  }
  if (!faultHere(FaultOp::writeOutputFile)) return real_writeOutputFile(file, data, size);
  real_writeOutputFile(file, data, size / 2);
  return false;
}

bool closeOutputFile(OutputFile file) {
  bool closed = real_closeOutputFile(file);
  return !failsNow(FaultOp::closeOutputFile) && closed;
}

bool setFileTimes(const std::string& path, FileTime when) {
  return !failsNow(FaultOp::setFileTimes) && real_setFileTimes(path, when);
}

bool flushOutputFile(OutputFile file) {
  if (killNow()) killed();
  return real_flushOutputFile(file);
}

bool syncFile(const std::string& path) { return real_syncFile(path); }

bool readWholeFile(const std::string& path, std::string* content) {
  if (killNow()) killed();
  return real_readWholeFile(path, content);
}

HoldResult holdDirectory(const std::string& path, const std::string& lockDir, DirectoryHold* hold) {
  return real_holdDirectory(path, lockDir, hold);
}

void releaseDirectory(DirectoryHold* hold) { real_releaseDirectory(hold); }

bool waitForProcess(std::uint32_t pid, unsigned milliseconds) {
  return real_waitForProcess(pid, milliseconds);
}

void sleepMilliseconds(unsigned) {}

std::vector<std::string> commandLineArguments(int argc, char** argv) {
  return real_commandLineArguments(argc, argv);
}

bool startProcess(const std::string& exe, const std::string& workDir) {
  return real_startProcess(exe, workDir);
}

// The archive is only read: its operations pass through uncounted, its
// reads from otherBytes once serveOtherBytesLater asks for it.
bool openInputFile(const std::string& path, InputFile* file, bool shareWriting) {
  bool opened = real_openInputFile(path, file, shareWriting);
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

bool inputFileUnchanged(const InputFile& file) { return real_inputFileUnchanged(file); }

void closeInputFile(InputFile* file) { real_closeInputFile(file); }

bool pathMissing(const std::string& path) { return real_pathMissing(path); }
