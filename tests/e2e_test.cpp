// End-to-end runs of the updater binary: one scratch directory per case,
// exact exit code and output streams, and the resulting file tree.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "constants.h"
#include "e2e_support.h"
#include "scratch.h"
#include "zip_builder.h"

namespace {

namespace fs = std::filesystem;

const std::string badArguments = errBadArguments;

// A scratch directory with an installation "inst" in it.
struct Scene {
  std::string root, inst;
};

Scene makeScene(const Tree& installed) {
  Scene s{makeScratchDir(), ""};
  s.inst = s.root + "/inst";
  for (const auto& entry : installed) {
    if (entry.second == "<dir>")
      fs::create_directories(s.inst + "/" + entry.first);
    else
      putFile(s.inst + "/" + entry.first, entry.second);
  }
  return s;
}

std::string putArchive(const Scene& s, const std::string& bytes) {
  writeBytes(s.root + "/u.zip", bytes);
  return spell(s.root + "/u.zip");
}

std::vector<std::string> argsFor(const Scene& s, const std::string& zip) {
  return {"--zip", zip, "--hedef", spell(s.inst)};
}

// `args` with the outcome asked for in the scene's sonuc.json (or `name`).
std::vector<std::string> withOutcome(const Scene& s, std::vector<std::string> args,
                                     const std::string& name = "sonuc.json") {
  args.insert(args.end(), {"--sonuc", spell(s.root + "/" + name)});
  return args;
}

std::string quoted(const std::string& text) {
  std::string json = "\"";
  for (char c : text) json += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
  return json + "\"";
}

// The outcome begins with the exit code, the lines of `err` and the failed
// `entry`, and is one whole line.
void expectOutcome(const Scene& s, int code, const std::string& err, const std::string& entry,
                   const std::string& name = "sonuc.json") {
  std::string json = fileContent(s.root + "/" + name), lines;
  for (std::size_t at = 0, end; (end = err.find('\n', at)) != std::string::npos; at = end + 1)
    lines += (lines.empty() ? "" : ",") + quoted(err.substr(at, end - at));
  std::string head = "{\"kod\":" + std::to_string(code) + ",\"mesajlar\":[" + lines +
                     "],\"girdi\":" + (entry.empty() ? "null" : quoted(entry)) + ",";
  EXPECT_EQ(json.substr(0, head.size()), head) << json;
  EXPECT_EQ(json.find('\n'), json.size() - 1) << json;
  EXPECT_EQ(json.substr(json.size() - 2), "}\n") << json;
}

// Copies the launch recorder into the scene; returns its host path.
std::string placeRecorder(const Scene& s) {
  std::string name = e2eConfig().windows ? "launch_recorder.exe" : "launch_recorder";
  fs::create_directories(s.root + "/app");
  fs::copy_file(helperProgram("launch_recorder"), s.root + "/app/" + name);
  return s.root + "/app/" + name;
}

std::string launchRecord(const Scene& s) {
  std::string path = s.root + "/app/launched.txt";
  return waitForFile(path, 20) ? fileContent(path) : "<not launched>";
}

// A relaunch, if one wrongly happens, has long written its record by then.
bool notLaunched(const Scene& s) {
  usleep(500000);
  return !fs::exists(s.root + "/app/launched.txt");
}

// The tree without the copied helper programs, which are too big to print.
Tree withoutApp(Tree tree) {
  for (auto it = tree.begin(); it != tree.end();)
    it = it->first.rfind("app", 0) == 0 ? tree.erase(it) : std::next(it);
  return tree;
}

std::string expectedRecord(const std::string& exeAsGiven, const std::string& workDir) {
  std::string line = e2eConfig().windows ? "\"" + exeAsGiven + "\"" : exeAsGiven;
  return line + "\n" + workDir + "\n";
}

const Tree installed = {
    {"a.txt", "old a"},        {"bin", "<dir>"},  {"bin/lib.dll", "old lib"},
    {"keep.txt", "untouched"}, {"data", "<dir>"},
};

std::vector<ZipEntrySpec> updateEntries() {
  return {dirEntry("docs/"),
          fileEntry("a.txt", "new a"),
          fileEntry("bin/lib.dll", "new lib"),
          fileEntry("bin/new.dll", "brand new"),
          fileEntry("docs/readme.txt", "read me"),
          fileEntry("sub/deeper/x.txt", "deep"),
          fileEntry("tavo_updater.exe", "SELF"),
          fileEntry("bin/tavo_updater.exe", "SELF"),
          fileEntry("TAVO_UPDATER.EXE", "SELF")};
}

TEST(CommandLine, BadArgumentsTouchNothing) {
  struct Case {
    const char* what;
    std::vector<std::string> args;
  } cases[] = {
      {"nothing", {}},
      {"no zip", {"--hedef", "inst"}},
      {"hedef last", {"--zip", "u.zip", "--hedef"}},
      {"empty hedef", {"--zip", "u.zip", "--hedef", ""}},
      {"empty zip", {"--zip", "", "--hedef", "inst"}},
      {"missing zip", {"--zip", "missing.zip", "--hedef", "inst"}},
      {"zip is a directory", {"--zip", "adir", "--hedef", "inst"}},
      {"option name as value", {"--zip", "--hedef", "inst"}},
      {"other letter case", {"--ZIP", "u.zip", "--HEDEF", "inst"}},
  };
  for (const Case& c : cases) {
    Scene s = makeScene({});
    fs::remove_all(s.inst);
    putArchive(s, buildZipOf({fileEntry("a.txt", "x")}));
    fs::create_directory(s.root + "/adir");
    std::string recorder = placeRecorder(s);
    // Put first, so that they cannot become the value of a trailing option.
    std::vector<std::string> args = {"--pid",         "1",       "--exe",
                                     spell(recorder), "--sonuc", "sonuc.json"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Tree before = withoutApp(treeOf(s.root));
    RunResult r = runUpdater(args, s.root);
    EXPECT_EQ(r.code, 2) << c.what;
    EXPECT_EQ(r.out, "") << c.what;
    EXPECT_EQ(r.err, badArguments) << c.what;
    EXPECT_LT(r.seconds, 30) << c.what;  // did not wait for process 1
    EXPECT_TRUE(notLaunched(s)) << c.what;
    EXPECT_EQ(withoutApp(treeOf(s.root)), before) << c.what;
    removeScratchDir(s.root);
  }
}

TEST(CommandLine, OptionsAnywhereFirstOccurrenceAndValueAfterName) {
  Scene s = makeScene({});
  putArchive(s, buildZipOf({fileEntry("a.txt", "from u")}));
  writeBytes(s.root + "/extra", buildZipOf({fileEntry("a.txt", "from extra")}));
  RunResult r = runUpdater({"x", "--hedef", "inst", "y", "--zip", "extra", "u.zip", "--zip",
                            "other", "--hedef", "elsewhere"},
                           s.root);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, succeeded);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(treeOf(s.inst), (Tree{{"a.txt", "from extra"}}));
  EXPECT_FALSE(fs::exists(s.root + "/elsewhere"));
  removeScratchDir(s.root);
}

TEST(OpenFailure, LeavesTheEmptyBackupDirectoryAndStartsNothing) {
  const std::string cases[] = {"", std::string(21, 'x'), "just a text file\n",
                               buildZipOf({fileEntry("a", "b")}).substr(0, 30)};
  for (const std::string& bytes : cases) {
    Scene s = makeScene({});
    fs::remove_all(s.inst);
    std::string recorder = placeRecorder(s);
    std::vector<std::string> args = withOutcome(s, argsFor(s, putArchive(s, bytes)));
    args.insert(args.end(), {"--exe", spell(recorder)});
    RunResult r = runUpdater(args, s.root);
    EXPECT_EQ(r.code, 3);
    expectOutcome(s, 3, r.err, "");
    EXPECT_EQ(r.out, banner);
    EXPECT_EQ(r.err, errCannotOpen);
    EXPECT_EQ(treeOf(s.inst), (Tree{{"_guncelleme_yedek", "<dir>"}}));
    EXPECT_TRUE(notLaunched(s));
    removeScratchDir(s.root);
  }
}

TEST(Install, UpdatesBacksUpSkipsItselfAndCleansUp) {
  Scene s = makeScene(installed);
  RunResult r =
      runUpdater(withOutcome(s, argsFor(s, putArchive(s, buildZipOf(updateEntries())))), s.root);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, succeeded);
  EXPECT_EQ(r.err, "");
  EXPECT_GE(r.seconds, 0.4);
  expectOutcome(s, 0, "", "");
  EXPECT_NE(fileContent(s.root + "/sonuc.json")
                .find("\"dosyalar\":{\"yazilan\":5,\"ayni\":0,\"silinen\":0,\"geri_yuklenen\":0}"),
            std::string::npos);
  fs::remove(s.root + "/sonuc.json");
  Tree expected = {{"a.txt", "new a"},
                   {"bin", "<dir>"},
                   {"bin/lib.dll", "new lib"},
                   {"bin/new.dll", "brand new"},
                   {"keep.txt", "untouched"},
                   {"data", "<dir>"},
                   {"docs", "<dir>"},
                   {"docs/readme.txt", "read me"},
                   {"sub", "<dir>"},
                   {"sub/deeper", "<dir>"},
                   {"sub/deeper/x.txt", "deep"}};
  EXPECT_EQ(treeOf(s.inst), expected);
  removeScratchDir(s.root);
}

TEST(Install, EdgeArchivesSucceed) {
  ZipArchiveSpec zip64 = archiveOf({fileEntry("a.txt", "64"), fileEntry("b/c.txt", "c")});
  zip64.zip64 = true;
  ZipEntrySpec backslashSelf = fileEntry("bin\\tavo_updater.exe", "not me");
  struct Case {
    const char* what;
    std::string bytes;
    Tree expected;
  } cases[] = {
      {"empty archive", buildZipOf({}), {}},
      {"only directories",
       buildZipOf({dirEntry("x/"), dirEntry("x/y/"), dirEntry("z/")}),
       {{"x", "<dir>"}, {"x/y", "<dir>"}, {"z", "<dir>"}}},
      {"zip64", buildZip(zip64), {{"a.txt", "64"}, {"b", "<dir>"}, {"b/c.txt", "c"}}},
      {"backslash is no separator for the self check",
       buildZipOf({backslashSelf}),
       {{"bin", "<dir>"}, {"bin/tavo_updater.exe", "not me"}}},
  };
  for (const Case& c : cases) {
    Scene s = makeScene({});
    fs::remove_all(s.inst);
    RunResult r = runUpdater(argsFor(s, putArchive(s, c.bytes)), s.root);
    EXPECT_EQ(r.code, 0) << c.what;
    EXPECT_EQ(r.out, succeeded) << c.what;
    EXPECT_EQ(r.err, "") << c.what;
    EXPECT_EQ(treeOf(s.inst), c.expected) << c.what;
    removeScratchDir(s.root);
  }
}

TEST(Install, HedefEndingInASeparatorStillCleansUp) {
  Scene s = makeScene({{"a.txt", "old"}});
  std::string zip = putArchive(s, buildZipOf({fileEntry("a.txt", "new")}));
  std::string hedef = spell(s.inst) + (e2eConfig().windows ? "\\" : "/");
  RunResult r = runUpdater({"--zip", zip, "--hedef", hedef}, s.root);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, succeeded);
  EXPECT_EQ(treeOf(s.inst), (Tree{{"a.txt", "new"}}));
  removeScratchDir(s.root);
}

TEST(Install, NamesComeOutAsUtf8) {
  ZipEntrySpec flagged = fileEntry(
      "\xC3\xA7"
      "al\xC4\xB1\xC5\x9F"
      "ma/\xC3\xBC.txt",
      "u");
  flagged.flags = 0x800;
  ZipEntrySpec cp437 = fileEntry(
      "\x87"
      "a.txt",
      "c");
  Scene s = makeScene({});
  RunResult r = runUpdater(argsFor(s, putArchive(s, buildZipOf({flagged, cp437}))), s.root);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(treeOf(s.inst), (Tree{{"\xC3\xA7"
                                   "al\xC4\xB1\xC5\x9F"
                                   "ma",
                                   "<dir>"},
                                  {"\xC3\xA7"
                                   "al\xC4\xB1\xC5\x9F"
                                   "ma/\xC3\xBC.txt",
                                   "u"},
                                  {"\xC3\xA7"
                                   "a.txt",
                                   "c"}}));
  removeScratchDir(s.root);
}

TEST(Install, SetsFileTimesFromTheEntryAsLocalTime) {
  ZipEntrySpec e = fileEntry("t.txt", "x");
  e.dosDate = dosDateOf(2021, 7, 15);
  e.dosTime = dosTimeOf(13, 45, 30);
  Scene s = makeScene({});
  RunResult r = runUpdater(argsFor(s, putArchive(s, buildZipOf({e}))), s.root, {"TZ=EST5EDT"});
  EXPECT_EQ(r.code, 0);
  struct stat st;
  ASSERT_EQ(stat((s.inst + "/t.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1626371130);  // 13:45:30 EDT
  EXPECT_EQ(st.st_atime, 1626371130);
  removeScratchDir(s.root);
}

// Runs an archive that must fail and checks the rollback put `installed` back.
void expectRolledBack(const std::vector<ZipEntrySpec>& entries, const std::string& err,
                      const Tree& createdDirs = {}) {
  Scene s = makeScene(installed);
  std::string zip = putArchive(s, buildZipOf(entries));
  Tree outside = treeOf(s.root);
  RunResult r = runUpdater(withOutcome(s, argsFor(s, zip)), s.root);
  EXPECT_EQ(r.code, 4);
  EXPECT_EQ(r.out, rolledBack);
  EXPECT_EQ(r.err, err);
  // Every message names its entry after the message's own words.
  std::string entry = err.substr(err.find(": ", 14) + 2);
  expectOutcome(s, 4, err, entry.substr(0, entry.size() - 1));
  fs::remove(s.root + "/sonuc.json");
  Tree expected = installed;
  expected.insert(createdDirs.begin(), createdDirs.end());
  EXPECT_EQ(treeOf(s.inst), expected);
  Tree after = treeOf(s.root);
  for (auto it = after.begin(); it != after.end();)
    it = it->first.rfind("inst", 0) == 0 ? after.erase(it) : std::next(it);
  for (auto it = outside.begin(); it != outside.end();)
    it = it->first.rfind("inst", 0) == 0 ? outside.erase(it) : std::next(it);
  EXPECT_EQ(after, outside) << "something was written outside the installation";
  removeScratchDir(s.root);
}

TEST(Rollback, AFailingEntryPutsEverythingBack) {
  std::vector<ZipEntrySpec> entries = updateEntries();
  ZipEntrySpec broken = fileEntry("bin/lib.dll", std::string(100000, 'n'));
  broken.crc = 1;
  entries.insert(entries.begin() + 6, broken);
  entries.push_back(fileEntry("later.txt", "never"));
  expectRolledBack(entries, lineWith(errExtraction, "bin/lib.dll"),
                   {{"docs", "<dir>"}, {"sub", "<dir>"}, {"sub/deeper", "<dir>"}});
}

TEST(Rollback, EntriesThatCannotBeWrittenFailTheRun) {
  ZipEntrySpec encrypted = fileEntry("a.txt", "secret");
  encrypted.flags = 1;
  ZipEntrySpec bzip2 = fileEntry("keep.txt", "b");
  bzip2.method = 12;
  struct Case {
    ZipEntrySpec entry;
    std::string name;
  } cases[] = {
      {fileEntry("data", "a file where a directory is"), "data"},
      {fileEntry("keep.txt/x", "below a file"), "keep.txt/x"},
      {encrypted, "a.txt"},
      {bzip2, "keep.txt"},
  };
  for (const Case& c : cases)
    expectRolledBack({fileEntry("a.txt", "new a"), fileEntry("n.txt", "n"), c.entry},
                     lineWith(errExtraction, c.name));
}

TEST(Rollback, UnsafeNamesAreNeverWritten) {
  const char* names[] = {"../evil.txt",
                         "..\\evil.txt",
                         "bin/../../evil.txt",
                         "/evil.txt",
                         "\\evil.txt",
                         "C:evil.txt",
                         "a.txt:stream",
                         "CON",
                         "bin/nul.txt",
                         "com1.log",
                         "LPT9",
                         "_guncelleme_yedek/a.txt",
                         "_GUNCELLEME_YEDEK\\a.txt",
                         "../evildir/",
                         "a<b>.txt",
                         "trailing. "};
  for (const char* name : names) {
    ZipEntrySpec evil = fileEntry(name, "evil");
    evil.flags = 0x800;  // kept byte for byte, not read as CP437
    expectRolledBack({fileEntry("a.txt", "new a"), evil, fileEntry("later.txt", "never")},
                     lineWith(errInvalidName, name));
  }
}

TEST(Rollback, ARepeatedNameRestoresTheContentFromBeforeTheRun) {
  ZipEntrySpec broken = fileEntry("z.txt", "z");
  broken.crc = 1;
  expectRolledBack({fileEntry("a.txt", "v2"), fileEntry("a.txt", "v3"), fileEntry("n.txt", "n1"),
                    fileEntry("n.txt", "n2"), broken},
                   lineWith(errExtraction, "z.txt"));

  // Two names of one file (a hard link) are both put back.
  Scene linked = makeScene(installed);
  fs::create_hard_link(linked.inst + "/a.txt", linked.inst + "/link.txt");
  Tree before = treeOf(linked.inst);
  RunResult r = runUpdater(
      argsFor(linked, putArchive(linked, buildZipOf({fileEntry("a.txt", "v2"),
                                                     fileEntry("link.txt", "v3"), broken}))),
      linked.root);
  EXPECT_EQ(r.code, 4);
  EXPECT_EQ(treeOf(linked.inst), before);
  removeScratchDir(linked.root);

  Scene s = makeScene(installed);
  std::string zip = putArchive(s, buildZipOf({fileEntry("a.txt", "v2"), fileEntry("a.txt", "v3"),
                                              fileEntry("n.txt", "n1"), fileEntry("n.txt", "n2")}));
  r = runUpdater(argsFor(s, zip), s.root);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(fileContent(s.inst + "/a.txt"), "v3");
  EXPECT_EQ(fileContent(s.inst + "/n.txt"), "n2");
  removeScratchDir(s.root);
}

// A backup directory without a journal is what a run cut after its end
// leaves: superseded files. It is removed before the plan, never put back,
// and cannot block a backup.
TEST(Rollback, ABackupDirectoryWithoutJournalIsRemovedNeverPutBack) {
  Scene s = makeScene(installed);
  putFile(s.inst + "/_guncelleme_yedek/bin", "in the way");
  putFile(s.inst + "/_guncelleme_yedek/a.txt", "superseded a");
  ZipEntrySpec broken = fileEntry("later.txt", "x");
  broken.crc = 1;
  std::string zip = putArchive(
      s, buildZipOf({fileEntry("a.txt", "new a"), fileEntry("bin/lib.dll", "new lib"), broken}));
  RunResult r = runUpdater(argsFor(s, zip), s.root);
  EXPECT_EQ(r.code, 4);
  EXPECT_EQ(r.out, rolledBack);
  EXPECT_EQ(r.err, lineWith(errExtraction, "later.txt"));
  EXPECT_EQ(treeOf(s.inst), installed);
  removeScratchDir(s.root);
}

TEST(Relaunch, StartsTheExecutableInHedefWithOnlyItsPath) {
  struct Case {
    const char* what;
    bool relative;
    bool fail;
  } cases[] = {
      {"absolute", false, false}, {"relative", true, false}, {"after rollback", false, true}};
  for (const Case& c : cases) {
    Scene s = makeScene(installed);
    std::string recorder = placeRecorder(s);
    ZipEntrySpec last = fileEntry("z.txt", "z");
    if (c.fail) last.crc = 1;
    std::string zip = putArchive(s, buildZipOf({fileEntry("a.txt", "new a"), last}));
    std::string exe =
        c.relative ? spell("app/" + fs::path(recorder).filename().string()) : spell(recorder);
    std::vector<std::string> args = argsFor(s, zip);
    args.insert(args.end(), {"--exe", exe});
    RunResult r = runUpdater(args, s.root);
    EXPECT_EQ(r.code, c.fail ? 4 : 0) << c.what;
    EXPECT_EQ(launchRecord(s), expectedRecord(exe, spell(s.inst))) << c.what;
    removeScratchDir(s.root);
  }
}

TEST(Relaunch, NothingStartsForAMissingOrDirectoryExe) {
  for (const char* exe : {"app/missing", "app"}) {
    Scene s = makeScene({});
    placeRecorder(s);
    std::vector<std::string> args = argsFor(s, putArchive(s, buildZipOf({})));
    args.insert(args.end(), {"--exe", spell(exe)});
    RunResult r = runUpdater(args, s.root);
    EXPECT_EQ(r.code, 0) << exe;
    EXPECT_EQ(r.err, "") << exe;
    EXPECT_TRUE(notLaunched(s)) << exe;
    removeScratchDir(s.root);
  }
}

TEST(HostWait, WaitsForALiveHostThenPauses) {
  Scene s = makeScene({});
  std::string pidFile = s.root + "/pid", goFile = s.root + "/go";
  int helper = startHelper("sleeper", {spell(pidFile), spell(goFile), "1500"});
  ASSERT_TRUE(waitForFile(pidFile, 60));
  std::string pid = fileContent(pidFile);
  pid = pid.substr(0, pid.find_first_of("\r\n"));
  std::vector<std::string> args = argsFor(s, putArchive(s, buildZipOf({})));
  args.insert(args.end(), {"--pid", pid});
  double go = monotonicSeconds();
  putFile(goFile, "");
  RunResult r = runUpdater(args, s.root);
  // The host lives at least 1.5 s after "go"; then comes the 0.4 s pause.
  EXPECT_GE(monotonicSeconds() - go, 1.9);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, succeeded);
  waitHelper(helper);

  for (const std::string& gone : {pid, std::string("0"), std::string("abc"), std::string("")}) {
    RunResult again = runUpdater({"--zip", args[1], "--hedef", args[3], "--pid", gone}, s.root);
    EXPECT_EQ(again.code, 0) << gone;
    EXPECT_GE(again.seconds, 0.4) << gone;
  }
  removeScratchDir(s.root);
}

const std::string busy = errBusy;
const std::string recovering = sayRecovering;

// The tree without the directories, which runs may leave behind.
Tree filesOf(const std::string& dir) {
  Tree tree = treeOf(dir);
  for (auto it = tree.begin(); it != tree.end();)
    it = it->second == "<dir>" ? tree.erase(it) : std::next(it);
  return tree;
}

// Two runs on one installation, the second started a little later and with
// the directory spelt differently: the first to take the directory installs,
// the other touches nothing and ends with 5.
TEST(Hold, OfTwoRunsTogetherExactlyOneInstalls) {
  for (int offset : {0, 20, 60, 150, 250}) {
    Scene s = makeScene(installed);
    std::string zip = putArchive(s, buildZipOf(updateEntries()));
    // On Windows also in other letter case: the same directory.
    std::string other = spell(s.inst) + (e2eConfig().windows ? "\\" : "/");
    if (e2eConfig().windows)
      for (char& c : other) c = char(std::toupper(static_cast<unsigned char>(c)));
    RunResult first, second;
    std::thread late([&] {
      usleep(useconds_t(offset) * 1000);
      second = runUpdater(withOutcome(s, {"--zip", zip, "--hedef", other}, "second.json"), s.root);
    });
    first = runUpdater(withOutcome(s, argsFor(s, zip), "first.json"), s.root);
    late.join();
    expectOutcome(s, first.code, first.err, "", "first.json");
    expectOutcome(s, second.code, second.err, "", "second.json");
    const RunResult& winner = first.code == 0 ? first : second;
    const RunResult& loser = first.code == 0 ? second : first;
    EXPECT_EQ(winner.code, 0) << offset;
    EXPECT_EQ(winner.out, succeeded) << offset;
    EXPECT_EQ(loser.code, 5) << offset;
    EXPECT_EQ(loser.out, "") << offset;
    EXPECT_EQ(loser.err, busy) << offset;
    EXPECT_EQ(filesOf(s.inst), (Tree{{"a.txt", "new a"},
                                     {"bin/lib.dll", "new lib"},
                                     {"bin/new.dll", "brand new"},
                                     {"keep.txt", "untouched"},
                                     {"docs/readme.txt", "read me"},
                                     {"sub/deeper/x.txt", "deep"}}))
        << offset;
    removeScratchDir(s.root);
  }
}

// A run killed at a few points of its journal; --kurtar then puts the
// installation back as it was, and the update afterwards is whole.
TEST(Killed, KurtarPutsTheInstallationBackAndTheNextUpdateIsWhole) {
  Tree big;
  std::vector<ZipEntrySpec> entries;
  for (int i = 0; i < 40; ++i) {
    std::string name = "lib/p" + std::to_string(i) + ".bin";
    big[name] = std::string(400000, char('a' + i % 26));
    ZipEntrySpec e = fileEntry(name, std::string(400000, char('A' + i % 26)));
    e.method = 0;
    entries.push_back(e);
    entries.push_back(fileEntry("new/n" + std::to_string(i), "new"));
  }
  ZipEntrySpec broken = fileEntry("lib/p0.bin", "broken");
  broken.crc = 1;
  std::vector<ZipEntrySpec> failing = entries;
  failing.push_back(broken);
  int killedWithJournal = 0;
  for (std::size_t records : {1, 10, 30, 60}) {
    Scene s = makeScene(big);
    std::string journal = s.inst + "/" + backupDirName + "/" + journalFileName;
    int pid = startUpdater(argsFor(s, putArchive(s, buildZipOf(failing))), s.root);
    // A record for a name of 11 or 6 bytes takes 20 or 15 bytes.
    for (double start = monotonicSeconds(); monotonicSeconds() - start < 60; usleep(1000)) {
      struct stat st;
      if (stat(journal.c_str(), &st) == 0 && std::size_t(st.st_size) >= records * 15) break;
    }
    kill(pid, SIGKILL);
    bool killed = waitUpdater(pid) == -1 && fs::exists(journal);
    killedWithJournal += killed;
    RunResult r = runUpdater({"--kurtar", spell(s.inst)}, s.root);
    EXPECT_EQ(r.code, 0) << records;
    EXPECT_EQ(r.out, killed ? recovering : "") << records;
    EXPECT_EQ(r.err, "") << records;
    EXPECT_TRUE(filesOf(s.inst) == big) << "not recovered after " << records << " records";
    EXPECT_FALSE(fs::exists(s.inst + "/_guncelleme_yedek")) << records;
    RunResult u = runUpdater(argsFor(s, putArchive(s, buildZipOf(entries))), s.root);
    EXPECT_EQ(u.code, 0) << records;
    EXPECT_EQ(u.out, succeeded) << records;
    EXPECT_EQ(fileContent(s.inst + "/lib/p39.bin"), std::string(400000, 'A' + 39 % 26));
    removeScratchDir(s.root);
  }
  std::printf("killed with a journal on disk: %d of 4 runs\n", killedWithJournal);
  EXPECT_GT(killedWithJournal, 1) << "the runs ended before the kills";
}

// --kurtar without an interrupted run touches nothing and relaunches; with
// --zip it is ignored.
TEST(Kurtar, WithNothingToRecoverTouchesNothingAndRelaunches) {
  Scene s = makeScene(installed);
  std::string recorder = placeRecorder(s);
  Tree before = treeOf(s.inst);
  RunResult r =
      runUpdater(withOutcome(s, {"--kurtar", spell(s.inst), "--exe", spell(recorder)}), s.root);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  expectOutcome(s, 0, "", "");
  EXPECT_EQ(treeOf(s.inst), before);
  EXPECT_EQ(launchRecord(s), expectedRecord(spell(recorder), spell(s.inst)));
  std::vector<std::string> args = argsFor(s, putArchive(s, buildZipOf({fileEntry("a.txt", "z")})));
  args.insert(args.begin(), {"--kurtar", spell(s.root + "/elsewhere")});
  RunResult u = runUpdater(args, s.root);
  EXPECT_EQ(u.code, 0);
  EXPECT_EQ(u.out, succeeded);
  EXPECT_EQ(fileContent(s.inst + "/a.txt"), "z");
  EXPECT_FALSE(fs::exists(s.root + "/elsewhere"));
  removeScratchDir(s.root);
}

// With the publisher's key in the installation, only an archive signed by
// that key installs; anything else ends with 6, touches nothing, leaves no
// backup directory and starts the application again. A key that an archive
// brings counts from the next update on.
TEST(Signature, OnlyTheInstallationsKeyLetsAnUpdateIn) {
  std::string keys = makeScratchDir();
  ASSERT_TRUE(makeKeyPair(keys + "/own") && makeKeyPair(keys + "/other"));
  const Tree installed = {{"a.txt", "old a"}, {"tavo_updater.pub", fileContent(keys + "/own/pub")}};
  struct Case {
    const char* what;
    std::string signer, options;  // the key that signs u.zip (or none), minisign's options
    std::string spoilt;           // a file below the scene changed after the signing
    // Its new content; "<dir>": a directory, "<huge>": 3 GiB, "<zero>": a link to /dev/zero.
    std::string (*spoil)(std::string content);
    int code;
  } cases[] = {
      {"signed by the installation's key", "own", "", "", nullptr, 0},
      {"with CR LF line ends", "own", "", "u.zip.minisig",
       [](std::string b) { return std::regex_replace(b, std::regex("\n"), "\r\n"); }, 0},
      {"unsigned", "", "", "", nullptr, 6},
      {"signed by another key", "other", "", "", nullptr, 6},
      {"the legacy signature (not prehashed)", "own", "-l", "", nullptr, 6},
      {"a signature of another archive", "own", "", "u.zip",
       [](std::string) { return buildZipOf({fileEntry("a.txt", "new b")}); }, 6},
      {"a flipped byte that the ZIP reader never reads (time in the local header)", "own", "",
       "u.zip", [](std::string b) { return b.replace(10, 1, 1, char(b[10] ^ 1)); }, 6},
      {"an edited trusted comment", "own", "", "u.zip.minisig",
       [](std::string b) { return b.insert(b.find("\ntrusted comment: ") + 18, "x"); }, 6},
      {"a truncated signature", "own", "", "u.zip.minisig",
       [](std::string b) { return b.substr(0, 150); }, 6},
      {"a key file that does not parse", "own", "", "inst/tavo_updater.pub",
       [](std::string b) { return b.substr(1); }, 6},
      {"a key file that cannot be read", "own", "", "inst/tavo_updater.pub",
       [](std::string) { return std::string("<dir>"); }, 6},
      {"a signature of 3 GiB", "own", "", "u.zip.minisig",
       [](std::string) { return std::string("<huge>"); }, 6},
      {"a signature that is a link to /dev/zero", "own", "", "u.zip.minisig",
       [](std::string) { return std::string("<zero>"); }, 6},
  };
  for (const Case& c : cases) {
    Scene s = makeScene(installed);
    std::string zip = s.root + "/u.zip", recorder = placeRecorder(s),
                spoilt = s.root + "/" + c.spoilt;
    writeBytes(zip, buildZipOf({fileEntry("a.txt", "new a")}));
    ASSERT_TRUE(c.signer.empty() || signFile(keys + "/" + c.signer, zip, c.options));
    std::string content = c.spoil ? c.spoil(fileContent(spoilt)) : "";
    if (content == "<dir>" && fs::remove(spoilt)) fs::create_directory(spoilt);
    if (content == "<huge>") fs::resize_file(spoilt, std::uintmax_t(3) << 30);
    if (content == "<zero>" && fs::remove(spoilt)) fs::create_symlink("/dev/zero", spoilt);
    if (c.spoil && content[0] != '<') writeBytes(spoilt, content);
    Tree before = treeOf(s.inst);
    std::vector<std::string> args = withOutcome(s, argsFor(s, spell(zip)));
    args.insert(args.end(), {"--exe", spell(recorder)});
    RunResult r = runUpdater(args, s.root);
    EXPECT_EQ(r.code, c.code) << c.what;
    expectOutcome(s, c.code, c.code == 0 ? "" : errSignature, "");
    EXPECT_EQ(r.out, c.code == 0 ? succeeded : banner) << c.what;
    EXPECT_EQ(r.err, c.code == 0 ? "" : errSignature) << c.what;
    before["a.txt"] = c.code == 0 ? "new a" : "old a";
    EXPECT_EQ(treeOf(s.inst), before) << c.what;
    EXPECT_EQ(launchRecord(s), expectedRecord(spell(recorder), spell(s.inst))) << c.what;
    removeScratchDir(s.root);
  }
  // Archives that bring the other key: checked against the old one; the
  // update after the one that installed against the new one.
  Scene s = makeScene(installed);
  const std::pair<std::string, int> runs[] = {{"other", 6}, {"own", 0}, {"own", 6}, {"other", 0}};
  for (std::size_t i = 0; i < 4; ++i) {
    writeBytes(s.root + "/u.zip",
               buildZipOf({fileEntry("a.txt", "v" + std::to_string(i)),
                           fileEntry("tavo_updater.pub", fileContent(keys + "/other/pub"))}));
    ASSERT_TRUE(signFile(keys + "/" + runs[i].first, s.root + "/u.zip"));
    EXPECT_EQ(runUpdater(argsFor(s, spell(s.root + "/u.zip")), s.root).code, runs[i].second) << i;
  }
  EXPECT_EQ(fileContent(s.inst + "/a.txt"), "v3");
  removeScratchDir(s.root);
  removeScratchDir(keys);
}

// The release list: what release 1.2 owned and 1.10 drops goes (with the
// directories it leaves empty), never a file that neither list names; an
// older release, another product's, or (under a key) one without a list is
// refused before anything is touched; a list that does not parse is too.
TEST(ReleaseList, DroppedFilesGoOthersStayOlderAndForeignReleasesAreRefused) {
  std::string keys = makeScratchDir();
  ASSERT_TRUE(makeKeyPair(keys + "/own"));
  const std::string oldList =
      "urun tavonu\nsurum 1.2\ndosya a.txt\ndosya lib/eski.dll\ndosya plug/p.dll\n"
      "dosya plug/sub/q.dll\n";
  const Tree installed = {{"a.txt", "a1"},
                          {"ayar.ini", "the user's"},
                          {"lib", "<dir>"},
                          {"lib/eski.dll", "eski"},
                          {"lib/extra.dll", "extra"},
                          {"lib/user.dll", "the user's"},
                          {"plug", "<dir>"},
                          {"plug/p.dll", "p"},
                          {"plug/sub", "<dir>"},
                          {"plug/sub/q.dll", "q"},
                          {"tavo_updater.liste", oldList}};
  auto release = [](const std::string& head, const std::string& files) {
    return std::vector<ZipEntrySpec>{fileEntry("tavo_updater.liste", head + files),
                                     fileEntry("a.txt", "a2"), fileEntry("lib/yeni.dll", "yeni")};
  };
  const std::string newFiles = "dosya a.txt\ndosya lib/yeni.dll\ndosya lib/extra.dll\n";
  Tree updated = installed;
  for (const char* gone : {"lib/eski.dll", "plug", "plug/p.dll", "plug/sub", "plug/sub/q.dll"})
    updated.erase(gone);
  updated["a.txt"] = "a2";
  updated["lib/yeni.dll"] = "yeni";
  updated["tavo_updater.liste"] = "urun tavonu\nsurum 1.10\n" + newFiles;
  Tree repaired = installed;
  repaired["a.txt"] = "a2";
  repaired["lib/yeni.dll"] = "yeni";
  repaired["tavo_updater.liste"] = "urun tavonu\nsurum 1.2.0\n" + oldList.substr(22);
  Tree unlisted = installed;
  unlisted.erase("tavo_updater.liste");
  unlisted["a.txt"] = "a2";
  std::vector<ZipEntrySpec> failing = release("urun tavonu\nsurum 1.10\n", newFiles);
  failing.push_back(fileEntry("z.txt", "broken"));
  failing.back().crc = 1;
  struct Case {
    const char* what;
    std::vector<ZipEntrySpec> entries;
    bool keyed;
    int code;
    std::string err;
    Tree after;
  } cases[] = {
      {"release 1.10 drops three files", release("urun tavonu\nsurum 1.10\n", newFiles), false, 0,
       "", updated},
      {"a failing entry leaves every file", failing, false, 4, lineWith(errExtraction, "z.txt"),
       installed},
      {"the same release again", release("urun tavonu\nsurum 1.2.0\n", oldList.substr(22)), false,
       0, "", repaired},
      {"an older release", release("urun tavonu\nsurum 1.1.9\n", newFiles), false, 6,
       lineWith(errOlderRelease, "1.1.9 (kurulu 1.2)"), installed},
      {"another product", release("urun baska\nsurum 9\n", newFiles), false, 6,
       lineWith(errOtherProduct, "baska (kurulu tavonu)"), installed},
      {"no list under a key",
       {fileEntry("a.txt", "a2")},
       true,
       6,
       lineWith(errNoList, "1.2"),
       installed},
      {"no list and no key: the old list goes", {fileEntry("a.txt", "a2")}, false, 0, "", unlisted},
      {"a list that does not parse", release("urun tavonu\nsurum 1.10\nsil x\n", ""), false, 4,
       lineWith(errInvalidList, "sil x"), installed},
      {"a list that names ..", release("urun tavonu\nsurum 1.10\n", "dosya ../x\n"), false, 4,
       lineWith(errInvalidList, "dosya ../x"), installed},
  };
  for (const Case& c : cases) {
    Tree before = installed;
    if (c.keyed) before["tavo_updater.pub"] = fileContent(keys + "/own/pub");
    Scene s = makeScene(before);
    std::string zip = putArchive(s, buildZipOf(c.entries));
    ASSERT_TRUE(!c.keyed || signFile(keys + "/own", s.root + "/u.zip"));
    RunResult r = runUpdater(withOutcome(s, argsFor(s, zip)), s.root);
    EXPECT_EQ(r.code, c.code) << c.what;
    EXPECT_EQ(r.out, c.code == 0 ? succeeded : c.code == 4 ? rolledBack : banner) << c.what;
    EXPECT_EQ(r.err, c.err) << c.what;
    expectOutcome(s, c.code, c.err, c.err.find("z.txt") != std::string::npos ? "z.txt" : "");
    Tree after = c.after;
    if (c.keyed) after["tavo_updater.pub"] = before["tavo_updater.pub"];
    EXPECT_EQ(treeOf(s.inst), after) << c.what;
    removeScratchDir(s.root);
  }
  // On Windows a name in another letter case is the same file: the archive
  // still carries it, so it stays.
  if (e2eConfig().windows) {
    Scene s = makeScene(installed);
    std::vector<ZipEntrySpec> entries = release("urun tavonu\nsurum 2\n", newFiles);
    entries.push_back(fileEntry("LIB/ESKI.DLL", "eski 2"));
    EXPECT_EQ(runUpdater(argsFor(s, putArchive(s, buildZipOf(entries))), s.root).code, 0);
    EXPECT_EQ(fileContent(s.inst + "/lib/eski.dll"), "eski 2");
    removeScratchDir(s.root);
  }
  removeScratchDir(keys);
}

// The publisher's packer, run in the scene's root on its folder "inst".
RunResult runPacker(const Scene& s, const std::vector<std::string>& args) {
  return runProgram(helperProgram("tavo_paket"), args, s.root);
}

const std::vector<std::string> packArgs = {"--kaynak", "inst",   "--zip",   "u.zip",
                                           "--urun",   "tavonu", "--surum", "2.4.10"};

// A folder the updater would refuse, or options that are not right, leave
// no archive: the one already there stays as it was.
TEST(Packer, RefusesWhatTheUpdaterWouldRefuseAndWritesNothing) {
  const std::string refused = "tavo_updater: gecersiz girdi adi: ", paket = "tavo_paket: ";
  std::vector<std::string> badUrun = packArgs, badSurum = packArgs, inside = packArgs;
  badUrun[5] = "a b";
  badSurum[7] = "2.x";
  inside[3] = "inst/sub/u.zip";
  const Tree one = {{"a.txt", "x"}};
  struct Case {
    const char* what;
    bool posixOnly;  // names or links the host makes that wine shows otherwise
    Tree folder;
    std::string err;
    int code = 4;
    std::vector<std::string> args = packArgs;
  } cases[] = {
      {"a device name", false, {{"CON.txt", "x"}}, refused + "CON.txt\n"},
      {"the backup directory",
       false,
       {{"_guncelleme_yedek/x", "x"}},
       refused + "_guncelleme_yedek/\n"},
      {"a list of its own",
       false,
       {{"Tavo_Updater.liste", "urun x"}},
       paket + "klasorde kendi listesi var: Tavo_Updater.liste\n"},
      {"a colon", true, {{"ok.txt", "x"}, {"a:b", "x"}}, refused + "a:b\n"},
      {"a trailing dot below", true, {{"bin/ok.dll", "x"}, {"bin/b.", "x"}}, refused + "bin/b.\n"},
      {"a backslash", true, {{"a\\b", "x"}}, refused + "a\\b\n"},
      {"a symbolic link",
       true,
       {{"a.txt", "x"}, {"l", "<link>"}},
       paket + "baglanti paketlenmez: l\n"},
      {"names apart only in letter case",
       true,
       {{"A.txt", "x"}, {"a.txt", "y"}},
       paket + "ayni ad baska harflerle: a.txt\n"},
      {"a bad product id", false, one, paket + "gecersiz urun: a b\n", 2, badUrun},
      {"a bad version", false, one, paket + "gecersiz surum: 2.x\n", 2, badSurum},
      {"no version",
       false,
       one,
       paket + "eksik/gecersiz arguman\nkullanim: tavo_paket --kaynak <klasor> --zip <arsiv> " +
           "--urun <kimlik> --surum <surum>\n",
       2,
       {packArgs.begin(), packArgs.end() - 2}},
      {"no folder", false, {}, paket + "kaynak klasor acilamadi: inst\n", 2},
      {"the archive inside the folder",
       false,
       {{"sub/a.txt", "x"}},
       paket + "arsiv kaynak klasorun icinde: inst/sub/u.zip\n",
       2,
       inside},
  };
  for (const Case& c : cases) {
    if (c.posixOnly && e2eConfig().windows) continue;
    Scene s = makeScene({});
    for (const auto& entry : c.folder)
      if (entry.second == "<link>")
        fs::create_symlink("a.txt", s.inst + "/" + entry.first);
      else
        putFile(s.inst + "/" + entry.first, entry.second);
    putFile(s.root + "/u.zip", "old archive");
    Tree before = treeOf(s.root);
    RunResult r = runPacker(s, c.args);
    EXPECT_EQ(r.code, c.code) << c.what;
    EXPECT_EQ(r.out, "") << c.what;
    EXPECT_EQ(r.err, c.err) << c.what;
    EXPECT_EQ(treeOf(s.root), before) << c.what;
    removeScratchDir(s.root);
  }
}

// What the packer writes installs into an empty directory as the folder it
// came from, with its release list and the files' times, without the
// updater's own executable; the same folder gives the same bytes.
TEST(Packer, ItsArchiveInstallsAsTheFolderWithItsList) {
  const std::string calisma =
      "\xC3\xA7"
      "al\xC4\xB1\xC5\x9F"
      "ma";
  std::string big;
  for (int i = 0; i < 300000; ++i) big += std::to_string(i * 31 % 10007);
  const Tree folder = {
      {"a.txt", "A"},     {"b b.txt", ""},  {"big.bin", big},   {"bin", "<dir>"},
      {"bin/x.dll", "X"}, {"bos", "<dir>"}, {calisma, "<dir>"}, {calisma + "/\xC3\xBC.txt", "U"}};
  Scene s = makeScene(folder);
  putFile(s.inst + "/tavo_updater.exe", "SELF");
  putFile(s.inst + "/bin/tavo_updater.exe", "SELF");
  const struct timespec when[2] = {{1626371130, 0}, {1626371130, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (s.inst + "/a.txt").c_str(), when, 0), 0);
  const std::string skipped = "Atlandi (guncelleyici kendini kurmaz): ";
  RunResult p = runPacker(s, packArgs);
  EXPECT_EQ(p.code, 0);
  EXPECT_EQ(p.out, skipped + "bin/tavo_updater.exe\n" + skipped + "tavo_updater.exe\n" +
                       "Paket tamam: u.zip\n");
  EXPECT_EQ(p.err, "");
  std::string first = fileContent(s.root + "/u.zip");
  EXPECT_EQ(runPacker(s, packArgs).code, 0);
  EXPECT_TRUE(fileContent(s.root + "/u.zip") == first) << "another archive from the same folder";

  RunResult r =
      runUpdater({"--zip", spell(s.root + "/u.zip"), "--hedef", spell(s.root + "/h")}, s.root);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, succeeded);
  EXPECT_EQ(r.err, "");
  Tree expected = folder;
  expected["tavo_updater.liste"] =
      "urun tavonu\nsurum 2.4.10\ndosya a.txt\ndosya b b.txt\n"
      "dosya big.bin\ndosya bin/x.dll\ndosya " +
      calisma + "/\xC3\xBC.txt\n";
  EXPECT_EQ(treeOf(s.root + "/h"), expected);
  struct stat st;
  ASSERT_EQ(stat((s.root + "/h/a.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1626371130);
  removeScratchDir(s.root);
}

}  // namespace

int main(int argc, char** argv) {
  if (!setUpE2e(&argc, argv)) return 2;
  return RUN_ALL_TESTS();
}
