// Platform operations for Linux and other POSIX systems. Backslashes in the
// program's paths become slashes here, at the system-call boundary.
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "platform.h"

extern char** environ;

namespace {

const std::size_t copyChunk = 256 * 1024;

std::string native(const std::string& path) {
  std::string result = path;
  for (char& c : result)
    if (c == '\\') c = '/';
  return result;
}

bool writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t written = write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= std::size_t(written);
  }
  return true;
}

bool copyByReading(int in, int out) {
  std::unique_ptr<char[]> buffer(new char[copyChunk]);
  for (;;) {
    ssize_t got = read(in, buffer.get(), copyChunk);
    if (got == 0) return true;
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (!writeAll(out, buffer.get(), std::size_t(got))) return false;
  }
}

// Copies from the current offsets to the end of `in`. The kernel copies
// without a trip through our memory where it can (and may share the blocks);
// where it refuses, or stops short of `size`, the read/write loop goes on
// from where it got to, so a file system without support still copies.
bool copyBytes(int in, int out, off_t size) {
  off_t copied = 0;
  for (;;) {
    ssize_t got = copy_file_range(in, nullptr, out, nullptr, std::size_t(1) << 30, 0);
    if (got > 0) {
      copied += got;
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got == 0 && copied >= size) return true;
    return copyByReading(in, out);
  }
}

// Opens `p` for writing from an empty start (`flags` add to O_WRONLY). An
// existing regular file that has other links, or that we may not write, is
// not written in place: its name is removed and a new file made there with
// its permission bits, so the other links keep their content; a file
// created that way is writable through this descriptor whatever its bits.
int openEmptied(const std::string& p, int flags, mode_t mode, const PathInfo* like) {
  if (like != nullptr) {
    // Believed absent: made new without a look first. A file made so takes
    // the permission bits and owner of the file it stands in for (the owner
    // only where we may give it away).
    int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL | flags, mode);
    if (fd >= 0 && like->kind == PathKind::file) {
      static const uid_t user = geteuid();
      static const gid_t group = getegid();
      if (like->owner != user || like->group != group) (void)!fchown(fd, like->owner, like->group);
      if (fchmod(fd, like->permissions & 07777) != 0) {
        close(fd);
        return -1;
      }
    }
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  struct stat st;
  if (lstat(p.c_str(), &st) != 0)
    return open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | flags, mode);
  if (!S_ISREG(st.st_mode) ||
      (st.st_nlink <= 1 && faccessat(AT_FDCWD, p.c_str(), W_OK, AT_EACCESS) == 0))
    return open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | flags, mode);
  if (unlink(p.c_str()) != 0) return -1;
  int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL | flags, st.st_mode & 0777);
  if (fd >= 0 && fchmod(fd, st.st_mode & 07777) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Gives the open file the owner and group `uid` and `gid`. Only root may give
// a file away: for another process, a refusal leaves the owner as it is,
// and the group is set alone where this process is a member of it.
bool keepOwner(int fd, uid_t uid, gid_t gid) {
  if (fchown(fd, uid, gid) == 0) return true;
  if (errno != EPERM) return false;
  return fchown(fd, uid_t(-1), gid) == 0 || errno == EPERM;
}

// True when both descriptors read the same bytes to their end.
bool sameBytes(int a, int b) {
  std::unique_ptr<char[]> bufferA(new char[copyChunk]), bufferB(new char[copyChunk]);
  for (;;) {
    ssize_t gotA = read(a, bufferA.get(), copyChunk);
    if (gotA < 0 && errno == EINTR) continue;
    if (gotA < 0) return false;
    // Fill the same count from `b`, which may come in smaller pieces.
    ssize_t gotB = 0;
    while (gotB < gotA) {
      ssize_t n = read(b, bufferB.get() + gotB, std::size_t(gotA - gotB));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      gotB += n;
    }
    if (gotA == 0) return read(b, bufferB.get(), 1) == 0;
    if (std::memcmp(bufferA.get(), bufferB.get(), std::size_t(gotA)) != 0) return false;
  }
}

// Opens the regular file `p` for reading and fills *st; -1 for anything
// else. Non-blocking, so that a FIFO cannot stall the run (reads of a
// regular file never block on that flag).
int openRegularFile(const std::string& p, struct stat* st) {
  int fd = open(p.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  if (fstat(fd, st) == 0 && S_ISREG(st->st_mode)) return fd;
  close(fd);
  return -1;
}

int removeEntry(const char* path, const struct stat*, int type, struct FTW*) {
  // One that cannot go (immutable) leaves its directories; the walk goes
  // on with the rest.
  if (type == FTW_DP)
    rmdir(path);
  else
    unlink(path);
  return 0;
}

// The same for everything but the top directory.
int removeEntryBelow(const char* path, const struct stat* st, int type, struct FTW* at) {
  return at->level == 0 ? 0 : removeEntry(path, st, type, at);
}

// Opens the directory `p` and locks it without waiting. The descriptor, or
// -1 with errno set (EWOULDBLOCK: another open file holds the lock). The
// lock goes with the last descriptor, which dies with the process;
// close-on-exec keeps a relaunched application from holding it.
int lockDirectory(const std::string& p) {
  int fd = open(p.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

bool sameInode(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// True while `p` still names the directory that `fd` has open.
bool stillNamed(int fd, const std::string& p) {
  struct stat held, named;
  return fstat(fd, &held) == 0 && stat(p.c_str(), &named) == 0 && sameInode(held, named);
}

}  // namespace

std::string systemPath(const std::string& path) { return native(path); }

namespace {

FileTime fileTime(const struct timespec& t) {
  return FileTime{std::int64_t(t.tv_sec), std::uint32_t(t.tv_nsec)};
}

PathKind kindOf(mode_t mode) {
  if (S_ISREG(mode)) return PathKind::file;
  if (S_ISDIR(mode)) return PathKind::directory;
  if (S_ISLNK(mode)) return PathKind::link;
  return PathKind::other;
}

}  // namespace

bool lookAt(const std::string& path, PathInfo* info, bool followLink) {
  *info = PathInfo();
  struct stat st;
  std::string p = native(path);
  if ((followLink ? stat(p.c_str(), &st) : lstat(p.c_str(), &st)) != 0)
    return errno == ENOENT || errno == ENOTDIR;
  info->kind = kindOf(st.st_mode);
  info->size = std::uint64_t(st.st_size);
  info->modified = fileTime(st.st_mtim);
  info->permissions = st.st_mode & 07777;
  info->owner = st.st_uid;
  info->group = st.st_gid;
  info->identity = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  return true;
}

bool storedName(const std::string& path, std::string* name) {
  // A POSIX name is what it is spelt: nothing to ask the system.
  std::string p = native(path);
  *name = p.substr(p.find_last_of('/') + 1);
  return true;
}

bool listDirectory(const std::string& path, std::vector<std::string>* names) {
  names->clear();
  DIR* dir = opendir(native(path).c_str());
  if (dir == nullptr) return false;
  for (;;) {
    errno = 0;
    struct dirent* entry = readdir(dir);
    if (entry == nullptr) break;
    std::string name = entry->d_name;
    if (name != "." && name != "..") names->push_back(name);
  }
  bool complete = errno == 0;
  closedir(dir);
  return complete;
}

std::uint32_t unixPermissions(const PathInfo& info) { return info.permissions; }

bool createDirectory(const std::string& path) { return mkdir(native(path).c_str(), 0777) == 0; }

bool moveFile(const std::string& from, const std::string& to, bool replace) {
  std::string source = native(from), target = native(to);
  if (replace) return rename(source.c_str(), target.c_str()) == 0;
  if (renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
    return true;
  // A file system without the no-replace flag: the run holds the
  // directory, so nothing else makes `to` between the look and the rename.
  struct stat st;
  if (errno != EINVAL || lstat(target.c_str(), &st) == 0 || errno != ENOENT) return false;
  return rename(source.c_str(), target.c_str()) == 0;
}

bool copyFileOver(const std::string& from, const std::string& to) {
  struct stat st;
  int in = openRegularFile(native(from), &st);
  if (in < 0) return false;
  // Never through a symbolic link at the destination.
  int out = openEmptied(native(to), O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600, nullptr);
  if (out < 0) {
    close(in);
    return false;
  }
  bool copied = copyBytes(in, out, st.st_size);
  // Owner first: a change of owner clears the set-user-ID bit, which the
  // mode then puts back.
  copied = keepOwner(out, st.st_uid, st.st_gid) && copied;
  copied = fchmod(out, st.st_mode & 07777) == 0 && copied;
  struct timespec times[2] = {st.st_atim, st.st_mtim};
  copied = futimens(out, times) == 0 && copied;
  copied = close(out) == 0 && copied;
  close(in);
  return copied;
}

bool removeFile(const std::string& path) { return unlink(native(path).c_str()) == 0; }

bool removeDirectory(const std::string& path) { return rmdir(native(path).c_str()) == 0; }

std::string nameKey(const std::string& name) { return name; }

namespace {

// True when statx reports the file or directory as immutable or
// append-only (what chattr +i and +a make), which no rename gets past; a
// file system that does not report those marks counts as not marked.
bool markedUnchangeable(const struct statx& st) {
  const std::uint64_t marks = STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND;
  return (st.stx_attributes & st.stx_attributes_mask & marks) != 0;
}

}  // namespace

bool canMoveAside(const std::string& path) {
  // What refuses a rename of an existing name and can be seen beforehand:
  // the marks above on the file or its directory, a directory this process
  // may not write (also on a read-only file system), and the sticky rule.
  // Asked without opening anything: the plan asks it of every file it will
  // move aside.
  std::string p = native(path);
  std::size_t slash = p.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
  const unsigned wanted = STATX_TYPE | STATX_MODE | STATX_UID;
  struct statx st;
  // The plan asks of file after file in one directory: its directory is
  // asked once, while the files asked of are in it.
  static std::string lastDir;
  static struct statx parent;
  if (statx(AT_FDCWD, p.c_str(), AT_SYMLINK_NOFOLLOW, wanted, &st) != 0) return false;
  if (dir != lastDir) {
    lastDir.clear();
    if (statx(AT_FDCWD, dir.c_str(), 0, wanted, &parent) != 0 ||
        faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
      return false;
    lastDir = dir;
  }
  static const uid_t user = geteuid();
  if ((parent.stx_mode & S_ISVTX) && user != 0 && user != st.stx_uid && user != parent.stx_uid)
    return false;
  return !markedUnchangeable(st) && !markedUnchangeable(parent);
}

bool fileHolders(const std::string&, std::vector<FileHolder>*) { return true; }

bool removeTree(const std::string& path) {
  std::string p = native(path);
  struct stat st;
  if (lstat(p.c_str(), &st) != 0) return errno == ENOENT;
  if (!S_ISDIR(st.st_mode)) return unlink(p.c_str()) == 0;
  nftw(p.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
  return lstat(p.c_str(), &st) != 0;
}

bool emptyDirectory(const std::string& path) {
  std::string p = native(path);
  nftw(p.c_str(), removeEntryBelow, 16, FTW_DEPTH | FTW_PHYS);
  DIR* dir = opendir(p.c_str());
  if (dir == nullptr) return false;
  bool empty = true;
  while (struct dirent* entry = readdir(dir))
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
      empty = false;
  closedir(dir);
  return empty;
}

bool sameFileContent(const std::string& a, const std::string& b) {
  int fa = open(native(a).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fa < 0) return false;
  int fb = open(native(b).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat sa, sb;
  bool same = fb >= 0 && fstat(fa, &sa) == 0 && fstat(fb, &sb) == 0 && S_ISREG(sa.st_mode) &&
              S_ISREG(sb.st_mode) && (sa.st_mode & 07777) == (sb.st_mode & 07777) &&
              sa.st_size == sb.st_size && sameBytes(fa, fb);
  if (fb >= 0) close(fb);
  close(fa);
  return same;
}

FileHandle createOutputFile(const std::string& path, const PathInfo* like) {
  // A symbolic link at the target is refused, so nothing is written outside it.
  // Non-blocking: a FIFO without a reader fails instead of stalling the run.
  int fd = openEmptied(native(path), O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666, like);
  if (fd < 0) return invalidHandle;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return invalidHandle;
  }
  return FileHandle(fd);
}

bool writeOutputFile(FileHandle file, const void* data, std::size_t size) {
  return writeAll(int(file), static_cast<const char*>(data), size);
}

bool writeOutputFileAt(FileHandle file, std::uint64_t offset, const void* data, std::size_t size) {
  const char* next = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t written = pwrite(int(file), next, size, off_t(offset));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    next += written;
    offset += std::uint64_t(written);
    size -= std::size_t(written);
  }
  return true;
}

namespace {

// From this size on a file's write-back starts as it closes, overlapping
// with the rest of the run. Smaller files are left to syncVolume's one
// syncfs, which writes them out together: started one by one, thousands of
// small files turn one batched write into as many small ones
// (docs/performance.md has the figures).
const off_t writeBackFrom = 1 << 20;

}  // namespace

bool closeOutputFile(FileHandle file) {
  struct stat st;
  if (fstat(int(file), &st) == 0 && st.st_size >= writeBackFrom)
    sync_file_range(int(file), 0, 0, SYNC_FILE_RANGE_WRITE);
  return close(int(file)) == 0;
}

bool flushOutputFile(FileHandle file) { return fsync(int(file)) == 0; }

bool syncFile(const std::string& path) {
  int fd = open(native(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  bool synced = fsync(fd) == 0;
  return close(fd) == 0 && synced;
}

bool syncDirectory(const std::string& path) { return syncFile(path); }

bool syncVolume(const std::string& path) {
  int fd = open(native(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  bool synced = syncfs(fd) == 0;
  return close(fd) == 0 && synced;
}

bool freeSpace(const std::string& path, std::uint64_t* bytes) {
  struct statvfs st;
  if (statvfs(native(path).c_str(), &st) != 0) return false;
  *bytes = std::uint64_t(st.f_bavail) * st.f_frsize;
  return true;
}

bool readWholeFile(const std::string& path, std::string* content) {
  int fd = open(native(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  content->clear();
  char buffer[65536];
  for (;;) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      close(fd);
      return false;
    }
    content->append(buffer, std::size_t(got));
  }
  close(fd);
  return true;
}

bool setFileTimes(const std::string& path, FileTime when) {
  struct timespec t = {time_t(when.seconds), long(when.nanoseconds)};
  struct timespec times[2] = {t, t};
  return utimensat(AT_FDCWD, native(path).c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

bool waitForProcess(std::uint32_t pid, unsigned milliseconds) {
  if (pid == 0 || pid > std::uint32_t(INT_MAX)) return false;
  int fd = int(syscall(SYS_pidfd_open, pid_t(pid), 0));
  if (fd < 0) return false;
  struct pollfd entry = {fd, POLLIN, 0};
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  // Poll again after a signal, for what is left of the limit.
  for (;;) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long spent =
        (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000;
    long long left = (long long)milliseconds - spent;
    if (left < 0) left = 0;
    int result = poll(&entry, 1, int(left));
    if (result >= 0 || errno != EINTR) break;
  }
  close(fd);
  return true;
}

void sleepMilliseconds(unsigned milliseconds) {
  struct timespec left = {time_t(milliseconds / 1000), long(milliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

namespace {

// Set when the process named its local time zone itself (see below).
bool zoneNamed = false;

}  // namespace

std::vector<std::string> commandLineArguments(int argc, char** argv) {
  // While TZ is unset, glibc looks at /etc/localtime again at every local
  // time conversion: a stat for every ZIP entry's date, a twentieth of a run
  // of small files. Naming the same file once saves them; the relaunched
  // application gets the environment without it.
  if (std::getenv("TZ") == nullptr) zoneNamed = setenv("TZ", ":/etc/localtime", 0) == 0;
  return std::vector<std::string>(argv, argv + argc);
}

bool startProcess(const std::string& exe, const std::string& workDir) {
  std::string program = native(exe);
  // The new process changes directory first, so a relative path must be
  // made absolute against ours.
  if (program.empty() || program[0] != '/') {
    std::vector<char> cwd(PATH_MAX);
    if (getcwd(cwd.data(), cwd.size()) == nullptr) return false;
    program = std::string(cwd.data()) + "/" + program;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, native(workDir).c_str());
  std::string arg0 = native(exe);
  char* argv[] = {&arg0[0], nullptr};
  pid_t child = 0;
  std::vector<char*> environment;
  for (char** entry = environ; *entry != nullptr; ++entry)
    if (!zoneNamed || std::strncmp(*entry, "TZ=", 3) != 0) environment.push_back(*entry);
  environment.push_back(nullptr);
  int result = posix_spawn(&child, program.c_str(), &actions, nullptr, argv, environment.data());
  posix_spawn_file_actions_destroy(&actions);
  return result == 0;
}

HoldResult holdDirectory(const std::string& path, const std::string& lockDir, DirectoryHold* hold) {
  // Every run locks `lockDir`, which it makes when missing and so may
  // always open, even in a directory it may write but not read. A lock
  // taken on a directory that was removed meanwhile (by the end of another
  // run) holds nothing: then it starts again on the new one.
  std::string dir = native(lockDir);
  for (int attempt = 0; attempt < 20; ++attempt) {
    int madeError = mkdir(dir.c_str(), 0777) == 0 ? 0 : errno;
    int fd = lockDirectory(dir);
    if (fd < 0) {
      // Another's lock directory that we may not open counts as held.
      if (errno == EWOULDBLOCK || errno == EACCES) return HoldResult::busy;
      if (errno == ENOENT && (madeError == 0 || madeError == EEXIST)) continue;
      return HoldResult::unavailable;
    }
    if (!stillNamed(fd, dir)) {
      close(fd);
      continue;
    }
    hold->handle = fd;
    hold->madeDirectory = madeError == 0 ? lockDir : std::string();
    // The directory itself is locked too where it can be opened: that lock
    // stays put while the run's own work removes and makes `lockDir`.
    hold->own = lockDirectory(native(path));
    if (hold->own >= 0 || errno != EWOULDBLOCK) return HoldResult::held;
    releaseDirectory(hold);
    return HoldResult::busy;
  }
  return HoldResult::unavailable;
}

void releaseDirectory(DirectoryHold* hold) {
  // A lock directory this hold made goes again if nothing was put in it;
  // rmdir refuses one that is not empty.
  if (hold->handle >= 0 && !hold->madeDirectory.empty() &&
      stillNamed(int(hold->handle), native(hold->madeDirectory)))
    rmdir(native(hold->madeDirectory).c_str());
  if (hold->handle >= 0) close(int(hold->handle));
  if (hold->own >= 0) close(int(hold->own));
  *hold = DirectoryHold();
}

// ---- Input files ----

namespace {

std::int64_t nanoseconds(const struct timespec& t) {
  return std::int64_t(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

}  // namespace

bool openInputFile(const std::string& path, InputFile* file, Reading) {
  file->handle = invalidHandle;
  struct stat st;
  int fd = openRegularFile(native(path), &st);
  if (fd < 0) return false;
  file->handle = fd;
  file->size = std::uint64_t(st.st_size);
  file->modified = nanoseconds(st.st_mtim);
  file->changed = nanoseconds(st.st_ctim);
  return true;
}

std::int64_t readInputFile(const InputFile& file, std::uint64_t offset, void* buffer,
                           std::size_t size) {
  if (offset > std::uint64_t(INT64_MAX)) return 0;
  for (;;) {
    ssize_t got = pread(int(file.handle), buffer, size, off_t(offset));
    if (got >= 0) return got;
    if (errno != EINTR) return -1;
  }
}

bool inputFileUnchanged(const InputFile& file) {
  // The status-change time moves with every write and cannot be set back by
  // a process that restores the modification time after writing.
  struct stat st;
  return fstat(int(file.handle), &st) == 0 && std::uint64_t(st.st_size) == file.size &&
         nanoseconds(st.st_mtim) == file.modified && nanoseconds(st.st_ctim) == file.changed;
}

void closeInputFile(InputFile* file) {
  if (file->handle != invalidHandle) close(int(file->handle));
  file->handle = invalidHandle;
}
