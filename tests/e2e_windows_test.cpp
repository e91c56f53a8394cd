// End-to-end cases that only the Windows build shows, run under wine: files
// that a still-running application holds open, hidden files, letter case,
// long and non-ASCII paths, the stand-in's hand-over and the executable's
// resources; and read-only and hard-linked targets, which both targets run
// (as a user who is not root, or the system would write them all the same).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <locale.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "constants.h"
#include "e2e_support.h"
#include "scratch.h"
#include "zip_builder.h"

namespace {

namespace fs = std::filesystem;

struct Scene {
  std::string root = makeScratchDir();
  std::string inst = root + "/inst";
  ~Scene() { removeScratchDir(root); }
};

void install(const Scene& s, const Tree& files) {
  for (const auto& file : files) putFile(s.inst + "/" + file.first, file.second);
}

RunResult update(const Scene& s, const std::vector<ZipEntrySpec>& entries) {
  writeBytes(s.root + "/u.zip", buildZipOf(entries));
  return runUpdater({"--zip", spell(s.root + "/u.zip"), "--hedef", spell(s.inst)}, s.root);
}

ZipEntrySpec brokenEntry(const std::string& name) {
  ZipEntrySpec e = fileEntry(name, "damaged");
  e.crc = 1;
  return e;
}

// Starts an update of `entries` and a large last entry, and kills it (as
// Task Manager would) once `backup` holds `content`; false when it never did.
bool killMidRun(const Scene& s, std::vector<ZipEntrySpec> entries, const std::string& backup,
                const std::string& content) {
  ZipEntrySpec big = fileEntry("big.bin", std::string(std::size_t(300) << 20, 'b'));
  big.method = 0;
  entries.push_back(big);
  writeBytes(s.root + "/u.zip", buildZipOf(entries));
  int pid = startUpdater({"--zip", spell(s.root + "/u.zip"), "--hedef", spell(s.inst)}, s.root);
  bool seen = false;
  for (int i = 0; i < 60000 && !seen; ++i) {
    seen = fileContent(backup) == content;
    if (!seen) usleep(1000);
  }
  kill(pid, SIGKILL);
  waitUpdater(pid);
  return seen;
}

// Runs a Windows program through the configured prefix; true when it exits 0.
bool runWindowsCommand(const std::string& words) {
  std::string command;
  for (const std::string& word : e2eConfig().prefix) command += word + " ";
  // A wine tool started while the server is busy fails now and then: try again.
  for (int attempt = 0; attempt < 3; ++attempt)
    if (std::system((command + words + " >/dev/null 2>&1").c_str()) == 0) return true;
  return false;
}

// Starts a Windows program through the configured prefix in the background.
void startWindowsCommand(const std::string& words) {
  std::string command;
  for (const std::string& word : e2eConfig().prefix) command += word + " ";
  std::system((command + words + " >/dev/null 2>&1 &").c_str());
}

std::string quoted(const std::string& word) { return "'" + word + "'"; }

mode_t modeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

// Appends directories named "dd...d" to `base` until the spelt path is
// `length` characters long.
std::string deepDir(const std::string& base, std::size_t length) {
  std::string dir = base;
  while (spell(dir).size() < length) {
    std::size_t left = length - spell(dir).size();
    std::size_t step = left <= 101 ? left : (left - 101 == 1 ? 99 : 101);
    dir += "/" + std::string(step - 1, 'd');
  }
  return dir;
}

class WindowsOnly : public testing::Test {
 protected:
  void SetUp() override {
    if (!e2eConfig().windows) GTEST_SKIP() << "needs --paths wine";
  }
};

// A hidden file exists: it is backed up and put back, not taken for a new
// file and deleted by the rollback.
TEST_F(WindowsOnly, AHiddenFileIsBackedUpAndRestored) {
  Scene s;
  install(s, {{"gizli.txt", "old hidden"}});
  ASSERT_TRUE(runWindowsCommand("attrib +h " + spell(s.inst + "/gizli.txt")));
  RunResult r = update(s, {fileEntry("gizli.txt", "new hidden"), brokenEntry("z.txt")});
  EXPECT_EQ(r.code, 4);
  EXPECT_EQ(r.out, rolledBack);
  EXPECT_EQ(r.err, lineWith(errExtraction, "z.txt"));
  EXPECT_EQ(treeOf(s.inst), (Tree{{"gizli.txt", "old hidden"}}));
}

// Names that differ only in letter case are one file on Windows: the second
// is not backed up again, so the rollback restores the content from before.
TEST_F(WindowsOnly, NamesDifferingInCaseShareOneBackup) {
  Scene s;
  install(s, {{"Veri.txt", "before"}});
  RunResult r = update(s, {fileEntry("Veri.txt", "one"), fileEntry("VERI.TXT", "two"),
                           fileEntry("veri.txt", "three"), brokenEntry("z.txt")});
  EXPECT_EQ(r.code, 4);
  EXPECT_EQ(r.err, lineWith(errExtraction, "z.txt"));
  EXPECT_EQ(treeOf(s.inst), (Tree{{"Veri.txt", "before"}}));

  RunResult ok = update(s, {fileEntry("Veri.txt", "one"), fileEntry("VERI.TXT", "two")});
  EXPECT_EQ(ok.code, 0);
  EXPECT_EQ(treeOf(s.inst), (Tree{{"Veri.txt", "two"}}));
}

// Two spellings of one file in a run that is killed: one backup, under the
// file's own name, which the recovery puts back under it.
TEST_F(WindowsOnly, TwoSpellingsOfAFileKilledMidRunComeBackAsTheyWere) {
  Scene s;
  install(s, {{"Veri.txt", "before"}});
  ASSERT_TRUE(killMidRun(s, {fileEntry("VERI.TXT", "one"), fileEntry("veri.txt", "two")},
                         s.inst + "/_guncelleme_yedek/Veri.txt", "before"));
  RunResult r = runUpdater({"--kurtar", spell(s.inst)}, s.root);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(treeOf(s.inst), (Tree{{"Veri.txt", "before"}}));
}

// A non-ASCII installation directory reaches the updater through its
// command line; unflagged names that are valid UTF-8 are kept as they are.
TEST_F(WindowsOnly, NonAsciiInstallationDirectoryAndNames) {
  Scene s;
  s.inst = s.root + "/Kurulum \xC4\x9E\xC3\xBC";                         // "Kurulum Ğü"
  install(s, {{"\305\237ey.txt", "old"}});                               // "şey.txt"
  ZipEntrySpec unflagged = fileEntry("d\xC3\xB6nem/\xC4\xB1.txt", "i");  // "dönem/ı.txt"
  ZipEntrySpec flagged = fileEntry("\305\237ey.txt", "new");
  flagged.flags = 0x800;
  RunResult r = update(s, {unflagged, flagged});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, succeeded);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(treeOf(s.inst), (Tree{{"d\xC3\xB6nem", "<dir>"},
                                  {"d\xC3\xB6nem/\xC4\xB1.txt", "i"},
                                  {"\305\237ey.txt", "new"}}));
}

// The stand-in application, installed in a directory with spaces, hands
// its own update over with a quoted command line and is started again.
TEST_F(WindowsOnly, TheStandInHandsOverAndComesBackUpdated) {
  Scene s;
  s.inst = s.root + "/Program Files/Tavonu";
  install(s, {{"surum.txt", "1\n"}});
  for (const char* program : {"tavonu.exe", "tavo_updater.exe"})
    fs::copy_file(fs::path(e2eConfig().updater).parent_path() / program,
                  fs::path(s.inst) / program);
  writeBytes(s.root + "/u.zip", buildZipOf({fileEntry("surum.txt", "2\n")}));
  ASSERT_TRUE(runWindowsCommand("\"" + spell(s.inst + "/tavonu.exe") + "\" --guncelle \"" +
                                spell(s.root + "/u.zip") + "\""));
  // The relaunched stand-in appends its line, in text mode, once the update
  // is done.
  std::string expected = "surum 1\r\nsurum 2\r\n", report = s.inst + "/rapor.txt";
  for (int waited = 0; waited < 600 && fileContent(report) != expected; ++waited) usleep(50000);
  EXPECT_EQ(fileContent(report), expected);
  EXPECT_EQ(fileContent(s.inst + "/surum.txt"), "2\n");
  EXPECT_FALSE(fs::exists(s.inst + "/_guncelleme_yedek"));
}

// Full paths of 270, 400 and 1,000 characters, reached through a deep
// installation directory or through a deep entry name: a replaced and a new
// file are installed, or restored byte for byte; no backup is left.
TEST_F(WindowsOnly, LongPathsAreInstalledAndRestored) {
  for (std::size_t length : {270, 400, 1000}) {
    for (bool deepEntry : {false, true}) {
      for (bool fails : {false, true}) {
        Scene s;
        std::string dir;  // of the two files, relative to s.inst
        if (deepEntry)
          dir = deepDir(s.inst, length - 6).substr(s.inst.size() + 1);
        else
          s.inst = deepDir(s.root, length - 6);
        std::string prefix = dir.empty() ? "" : dir + "/";
        install(s, {{prefix + "a.txt", std::string(3000, 'o')}});
        ASSERT_EQ(spell(s.inst + "/" + prefix + "a.txt").size(), length);
        Tree expected = treeOf(s.inst);
        std::vector<ZipEntrySpec> entries = {fileEntry(prefix + "a.txt", "new a"),
                                             fileEntry(prefix + "n.txt", "new n")};
        if (fails) entries.push_back(brokenEntry("z.txt"));
        RunResult r = update(s, entries);
        std::string label = std::to_string(length) + (deepEntry ? " entry" : " dir");
        if (!fails) {
          expected[prefix + "a.txt"] = "new a";
          expected[prefix + "n.txt"] = "new n";
        }
        EXPECT_EQ(r.code, fails ? 4 : 0) << label;
        EXPECT_EQ(r.err, fails ? lineWith(errExtraction, "z.txt") : "") << label;
        EXPECT_EQ(treeOf(s.inst), expected) << label;
      }
    }
  }
}

// Another process (the application, a scanner) holds a.txt. Sharing reading
// and writing, it is no obstacle. Let go 300 ms or 1 s after the run starts
// on the tree, it is waited for. Held on (without write sharing), the plan
// finds it after about 2 s of retries and the run ends before any change
// with exit 7, naming it (Wine's Restart Manager names no program).
TEST_F(WindowsOnly, AFileHeldByAnotherProcessIsWaitedForThenFailsTheRun) {
  struct Case {
    const char* share;
    int holdMs;  // after the backup directory appears; -1: until the run ended
    std::string err;
  };
  const Case cases[] = {{"rw", -1, ""},
                        {"none", 300, ""},
                        {"none", 1000, ""},
                        {"none", 10000, lineWith(errHeld, "a.txt")},
                        {"r", -1, lineWith(errHeld, "a.txt")}};
  const Tree installed = {{"a.txt", "old a"}, {"keep.txt", "untouched"}};
  for (const Case& c : cases) {
    std::string label = std::string(c.share) + " " + std::to_string(c.holdMs);
    Scene s;
    install(s, installed);
    std::string ready = s.root + "/ready", stop = s.root + "/stop";
    std::vector<std::string> args = {spell(s.inst + "/a.txt"), c.share, spell(ready)};
    if (c.holdMs < 0)
      args.push_back(spell(stop));
    else
      args.insert(args.end(), {spell(s.inst + "/_guncelleme_yedek"), std::to_string(c.holdMs)});
    int holder = startHelper("file_holder", args);
    ASSERT_TRUE(waitForFile(ready, 60)) << label;
    RunResult r = update(s, {fileEntry("new.txt", "new"), fileEntry("a.txt", "new a")});
    putFile(stop, "");
    waitHelper(holder);
    bool installs = c.err.empty();
    Tree expected = installed;
    if (installs) {
      expected["a.txt"] = "new a";
      expected["new.txt"] = "new";
    }
    EXPECT_EQ(r.code, installs ? 0 : 7) << label;
    EXPECT_EQ(r.out, installs ? succeeded : banner) << label;
    EXPECT_EQ(r.err, c.err) << label;
    EXPECT_EQ(treeOf(s.inst), expected) << label;
    if (c.holdMs > 2000) {
      EXPECT_LT(r.seconds, 9.0) << "gave up before the holder let go";
    }
  }
}

// From its signature check to its end, the run holds the archive: no other
// process can open it for writing, or for deleting (as a rename or a
// replacement must), while two held files keep the run in its plan for
// about 3 s; afterwards both can.
TEST_F(WindowsOnly, NoProcessCanWriteOrReplaceTheArchiveDuringTheRun) {
  Scene s;
  install(s, {{"a.txt", "old a"}, {"b.txt", "old b"}});
  std::string keys = s.root + "/keys", zip = s.root + "/u.zip",
              yedek = s.inst + "/_guncelleme_yedek";
  ASSERT_TRUE(makeKeyPair(keys));
  putFile(s.inst + "/tavo_updater.pub", fileContent(keys + "/pub"));
  writeBytes(zip, buildZipOf({fileEntry("a.txt", "new a"), fileEntry("b.txt", "new b")}));
  ASSERT_TRUE(signFile(keys, zip));
  // a.txt is let go 1.5 s after the backup directory appears, b.txt 3 s after
  // it: each within the 2 s that the plan tries a held file for.
  std::vector<int> pids;
  for (std::string f : {"a", "b"})
    pids.push_back(startHelper("file_holder",
                               {spell(s.inst + "/" + f + ".txt"), "none", spell(s.root + "/" + f),
                                spell(yedek), f == "a" ? "1500" : "3000"}));
  ASSERT_TRUE(waitForFile(s.root + "/a", 60) && waitForFile(s.root + "/b", 60));
  int updater = startUpdater({"--zip", spell(zip), "--hedef", spell(s.inst)}, s.root);
  // Both ways in at once; the marks of those that opened the archive.
  auto opened = [&](const std::string& round) {
    int write =
        startHelper("file_holder", {spell(zip), "write", spell(s.root + "/w" + round), spell(zip)});
    int remove = startHelper("file_holder",
                             {spell(zip), "delete", spell(s.root + "/d" + round), spell(zip)});
    waitHelper(write);
    waitHelper(remove);
    return std::to_string(fs::exists(s.root + "/w" + round)) +
           std::to_string(fs::exists(s.root + "/d" + round));
  };
  ASSERT_TRUE(waitForFile(yedek, 60));
  EXPECT_EQ(opened("1"), "00");
  EXPECT_TRUE(fs::exists(yedek)) << "the run ended before the attempts: no proof";
  EXPECT_EQ(waitUpdater(updater), 0);
  for (int pid : pids) waitHelper(pid);
  EXPECT_EQ(fileContent(s.inst + "/a.txt") + fileContent(s.inst + "/b.txt"), "new anew b");
  EXPECT_EQ(opened("2"), "11");
}

// A program of the installation that is still running is moved aside (an
// image in use allows a rename, not a write) and replaced. Its old file goes
// with the backup when the system lets it; otherwise the backup directory
// stays without a journal, and the next run removes it.
TEST_F(WindowsOnly, ARunningProgramIsMovedAsideAndReplaced) {
  Scene s;
  std::string program = fileContent(helperProgram("sleeper"));
  install(s, {{"bin/app.exe", program}});
  std::string pidFile = s.root + "/pid", go = s.root + "/go";
  startWindowsCommand(quoted(spell(s.inst + "/bin/app.exe")) + " " + quoted(spell(pidFile)) + " " +
                      quoted(spell(go)) + " 0");
  ASSERT_TRUE(waitForFile(pidFile, 60));
  RunResult r = update(s, {fileEntry("new.txt", "new"), fileEntry("bin/app.exe", "new program")});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, succeeded);
  EXPECT_EQ(fileContent(s.inst + "/bin/app.exe"), "new program");
  EXPECT_EQ(fileContent(s.inst + "/new.txt"), "new");
  EXPECT_FALSE(fs::exists(s.inst + "/" + backupDirName + "/" + journalFileName));
  // The old program is left in the backup, still running. An update killed
  // once it has moved the current program aside is undone to the current
  // program, never to the superseded one.
  std::string aside = s.inst + "/_guncelleme_yedek/bin/app.exe";
  EXPECT_EQ(fileContent(aside), program);
  ASSERT_TRUE(killMidRun(s, {fileEntry("bin/app.exe", "newer program")}, aside, "new program"));
  RunResult recovered = runUpdater({"--kurtar", spell(s.inst)}, s.root);
  EXPECT_EQ(recovered.code, 0) << recovered.err;
  EXPECT_EQ(fileContent(s.inst + "/bin/app.exe"), "new program");
  putFile(go, "");
  usleep(1000000);  // the program ends after "go"
  EXPECT_EQ(runUpdater({"--kurtar", spell(s.inst)}, s.root).code, 0);
  EXPECT_FALSE(fs::exists(s.inst + "/_guncelleme_yedek"));
}

// The backup directory's short names: wine's hashed one and the form
// Windows gives first. Neither may reach the backup of a.txt.
TEST_F(WindowsOnly, ShortNamesOfTheBackupDirectoryAreRefused) {
  for (const char* alias : {"_GUN~FMF/a.txt", "_GUNCE~1/a.txt"}) {
    Scene s;
    install(s, {{"a.txt", "old a"}});
    RunResult r =
        update(s, {fileEntry("a.txt", "new a"), fileEntry(alias, "foreign"), brokenEntry("z.txt")});
    EXPECT_EQ(r.code, 4) << alias;
    EXPECT_EQ(r.err, lineWith(errInvalidName, alias));
    EXPECT_EQ(treeOf(s.inst), (Tree{{"a.txt", "old a"}})) << alias;
  }
}

// With the system's code page in place of UTF-8 (a Windows that ignores the
// manifest's request) and a Turkish locale, a non-ASCII installation
// directory and entry are still installed, and the relaunch gets its path
// right. Under wine the host's file names are then in ISO-8859-9.
TEST_F(WindowsOnly, NonAsciiPathsWorkInATurkishCodePage) {
  const std::string locale = "tr_TR.ISO-8859-9";
  locale_t available = newlocale(LC_CTYPE_MASK, locale.c_str(), locale_t(0));
  if (available == locale_t(0)) GTEST_SKIP() << locale << " is not installed";
  freelocale(available);
  Scene s;
  const std::string latin5 = "/\xDE\xFCkr\xFC/Uygulama",
                    utf8 = "/\xC5\x9E\xC3\xBCkr\xC3\xBC/Uygulama";
  s.inst = s.root + latin5;
  install(s, {{"\xFE"
               "ey.txt",
               "old"}});
  fs::copy_file(helperProgram("launch_recorder"), s.inst + "/launch_recorder.exe");
  ZipEntrySpec replaced = fileEntry(
      "\xC5\x9F"
      "ey.txt",
      "new");  // "şey.txt"
  replaced.flags = 0x800;
  writeBytes(s.root + "/u.zip",
             buildZipOf({replaced, fileEntry("d\xC3\xB6nem/\xC4\xB1.txt", "i")}));  // "dönem/ı.txt"
  std::string command = "env LANG=" + locale + " LC_ALL=" + locale;
  for (const std::string& word : e2eConfig().prefix) command += " " + word;
  command += " " + quoted(helperProgram("tavo_updater_cp")) + " --zip " +
             quoted(spell(s.root + "/u.zip")) + " --hedef " + quoted(spell(s.inst)) + " --exe " +
             quoted(spell(s.inst + "/launch_recorder.exe")) + " >" + quoted(s.root + "/out") +
             " 2>" + quoted(s.root + "/err");
  int status = std::system(command.c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(fileContent(s.root + "/err"), "");
  EXPECT_EQ(fileContent(s.inst + "/\xFE"
                                 "ey.txt"),
            "new");
  EXPECT_EQ(fileContent(s.inst + "/d\xF6nem/\xFD.txt"), "i");
  EXPECT_FALSE(fs::exists(s.inst + "/_guncelleme_yedek"));
  std::string inUtf8 = spell(s.root + utf8);
  EXPECT_TRUE(waitForFile(s.inst + "/launched.txt", 30));
  EXPECT_EQ(fileContent(s.inst + "/launched.txt"),
            "\"" + inUtf8 + "\\launch_recorder.exe\"\n" + inUtf8 + "\n");
}

// A read-only target, or one with another name outside the installation,
// is replaced by a new file: the read-only one stays read-only, the other
// name keeps the old content, after a success and after a rollback alike.
// An identical one is not replaced at all: the same file (the other name
// still one with it), given the entry's time, which a rollback takes back.
// "plumless" and "buckeroo" share size and CRC-32: not identical.
TEST(BothTargets, ReadOnlyAndHardLinkedTargetsAreReplacedNotWrittenThrough) {
  for (const char* content : {"new a", "plumless", "old a"}) {
    for (bool hardLinked : {false, true}) {
      for (bool fails : {false, true}) {
        Scene s;
        bool identical = std::string(content) == "old a";
        install(s, {{"a.txt", std::string(identical ? "old a" : "buckeroo")}});
        std::string old = fileContent(s.inst + "/a.txt"), outside = s.root + "/outside.txt";
        struct timespec stamp[2] = {{1000000000, 0}, {1000000000, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, (s.inst + "/a.txt").c_str(), stamp, 0), 0);
        if (hardLinked)
          ASSERT_EQ(link((s.inst + "/a.txt").c_str(), outside.c_str()), 0);
        else
          ASSERT_EQ(chmod((s.inst + "/a.txt").c_str(), 0444), 0);
        struct stat before, after;
        ASSERT_EQ(stat((s.inst + "/a.txt").c_str(), &before), 0);
        std::vector<ZipEntrySpec> entries = {fileEntry("a.txt", content)};
        if (fails) entries.push_back(brokenEntry("z.txt"));
        RunResult r = update(s, entries);
        std::string label = std::string(content) + (hardLinked ? " linked" : " read-only") +
                            (fails ? " fails" : "");
        EXPECT_EQ(r.code, fails ? 4 : 0) << label;
        EXPECT_EQ(r.err, fails ? lineWith(errExtraction, "z.txt") : "") << label;
        EXPECT_EQ(treeOf(s.inst), (Tree{{"a.txt", fails ? old : content}})) << label;
        ASSERT_EQ(stat((s.inst + "/a.txt").c_str(), &after), 0);
        if (hardLinked) {
          EXPECT_EQ(fileContent(outside), old) << label;
          EXPECT_EQ(after.st_nlink, identical || fails ? 2u : 1u) << label;
        } else {
          EXPECT_EQ(modeOf(s.inst + "/a.txt") & 0222, 0u) << label;
        }
        if (identical) {
          EXPECT_EQ(after.st_ino, before.st_ino) << label;
          EXPECT_EQ(after.st_mtime == 1000000000, fails) << label << ": time";
        }
      }
    }
  }
}

// The string as the version resource stores it: UTF-16LE, ended by a zero.
std::string utf16(const std::string& ascii) {
  std::string result;
  for (char c : ascii) result += {c, '\0'};
  return result + std::string(2, '\0');
}

// The resources are in the file: the manifest as text, the version strings
// as UTF-16 key and value pairs.
TEST_F(WindowsOnly, TheExecutableCarriesItsManifestAndVersion) {
  std::string exe = fileContent(e2eConfig().updater);
  const std::string manifest[] = {
      "<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>",
      ">UTF-8</activeCodePage>"};
  for (const std::string& text : manifest) EXPECT_NE(exe.find(text), std::string::npos) << text;
  const std::pair<std::string, std::string> version[] = {{"ProductName", "Tavonu"},
                                                         {"FileVersion", TAVO_PROJECT_VERSION},
                                                         {"ProductVersion", TAVO_PROJECT_VERSION},
                                                         {"OriginalFilename", "tavo_updater.exe"}};
  for (const auto& entry : version) {
    std::string::size_type key = exe.find(utf16(entry.first));
    ASSERT_NE(key, std::string::npos) << entry.first;
    // The value follows its key, aligned to four bytes.
    std::string::size_type value = exe.find(utf16(entry.second), key + utf16(entry.first).size());
    EXPECT_LE(value, key + utf16(entry.first).size() + 2) << entry.first;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (!setUpE2e(&argc, argv)) return 2;
  return RUN_ALL_TESTS();
}
