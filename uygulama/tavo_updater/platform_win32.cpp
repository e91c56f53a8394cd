// Platform operations for Windows, over the narrow ("A") Win32 calls. The
// manifest sets the process code page to UTF-8, so every char* path here is
// UTF-8, as libzip takes it too.
#include "platform.h"

#define WIN32_LEAN_AND_MEAN
// libstdc++ may have defined it already.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

// Needs the types of windows.h.
#include <shellapi.h>

#include <cstring>
#include <vector>

namespace {

const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Silent, no questions, no error windows, and no recycle bin.
const FILEOP_FLAGS quietDelete =
    FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR | FOF_NOERRORUI;
static_assert(quietDelete == 0x614, "flags of the backup tree removal");

// Seconds between 1601-01-01 (FILETIME) and 1970-01-01 (time_t).
const long long epochDifference = 11644473600LL;

bool pathExists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Opens an existing file or directory for its metadata only; no data access,
// so a file that another process holds without sharing can still be opened.
HANDLE openForMetadata(const std::string& path, DWORD access) {
  return CreateFileA(path.c_str(), access, shareAll, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

}  // namespace

std::string systemPath(const std::string& path) { return path; }

bool pathAttributes(const std::string& path, bool* isDirectory) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  *isDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  return true;
}

bool createDirectory(const std::string& path) {
  return CreateDirectoryA(path.c_str(), nullptr) != 0;
}

bool copyFileOver(const std::string& from, const std::string& to) {
  // CopyFileA keeps the source's attributes and last-write time.
  return CopyFileA(from.c_str(), to.c_str(), FALSE) != 0;
}

bool removeFile(const std::string& path) { return DeleteFileA(path.c_str()) != 0; }

bool removeTree(const std::string& path) {
  // The shell wants a list of names, each ended by a zero byte, the list by
  // another one.
  std::vector<char> from(path.begin(), path.end());
  from.push_back('\0');
  from.push_back('\0');
  SHFILEOPSTRUCTA operation;
  std::memset(&operation, 0, sizeof operation);
  operation.hwnd = nullptr;
  operation.wFunc = FO_DELETE;
  operation.pFrom = from.data();
  operation.pTo = nullptr;
  operation.fFlags = quietDelete;
  SHFileOperationA(&operation);
  return !pathExists(path);
}

bool fileIdentity(const std::string& path, std::string* identity) {
  // Volume and file index name the file itself, whatever letter case or
  // spelling the path uses.
  HANDLE h = openForMetadata(path, FILE_READ_ATTRIBUTES);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  bool known = GetFileInformationByHandle(h, &info) != 0;
  CloseHandle(h);
  if (!known) return false;
  *identity = std::to_string(info.dwVolumeSerialNumber) + ":" +
              std::to_string(info.nFileIndexHigh) + ":" + std::to_string(info.nFileIndexLow);
  return true;
}

OutputFile createOutputFile(const std::string& path) {
  // Readers may share the file while it is written (a scanner that already
  // holds it with full sharing does not make the extraction fail); writers
  // may not, so nobody changes the bytes whose size and CRC-32 we check.
  // An existing hidden or system file must be reopened with those bits, or
  // CREATE_ALWAYS refuses it.
  DWORD attributes = GetFileAttributesA(path.c_str());
  DWORD keep = attributes == INVALID_FILE_ATTRIBUTES
                   ? 0
                   : attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                         keep != 0 ? keep : FILE_ATTRIBUTE_NORMAL, nullptr);
  return h == INVALID_HANDLE_VALUE ? invalidHandle : OutputFile(h);
}

bool writeOutputFile(OutputFile file, const void* data, std::size_t size) {
  HANDLE h = reinterpret_cast<HANDLE>(file);
  const char* next = static_cast<const char*>(data);
  // WriteFile takes at most a DWORD per call and may write less than asked.
  while (size > 0) {
    DWORD chunk = size > 0x40000000 ? DWORD(0x40000000) : DWORD(size);
    DWORD written = 0;
    if (!WriteFile(h, next, chunk, &written, nullptr) || written == 0) return false;
    next += written;
    size -= written;
  }
  return true;
}

bool closeOutputFile(OutputFile file) { return CloseHandle(reinterpret_cast<HANDLE>(file)) != 0; }

bool setFileTimes(const std::string& path, std::time_t when) {
  long long seconds = static_cast<long long>(when) + epochDifference;
  if (seconds < 0) return false;
  unsigned long long ticks = static_cast<unsigned long long>(seconds) * 10000000ULL;
  FILETIME time;
  time.dwLowDateTime = DWORD(ticks & 0xFFFFFFFFULL);
  time.dwHighDateTime = DWORD(ticks >> 32);
  HANDLE h = openForMetadata(path, FILE_WRITE_ATTRIBUTES);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool set = SetFileTime(h, nullptr, &time, &time) != 0;
  return CloseHandle(h) != 0 && set;
}

bool waitForProcess(std::uint32_t pid, unsigned milliseconds) {
  if (pid == 0) return false;
  HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, DWORD(pid));
  if (h == nullptr) return false;
  WaitForSingleObject(h, DWORD(milliseconds));
  CloseHandle(h);
  return true;
}

void sleepMilliseconds(unsigned milliseconds) { Sleep(DWORD(milliseconds)); }

bool startProcess(const std::string& exe, const std::string& workDir) {
  STARTUPINFOA si;
  std::memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  std::memset(&pi, 0, sizeof pi);
  // The command line is the path alone, in double quotes, in a buffer the
  // call may write to.
  std::string cmd = "\"" + exe + "\"";
  std::vector<char> cmdBuf(cmd.begin(), cmd.end());
  cmdBuf.push_back('\0');
  std::string calismaDizin = workDir;
  if (!CreateProcessA(exe.c_str(), cmdBuf.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      calismaDizin.c_str(), &si, &pi))
    return false;
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return true;
}

// ---- Journal, flushing and the directory hold ----

bool flushOutputFile(OutputFile file) {
  return FlushFileBuffers(reinterpret_cast<HANDLE>(file)) != 0;
}

bool syncFile(const std::string& path) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, shareAll, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool synced = FlushFileBuffers(h) != 0;
  return CloseHandle(h) != 0 && synced;
}

bool readWholeFile(const std::string& path, std::string* content) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, shareAll, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  content->clear();
  char buffer[65536];
  bool read = true;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(h, buffer, sizeof buffer, &got, nullptr)) {
      read = false;
      break;
    }
    if (got == 0) break;
    content->append(buffer, got);
  }
  CloseHandle(h);
  return read;
}

HoldResult holdDirectory(const std::string& path, DirectoryHold* hold) {
  // Volume serial and file index name the directory whatever the letter
  // case or separators of the path; a mutex of that name is owned by one
  // process at a time and becomes free (abandoned) when its owner dies.
  HANDLE dir = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, shareAll, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (dir == INVALID_HANDLE_VALUE) return HoldResult::unavailable;
  BY_HANDLE_FILE_INFORMATION info;
  bool known = GetFileInformationByHandle(dir, &info) != 0;
  CloseHandle(dir);
  if (!known || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
    return HoldResult::unavailable;
  std::string name = "Local\\tavo_updater_" + std::to_string(info.dwVolumeSerialNumber) + "_" +
                     std::to_string(info.nFileIndexHigh) + "_" + std::to_string(info.nFileIndexLow);
  HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
  if (mutex == nullptr) return HoldResult::unavailable;
  DWORD waited = WaitForSingleObject(mutex, 0);
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
    hold->handle = reinterpret_cast<std::intptr_t>(mutex);
    return HoldResult::held;
  }
  CloseHandle(mutex);
  return waited == WAIT_TIMEOUT ? HoldResult::busy : HoldResult::unavailable;
}

void releaseDirectory(DirectoryHold* hold) {
  if (hold->handle == -1) return;
  HANDLE mutex = reinterpret_cast<HANDLE>(hold->handle);
  ReleaseMutex(mutex);
  CloseHandle(mutex);
  hold->handle = -1;
}
