// The updater when the disk fills up and when it is killed half-way, run
// as the real binary (Linux only: a small tmpfs and SIGKILL).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "e2e_support.h"
#include "scratch.h"
#include "zip_builder.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

const std::string rolledBack =
    "Tavonu guncelleme kuruluyor...\nHata \xE2\x80\x94 geri aliniyor (rollback)...\n";

std::string patterned(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (std::size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    s[i] = char(x >> 24);
  }
  return s;
}

// A tmpfs of `size` mounted at `dir`; false when mounting is not allowed.
bool mountSmallDisk(const std::string& dir, const std::string& size) {
  fs::create_directories(dir);
  return mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
}

TEST(DiskFull, AnUpdateThatDoesNotFitRollsBackByteForByte) {
  std::string root = makeScratchDir(), disk = root + "/disk";
  if (!mountSmallDisk(disk, "2m")) {
    std::string why = std::strerror(errno);
    removeScratchDir(root);
    GTEST_SKIP() << "cannot mount a tmpfs here (" << why << "); the disk-full case needs root";
  }
  // The old big.bin comes back only if the half-written new file has been
  // deleted first: the new big.bin is tiny, so the full disk has no room for
  // the old one until huge.bin is gone.
  const Tree installed = {{"big.bin", patterned(700000, 1)},
                          {"bin", "<dir>"},
                          {"bin/lib.dll", patterned(50000, 2)},
                          {"readme.txt", "version 1"}};
  for (const auto& entry : installed)
    if (entry.second != "<dir>") putFile(disk + "/inst/" + entry.first, entry.second);
  ZipEntrySpec huge = fileEntry("huge.bin", patterned(3000000, 3));
  huge.method = 0;
  writeBytes(root + "/u.zip",
             buildZipOf({fileEntry("readme.txt", "version 2"), fileEntry("big.bin", "x"),
                         fileEntry("bin/lib.dll", patterned(60000, 4)), huge,
                         fileEntry("later.txt", "never")}));
  RunResult r =
      runUpdater({"--zip", spell(root + "/u.zip"), "--hedef", spell(disk + "/inst")}, root);
  EXPECT_EQ(r.code, 4);
  EXPECT_EQ(r.out, rolledBack);
  EXPECT_EQ(r.err, "tavo_updater: cikarma hatasi: huge.bin\n");
  EXPECT_TRUE(treeOf(disk + "/inst") == installed) << "the installation changed";
  umount2(disk.c_str(), MNT_DETACH);
  removeScratchDir(root);
}

// Starts the updater without waiting for it; its output goes nowhere.
pid_t startUpdater(const std::vector<std::string>& args, const std::string& cwd) {
  std::vector<std::string> command = e2eConfig().prefix;
  command.push_back(e2eConfig().updater);
  command.insert(command.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : command) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

TEST(Killed, EveryOverwrittenFileKeepsItsOldContentInPlaceOrInTheBackup) {
  // Many large overwrites, so that a kill lands inside the copies; the last
  // entry fails, so that late kills land in the rollback.
  const int files = 60;
  Tree installed;
  std::vector<ZipEntrySpec> entries;
  for (int i = 0; i < files; ++i) {
    std::string name = "lib/part" + std::to_string(i) + ".bin";
    installed[name] = patterned(400000, unsigned(i));
    ZipEntrySpec e = fileEntry(name, patterned(400000, unsigned(i + 1000)));
    e.method = 0;
    entries.push_back(e);
    if (i % 10 == 0) entries.push_back(fileEntry("new/n" + std::to_string(i), "new"));
  }
  ZipEntrySpec broken = fileEntry("lib/part0.bin", "broken");
  broken.crc = 1;
  entries.push_back(broken);
  std::string archive = buildZipOf(entries);

  // One run to its end gives the time the work takes after the backup
  // directory appears; the kills then land at fractions of it.
  double duration = 0;
  const int runs = 9;
  int killedWhileRunning = 0;
  for (int run = 0; run <= runs; ++run) {
    int delay = int(duration * 1000 * run / runs);
    SCOPED_TRACE(run == 0 ? "not killed"
                          : "killed " + std::to_string(delay) +
                                " ms after the backup directory appeared");
    std::string root = makeScratchDir(), inst = root + "/inst";
    for (const auto& entry : installed) putFile(inst + "/" + entry.first, entry.second);
    writeBytes(root + "/u.zip", archive);
    pid_t pid = startUpdater({"--zip", spell(root + "/u.zip"), "--hedef", spell(inst)}, root);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitForFile(inst + "/_guncelleme_yedek", 30));
    double start = monotonicSeconds();
    int status = 0;
    if (run == 0) {
      waitpid(pid, &status, 0);
      duration = monotonicSeconds() - start;
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 4);
      for (const auto& entry : installed)
        EXPECT_TRUE(fileContent(inst + "/" + entry.first) == entry.second)
            << entry.first << " not restored";
      EXPECT_FALSE(fs::exists(inst + "/_guncelleme_yedek"));
      EXPECT_FALSE(fs::exists(inst + "/new/n0"));
    }
    usleep(useconds_t(delay) * 1000);
    if (run > 0 && waitpid(pid, &status, WNOHANG) == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ++killedWhileRunning;
    }
    for (const auto& entry : installed) {
      std::string inPlace = fileContent(inst + "/" + entry.first);
      std::string inBackup = fileContent(inst + "/_guncelleme_yedek/" + entry.first);
      EXPECT_TRUE(inPlace == entry.second || inBackup == entry.second)
          << entry.first << " lost its old content";
    }
    for (const auto& entry : treeOf(root))
      EXPECT_TRUE(entry.first == "u.zip" || entry.first.rfind("inst", 0) == 0)
          << "written outside the installation: " << entry.first;
    removeScratchDir(root);
  }
  std::printf("killed mid-run: %d of %d runs (a whole run takes %.0f ms)\n", killedWhileRunning,
              runs, duration * 1000);
  EXPECT_GT(killedWhileRunning, 2) << "the update ended before most kills";
}

}  // namespace

int main(int argc, char** argv) {
  if (!setUpE2e(&argc, argv)) return 2;
  return RUN_ALL_TESTS();
}
