// The installation and rollback with one failing platform call at a time:
// for every operation and every k, the k-th call fails, and the run must
// still keep every file of the installation whole (old content or the
// archive's), put it back after a rollback, and keep the backup exactly
// when a restore failed; a backup kept with its journal is put back by the
// next run.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>

#include "constants.h"
#include "platform_faulty.h"
#include "run.h"
#include "scratch.h"
#include "zip_builder.h"

namespace {

typedef std::map<std::string, std::string> Tree;

const std::string banner = sayBanner;
const std::string succeeded = banner + sayDone;
const std::string rolledBack = banner + sayRollingBack;

std::string bytes(std::size_t n, char seed) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = char(seed + i * 7 + (i >> 9));
  return s;
}

const Tree installed = {
    {"a.txt", "old a"},
    {"bin", "<dir>"},
    {"bin/lib.dll", bytes(300000, 'o')},
    {"bin/keep.txt", "untouched"},
    {"conf", "<dir>"},
    {"conf/settings.ini", "old settings"},
    {"data", "<dir>"},
    {"old.dll", "dropped"},
    {"tavo_updater.liste", "urun t\nsurum 1\ndosya old.dll\n"},
};

// Overwrites (one of them large, so it takes several writes), new files,
// directories, a repeated name, an identical file, the updater's own
// executable, and a release list that drops old.dll.
std::vector<ZipEntrySpec> updateEntries() {
  return {dirEntry("docs/"),
          fileEntry("tavo_updater.liste", "urun t\nsurum 2\ndosya a.txt\n"),
          fileEntry("a.txt", "new a"),
          fileEntry("bin/keep.txt", "untouched"),
          fileEntry("bin/lib.dll", bytes(600000, 'n')),
          fileEntry("bin/new.dll", "brand new"),
          fileEntry("docs/readme.txt", "read me"),
          fileEntry("sub/deeper/x.txt", "deep"),
          fileEntry("a.txt", "newer a"),
          fileEntry("tavo_updater.exe", "SELF"),
          fileEntry("conf/settings.ini", "new settings")};
}

// The same update with a last entry that fails its CRC check after it has
// been written over an existing file, so every run ends in a rollback.
std::vector<ZipEntrySpec> failingEntries() {
  std::vector<ZipEntrySpec> entries = updateEntries();
  entries.pop_back();
  ZipEntrySpec broken = fileEntry("conf/settings.ini", "broken settings");
  broken.crc = 1;
  entries.push_back(broken);
  return entries;
}

const Tree updated = {
    {"a.txt", "newer a"},
    {"bin", "<dir>"},
    {"bin/lib.dll", bytes(600000, 'n')},
    {"bin/keep.txt", "untouched"},
    {"bin/new.dll", "brand new"},
    {"conf", "<dir>"},
    {"conf/settings.ini", "new settings"},
    {"data", "<dir>"},
    {"docs", "<dir>"},
    {"docs/readme.txt", "read me"},
    {"sub", "<dir>"},
    {"sub/deeper", "<dir>"},
    {"sub/deeper/x.txt", "deep"},
    {"tavo_updater.liste", "urun t\nsurum 2\ndosya a.txt\n"},
};

struct Outcome {
  int code;
  std::string hedef;
  std::string out, err;
  Tree inst, backup, outside;
  // When the backup was kept with its journal: the next run without a fault.
  bool injected = false;
  bool journalKept = false;
  std::string nextOut;
  Tree nextInst;
};

const std::string journalEntry = std::string(backupDirName) + "/" + journalFileName;
const std::string recovering = sayRecovering;

// Runs the updater in this process, capturing both streams.
int runCaptured(const char* const* argv, std::string* out, std::string* err) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  int code = runUpdate(5, argv);
  std::fflush(nullptr);
  *out = testing::internal::GetCapturedStdout();
  *err = testing::internal::GetCapturedStderr();
  return code;
}

// Splits a tree of the scratch root into installation, backup and the rest.
void splitTree(const Tree& all, Outcome* o) {
  const std::string instPrefix = "inst/", backupPrefix = std::string("inst/") + backupDirName;
  for (const auto& entry : all) {
    const std::string& path = entry.first;
    if (path.rfind(backupPrefix, 0) == 0)
      o->backup[path.substr(5)] = entry.second;
    else if (path.rfind(instPrefix, 0) == 0)
      o->inst[path.substr(5)] = entry.second;
    else if (path != "inst")
      o->outside[path] = entry.second;
  }
}

Outcome runWithFault(const std::vector<ZipEntrySpec>& entries, FaultOp op, int k) {
  std::string root = makeScratchDir();
  for (const auto& entry : installed)
    if (entry.second != "<dir>") putFile(root + "/inst/" + entry.first, entry.second);
  std::filesystem::create_directories(root + "/inst/data");
  writeBytes(root + "/u.zip", buildZipOf(entries));
  std::string zip = root + "/u.zip", hedef = root + "/inst";
  const char* argv[] = {"tavo_updater", "--zip", zip.c_str(), "--hedef", hedef.c_str()};

  armFault(op, k);
  Outcome o;
  o.hedef = hedef;
  o.code = runCaptured(argv, &o.out, &o.err);
  o.injected = faultInjected();
  splitTree(treeOf(root), &o);
  o.journalKept = o.backup.count(journalEntry) != 0;
  if (o.journalKept) {
    armFault(FaultOp::count, 0);
    std::string err;
    runCaptured(argv, &o.nextOut, &err);
    Outcome next;
    splitTree(treeOf(root), &next);
    o.nextInst = next.inst;
  }
  removeScratchDir(root);
  return o;
}

// Every content a file may hold after a run: its old one (or none) and
// every version the archive carries for it.
std::set<std::string> allowedContents(const std::string& path,
                                      const std::vector<ZipEntrySpec>& entries) {
  std::set<std::string> allowed;
  auto old = installed.find(path);
  allowed.insert(old == installed.end() ? "<missing>" : old->second);
  for (const ZipEntrySpec& e : entries)
    if (e.name == path) allowed.insert(e.data);
  return allowed;
}

bool isFailureLine(const std::string& line, const std::vector<ZipEntrySpec>& entries) {
  // The file the release drops, which is backed up as a replaced one is.
  if (line == lineWith(errNoBackup, "old.dll")) return true;
  for (const char* kind : {"cikarma hatasi: ", "yedek alinamadi: ", "gunluk yazilamadi: "})
    for (const ZipEntrySpec& e : entries)
      if (line == std::string("tavo_updater: ") + kind + e.name + "\n") return true;
  return false;
}

// Checks the promise for one run; `what` names the fault.
void checkOutcome(const Outcome& o, const std::vector<ZipEntrySpec>& entries, FaultOp op,
                  const std::string& what) {
  SCOPED_TRACE(what);
  EXPECT_EQ(o.outside, (Tree{{"u.zip", buildZipOf(entries)}})) << "written outside hedef";
  for (const auto& entry : o.inst) {
    if (entry.second == "<dir>") continue;
    std::set<std::string> allowed = allowedContents(entry.first, entries);
    bool restoreFailed = o.err.find("geri alma tamamlanamadi") != std::string::npos;
    // A file whose restore failed may hold anything; its backup must be whole.
    if (!allowed.count(entry.second) && !(restoreFailed && installed.count(entry.first)))
      ADD_FAILURE() << entry.first << " holds neither its old nor a new content";
  }
  // A journal that cannot be deleted keeps the backup beside it, silently.
  bool removalFailed = (op == FaultOp::removeTree || op == FaultOp::removeFile) && o.injected;
  // A backup kept with its journal is put back by the next run, which then
  // does its own update: the archive's again, or a rollback again.
  if (o.journalKept) {
    std::string result = o.code == 0 ? succeeded : rolledBack;
    EXPECT_EQ(o.nextOut, banner + recovering + result.substr(banner.size()));
    Tree next = o.nextInst;
    for (auto it = next.begin(); it != next.end();) {
      bool createdDir = it->second == "<dir>" && !installed.count(it->first) && o.code != 0;
      it = createdDir ? next.erase(it) : std::next(it);
    }
    Tree expected = o.code == 0 ? updated : installed;
    if (o.code == 0 && op == FaultOp::createDirectory && !o.inst.count("docs"))
      expected.erase("docs");
    EXPECT_EQ(next, expected) << "the next run did not recover the kept backup";
  }
  if (o.code == 0) {
    EXPECT_EQ(o.out, succeeded);
    EXPECT_EQ(o.err, "");
    Tree expected = updated;
    // A directory entry whose creation failed is not noticed.
    if (op == FaultOp::createDirectory && !o.inst.count("docs")) expected.erase("docs");
    EXPECT_EQ(o.inst, expected);
    EXPECT_EQ(!o.backup.empty(), removalFailed) << "backup kept exactly when its removal failed";
    return;
  }
  ASSERT_EQ(o.code, 4) << o.err;
  EXPECT_EQ(o.out, rolledBack);
  std::string first = o.err.substr(0, o.err.find('\n') + 1);
  // An update that cannot be forced to the disk is undone without an entry
  // to name.
  bool unsynced = op == FaultOp::syncVolume && o.err.empty();
  EXPECT_TRUE(isFailureLine(first, entries) || unsynced) << o.err;
  std::string rest = o.err.substr(first.size());
  if (!rest.empty()) {
    EXPECT_TRUE(op == FaultOp::copyFileOver || op == FaultOp::removeFile ||
                op == FaultOp::syncVolume || op == FaultOp::setFileTimes)
        << "only a failed restore (of content or time), delete or flush may leave the backup";
    EXPECT_EQ(rest, lineWith(errBackupKept, o.hedef + "\\" + backupDirName));
    // Whatever did not come back is in the backup with its old content.
    for (const auto& entry : installed) {
      if (entry.second == "<dir>") continue;
      auto now = o.inst.find(entry.first);
      auto saved = o.backup.find(std::string(backupDirName) + "/" + entry.first);
      bool inPlace = now != o.inst.end() && now->second == entry.second;
      bool inBackup = saved != o.backup.end() && saved->second == entry.second;
      EXPECT_TRUE(inPlace || inBackup) << entry.first << " lost";
    }
    return;
  }
  EXPECT_EQ(!o.backup.empty(), removalFailed) << "backup kept exactly when its removal failed";
  Tree back = o.inst;
  for (auto it = back.begin(); it != back.end();) {
    bool createdDir = it->second == "<dir>" && !installed.count(it->first);
    it = createdDir ? back.erase(it) : std::next(it);
  }
  EXPECT_EQ(back, installed);
}

// Sweeps every operation and every k; returns the number of faults injected
// and counts in *kept the runs that kept their backup and journal.
int sweep(const std::vector<ZipEntrySpec>& entries, int expectedCleanCode, int* kept) {
  Outcome clean = runWithFault(entries, FaultOp::count, 0);
  EXPECT_EQ(clean.code, expectedCleanCode) << clean.err;
  checkOutcome(clean, entries, FaultOp::count, "no fault");
  int injected = 0;
  for (int op = 0; op < int(FaultOp::count); ++op) {
    int k = 1;
    for (;; ++k) {
      Outcome o = runWithFault(entries, FaultOp(op), k);
      if (!o.injected) break;
      ++injected;
      *kept += o.journalKept;
      checkOutcome(o, entries, FaultOp(op),
                   std::string(faultOpName(FaultOp(op))) + " call " + std::to_string(k));
    }
    std::printf("  %s: %d\n", faultOpName(FaultOp(op)), k - 1);
  }
  return injected;
}

TEST(FaultSweep, AnUpdateThatWouldSucceed) {
  int kept = 0;
  int injected = sweep(updateEntries(), 0, &kept);
  std::printf("fault sweep, succeeding update: %d faults injected, %d backups kept\n", injected,
              kept);
  EXPECT_GT(injected, 20);
  EXPECT_GT(kept, 0) << "no journal left undeleted";
}

TEST(FaultSweep, AnUpdateThatRollsBack) {
  int kept = 0;
  int injected = sweep(failingEntries(), 4, &kept);
  std::printf("fault sweep, rolled-back update: %d faults injected, %d backups kept\n", injected,
              kept);
  EXPECT_GT(injected, 20);
  EXPECT_GT(kept, 2) << "no restore or delete failed";
}

// Files changed by another program after the plan looked at them: one
// replaced (another file at its name), one deleted. A failing run puts back
// what was there when it moved it aside, and deletes what it made where
// nothing was.
TEST(ChangedInstallation, AFailingRunUndoesWhatItDidNotPlan) {
  std::string root = makeScratchDir(), zip = root + "/u.zip", hedef = root + "/inst";
  for (const auto& entry : installed)
    if (entry.second != "<dir>") putFile(hedef + "/" + entry.first, entry.second);
  writeBytes(zip, buildZipOf(failingEntries()));
  armFault(FaultOp::count, 0);
  // The journal is the first file the run creates, the first entry's the second.
  beforeCall(FaultOp::createOutputFile, 2, [&hedef] {
    putFile(hedef + "/conf/settings.new", "the user's settings");
    std::filesystem::rename(hedef + "/conf/settings.new", hedef + "/conf/settings.ini");
    std::filesystem::remove(hedef + "/a.txt");
  });
  const char* argv[] = {"tavo_updater", "--zip", zip.c_str(), "--hedef", hedef.c_str()};
  std::string out, err;
  EXPECT_EQ(runCaptured(argv, &out, &err), 4);
  EXPECT_EQ(out + err, rolledBack + lineWith(errExtraction, "conf/settings.ini"));
  Tree expected = installed;
  expected.erase("a.txt");
  expected["conf/settings.ini"] = "the user's settings";
  expected.erase("data");
  Tree after = treeOf(hedef);  // less the directories the run made
  for (auto it = after.begin(); it != after.end();)
    it = it->second == "<dir>" && !expected.count(it->first) ? after.erase(it) : std::next(it);
  EXPECT_EQ(after, expected);
  removeScratchDir(root);
}

// A signed archive served differently once its signature was checked: a
// change in what the open reads (the central directory) refuses the run with
// 6, nothing touched; one in an entry's data fails it and rolls back.
TEST(ChangedArchive, WhatWasInstalledIsWhatWasChecked) {
  std::string keys = makeScratchDir();
  ZipEntrySpec stored = fileEntry("bin/big.dat", bytes(400000, 'r'));
  stored.method = 0;
  std::string archive = buildZipOf({fileEntry("a.txt", "new a"), stored});
  writeBytes(keys + "/u.zip", archive);
  std::string sign =
      "cd '" + keys + "' && minisign -G -W -p pub -s sec && minisign -S -s sec -m u.zip";
  ASSERT_EQ(std::system((sign + " </dev/null >/dev/null 2>&1").c_str()), 0);
  const std::string refused = errSignature;
  struct Case {
    std::size_t changedAt;
    int code;
    std::string out, err;
  } cases[] = {
      {archive.size() - 30, 6, banner, refused},  // the central directory
      {archive.find("bin/big.dat") + 200000, 4, rolledBack,
       lineWith(errExtraction, "bin/big.dat") + refused},
  };
  for (const Case& c : cases) {
    std::string root = makeScratchDir(), zip = root + "/u.zip", hedef = root + "/inst";
    // Without a release list: a keyed installation that has one takes none
    // but a listed archive.
    for (const auto& entry : installed)
      if (entry.second != "<dir>" && entry.first != releaseListName)
        putFile(hedef + "/" + entry.first, entry.second);
    putFile(hedef + "/tavo_updater.pub", fileContent(keys + "/pub"));
    writeBytes(zip, archive);
    putFile(zip + ".minisig", fileContent(keys + "/u.zip.minisig"));
    Tree before = treeOf(hedef);
    armFault(FaultOp::count, 0);
    serveOtherBytesLater(zip, archive.substr(0, c.changedAt) + char(archive[c.changedAt] ^ 1) +
                                  archive.substr(c.changedAt + 1));
    const char* argv[] = {"tavo_updater", "--zip", zip.c_str(), "--hedef", hedef.c_str()};
    std::string out, err;
    EXPECT_EQ(runCaptured(argv, &out, &err), c.code) << c.changedAt;
    EXPECT_EQ(out + err, c.out + c.err);
    EXPECT_TRUE(treeOf(hedef) == before) << "the installation changed";
    removeScratchDir(root);
  }
  removeScratchDir(keys);
}

}  // namespace
