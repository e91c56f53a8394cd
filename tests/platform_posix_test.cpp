// Platform operations whose POSIX behaviour differs from Windows': modes,
// symbolic links, FIFOs and pidfd waits.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform.h"
#include "scratch.h"

namespace {

namespace fs = std::filesystem;

// Set-user-ID too (chown clears it); as root, the owner of a file replaced by name.
TEST(PosixCopyFileOver, KeepsPermissionBitsAndOwner) {
  std::string dir = makeScratchDir();
  putFile(dir + "/from", "#!/bin/sh\n");
  bool root = getuid() == 0;
  ASSERT_TRUE(!root || chown((dir + "/from").c_str(), 65534, 65534) == 0);
  chmod((dir + "/from").c_str(), 04751);
  putFile(dir + "/to", "x");
  chmod((dir + "/to").c_str(), 0600);
  link((dir + "/to").c_str(), (dir + "/other link").c_str());
  ASSERT_TRUE(copyFileOver(dir + "/from", dir + "/to"));
  struct stat st;
  ASSERT_EQ(stat((dir + "/to").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 04751u);
  EXPECT_EQ(st.st_uid, root ? 65534u : getuid());
  removeScratchDir(dir);
}

// Data of any length comes over whole, with the source's permission bits and
// its write time to the nanosecond, also over a longer destination.
TEST(PosixCopyFileOver, CopiesEveryByteWithModeAndTime) {
  struct Case {
    const char* name;
    std::size_t size;
    mode_t mode;
  };
  const Case cases[] = {{"empty", 0, 0640},
                        {"one byte", 1, 0600},
                        {"one block", 4096, 0755},
                        {"many chunks", 5 * 1024 * 1024 + 123, 0644}};
  std::string dir = makeScratchDir();
  for (const Case& c : cases) {
    std::string data(c.size, '\0');
    for (std::size_t i = 0; i < c.size; ++i) data[i] = char((i * 131 + i / 4096) % 251);
    putFile(dir + "/from", data);
    chmod((dir + "/from").c_str(), c.mode);
    struct timespec times[2] = {{1500000000, 250000000}, {1600000000, 123456789}};
    ASSERT_EQ(utimensat(AT_FDCWD, (dir + "/from").c_str(), times, 0), 0);
    putFile(dir + "/to", std::string(c.size + 5000, 'o'));
    ASSERT_TRUE(copyFileOver(dir + "/from", dir + "/to")) << c.name;
    EXPECT_TRUE(fileContent(dir + "/to") == data) << c.name;
    struct stat st;
    ASSERT_EQ(stat((dir + "/to").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.mode) << c.name;
    EXPECT_EQ(st.st_mtim.tv_sec, 1600000000) << c.name;
    EXPECT_EQ(st.st_mtim.tv_nsec, 123456789) << c.name;
  }
  removeScratchDir(dir);
}

// A source that the kernel will not copy directly (here from /proc to
// another file system, a file that also reports size 0) still copies whole,
// through the read loop.
TEST(PosixCopyFileOver, CopiesWhatTheKernelRefusesToCopyDirectly) {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string expected((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(expected.empty());
  std::string dir = makeScratchDir();
  ASSERT_TRUE(copyFileOver("/proc/self/cmdline", dir + "/cmdline"));
  EXPECT_TRUE(fileContent(dir + "/cmdline") == expected);
  removeScratchDir(dir);
}

TEST(PosixRemoveTree, RemovesLinksButNotWhatTheyPointTo) {
  std::string dir = makeScratchDir();
  putFile(dir + "/outside/precious.txt", "keep");
  putFile(dir + "/t/a.txt", "x");
  fs::create_directory_symlink(dir + "/outside", dir + "/t/dirlink");
  fs::create_symlink(dir + "/outside/precious.txt", dir + "/t/filelink");
  EXPECT_TRUE(removeTree(dir + "/t"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir + "/t")));
  EXPECT_EQ(fileContent(dir + "/outside/precious.txt"), "keep");
  removeScratchDir(dir);
}

TEST(PosixOutputFile, RefusesLinksAndSpecialFilesWithoutBlocking) {
  std::string dir = makeScratchDir();
  putFile(dir + "/outside.txt", "keep");
  fs::create_symlink(dir + "/outside.txt", dir + "/link");
  EXPECT_EQ(createOutputFile(dir + "/link"), invalidHandle);
  putFile(dir + "/new.txt", "new");
  EXPECT_FALSE(copyFileOver(dir + "/new.txt", dir + "/link"));
  EXPECT_EQ(fileContent(dir + "/outside.txt"), "keep");

  ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
  EXPECT_EQ(createOutputFile(dir + "/fifo"), invalidHandle);
  EXPECT_FALSE(copyFileOver(dir + "/fifo", dir + "/copy"));
  EXPECT_FALSE(copyFileOver(dir + "/outside.txt", dir + "/fifo"));
  removeScratchDir(dir);
}

// Sets chattr's immutable or append-only flag (0 clears both); false where
// that cannot be done.
bool markFile(const std::string& path, int flags) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK), value = 0;
  bool set = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &value) == 0;
  value = (value & ~(FS_IMMUTABLE_FL | FS_APPEND_FL)) | flags;
  set = set && ioctl(fd, FS_IOC_SETFLAGS, &value) == 0;
  if (fd >= 0) close(fd);
  return set;
}

// The probe says what a rename then does; root ignores the directory's mode.
TEST(PosixCanMoveAside, AgreesWithTheRenameThatFollows) {
  const struct {
    const char* name;
    int fileFlags, dirFlags;
    mode_t dirMode;
    bool movable;
  } cases[] = {{"plain", 0, 0, 0755, true},
               {"immutable", FS_IMMUTABLE_FL, 0, 0755, false},
               {"append-only", FS_APPEND_FL, 0, 0755, false},
               {"in an immutable directory", 0, FS_IMMUTABLE_FL, 0755, false},
               {"in a read-only directory", 0, 0, 0555, getuid() == 0}};
  std::string dir = makeScratchDir();
  for (const auto& c : cases) {
    std::string sub = dir + "/" + c.name, file = sub + "/f";
    putFile(file, "x");
    if (!markFile(file, c.fileFlags) || !markFile(sub, c.dirFlags)) {
      std::printf("  %s: no chattr flags here, not tested\n", c.name);
      continue;
    }
    chmod(sub.c_str(), c.dirMode);
    EXPECT_EQ(canMoveAside(file), c.movable) << c.name;
    EXPECT_EQ(rename(file.c_str(), (sub + "/g").c_str()) == 0, c.movable) << c.name;
    chmod(sub.c_str(), 0755);
    markFile(sub, 0);
    markFile(file, 0);
  }
  EXPECT_FALSE(canMoveAside(dir + "/missing"));
  removeScratchDir(dir);
}

// A link at the path is the link itself, or what it leads to when followed:
// then a link that leads nowhere is nothing there.
TEST(PosixLookAt, FollowsALinkAtThePathOnlyWhenAsked) {
  std::string dir = makeScratchDir();
  fs::create_directory_symlink(dir, dir + "/dirlink");
  PathInfo info, top;
  EXPECT_TRUE(lookAt(dir + "/dirlink", &info));
  EXPECT_EQ(info.kind, PathKind::link);
  EXPECT_TRUE(lookAt(dir + "/dirlink", &info, true));
  EXPECT_EQ(info.kind, PathKind::directory);
  ASSERT_TRUE(lookAt(dir, &top));
  EXPECT_EQ(info.identity, top.identity);
  fs::create_symlink(dir + "/missing", dir + "/dangling");
  EXPECT_TRUE(lookAt(dir + "/dangling", &info));
  EXPECT_EQ(info.kind, PathKind::link);
  EXPECT_TRUE(lookAt(dir + "/dangling", &info, true));
  EXPECT_EQ(info.kind, PathKind::missing);
  removeScratchDir(dir);
}

TEST(PosixWaitForProcess, WaitsForALiveProcessAndNotForAGoneOne) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    usleep(300000);
    _exit(0);
  }
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(waitForProcess(std::uint32_t(child), 30000));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
  waitpid(child, nullptr, 0);
  EXPECT_FALSE(waitForProcess(std::uint32_t(child), 30000));
}

// The handle keeps reading the file it opened when another takes its name
// (which inputFileUnchanged reports: the old file lost its name); a write in
// place is seen, even with the old times put back.
TEST(PosixInputFile, ARenameDoesNotReachItAWriteIsSeen) {
  std::string dir = makeScratchDir();
  putFile(dir + "/f", "signed");
  putFile(dir + "/g", "forged");
  InputFile renamed, written;
  char buffer[6];
  ASSERT_TRUE(openInputFile(dir + "/f", &renamed, Reading::steady));
  ASSERT_EQ(rename((dir + "/g").c_str(), (dir + "/f").c_str()), 0);
  EXPECT_EQ(readInputFile(renamed, 0, buffer, 6), 6);
  EXPECT_EQ(std::string(buffer, 6) + std::to_string(inputFileUnchanged(renamed)), "signed0");
  ASSERT_TRUE(openInputFile(dir + "/f", &written, Reading::steady));
  struct stat st;
  ASSERT_EQ(fstat(int(written.handle), &st), 0);
  usleep(20000);  // past the file system's clock tick
  int writer = open((dir + "/f").c_str(), O_WRONLY);
  struct timespec times[2] = {st.st_atim, st.st_mtim};
  ASSERT_TRUE(pwrite(writer, "F", 1, 0) == 1 && futimens(writer, times) == 0 && close(writer) == 0);
  EXPECT_FALSE(inputFileUnchanged(written));
  closeInputFile(&renamed);
  closeInputFile(&written);
  removeScratchDir(dir);
}

// A directory the run may write but not read (mode 0333) is held, once;
// root, whom the mode does not bind, tries it as nobody.
TEST(PosixHoldDirectory, ADirectoryThatCannotBeReadIsHeldOnce) {
  std::string dir = makeScratchDir(), yedek = dir + "/_guncelleme_yedek";
  chmod(dir.c_str(), 0333);
  pid_t child = fork();
  if (child == 0) {
    if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
    DirectoryHold first, second;
    _exit(holdDirectory(dir, yedek, &first) != HoldResult::held ||
          holdDirectory(dir, yedek, &second) != HoldResult::busy);
  }
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_EQ(status, 0);
  chmod(dir.c_str(), 0755);
  removeScratchDir(dir);
}

}  // namespace
