// Operating-system operations the updater relies on: the only seam between
// the program and the system. One implementation file per platform; CMake
// links exactly one of them (tests may link a fault-injecting one instead).
// Paths are narrow (UTF-8) strings that may use '\' and '/' as separators.
// On Windows, a file operation that fails because another process holds the
// file (sharing or lock violation) is tried again after growing pauses, for
// at most 2 s per operation and 10 s per process in all.
#ifndef TAVO_UPDATER_PLATFORM_H
#define TAVO_UPDATER_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

// Returns `path` spelt as the system's own libraries (the ZIP library) take it
// (on Windows the UTF-8 "\\?\" form of the full path, so long paths open).
std::string systemPath(const std::string& path);

// A moment as file systems keep it: seconds since 1970 and nanoseconds.
struct FileTime {
  std::int64_t seconds = 0;
  std::uint32_t nanoseconds = 0;
};

inline bool operator==(const FileTime& a, const FileTime& b) {
  return a.seconds == b.seconds && a.nanoseconds == b.nanoseconds;
}

// What a path names. `link` is a symbolic link (Windows: a symbolic link or
// junction); `other` a device, FIFO or socket.
enum class PathKind { missing, file, directory, link, other };

// What one look at a path tells.
struct PathInfo {
  PathKind kind = PathKind::missing;
  std::uint64_t size = 0;
  FileTime modified;
  // POSIX permission bits; on Windows the read-only, hidden and system
  // attributes. Owner and group: POSIX only.
  std::uint32_t permissions = 0, owner = 0, group = 0;
  // Equal for two paths exactly when they name one file; the part before
  // its first ':' names the file system.
  std::string identity;
};

// Looks at `path` once: what it is, its size, time and identity. Links on the
// way are followed; a link at the path itself is described as the link,
// or, with `followLink`, as what it leads to (a link that leads nowhere is
// then nothing there). True with kind missing when nothing is there (POSIX:
// no such name, or a directory on the way missing; Windows: also a name the
// system calls invalid); false when it cannot be queried.
bool lookAt(const std::string& path, PathInfo* info, bool followLink = false);

// Writes into *name the last component of the existing `path` as its
// directory holds it: on Windows in its own letter case, whatever the case
// `path` spells it in; on POSIX as `path` spells it (the system is not
// asked). False when nothing is there or it cannot be queried (Windows).
bool storedName(const std::string& path, std::string* name);
// Writes into *names the name (UTF-8) of every entry of the directory `path`
// but "." and "..", in no particular order. True when the whole directory
// was read; false when it cannot be opened (missing, not a directory) or read.
bool listDirectory(const std::string& path, std::vector<std::string>* names);

// The POSIX permission bits an archive keeps for what lookAt described as
// `info`: POSIX its own; Windows 0755 for a directory, 0444 for a read-only
// file and 0644 for another.
std::uint32_t unixPermissions(const PathInfo& info);

// Creates one directory. Returns true when it was created; the caller may
// ignore a failure (it already exists, a drive root, a missing parent).
bool createDirectory(const std::string& path);

// Copies the file `from` over `to` (failing, with nothing written, where a
// symbolic link or junction is at `to`) and keeps the source's permission bits (on
// Windows its attributes), last-write time, and owner and group as far as the
// system lets this process set them (Windows: its owner, group and DACL; a
// POSIX process that is not root keeps its own user, and the source's group
// where it is a member of it). An existing `to` that is read-only (Windows: or
// hidden or system) or has other hard links is not written in place: its name
// is removed and a new file made, so other links keep their content. True on
// success; an owner, group or DACL that the system refuses to set does not
// fail the copy.
bool copyFileOver(const std::string& from, const std::string& to);

// Renames the file `from` to `to` on the same volume, keeping the file as it
// is (content, owner, permissions, times, identity, other links). With
// `replace` an existing file `to` is replaced (also a read-only one);
// without it, an existing `to` makes it fail. On Windows the rename is on
// the disk when it returns. False, with nothing changed, when it cannot be
// done (another volume, a file held without delete sharing).
bool moveFile(const std::string& from, const std::string& to, bool replace);

// Deletes the file `path`; never deletes a directory. True on success.
bool removeFile(const std::string& path);

// Deletes the directory `path` when it is empty. True when it was deleted.
bool removeDirectory(const std::string& path);

// The form under which the system's file names compare equal: on Windows
// upper case (the file system ignores letter case), on POSIX the name itself.
std::string nameKey(const std::string& name);

// True when the file `path` can be put aside now; changes nothing. Windows:
// it opens for delete access with full sharing (a link at the path is not
// followed), held files tried again as above, and where that is refused, once
// for reading and writing (a file another process holds open sharing writing
// but not deletion is copied aside and written in place); POSIX: it exists, neither it
// nor its directory is immutable or append-only, and this process may write
// that directory (and, where it is sticky, owns the file or the directory).
bool canMoveAside(const std::string& path);

// A program that holds a file open, as the system names it.
struct FileHolder {
  std::string program;  // UTF-8
  std::uint32_t pid = 0;
};

// Appends to *holders the programs that hold the file `path` open, as the
// system names them (Windows: the Restart Manager's application names;
// POSIX: none, since an open file never stops a rename there). Never ends a
// program. True when the system could be asked.
bool fileHolders(const std::string& path, std::vector<FileHolder>* holders);

// Deletes the directory `path` with everything below it, read-only entries
// too, removing symbolic links and junctions as links, never following them.
// True when nothing of it is left.
bool removeTree(const std::string& path);

// Deletes everything below the directory `path` as removeTree does, and keeps
// `path` itself. True when nothing is left below it.
bool emptyDirectory(const std::string& path);

// True when `a` and `b` are both regular files with the same bytes and the
// same permission bits (on Windows the same read-only, hidden and system
// attributes). False when either cannot be read.
bool sameFileContent(const std::string& a, const std::string& b);

// An open file, written through the output operations below or read through
// an InputFile; invalidHandle when it could not be opened.
typedef std::intptr_t FileHandle;
const FileHandle invalidHandle = -1;

// Creates `path` or truncates it to zero length, opened for writing; a
// symbolic link (Windows: or junction) at `path` itself is never written
// through: then it fails. An
// existing file that is read-only (POSIX: that we may not write) or has other
// hard links is not truncated: its name is removed and a new file made there
// with the old permission bits (Windows: read-only, hidden and system
// attributes), so other links keep their content. With `like`, the path is
// believed absent: it is made new without a look first (and as above when
// it is there after all); when `like` is a file, the new file gets its
// permission bits (Windows: those attributes) and, where the system lets the
// run set them, its owner and group.
FileHandle createOutputFile(const std::string& path, const PathInfo* like = nullptr);

// Writes all `size` bytes of `data`. True when every byte was written.
bool writeOutputFile(FileHandle file, const void* data, std::size_t size);

// Writes all `size` bytes of `data` over the file's bytes from `offset` on;
// later writeOutputFile calls still append at the end. True when every byte
// was written.
bool writeOutputFileAt(FileHandle file, std::uint64_t offset, const void* data, std::size_t size);

// Closes the file. Its data is on the disk once syncVolume of its volume has
// returned; where a volume's sync does not write every file's data
// (Windows), it is written to the device here first, and elsewhere the
// write-back of a large file may start here, without waiting for it. True
// when the data reached the system without error.
bool closeOutputFile(FileHandle file);

// Forces the data and metadata written to `file` so far to the disk. True on
// success.
bool flushOutputFile(FileHandle file);

// Forces the data and metadata of the file `path` to the disk. True on success.
bool syncFile(const std::string& path);

// Forces the names created, renamed or removed in the directory `path` to the
// disk. True on success.
bool syncDirectory(const std::string& path);

// Forces everything written to the file system that holds `path` (a file or
// a directory) to the disk: file data, sizes, names; returns when it is
// there. True on success.
bool syncVolume(const std::string& path);

// Writes into *bytes how many bytes this process may still write on the
// file system that holds the directory `path` (POSIX: the blocks free to
// unprivileged users; Windows: the bytes free to the caller, its quota
// counted). False when it cannot be queried.
bool freeSpace(const std::string& path, std::uint64_t* bytes);

// Reads the whole file `path` into *content. False when it cannot be opened
// or read (then *content is unspecified).
bool readWholeFile(const std::string& path, std::string* content);

// Sets the last access and last write time of `path`, never of what a link
// at `path` names (POSIX sets the link's own; Windows fails). True on success.
bool setFileTimes(const std::string& path, FileTime when);

// Waits until process `pid` has ended or `milliseconds` have passed. Returns
// false at once when no such process can be opened (also for pid 0).
bool waitForProcess(std::uint32_t pid, unsigned milliseconds);

// Suspends the calling thread for `milliseconds`.
void sleepMilliseconds(unsigned milliseconds);

// The program's arguments as UTF-8, argv[0] included: POSIX gives `argv` as it
// is; Windows reads the wide command line, whatever the process code page.
std::vector<std::string> commandLineArguments(int argc, char** argv);

// Starts `exe` with a command line that is only its own path, the updater's
// environment and `workDir` as working directory, without waiting for it.
// A relative `exe` is resolved against the updater's working directory.
// True when the process was started.
bool startProcess(const std::string& exe, const std::string& workDir);

// An exclusive hold on an installation directory for this process, released
// by releaseDirectory or by the system when the process ends, however it
// ends. A plain record: `handle` is the lock (Windows: a mutex), `own` the
// POSIX lock on the directory itself, `madeDirectory` the lock directory
// when the hold made it; a caller that keeps that directory clears it.
struct DirectoryHold {
  std::intptr_t handle = -1;
  std::intptr_t own = -1;
  std::string madeDirectory;
};

enum class HoldResult { held, busy, unavailable };

// Takes the hold on the existing directory `path` for every process on this
// system, whatever its user or session: held when taken; busy when another
// process holds the same directory (however the path spells it) or its hold
// exists but refuses this process; unavailable when it cannot be taken at
// all. POSIX locks `lockDir` (made when missing) and, where it can be
// opened, `path`; Windows owns a mutex in the global namespace named after
// `path`'s volume and file index. Never inherited by processes this one
// starts.
HoldResult holdDirectory(const std::string& path, const std::string& lockDir, DirectoryHold* hold);

// Gives up a hold taken by holdDirectory, first removing `madeDirectory` when
// it is still the held directory and empty; does nothing for one not taken.
void releaseDirectory(DirectoryHold* hold);

// ---- Input files: the update archive, read through one handle ----

// A file opened by openInputFile, with its size and times as they were then.
struct InputFile {
  FileHandle handle = invalidHandle;
  std::uint64_t size = 0;
  std::int64_t modified = 0;  // last write, in the system's own unit
  std::int64_t changed = 0;   // POSIX: last status change; Windows: 0
};

// What a file is read for, which says what other processes may do with it
// while it is open.
enum class Reading {
  // Read as it is now through to its close (the update archive, a file
  // being packed): kept from other processes as far as the system can.
  // Windows: shared for reading only, so that no process can write, delete,
  // rename or replace it until it is closed (a process already writing it
  // makes the open fail; one holding it is waited for as above). POSIX: a
  // process with write access can still write it in place; a rename over the
  // path does not change what the handle reads.
  steady,
  // Read in passing (a file compared with an entry, a signature file):
  // other processes keep writing, renaming and deleting it as they please,
  // and the open never waits for one that holds it.
  inPassing,
};

// Opens the existing regular file `path` for reading, as `reading` says, and
// records its size and times (POSIX: O_RDONLY|O_CLOEXEC either way). False
// (and file->handle invalidHandle) when it cannot be opened or is no regular
// file.
bool openInputFile(const std::string& path, InputFile* file, Reading reading);

// Reads up to `size` bytes at `offset` into `buffer`; returns how many (fewer
// only at the end of the file, 0 at or past it), or -1 on a read error.
std::int64_t readInputFile(const InputFile& file, std::uint64_t offset, void* buffer,
                           std::size_t size);

// True when the open file still has the size and times recorded at its open.
bool inputFileUnchanged(const InputFile& file);

// Closes the file; does nothing for one not open. Sets file->handle to
// invalidHandle.
void closeInputFile(InputFile* file);

#endif
