// End-to-end cases that only the Windows build shows, run under wine: files
// that a still-running application holds open, hidden files, letter case,
// non-ASCII installation directories, the stand-in's hand-over and the
// executable's resources.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

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

// Runs a Windows program through the configured prefix; true when it exits 0.
bool runWindowsCommand(const std::string& words) {
  std::string command;
  for (const std::string& word : e2eConfig().prefix) command += word + " ";
  // A wine tool started while the server is busy fails now and then: try again.
  for (int attempt = 0; attempt < 3; ++attempt)
    if (std::system((command + words + " >/dev/null 2>&1").c_str()) == 0) return true;
  return false;
}

class WindowsOnly : public testing::Test {
 protected:
  void SetUp() override {
    if (!e2eConfig().windows) GTEST_SKIP() << "needs --paths wine";
  }
};

// The application still holds a.txt: the sharing it allows decides where
// the run fails. Either way a.txt keeps its old content and the run exits 4.
TEST_F(WindowsOnly, AFileHeldOpenByAnotherProcessFailsTheRun) {
  struct Case {
    const char* share;
    std::string err;  // after the name of the backup directory is filled in
    bool backupKept;
  };
  const Case cases[] = {
      {"none", "tavo_updater: yedek alinamadi: a.txt\n", false},
      {"r",
       "tavo_updater: cikarma hatasi: a.txt\n"
       "tavo_updater: geri alma tamamlanamadi, yedek korundu: @\n",
       true},
  };
  const Tree installed = {{"a.txt", "old a"}, {"keep.txt", "untouched"}};
  for (const Case& c : cases) {
    Scene s;
    install(s, installed);
    std::string ready = s.root + "/ready", stop = s.root + "/stop";
    int holder =
        startHelper("file_holder", {spell(s.inst + "/a.txt"), c.share, spell(ready), spell(stop)});
    ASSERT_TRUE(waitForFile(ready, 60)) << c.share;
    RunResult r = update(s, {fileEntry("new.txt", "new"), fileEntry("a.txt", "new a"),
                             fileEntry("later.txt", "never")});
    putFile(stop, "");
    waitHelper(holder);

    std::string err = c.err;
    std::string::size_type at = err.find('@');
    if (at != std::string::npos) err.replace(at, 1, spell(s.inst) + "\\_guncelleme_yedek");
    EXPECT_EQ(r.code, 4) << c.share;
    EXPECT_EQ(r.out, rolledBack) << c.share;
    EXPECT_EQ(r.err, err) << c.share;
    Tree expected = installed;
    if (c.backupKept) {
      expected["_guncelleme_yedek"] = "<dir>";
      expected["_guncelleme_yedek/a.txt"] = "old a";
    }
    Tree after = treeOf(s.inst);
    // A kept backup keeps its journal, and --kurtar puts it back.
    EXPECT_EQ(after.erase("_guncelleme_yedek/_gunluk.tvj"), c.backupKept ? 1u : 0u) << c.share;
    EXPECT_EQ(after, expected) << c.share;
    if (!c.backupKept) continue;
    RunResult k = runUpdater({"--kurtar", spell(s.inst)}, s.root);
    EXPECT_EQ(k.code, 0);
    EXPECT_EQ(k.out, "Yarim kalan guncelleme geri aliniyor...\n");
    EXPECT_EQ(treeOf(s.inst), installed);
  }
}

// A holder that shares reading and writing does not stand in the way.
TEST_F(WindowsOnly, AFileHeldWithFullSharingIsStillUpdated) {
  Scene s;
  install(s, {{"a.txt", "old a"}});
  std::string ready = s.root + "/ready", stop = s.root + "/stop";
  int holder =
      startHelper("file_holder", {spell(s.inst + "/a.txt"), "rw", spell(ready), spell(stop)});
  ASSERT_TRUE(waitForFile(ready, 60));
  RunResult r = update(s, {fileEntry("a.txt", "new a")});
  putFile(stop, "");
  waitHelper(holder);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, succeeded);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(treeOf(s.inst), (Tree{{"a.txt", "new a"}}));
}

// A hidden file exists: it is backed up and put back, not taken for a new
// file and deleted by the rollback.
TEST_F(WindowsOnly, AHiddenFileIsBackedUpAndRestored) {
  Scene s;
  install(s, {{"gizli.txt", "old hidden"}});
  ASSERT_TRUE(runWindowsCommand("attrib +h " + spell(s.inst + "/gizli.txt")));
  RunResult r = update(s, {fileEntry("gizli.txt", "new hidden"), brokenEntry("z.txt")});
  EXPECT_EQ(r.code, 4);
  EXPECT_EQ(r.out, rolledBack);
  EXPECT_EQ(r.err, "tavo_updater: cikarma hatasi: z.txt\n");
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
  EXPECT_EQ(r.err, "tavo_updater: cikarma hatasi: z.txt\n");
  EXPECT_EQ(treeOf(s.inst), (Tree{{"Veri.txt", "before"}}));

  RunResult ok = update(s, {fileEntry("Veri.txt", "one"), fileEntry("VERI.TXT", "two")});
  EXPECT_EQ(ok.code, 0);
  EXPECT_EQ(treeOf(s.inst), (Tree{{"Veri.txt", "two"}}));
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
