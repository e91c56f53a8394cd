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

// Returns true when `path` exists (a symbolic link is not followed); then
// sets *isDirectory. Returns false when it does not exist or cannot be queried.
bool pathAttributes(const std::string& path, bool* isDirectory);

// Creates one directory. Returns true when it was created; the caller may
// ignore a failure (it already exists, a drive root, a missing parent).
bool createDirectory(const std::string& path);

// Copies the file `from` over `to` and keeps the source's permission bits (on
// Windows its attributes), last-write time, and owner and group as far as the
// system lets this process set them (Windows: its owner, group and DACL; a
// POSIX process that is not root keeps its own user, and the source's group
// where it is a member of it). An existing `to` that is read-only (Windows: or
// hidden or system) or has other hard links is not written in place: its name
// is removed and a new file made, so other links keep their content. True on
// success; an owner, group or DACL that the system refuses to set does not
// fail the copy.
bool copyFileOver(const std::string& from, const std::string& to);

// Deletes the file `path`; never deletes a directory. True on success.
bool removeFile(const std::string& path);

// Deletes the directory `path` with everything below it, read-only entries
// too, removing symbolic links and junctions as links, never following them.
// True when nothing of it is left.
bool removeTree(const std::string& path);

// Writes into *identity a value that is equal for two paths exactly when they
// name the same existing file. False when the path cannot be queried.
bool fileIdentity(const std::string& path, std::string* identity);

// True when `a` and `b` are both regular files with the same bytes and the
// same permission bits (on Windows the same read-only, hidden and system
// attributes). False when either cannot be read.
bool sameFileContent(const std::string& a, const std::string& b);

// Output file handle; invalidHandle when creation failed.
typedef std::intptr_t OutputFile;
const OutputFile invalidHandle = -1;

// Creates `path` or truncates it to zero length, opened for writing. An
// existing file that is read-only (POSIX: that we may not write) or has other
// hard links is not truncated: its name is removed and a new file made there
// with the old permission bits (Windows: read-only, hidden and system
// attributes), so other links keep their content.
OutputFile createOutputFile(const std::string& path);

// Writes all `size` bytes of `data`. True when every byte was written.
bool writeOutputFile(OutputFile file, const void* data, std::size_t size);

// Closes the file. True when the data reached the system without error.
bool closeOutputFile(OutputFile file);

// Forces the data written to `file` so far to the disk. True on success.
bool flushOutputFile(OutputFile file);

// Forces the data and metadata of the file `path` to the disk. True on success.
bool syncFile(const std::string& path);

// Reads the whole file `path` into *content. False when it cannot be opened
// or read (then *content is unspecified).
bool readWholeFile(const std::string& path, std::string* content);

// Sets the last access and last write time of `path`. True on success.
bool setFileTimes(const std::string& path, std::time_t when);

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

#endif
