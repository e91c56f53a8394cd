// Platform operations for Windows. The program's paths are UTF-8 strings;
// every call here reaches the system through the wide ("W") API, with the
// "\\?\" form of the full path for files, so that paths up to the system's
// limit of about 32,767 characters and names outside ASCII work whatever
// the process code page is.
#include "platform.h"

#define WIN32_LEAN_AND_MEAN
// libstdc++ may have defined it already.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

// Needs the types of windows.h.
#include <restartmanager.h>
#include <sddl.h>
#include <shellapi.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace {

const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The attributes a replaced file keeps, as a copy keeps its source's.
const DWORD keptAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// The hold's mutex: everyone (WD) may wait on it and release it
// (SYNCHRONIZE | MUTEX_MODIFY_STATE), nothing more.
const wchar_t* const holdSecurity = L"D:(A;;0x00100001;;;WD)";

// What a copy takes over from its source's security descriptor.
const SECURITY_INFORMATION keptSecurity =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

// Seconds between 1601-01-01 (FILETIME) and 1970-01-01 (time_t).
const long long epochDifference = 11644473600LL;

const std::size_t compareChunk = 64 * 1024;
const std::size_t copyChunk = 1024 * 1024;

std::wstring widen(const std::string& text) {
  if (text.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
  std::wstring result(std::size_t(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), &result[0], n);
  return result;
}

std::string narrow(const std::wstring& text) {
  if (text.empty()) return std::string();
  int n =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
  std::string result(std::size_t(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), &result[0], n, nullptr, nullptr);
  return result;
}

const std::wstring longPrefix = L"\\\\?\\";

// The "\\?\" form of `path`. The system takes that form literally, so the
// path is first made full as the system would read the classic form
// (against the current directory, '/' as a separator, "." and ".."
// resolved); \\server\share becomes \\?\UNC\server\share. A path already in
// that form, or a device path (\\.\), is passed unchanged.
std::wstring longPath(const std::string& path) {
  std::wstring wide = widen(path);
  if (wide.compare(0, longPrefix.size(), longPrefix) == 0) return wide;
  DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (size == 0) return wide;
  std::wstring full(size, L'\0');
  DWORD n = GetFullPathNameW(wide.c_str(), size, &full[0], nullptr);
  if (n == 0 || n >= size) return wide;
  full.resize(n);
  std::replace(full.begin(), full.end(), L'/', L'\\');
  if (full.compare(0, 2, L"\\\\") != 0) return longPrefix + full;
  if (full.compare(0, 4, L"\\\\.\\") == 0 || full.compare(0, 4, longPrefix) == 0) return full;
  return longPrefix + L"UNC\\" + full.substr(2);
}

// A file that another process holds (a scanner, an indexer, a backup agent)
// is usually let go within moments: an operation that fails for that reason
// is tried again after growing pauses (50, 100, 200, 400, 800 ms, then what
// is left of holdLimitPerCall), but a process waits at most holdLimitPerRun
// for held files in all. The budget is per process on purpose: one run is
// one process, and the limit is about the whole run.
const unsigned firstPause = 50;
const unsigned holdLimitPerCall = 2000;
const unsigned holdLimitPerRun = 10000;
unsigned holdBudgetLeft = holdLimitPerRun;

bool heldByAnother(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// Calls `attempt` (true on success) until it succeeds, fails for another
// reason, or the limits are spent; the last attempt's error stays set.
template <typename Attempt>
bool retryWhileHeld(Attempt attempt) {
  unsigned waited = 0;
  for (unsigned pause = firstPause;; pause *= 2) {
    if (attempt()) return true;
    DWORD error = GetLastError();
    unsigned next = std::min({pause, holdLimitPerCall - waited, holdBudgetLeft});
    if (!heldByAnother(error) || next == 0) {
      SetLastError(error);
      return false;
    }
    Sleep(next);
    waited += next;
    holdBudgetLeft -= next;
  }
}

DWORD attributesOf(const std::wstring& name) {
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  retryWhileHeld([&] {
    attributes = GetFileAttributesW(name.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES;
  });
  return attributes;
}

// True when `name` is an existing file (not a directory); then *attributes.
bool existingFile(const std::wstring& name, DWORD* attributes) {
  *attributes = attributesOf(name);
  return *attributes != INVALID_FILE_ATTRIBUTES && !(*attributes & FILE_ATTRIBUTE_DIRECTORY);
}

HANDLE openFile(const std::wstring& name, DWORD access, DWORD share, DWORD disposition,
                DWORD flags) {
  HANDLE h = INVALID_HANDLE_VALUE;
  retryWhileHeld([&] {
    h = CreateFileW(name.c_str(), access, share, nullptr, disposition, flags, nullptr);
    return h != INVALID_HANDLE_VALUE;
  });
  return h;
}

bool sameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

// The reparse tags of symbolic links and junctions (name surrogates) have
// this bit.
const DWORD nameSurrogate = 0x20000000;

// Opens `name` as openFile does, but never through a symbolic link or
// junction at the name itself: what the open reached is looked at through
// its own handle, and a link there makes it fail (ERROR_CANT_ACCESS_FILE)
// before anything is written. Another kind of reparse point (a compressed,
// deduplicated or cloud file) is the file itself, which only its filter
// serves: it is opened again as usual and must still be the same file.
// `disposition` is CREATE_NEW, OPEN_EXISTING or OPEN_ALWAYS: the system
// refuses the flag with CREATE_ALWAYS.
HANDLE openNotThroughLink(const std::wstring& name, DWORD access, DWORD share, DWORD disposition,
                          DWORD flags) {
  HANDLE h = openFile(name, access, share, disposition, flags | FILE_FLAG_OPEN_REPARSE_POINT);
  if (h == INVALID_HANDLE_VALUE) return h;
  FILE_ATTRIBUTE_TAG_INFO tag;
  BY_HANDLE_FILE_INFORMATION first;
  bool known = GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag) != 0;
  if (known && (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return h;
  known = known && (tag.ReparseTag & nameSurrogate) == 0 && GetFileInformationByHandle(h, &first);
  CloseHandle(h);
  h = known ? openFile(name, access, share, OPEN_EXISTING, flags) : INVALID_HANDLE_VALUE;
  BY_HANDLE_FILE_INFORMATION again;
  if (h != INVALID_HANDLE_VALUE && GetFileInformationByHandle(h, &again) && sameFile(first, again))
    return h;
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  SetLastError(ERROR_CANT_ACCESS_FILE);
  return INVALID_HANDLE_VALUE;
}

// Opens an existing file or directory for its metadata only; no data access,
// so a file that another process holds without sharing can still be opened.
HANDLE openForMetadata(const std::wstring& name, DWORD access) {
  return openFile(name, access, shareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
}

bool fileInformation(const std::wstring& name, BY_HANDLE_FILE_INFORMATION* info) {
  HANDLE h = openForMetadata(name, FILE_READ_ATTRIBUTES);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool known = GetFileInformationByHandle(h, info) != 0;
  CloseHandle(h);
  return known;
}

bool setAttributes(const std::wstring& name, DWORD attributes) {
  return retryWhileHeld([&] { return SetFileAttributesW(name.c_str(), attributes) != 0; });
}

bool deleteName(const std::wstring& name) {
  return retryWhileHeld([&] { return DeleteFileW(name.c_str()) != 0; });
}

// True when the existing file `name` must not be written in place: it has
// one of the attributes in `refused`, or other names (hard links) that
// would see the new bytes.
bool mustReplaceName(const std::wstring& name, DWORD attributes, DWORD refused) {
  if (attributes & refused) return true;
  BY_HANDLE_FILE_INFORMATION info;
  return fileInformation(name, &info) && info.nNumberOfLinks > 1;
}

// Removes the name of an existing file, read-only or not; other links of the
// file keep their content. The attributes come back when it fails (a
// running program's image cannot be deleted).
bool removeName(const std::wstring& name, DWORD attributes) {
  bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (readOnly && !setAttributes(name, attributes & ~DWORD(FILE_ATTRIBUTE_READONLY))) return false;
  if (deleteName(name)) return true;
  DWORD error = GetLastError();
  if (readOnly) SetFileAttributesW(name.c_str(), attributes);
  SetLastError(error);
  return false;
}

// Removes a directory link or junction itself, not what it points to.
bool removeLink(const std::wstring& name) {
  return retryWhileHeld([&] { return RemoveDirectoryW(name.c_str()) != 0; });
}

void removeTreeBelow(const std::wstring& dir);

// Removes what was found at `name` with `attributes`, read-only or not: a
// file, a directory link or junction as a link (never entered), or a
// directory with everything below it.
void removeEntry(const std::wstring& name, DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_READONLY)
    setAttributes(name, attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
    deleteName(name);
  else if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
    removeLink(name);
  else
    removeTreeBelow(name);
}

// Removes what is below the directory `dir` (a "\\?\" path); true when
// nothing is left.
bool emptyTree(const std::wstring& dir) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  bool empty = true;
  do {
    std::wstring entry = found.cFileName;
    if (entry == L"." || entry == L"..") continue;
    removeEntry(dir + L"\\" + entry, found.dwFileAttributes);
    empty = empty && attributesOf(dir + L"\\" + entry) == INVALID_FILE_ATTRIBUTES;
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return empty;
}

// Removes the directory `dir` (a "\\?\" path) and what is below it.
void removeTreeBelow(const std::wstring& dir) {
  emptyTree(dir);
  retryWhileHeld([&] { return RemoveDirectoryW(dir.c_str()) != 0; });
}

// Gives the file open as `target` the owner, group and DACL of `source`,
// exactly as they are (no inheritance is worked out again), so that a
// backup and its restore give a file back its own. Setting another user's
// owner needs a privilege most runs do not hold, and the handle may lack
// the rights: then the group and DACL go alone, then the DACL; what the
// system refuses stays as it was.
void copySecurity(const std::wstring& source, HANDLE target) {
  DWORD size = 0;
  GetFileSecurityW(source.c_str(), keptSecurity, nullptr, 0, &size);
  std::vector<char> buffer(size);
  PSECURITY_DESCRIPTOR security = buffer.data();
  if (size == 0 || !GetFileSecurityW(source.c_str(), keptSecurity, security, size, &size)) return;
  for (SECURITY_INFORMATION parts : {keptSecurity, keptSecurity & ~OWNER_SECURITY_INFORMATION,
                                     SECURITY_INFORMATION(DACL_SECURITY_INFORMATION)})
    if (SetKernelObjectSecurity(target, parts, security)) return;
}

HANDLE openForReading(const std::wstring& name) {
  return openFile(name, GENERIC_READ, shareAll, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
}

// True when both open files hold the same bytes.
bool sameBytes(HANDLE a, HANDLE b) {
  LARGE_INTEGER sizeA, sizeB;
  if (!GetFileSizeEx(a, &sizeA) || !GetFileSizeEx(b, &sizeB) || sizeA.QuadPart != sizeB.QuadPart)
    return false;
  std::unique_ptr<char[]> bufferA(new char[compareChunk]), bufferB(new char[compareChunk]);
  for (;;) {
    DWORD gotA = 0, gotB = 0;
    if (!ReadFile(a, bufferA.get(), DWORD(compareChunk), &gotA, nullptr) ||
        !ReadFile(b, bufferB.get(), DWORD(compareChunk), &gotB, nullptr) || gotA != gotB)
      return false;
    if (gotA == 0) return true;
    if (std::memcmp(bufferA.get(), bufferB.get(), gotA) != 0) return false;
  }
}

}  // namespace

std::string systemPath(const std::string& path) { return narrow(longPath(path)); }

namespace {

FileTime fromFileTime(const FILETIME& time) {
  unsigned long long ticks =
      (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  return FileTime{static_cast<std::int64_t>(ticks / 10000000ULL) - epochDifference,
                  std::uint32_t(ticks % 10000000ULL) * 100};
}

bool isNotFound(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
         error == ERROR_INVALID_NAME || error == ERROR_DIRECTORY;
}

// A symbolic link or junction (a name surrogate); other reparse points, such
// as deduplicated or cloud files, are files as far as we are concerned.
bool isLinkTag(HANDLE h) {
  FILE_ATTRIBUTE_TAG_INFO tag;
  return GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag) &&
         (tag.ReparseTag & nameSurrogate) != 0;
}

}  // namespace

bool lookAt(const std::string& path, PathInfo* info, bool followLink) {
  // Volume and file index name the file itself, whatever letter case or
  // spelling the path uses.
  *info = PathInfo();
  HANDLE h = openFile(longPath(path), FILE_READ_ATTRIBUTES, shareAll, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS | (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT));
  if (h == INVALID_HANDLE_VALUE) return isNotFound(GetLastError());
  BY_HANDLE_FILE_INFORMATION found;
  bool known = GetFileInformationByHandle(h, &found) != 0;
  if (known) {
    DWORD attributes = found.dwFileAttributes;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) && isLinkTag(h))
      info->kind = PathKind::link;
    else
      info->kind = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::directory : PathKind::file;
    info->size = (static_cast<std::uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
    info->modified = fromFileTime(found.ftLastWriteTime);
    info->permissions = attributes & keptAttributes;
    info->identity = std::to_string(found.dwVolumeSerialNumber) + ":" +
                     std::to_string(found.nFileIndexHigh) + ":" +
                     std::to_string(found.nFileIndexLow);
  }
  CloseHandle(h);
  return known;
}

bool storedName(const std::string& path, std::string* name) {
  // The directory listing gives the name as it was created.
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(longPath(path).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  *name = narrow(found.cFileName);
  return true;
}

bool listDirectory(const std::string& path, std::vector<std::string>* names) {
  names->clear();
  std::wstring dir = longPath(path);
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &found);
  // A drive root has no "." entry: nothing found there is an empty listing.
  if (search == INVALID_HANDLE_VALUE) {
    DWORD attributes = GetLastError() == ERROR_FILE_NOT_FOUND ? attributesOf(dir) : 0;
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
  }
  do {
    std::wstring entry = found.cFileName;
    if (entry != L"." && entry != L"..") names->push_back(narrow(entry));
  } while (FindNextFileW(search, &found));
  bool complete = GetLastError() == ERROR_NO_MORE_FILES;
  FindClose(search);
  return complete;
}

std::uint32_t unixPermissions(const PathInfo& info) {
  if (info.kind == PathKind::directory) return 0755;
  return (info.permissions & FILE_ATTRIBUTE_READONLY) ? 0444 : 0644;
}

bool createDirectory(const std::string& path) {
  std::wstring name = longPath(path);
  return retryWhileHeld([&] { return CreateDirectoryW(name.c_str(), nullptr) != 0; });
}

namespace {

// The attributes a copy takes over from its source, as CopyFileW does.
const DWORD copiedAttributes = keptAttributes | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY |
                               FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Copies the rest of `in` to `out` from their current offsets.
bool copyBytes(HANDLE in, HANDLE out) {
  std::unique_ptr<char[]> buffer(new char[copyChunk]);
  for (;;) {
    DWORD got = 0, written = 0;
    if (!ReadFile(in, buffer.get(), DWORD(copyChunk), &got, nullptr)) return false;
    if (got == 0) return true;
    if (!WriteFile(out, buffer.get(), got, &written, nullptr) || written != got) return false;
  }
}

// Opens `name` for writing a copy into it, never through a link at the
// name, with the rights to set its security where they are granted.
HANDLE openCopyTarget(const std::wstring& name) {
  for (DWORD extra : {DWORD(WRITE_DAC | WRITE_OWNER), DWORD(WRITE_DAC), DWORD(0)}) {
    HANDLE h = openNotThroughLink(name, GENERIC_WRITE | extra, FILE_SHARE_READ, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL);
    if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED) return h;
  }
  return INVALID_HANDLE_VALUE;
}

LARGE_INTEGER asInteger(const FILETIME& time) {
  LARGE_INTEGER value;
  value.LowPart = time.dwLowDateTime;
  value.HighPart = LONG(time.dwHighDateTime);
  return value;
}

}  // namespace

bool copyFileOver(const std::string& from, const std::string& to) {
  // Our own copy, not CopyFileW, which writes through a link at the
  // destination's name: the destination is opened as a file of its own
  // (openNotThroughLink), emptied and filled through that handle, which
  // then takes the source's attributes, last-write time and security. A
  // read-only, hidden or system destination, or a hard-linked one, is not
  // written in place: its name is removed first.
  std::wstring source = longPath(from), target = longPath(to);
  DWORD attributes = 0;
  if (existingFile(target, &attributes) && mustReplaceName(target, attributes, keptAttributes) &&
      !removeName(target, attributes))
    return false;
  // Nobody may write the source while it is copied.
  HANDLE in = openFile(source, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING,
                       FILE_FLAG_SEQUENTIAL_SCAN);
  if (in == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  HANDLE out = INVALID_HANDLE_VALUE;
  if (GetFileInformationByHandle(in, &info) && !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    out = openCopyTarget(target);
  bool copied = out != INVALID_HANDLE_VALUE && SetEndOfFile(out) && copyBytes(in, out);
  if (copied) {
    FILE_BASIC_INFO basic;
    std::memset(&basic, 0, sizeof basic);  // zero: left as it is
    basic.LastAccessTime = asInteger(info.ftLastAccessTime);
    basic.LastWriteTime = asInteger(info.ftLastWriteTime);
    DWORD kept = info.dwFileAttributes & copiedAttributes;
    basic.FileAttributes = kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL;
    copied = SetFileInformationByHandle(out, FileBasicInfo, &basic, sizeof basic) != 0;
    if (copied) copySecurity(source, out);
  }
  if (out != INVALID_HANDLE_VALUE) copied = CloseHandle(out) != 0 && copied;
  CloseHandle(in);
  return copied;
}

bool moveFile(const std::string& from, const std::string& to, bool replace) {
  // Write-through: the rename is in the file system's log on the disk when
  // the call returns. A read-only file is not replaced by MoveFileExW: its
  // attribute is lifted first, and put back when the move fails.
  std::wstring source = longPath(from), target = longPath(to);
  DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  DWORD attributes = 0;
  bool readOnly =
      replace && existingFile(target, &attributes) && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (readOnly && !setAttributes(target, attributes & ~DWORD(FILE_ATTRIBUTE_READONLY)))
    return false;
  if (retryWhileHeld([&] { return MoveFileExW(source.c_str(), target.c_str(), flags) != 0; }))
    return true;
  DWORD error = GetLastError();
  if (readOnly) SetFileAttributesW(target.c_str(), attributes);
  SetLastError(error);
  return false;
}

bool removeFile(const std::string& path) { return deleteName(longPath(path)); }

bool removeDirectory(const std::string& path) {
  std::wstring name = longPath(path);
  return retryWhileHeld([&] { return RemoveDirectoryW(name.c_str()) != 0; });
}

std::string nameKey(const std::string& name) {
  // Locale-independent upper case, as the file system compares names.
  std::wstring wide = widen(name);
  if (wide.empty()) return name;
  std::wstring upper(wide.size(), L'\0');
  int n = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, wide.c_str(), int(wide.size()),
                        &upper[0], int(upper.size()), nullptr, nullptr, 0);
  return n == int(upper.size()) ? narrow(upper) : name;
}

bool canMoveAside(const std::string& path) {
  // A rename opens the file for deletion. Sharing everything, this open
  // fails only for what would stop the rename: a process that holds the
  // file without delete sharing (tried again as every held file is), or
  // delete access refused. The handle does nothing and is closed at once.
  std::wstring name = longPath(path);
  HANDLE h = openFile(name, DELETE, shareAll, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT);
  // A file another process holds open for writing, sharing writing but not
  // deletion, is copied aside and written in place instead: an open for
  // reading and writing tells whether that can be done (no second wait).
  if (h == INVALID_HANDLE_VALUE)
    h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, shareAll, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
}

bool fileHolders(const std::string& path, std::vector<FileHolder>* holders) {
  // The Restart Manager only lists who holds the file; the session shuts
  // down and restarts nothing unless asked to, and it is not. The path goes
  // in its classic full form where that fits, as the examples give it.
  std::wstring full = longPath(path);
  if (full.compare(0, 8, L"\\\\?\\UNC\\") == 0 && full.size() - 6 < MAX_PATH)
    full = L"\\" + full.substr(8);
  else if (full.compare(0, 4, longPrefix) == 0 && full.size() - 4 < MAX_PATH)
    full = full.substr(4);
  DWORD session = 0;
  WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
  if (RmStartSession(&session, 0, key) != ERROR_SUCCESS) return false;
  LPCWSTR files[] = {full.c_str()};
  DWORD result = RmRegisterResources(session, 1, files, 0, nullptr, 0, nullptr);
  std::vector<RM_PROCESS_INFO> found;
  UINT needed = 0, count = 0;
  DWORD reasons = 0;
  // The list may grow between the calls that size it and fill it.
  for (int attempt = 0; result == ERROR_SUCCESS; ++attempt) {
    found.resize(needed);
    count = needed;
    result = RmGetList(session, &needed, &count, found.data(), &reasons);
    if (result != ERROR_MORE_DATA || attempt == 4) break;
    result = ERROR_SUCCESS;
  }
  RmEndSession(session);
  if (result != ERROR_SUCCESS) return false;
  for (UINT i = 0; i < count && i < found.size(); ++i)
    holders->push_back(FileHolder{narrow(found[i].strAppName), found[i].Process.dwProcessId});
  return true;
}

bool removeTree(const std::string& path) {
  std::wstring name = longPath(path);
  DWORD attributes = attributesOf(name);
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;
  removeEntry(name, attributes);
  return attributesOf(name) == INVALID_FILE_ATTRIBUTES;
}

bool emptyDirectory(const std::string& path) { return emptyTree(longPath(path)); }

bool sameFileContent(const std::string& a, const std::string& b) {
  std::wstring first = longPath(a), second = longPath(b);
  DWORD attributesA = 0, attributesB = 0;
  if (!existingFile(first, &attributesA) || !existingFile(second, &attributesB) ||
      ((attributesA ^ attributesB) & keptAttributes) != 0)
    return false;
  HANDLE ha = openForReading(first);
  if (ha == INVALID_HANDLE_VALUE) return false;
  HANDLE hb = openForReading(second);
  bool same = hb != INVALID_HANDLE_VALUE && sameBytes(ha, hb);
  if (hb != INVALID_HANDLE_VALUE) CloseHandle(hb);
  CloseHandle(ha);
  return same;
}

FileHandle createOutputFile(const std::string& path, const PathInfo* like) {
  // Readers may share the file while it is written (a scanner that already
  // holds it with full sharing does not make the extraction fail); writers
  // may not, so nobody changes the bytes whose size and CRC-32 we check.
  // Never through a link at the name (openNotThroughLink), so an existing
  // file is opened as it is and emptied through the handle, keeping its
  // hidden and system attributes. A read-only or hard-linked file is not
  // written in place: its name is removed and a new file made there, with
  // the old attributes; a new file's handle is writable even so.
  std::wstring name = longPath(path);
  if (like != nullptr) {
    DWORD given = like->kind == PathKind::file ? like->permissions & keptAttributes : 0;
    HANDLE h = openNotThroughLink(name, GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW,
                                  given != 0 ? given : FILE_ATTRIBUTE_NORMAL);
    if (h != INVALID_HANDLE_VALUE) return FileHandle(h);
    if (GetLastError() != ERROR_FILE_EXISTS) return invalidHandle;
  }
  DWORD attributes = 0, keep = 0, disposition = OPEN_ALWAYS;
  if (existingFile(name, &attributes) &&
      mustReplaceName(name, attributes, FILE_ATTRIBUTE_READONLY)) {
    if (!removeName(name, attributes)) return invalidHandle;
    keep = attributes & keptAttributes;
    disposition = CREATE_NEW;
  }
  HANDLE h = openNotThroughLink(name, GENERIC_WRITE, FILE_SHARE_READ, disposition,
                                keep != 0 ? keep : FILE_ATTRIBUTE_NORMAL);
  if (h == INVALID_HANDLE_VALUE) return invalidHandle;
  if (SetEndOfFile(h)) return FileHandle(h);
  CloseHandle(h);
  return invalidHandle;
}

bool writeOutputFile(FileHandle file, const void* data, std::size_t size) {
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

namespace {

// NtFlushBuffersFileEx (Windows 8 and later) writes a file's data and
// metadata to the device without the device's cache flush, which the one
// FlushFileBuffers of syncVolume does for all files at the end. Where it is
// missing, each file is flushed in full.
typedef LONG(NTAPI* FlushBuffersFileEx)(HANDLE, ULONG, PVOID, ULONG, PVOID);
const ULONG flushNoSync = 0x00000002;

FlushBuffersFileEx flushBuffersFileEx() {
  static FlushBuffersFileEx found = reinterpret_cast<FlushBuffersFileEx>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtFlushBuffersFileEx")));
  return found;
}

bool writeBack(HANDLE h) {
  FlushBuffersFileEx flush = flushBuffersFileEx();
  ULONG_PTR status[2] = {0, 0};  // IO_STATUS_BLOCK
  if (flush != nullptr && flush(h, flushNoSync, nullptr, 0, status) >= 0) return true;
  return FlushFileBuffers(h) != 0;
}

}  // namespace

bool closeOutputFile(FileHandle file) {
  HANDLE h = reinterpret_cast<HANDLE>(file);
  bool written = writeBack(h);
  return CloseHandle(h) != 0 && written;
}

bool setFileTimes(const std::string& path, FileTime when) {
  long long seconds = static_cast<long long>(when.seconds) + epochDifference;
  if (seconds < 0) return false;
  unsigned long long ticks =
      static_cast<unsigned long long>(seconds) * 10000000ULL + when.nanoseconds / 100;
  FILETIME time;
  time.dwLowDateTime = DWORD(ticks & 0xFFFFFFFFULL);
  time.dwHighDateTime = DWORD(ticks >> 32);
  std::wstring name = longPath(path);
  // Windows lets a read-only file's times be set; wine refuses it while the
  // attribute is on, so there it is lifted for the call and put back.
  DWORD attributes = attributesOf(name);
  bool readOnly =
      attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  // Never the times of what a link at the name points to.
  HANDLE h = openNotThroughLink(name, FILE_WRITE_ATTRIBUTES, shareAll, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS);
  if (h == INVALID_HANDLE_VALUE && readOnly && GetLastError() == ERROR_ACCESS_DENIED &&
      setAttributes(name, attributes & ~DWORD(FILE_ATTRIBUTE_READONLY))) {
    h = openNotThroughLink(name, FILE_WRITE_ATTRIBUTES, shareAll, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS);
    if (h == INVALID_HANDLE_VALUE) SetFileAttributesW(name.c_str(), attributes);
  } else {
    readOnly = false;
  }
  if (h == INVALID_HANDLE_VALUE) return false;
  bool set = SetFileTime(h, nullptr, &time, &time) != 0;
  bool closed = CloseHandle(h) != 0;
  if (readOnly) SetFileAttributesW(name.c_str(), attributes);
  return closed && set;
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

std::vector<std::string> commandLineArguments(int argc, char** argv) {
  // The narrow argv is in the process code page, which is UTF-8 only where
  // the manifest's request is honoured: read the wide command line instead.
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> arguments;
  for (int i = 0; i < count; ++i) arguments.push_back(narrow(wide[i]));
  LocalFree(wide);
  return arguments;
}

bool startProcess(const std::string& exe, const std::string& workDir) {
  // The classic form of the paths: a program may not expect a "\\?\"
  // working directory, and CreateProcessW takes at most MAX_PATH there.
  STARTUPINFOW si;
  std::memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  std::memset(&pi, 0, sizeof pi);
  // The command line is the path alone, in double quotes, in a buffer the
  // call may write to.
  std::wstring program = widen(exe);
  std::wstring cmd = L"\"" + program + L"\"";
  std::vector<wchar_t> cmdBuf(cmd.begin(), cmd.end());
  cmdBuf.push_back(L'\0');
  std::wstring calismaDizin = widen(workDir);
  if (!CreateProcessW(program.c_str(), cmdBuf.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      calismaDizin.c_str(), &si, &pi))
    return false;
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return true;
}

bool writeOutputFileAt(FileHandle file, std::uint64_t offset, const void* data, std::size_t size) {
  HANDLE h = reinterpret_cast<HANDLE>(file);
  LARGE_INTEGER at, end = {};
  at.QuadPart = LONGLONG(offset);
  // A write at an offset moves the file pointer of a handle that is not
  // overlapped: it goes back to the end, where the next append belongs.
  if (!SetFilePointerEx(h, at, nullptr, FILE_BEGIN)) return false;
  bool written = writeOutputFile(file, data, size);
  return SetFilePointerEx(h, end, nullptr, FILE_END) && written;
}

bool flushOutputFile(FileHandle file) {
  return FlushFileBuffers(reinterpret_cast<HANDLE>(file)) != 0;
}

bool syncFile(const std::string& path) {
  HANDLE h = openFile(longPath(path), GENERIC_WRITE, shareAll, OPEN_EXISTING, 0);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool synced = FlushFileBuffers(h) != 0;
  return CloseHandle(h) != 0 && synced;
}

namespace {

// Flushes the file or directory `path` through a handle of its own.
bool flushPath(const std::string& path) {
  HANDLE h = openFile(longPath(path), GENERIC_READ | GENERIC_WRITE, shareAll, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool synced = FlushFileBuffers(h) != 0;
  return CloseHandle(h) != 0 && synced;
}

// Flushes the directory `path`. NTFS keeps names in its log, which the
// flush of a directory handle writes to the disk. A file system that cannot
// flush a directory on its own (it refuses the handle or the call) writes
// names with the flush of the files in it, which the callers make too.
bool flushDirectory(const std::string& path) {
  if (flushPath(path)) return true;
  DWORD error = GetLastError();
  return error == ERROR_ACCESS_DENIED || error == ERROR_INVALID_FUNCTION ||
         error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED;
}

}  // namespace

bool syncDirectory(const std::string& path) { return flushDirectory(path); }

bool syncVolume(const std::string& path) {
  // One full flush of a file or directory of the volume commits the file
  // system's log and flushes the device's cache, after every file's data was
  // written by closeOutputFile.
  return flushDirectory(path);
}

bool freeSpace(const std::string& path, std::uint64_t* bytes) {
  ULARGE_INTEGER available;
  std::wstring dir = longPath(path);
  if (dir.empty() || dir.back() != L'\\') dir += L'\\';
  if (!GetDiskFreeSpaceExW(dir.c_str(), &available, nullptr, nullptr)) return false;
  *bytes = available.QuadPart;
  return true;
}

bool readWholeFile(const std::string& path, std::string* content) {
  HANDLE h = openForReading(longPath(path));
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

HoldResult holdDirectory(const std::string& path, const std::string&, DirectoryHold* hold) {
  // Volume serial and file index name the directory whatever the letter
  // case or separators of the path; a mutex of that name is owned by one
  // process at a time and becomes free (abandoned) when its owner dies. In
  // the global namespace, runs of every session see it (services, scheduled
  // tasks, other signed-in users), and any user may wait on it. One that
  // exists but refuses us (ERROR_ACCESS_DENIED) counts as busy, and so does
  // a name this process may not create there (see docs/windows.md).
  BY_HANDLE_FILE_INFORMATION info;
  if (!fileInformation(longPath(path), &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
    return HoldResult::unavailable;
  std::wstring name = L"Global\\tavo_updater_" + std::to_wstring(info.dwVolumeSerialNumber) + L"_" +
                      std::to_wstring(info.nFileIndexHigh) + L"_" +
                      std::to_wstring(info.nFileIndexLow);
  PSECURITY_DESCRIPTOR everyone = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(holdSecurity, SDDL_REVISION_1,
                                                            &everyone, nullptr))
    return HoldResult::unavailable;
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, everyone, FALSE};
  HANDLE mutex = CreateMutexExW(&attributes, name.c_str(), 0, SYNCHRONIZE | MUTEX_MODIFY_STATE);
  DWORD error = GetLastError();
  LocalFree(everyone);
  if (mutex == nullptr)
    return error == ERROR_ACCESS_DENIED ? HoldResult::busy : HoldResult::unavailable;
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

// ---- Input files ----

namespace {

std::uint64_t sizeOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return (std::uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}

std::int64_t ticksOf(const FILETIME& time) {
  return std::int64_t((std::uint64_t(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

}  // namespace

bool openInputFile(const std::string& path, InputFile* file, Reading reading) {
  // Steady, sharing reading only: while the handle is open no process can
  // open the file for writing or for deleting, which a rename or a
  // replacement of the file needs too; one that has it open for writing makes
  // this open fail. In passing: sharing everything, tried once.
  file->handle = invalidHandle;
  std::wstring name = longPath(path);
  HANDLE h =
      reading == Reading::inPassing
          ? CreateFileW(name.c_str(), GENERIC_READ, shareAll, nullptr, OPEN_EXISTING,
                        FILE_FLAG_SEQUENTIAL_SCAN, nullptr)
          : openFile(name, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    CloseHandle(h);
    return false;
  }
  file->handle = reinterpret_cast<std::intptr_t>(h);
  file->size = sizeOf(info);
  file->modified = ticksOf(info.ftLastWriteTime);
  file->changed = 0;
  return true;
}

std::int64_t readInputFile(const InputFile& file, std::uint64_t offset, void* buffer,
                           std::size_t size) {
  // ReadFile takes at most a DWORD; a shorter count is allowed by the contract.
  OVERLAPPED at;
  std::memset(&at, 0, sizeof at);
  at.Offset = DWORD(offset & 0xFFFFFFFFULL);
  at.OffsetHigh = DWORD(offset >> 32);
  DWORD chunk = size > 0x40000000 ? DWORD(0x40000000) : DWORD(size);
  DWORD got = 0;
  if (ReadFile(reinterpret_cast<HANDLE>(file.handle), buffer, chunk, &got, &at)) return got;
  return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
}

bool inputFileUnchanged(const InputFile& file) {
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileInformationByHandle(reinterpret_cast<HANDLE>(file.handle), &info) &&
         sizeOf(info) == file.size && ticksOf(info.ftLastWriteTime) == file.modified;
}

void closeInputFile(InputFile* file) {
  if (file->handle != invalidHandle) CloseHandle(reinterpret_cast<HANDLE>(file->handle));
  file->handle = invalidHandle;
}
