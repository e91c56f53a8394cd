// The updater when the disk fills up and when it is killed half-way, run
// as the real binary (Linux only: a small tmpfs and SIGKILL).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include "constants.h"
#include "e2e_support.h"
#include "scratch.h"
#include "zip_builder.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

const std::string rolledBack = std::string(sayBanner) + sayRollingBack;

std::string patterned(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (std::size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    s[i] = char(x >> 24);
  }
  return s;
}

// A tmpfs with `options` mounted at `dir`; false when mounting is not allowed.
bool mountSmallDisk(const std::string& dir, const std::string& options) {
  fs::create_directories(dir);
  return mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

// An update that does not fit on its disk, or that must move aside a file
// that cannot be moved (immutable), is refused before anything is changed
// (exit 7, told in the outcome too); one that fits with little to spare
// installs; a disk that runs out anyway (of inodes, which the plan does not
// count) rolls the run back byte for byte. The old big.bin comes back only
// if the half-written new files have been deleted first.
TEST(DiskFull, AnUpdateIsRefusedWhenItCannotFitAndRolledBackWhenTheDiskRunsOutAnyway) {
  const Tree installed = {{"big.bin", patterned(700000, 1)},
                          {"bin", "<dir>"},
                          {"bin/lib.dll", patterned(50000, 2)},
                          {"readme.txt", "version 1"}};
  ZipEntrySpec huge = fileEntry("huge.bin", patterned(3000000, 3));
  huge.method = 0;
  std::vector<ZipEntrySpec> tooBig = {
      fileEntry("readme.txt", "version 2"), fileEntry("big.bin", "x"),
      fileEntry("bin/lib.dll", patterned(60000, 4)), huge, fileEntry("later.txt", "never")};
  std::vector<ZipEntrySpec> justFits = {fileEntry("readme.txt", "version 2"),
                                        fileEntry("more.bin", patterned(1200000, 5))};
  Tree fitted = installed;
  fitted["readme.txt"] = "version 2";
  fitted["more.bin"] = patterned(1200000, 5);
  struct Case {
    const char* what;
    std::string options;
    std::vector<ZipEntrySpec> entries;
    int code;
    std::string out, err;
    Tree after;
    const char* pinned = nullptr;  // made immutable first
  } cases[] = {
      {"does not fit", "size=2m", tooBig, 7, banner,
       lineWith(errNoSpace, "%s (3 MiB gerekli, 1 MiB bos)"), installed},
      {"fits with little to spare", "size=2m", justFits, 0, succeeded, "", fitted},
      {"runs out of inodes", "size=8m,nr_inodes=12", tooBig, 4, rolledBack,
       lineWith(errExtraction, "huge.bin"), installed},
      {"a file to replace cannot be moved", "size=8m", justFits, 7, banner,
       lineWith(errHeld, "readme.txt"), installed, "readme.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string root = makeScratchDir(), disk = root + "/disk";
    if (!mountSmallDisk(disk, c.options)) {
      std::string why = std::strerror(errno);
      removeScratchDir(root);
      GTEST_SKIP() << "cannot mount a tmpfs here (" << why << "); the disk-full case needs root";
    }
    for (const auto& entry : installed)
      if (entry.second != "<dir>") putFile(disk + "/inst/" + entry.first, entry.second);
    writeBytes(root + "/u.zip", buildZipOf(c.entries));
    std::string inst = spell(disk + "/inst"), pinned = disk + "/inst/" + (c.pinned ? c.pinned : "");
    if (c.pinned && std::system(("chattr +i '" + pinned + "' 2>/dev/null").c_str()) != 0) {
      umount2(disk.c_str(), MNT_DETACH);
      removeScratchDir(root);
      continue;  // tmpfs without immutable files
    }
    RunResult r = runUpdater(
        {"--zip", spell(root + "/u.zip"), "--hedef", inst, "--sonuc", root + "/sonuc.json"}, root);
    if (c.pinned) std::system(("chattr -i '" + pinned + "'").c_str());
    EXPECT_EQ(fileContent(root + "/sonuc.json").rfind("{\"kod\":" + std::to_string(c.code), 0), 0u);
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(r.out, c.out);
    std::string err = c.err;
    if (err.find("%s") != std::string::npos) err.replace(err.find("%s"), 2, inst);
    EXPECT_EQ(r.err, err);
    EXPECT_TRUE(treeOf(disk + "/inst") == c.after) << "the installation is not as expected";
    umount2(disk.c_str(), MNT_DETACH);
    removeScratchDir(root);
  }
}

TEST(Killed, OldContentSurvivesInPlaceOrInTheBackupAndARecoveryPutsItBack) {
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
    // A recovery puts every file back in place. A backup directory without
    // its journal (killed while it was being removed) is garbage it leaves.
    EXPECT_EQ(runUpdater({"--kurtar", spell(inst)}, root).code, 0);
    EXPECT_FALSE(fs::exists(inst + "/" + backupDirName + "/" + journalFileName));
    Tree after = treeOf(inst);
    for (auto it = after.begin(); it != after.end();) {
      bool garbage = it->second == "<dir>" || it->first.rfind("_guncelleme_yedek/", 0) == 0;
      it = garbage ? after.erase(it) : std::next(it);
    }
    EXPECT_TRUE(after == installed) << "not recovered";
    removeScratchDir(root);
  }
  std::printf("killed mid-run: %d of %d runs (a whole run takes %.0f ms)\n", killedWhileRunning,
              runs, duration * 1000);
  EXPECT_GT(killedWhileRunning, 2) << "the update ended before most kills";
}

// ---- The kill sweep: the killable test build of the updater dies at its
// k-th file-system operation (in the middle of a copy or a write, before
// any other operation), for every k; then the real updater runs again.

// Every file with its content and modification time, every directory.
Tree stampedTree(const std::string& dir) {
  Tree tree = treeOf(dir);
  for (auto& entry : tree) {
    struct stat st;
    if (entry.second != "<dir>" && stat((dir + "/" + entry.first).c_str(), &st) == 0)
      entry.second +=
          "@" + std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
  }
  return tree;
}

const Tree sweepInstalled = {
    {"a.txt", "old a"},
    {"bin", "<dir>"},
    {"bin/lib.dll", patterned(300000, 7)},
    {"bin/keep.txt", "untouched"},
    {"conf", "<dir>"},
    {"conf/settings.ini", "old settings"},
    {"old.dll", "dropped"},
    {"plug", "<dir>"},
    {"plug/p.dll", "dropped too"},
    {"retimed.txt", "same bytes"},
    {"same.txt", "same bytes"},
    {"tavo_updater.liste", "urun t\nsurum 1\ndosya old.dll\ndosya plug/p.dll\n"}};

// The time every archive entry carries (2020-01-01 00:00:00, local time),
// as the updater gives it to the files it writes.
struct timespec entryTime() {
  struct tm when = {};
  when.tm_year = 120;
  when.tm_mday = 1;
  when.tm_isdst = -1;
  return {mktime(&when), 0};
}

// Overwritten, new and repeated-name files (a.txt again as "./a.txt"), a
// directory entry, a file installed with the same bytes and time (same.txt)
// and one with the same bytes at another time (retimed.txt), a release list
// that drops old.dll and plug/p.dll (and so plug); `fail` makes the last
// entry fail its CRC check after it was written over a file.
std::vector<ZipEntrySpec> sweepEntries(bool fail) {
  ZipEntrySpec last = fileEntry("conf/settings.ini", "new settings");
  if (fail) last.crc = 1;
  return {dirEntry("docs/"),
          fileEntry("tavo_updater.liste", "urun t\nsurum 2\ndosya a.txt\n"),
          fileEntry("a.txt", "new a"),
          fileEntry("bin/lib.dll", patterned(500000, 8)),
          fileEntry("n.txt", "n1"),
          fileEntry("same.txt", "same bytes"),
          fileEntry("retimed.txt", "same bytes"),
          fileEntry("sub/deeper/x.txt", "deep"),
          fileEntry("./a.txt", "newer a"),
          fileEntry("n.txt", "n2"),
          last};
}

const Tree sweepUpdated = {{"a.txt", "newer a"},
                           {"bin", "<dir>"},
                           {"bin/lib.dll", patterned(500000, 8)},
                           {"bin/keep.txt", "untouched"},
                           {"conf", "<dir>"},
                           {"conf/settings.ini", "new settings"},
                           {"docs", "<dir>"},
                           {"n.txt", "n2"},
                           {"retimed.txt", "same bytes"},
                           {"same.txt", "same bytes"},
                           {"sub", "<dir>"},
                           {"sub/deeper", "<dir>"},
                           {"sub/deeper/x.txt", "deep"},
                           {"tavo_updater.liste", "urun t\nsurum 2\ndosya a.txt\n"}};

// Scratch names come from one random generator, which is not thread-safe.
std::string lockedScratchDir() {
  static std::mutex scratch;
  std::lock_guard<std::mutex> lock(scratch);
  return makeScratchDir();
}

// What a run before the killed one left in the outcome file.
const std::string previousOutcome = "{\"kod\":0,\"onceki\":1}\n";

// An outcome file is the previous one or a whole new object, never a part.
bool wholeOutcome(const std::string& json) {
  return json == previousOutcome ||
         (json.rfind("{\"kod\":", 0) == 0 && json.find('\n') == json.size() - 1 &&
          json.substr(json.size() - 2) == "}\n" && json.find("\"sureler\":[") != std::string::npos);
}

// The installation goes in `inst` (under `root` unless the caller moves it)
// when installOld() is called: at once unless `later`.
// With `linkTo`, the installation's "bin" is a link to a directory there
// (another file system, say).
struct SweepScene {
  std::string root = lockedScratchDir(), inst = root + "/inst", zip = root + "/u.zip",
              sonuc = root + "/sonuc.json";
  std::string linkTo;
  Tree before;
  explicit SweepScene(bool fail, bool later = false) {
    writeBytes(zip, buildZipOf(sweepEntries(fail)));
    writeBytes(sonuc, previousOutcome);
    if (!later) installOld();
  }
  void installOld() {
    if (!linkTo.empty()) {
      fs::create_directories(linkTo + "/bin");
      fs::create_directories(inst);
      fs::create_directory_symlink(linkTo + "/bin", inst + "/bin");
    }
    for (const auto& entry : sweepInstalled) {
      if (entry.second == "<dir>") continue;
      putFile(inst + "/" + entry.first, entry.second);
      struct timespec old = {1000000000, 250};
      struct timespec times[2] = {old, entry.first == "same.txt" ? entryTime() : old};
      utimensat(AT_FDCWD, (inst + "/" + entry.first).c_str(), times, 0);
    }
    before = stamped();
  }
  // The stamped tree, with what the link holds as if it were there.
  Tree stamped() const {
    Tree tree = stampedTree(inst);
    if (!linkTo.empty())
      for (const auto& entry : stampedTree(linkTo + "/bin"))
        tree["bin/" + entry.first] = entry.second;
    return tree;
  }
  ~SweepScene() { removeScratchDir(root); }
  std::vector<std::string> args() const {
    return {"--zip", zip, "--hedef", inst, "--sonuc", sonuc};
  }
  // Runs the killable build to its k-th operation; false when it ended first.
  bool killAt(int k) const {
    pid_t pid = startUpdater(args(), root, e2eConfig().helpers + "/tavo_updater_killable",
                             {"TAVO_KILL_AT=" + std::to_string(k)});
    int status = 0;
    waitpid(pid, &status, 0);
    std::string json = fileContent(sonuc);
    EXPECT_TRUE(json == "<missing>" || wholeOutcome(json)) << "killed at " << k << ": " << json;
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  }
  bool journalLeft() const {
    return fs::exists(inst + "/" + backupDirName + "/" + journalFileName);
  }
};

// The last k at which a kill of the failing update leaves its journal.
int lastJournalledKill() {
  int k0 = 0;
  for (int k = 1;; ++k) {
    SweepScene s(true);
    if (!s.killAt(k)) return k0;
    if (s.journalLeft()) k0 = k;
  }
}

// The real updater after a kill: it recovers when a journal was left, then
// installs the archive or rolls it back again.
void expectRecovered(const SweepScene& s, bool fail, const std::string& what) {
  SCOPED_TRACE(what);
  bool journal = s.journalLeft();
  RunResult r = runUpdater(s.args(), s.root);
  std::string result = (fail ? rolledBack : succeeded).substr(banner.size());
  EXPECT_EQ(r.out, banner + (journal ? sayRecovering : "") + result);
  EXPECT_EQ(r.code, fail ? 4 : 0) << r.err;
  std::string json = fileContent(s.sonuc);
  EXPECT_TRUE(wholeOutcome(json) && json.rfind("{\"kod\":" + std::to_string(r.code) + ",", 0) == 0)
      << json;
  if (!fail) {
    EXPECT_EQ(treeOf(s.inst), sweepUpdated);
    return;
  }
  Tree after = stampedTree(s.inst);
  for (const char* made : {"docs", "sub", "sub/deeper"}) after.erase(made);
  EXPECT_EQ(after, s.before) << "not byte for byte as before the first run";
}

// Calls point(k) for k = 1, 2, ... until it returns false (a run that ends
// before its k-th operation ends before every later one too), on a few
// threads: each real run spends most of its time in its 400 ms pause.
// Returns how many points returned true.
int sweepPoints(const std::function<bool(int)>& point, int threads = 6) {
  std::atomic<int> count{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t)
    workers.emplace_back([&point, &count, t, threads] {
      for (int k = t + 1; point(k); k += threads) ++count;
    });
  for (std::thread& worker : workers) worker.join();
  return count;
}

TEST(KillSweep, TheNextRunFinishesOrUndoesAnUpdateKilledAtEveryOperation) {
  int points = 0;
  for (bool fail : {false, true}) {
    int n = sweepPoints([fail](int k) {
      SweepScene s(fail);
      if (!s.killAt(k)) return false;
      expectRecovered(
          s, fail,
          std::string(fail ? "failing" : "good") + " archive, killed at " + std::to_string(k));
      return true;
    });
    std::printf("kill sweep, %s archive: %d kill points\n", fail ? "failing" : "good", n);
    EXPECT_GT(n, 20);
    points += n;
  }
  // Kills during the recovery itself (and the update after it): the first
  // run dies late in its rollback, with every record journalled; the
  // second at each of its own operations.
  int k0 = lastJournalledKill();
  ASSERT_GT(k0, 0);
  int n = sweepPoints([k0](int j) {
    SweepScene s(true);
    EXPECT_TRUE(s.killAt(k0));
    if (!s.killAt(j)) return false;
    expectRecovered(
        s, true, "killed at " + std::to_string(k0) + ", recovery killed at " + std::to_string(j));
    return true;
  });
  std::printf("kill sweep, recovery killed: %d kill points\n", n);
  EXPECT_GT(n, 10);
  std::printf("kill sweep: %d kill points in all\n", points + n);
}

// A superseded file that cannot be removed (immutable, as a program still
// running from it is on Windows) stands where a killed run would have put
// its backup of a.txt (or of old.dll, which the release drops): the
// recovery leaves the current a.txt, and the next update stops before it
// changes anything.
TEST(KillSweep, ASupersededFileAtABackupPathIsNeverPutBack) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root: chattr";
  std::atomic<int> placed{0};
  std::atomic<bool> droppedToo{false};
  sweepPoints([&placed, &droppedToo](int k) {
    SweepScene s(false);
    if (!s.killAt(k)) return false;
    std::string leftover = s.inst + "/_guncelleme_yedek/a.txt";
    if (!s.journalLeft() || fs::exists(leftover)) return true;
    putFile(leftover, "superseded a");
    if (std::system(("chattr +i '" + leftover + "' 2>/dev/null").c_str()) != 0) return true;
    ++placed;
    RunResult r = runUpdater({"--kurtar", s.inst}, s.root);
    EXPECT_EQ(r.code, 0) << "killed at " << k << ": " << r.err;
    EXPECT_EQ(fileContent(s.inst + "/a.txt"), "old a") << "killed at " << k;
    Tree current = treeOf(s.inst);
    r = runUpdater(s.args(), s.root);
    EXPECT_EQ(r.code, 4);
    EXPECT_EQ(r.err, lineWith(errNoBackup, "a.txt"));
    EXPECT_EQ(treeOf(s.inst), current) << "changed before it stopped";
    std::system(("chattr -i '" + leftover + "'").c_str());
    // The same at the backup path of a file the release drops (once).
    std::string dropped = s.inst + "/_guncelleme_yedek/old.dll";
    if (droppedToo.exchange(true)) return true;
    fs::remove(leftover);
    putFile(dropped, "superseded old.dll");
    if (std::system(("chattr +i '" + dropped + "' 2>/dev/null").c_str()) != 0) return true;
    current = treeOf(s.inst);
    r = runUpdater(s.args(), s.root);
    std::system(("chattr -i '" + dropped + "'").c_str());
    EXPECT_EQ(r.code, 4);
    EXPECT_EQ(r.err, lineWith(errNoBackup, "old.dll"));
    EXPECT_EQ(treeOf(s.inst), current) << "changed before it stopped";
    return true;
  });
  if (placed == 0) GTEST_SKIP() << "chattr +i refused on this file system";
}

// ---- The power-cut sweep: the same scene on a small ext4 file system on
// a disk served by power_cut_disk, which keeps only what was flushed. The
// killable updater stops at its k-th operation; the file system's journal
// is then committed, as its commit timer would do (every name, size and
// truncation so far, none of the data still waiting to be written), the
// power is cut, and the image is mounted afresh (its journal replayed) for
// a recovery run.

bool shell(const std::string& command) { return std::system(command.c_str()) == 0; }

// No commit on a timer within a point, so that each point is the same
// every time; no data written back on the program's behalf when it
// renames or truncates a file: it must flush what it needs itself.
bool mountExt4(const std::string& image, const std::string& dir) {
  return shell("mount -o loop,commit=3600,noauto_da_alloc,noinit_itable '" + image + "' '" + dir +
               "'");
}

// A program that another thread started may hold a file of the mount for
// a moment (inherited before it was closed).
bool unmountWhenFree(const std::string& dir) {
  for (int i = 0; i < 1000; ++i) {
    if (umount2(dir.c_str(), 0) == 0) return true;
    if (errno != EBUSY) return false;
    usleep(10000);
  }
  return false;
}

// One point's disk: its image, served by power_cut_disk at `served`,
// mounted at `mnt` by serve().
struct PowerCutDisk {
  std::string image, served, mnt;
  int daemon = -1;
  PowerCutDisk(const std::string& root, const std::string& blank)
      : image(root + "/disk.img"), served(root + "/served"), mnt(root + "/mnt") {
    fs::create_directories(served);
    fs::create_directories(mnt);
    if (shell("cp --sparse=always '" + blank + "' '" + image + "'"))
      daemon = startHelper("power_cut_disk", {image, served});
  }
  ~PowerCutDisk() {
    umount2(mnt.c_str(), MNT_DETACH);
    umount2(served.c_str(), MNT_DETACH);
    if (daemon > 0) kill(daemon, SIGKILL);
    waitHelper(daemon);
  }
};

bool serve(const PowerCutDisk& d) {
  return waitForFile(d.served + "/disk.img", 10) && mountExt4(d.served + "/disk.img", d.mnt);
}

// On every disk at once: the journal commit (a new file forced to the
// disk) and the cut; then each image alone mounted again. The loop device
// lets go of the served file when ext4 is unmounted; unmounting it ends
// the daemon.
bool cutAndRemount(const std::vector<PowerCutDisk*>& disks) {
  bool cut = true;
  for (PowerCutDisk* d : disks)
    cut = shell("echo m >'" + d->mnt + "/marker' && sync '" + d->mnt + "/marker'") && cut;
  for (PowerCutDisk* d : disks) cut = shell("printf 1 >>'" + d->served + "/cut'") && cut;
  for (PowerCutDisk* d : disks) {
    bool unmounted = unmountWhenFree(d->mnt) && unmountWhenFree(d->served);
    if (!unmounted) kill(d->daemon, SIGKILL);
    waitHelper(d->daemon);
    d->daemon = -1;
    cut = unmounted && mountExt4(d->image, d->mnt) && cut;
  }
  return cut;
}

// The files of a stamped tree, leaving out directories and the backup
// directory (a recovery may leave it without its journal).
Tree filesOf(const Tree& stamped) {
  Tree files;
  for (const auto& entry : stamped)
    if (entry.second != "<dir>" && entry.first.rfind("_guncelleme_yedek/", 0) != 0)
      files.insert(entry);
  return files;
}

// The files that match none of the allowed versions, with size and time.
std::string mismatches(Tree got, const std::vector<const Tree*>& allowed) {
  for (const auto& entry : *allowed[0]) got.emplace(entry.first, "missing");
  std::string text;
  for (const auto& entry : got) {
    bool matched = false;
    for (const Tree* tree : allowed)
      matched |= tree->count(entry.first) && tree->at(entry.first) == entry.second;
    std::size_t at = entry.second.rfind('@');
    if (!matched && at != std::string::npos)
      text += " " + entry.first + " " + std::to_string(at) + " bytes" + entry.second.substr(at);
    else if (!matched)
      text += " " + entry.first + " " + entry.second;
  }
  return text;
}

enum class CutDuring { update, failingUpdate, recovery, afterSuccess };
const char* const cutNames[] = {"update", "failing update", "recovery", "after success"};

struct PowerCutSweep {
  std::string blank;  // image of a new, empty file system
  Tree after;         // the installation's files after the update
  int k0 = 0;         // the last kill of the failing update that leaves its journal
};

// One point: the scene on a fresh disk (`linked`: its "bin" a link to a
// second disk, cut at the same moment), the run stopped at its k-th
// operation (for the recovery, after a run killed at k0; after success,
// one point: the whole run), the cut, then a recovery run, which must
// leave the files as before or after the update (as far as allowed).
// False when the run ended before k; *failed when the files are wrong.
bool powerCutPoint(const PowerCutSweep& sweep, CutDuring when, bool linked, int k, bool* failed) {
  bool fail = when == CutDuring::failingUpdate || when == CutDuring::recovery;
  SweepScene s(fail, true);
  PowerCutDisk d(s.root, sweep.blank);
  fs::create_directories(s.root + "/second");
  PowerCutDisk second(s.root + "/second", sweep.blank);
  std::vector<PowerCutDisk*> disks = {&d};
  if (linked) disks.push_back(&second);
  for (PowerCutDisk* disk : disks)
    if (!serve(*disk)) {
      ADD_FAILURE() << "cannot serve and mount the disk image";
      return false;
    }
  s.inst = d.mnt + "/inst";
  if (linked) s.linkTo = second.mnt;
  s.installOld();
  std::string killable = helperProgram("tavo_updater_killable");
  std::string sync = "sync -f '" + d.mnt + "'" + (linked ? " '" + second.mnt + "'" : "");
  shell(sync);
  if (when == CutDuring::recovery) {
    EXPECT_TRUE(s.killAt(sweep.k0));
    shell(sync);
  }
  if (when == CutDuring::afterSuccess) {
    if (k > 1) return false;
    EXPECT_EQ(waitUpdater(startUpdater(s.args(), s.root, killable)), 0);
  } else if (!s.killAt(k)) {
    return false;
  }
  Tree before = filesOf(s.before);
  std::vector<const Tree*> allowed;
  if (when != CutDuring::afterSuccess) allowed.push_back(&before);
  if (when == CutDuring::update || when == CutDuring::afterSuccess) allowed.push_back(&sweep.after);
  EXPECT_TRUE(cutAndRemount(disks)) << "cannot cut and mount again at " << k;
  int code = waitUpdater(startUpdater({"--kurtar", s.inst}, s.root, killable));
  Tree got = filesOf(s.stamped());
  bool matched = false;
  for (const Tree* tree : allowed) matched |= got == *tree;
  *failed = code != 0 || !matched;
  EXPECT_FALSE(*failed) << "cut during " << cutNames[int(when)] << (linked ? " (linked)" : "")
                        << " at " << k << ": recovery exit " << code << ";"
                        << mismatches(got, allowed);
  return true;
}

TEST(PowerCut, EveryFileKeepsItsOldOrItsNewVersionWhenThePowerIsCutAtAnyOperation) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root: loop devices and mounts";
  if (access("/dev/fuse", R_OK | W_OK) != 0 || access("/dev/loop-control", R_OK | W_OK) != 0)
    GTEST_SKIP() << "needs /dev/fuse and /dev/loop-control";
  if (access(helperProgram("power_cut_disk").c_str(), X_OK) != 0)
    GTEST_SKIP() << "power_cut_disk was not built (libfuse3 missing)";
  // The inode tables are written at once: nothing initialises them later,
  // in the background, during a point.
  std::string root = makeScratchDir();
  PowerCutSweep sweep;
  sweep.blank = root + "/blank.img";
  ASSERT_TRUE(shell("truncate -s 32M '" + sweep.blank + "' && mkfs.ext4 -q -F -b 4096 -I 256 -E " +
                    "lazy_itable_init=0,lazy_journal_init=0,nodiscard '" + sweep.blank + "'"));
  {
    SweepScene s(false);
    ASSERT_EQ(waitUpdater(startUpdater(s.args(), s.root, helperProgram("tavo_updater_killable"))),
              0);
    sweep.after = filesOf(stampedTree(s.inst));
    EXPECT_EQ(sweep.after["same.txt"], s.before["same.txt"]) << "same.txt is not identical";
  }
  sweep.k0 = lastJournalledKill();
  ASSERT_GT(sweep.k0, 0);
  // On one disk, then with "bin" a link to a second disk (its old files
  // copied into the backup, not moved).
  for (bool linked : {false, true})
    for (CutDuring when : {CutDuring::update, CutDuring::failingUpdate, CutDuring::recovery,
                           CutDuring::afterSuccess}) {
      std::atomic<int> failing{0};
      double start = monotonicSeconds();
      int n = sweepPoints(
          [&sweep, when, linked, &failing](int k) {
            bool failed = false;
            bool point = powerCutPoint(sweep, when, linked, k, &failed);
            failing += failed;
            return point;
          },
          4);
      std::printf("power-cut sweep, cut during %s%s: %d cut points, %d failing (%.1f s)\n",
                  cutNames[int(when)], linked ? " (bin on a second disk)" : "", n, failing.load(),
                  monotonicSeconds() - start);
      EXPECT_GT(n, when == CutDuring::afterSuccess ? 0 : 20);
    }
  removeScratchDir(root);
}

}  // namespace

int main(int argc, char** argv) {
  if (!setUpE2e(&argc, argv)) return 2;
  return RUN_ALL_TESTS();
}
