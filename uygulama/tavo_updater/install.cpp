// The entry loop: carrying out the plan, entry by entry.
#include "install.h"

#include <set>

#include "console.h"
#include "names.h"
#include "paths.h"
#include "plan.h"
#include "platform.h"

namespace {

// Where a copy is made before it takes its backup's name, so that a backup
// under an entry's name is always whole. Entry names may not begin with
// the backup directory's name, so no backup can be there.
const char* const copyInProgress = "_guncelleme_yedek";

void report(const char* format, const std::string& name) { sayWith(stderr, format, name); }

// What the loop keeps between entries.
struct Progress {
  std::map<std::string, DirState>* directories;
  std::set<std::string> written;  // identities of files this run wrote
};

// Makes the directories between `base` and the file `path` that are not
// known to exist, each once per run: no call for a directory known to be
// there. A directory that cannot be made fails the file's creation.
void makeDirectoriesFor(const std::string& path, std::size_t from, Progress* p) {
  for (std::size_t at = path.find_first_of("\\/", from); at != std::string::npos;
       at = path.find_first_of("\\/", at + 1)) {
    if (path[at - 1] == '\\' || path[at - 1] == '/') continue;
    std::string dir = path.substr(0, at);
    DirState& state = (*p->directories)[dir];  // missing when not looked at
    if (state == DirState::present) continue;
    createDirectory(dir);
    state = DirState::present;
  }
}

// A directory entry succeeds when the directory exists afterwards, made
// now or before; a file in its way, or a failed creation, fails it. The
// check looks at the path with a separator at its end, so that a link to a
// directory that the installation already holds counts as the directory.
bool makeDirectoryEntry(const std::string& path, std::size_t from, Progress* p) {
  std::string asDirectory = path;
  if (asDirectory.back() != '\\' && asDirectory.back() != '/') asDirectory += '\\';
  makeDirectoriesFor(asDirectory, from, p);
  bool isDirectory = false;
  return pathAttributes(asDirectory, &isDirectory) && isDirectory;
}

// Puts the old file `t` aside at `yb`: moved where it can be, else copied
// (a copy whole on the disk before it takes the backup's name, since the
// target is written in place after it).
bool backUp(const std::string& t, const std::string& yb, Run* run) {
  if (moveFile(t, yb, false)) {
    run->yedekler.push_back({t, yb, true});
    return true;
  }
  std::string copy = joinPath(run->yedekDir, copyInProgress);
  if (!copyFileOver(t, copy) || !syncFile(copy) || !moveFile(copy, yb, false)) return false;
  run->yedekler.push_back({t, yb, false});
  return true;
}

// Handles one file entry; false when the run must stop.
bool installFile(ZipArchive* z, const PlannedEntry& e, const std::string& name, Run* run,
                 Progress* p) {
  std::string t = joinPath(run->hedef, name);
  makeDirectoriesFor(t, run->hedef.size() + 1, p);
  PathInfo now = e.before;
  if (e.shared && !lookAt(t, &now)) now.kind = PathKind::other;
  const PathInfo* like = nullptr;
  if (now.kind == PathKind::file && p->written.count(now.identity) == 0) {
    // Identical: nothing is written, the time at most.
    if (e.factsKnown && now.size == e.facts.size && entryMatchesFile(z, e.index, t)) {
      if (!(now.modified == e.facts.modified) && setFileTimes(t, e.facts.modified))
        run->zamanlar.push_back({t, now.modified});
      return true;
    }
    std::string yb = joinPath(run->yedekDir, name);
    makeDirectoriesFor(yb, run->yedekDir.size() + 1, p);
    if (!backUp(t, yb, run)) {
      report("tavo_updater: yedek alinamadi: %s\n", name);
      return false;
    }
    if (run->yedekler.back().moved) like = &now;
  } else if (now.kind == PathKind::missing) {
    run->yeniler.push_back(t);
    like = &now;
  } else if (now.kind != PathKind::file) {
    // A directory, a link or a device: nothing is written through it.
    report("tavo_updater: cikarma hatasi: %s\n", name);
    return false;
  }
  bool extracted = extractEntry(z, e.index, t, like);
  PathInfo after;
  if (e.shared && lookAt(t, &after)) p->written.insert(after.identity);
  if (!extracted) {
    report("tavo_updater: cikarma hatasi: %s\n", name);
    return false;
  }
  return true;
}

// The name to report when the plan cannot be written: the first entry the
// run would have changed.
std::string firstChanged(ZipArchive* z, const Plan& plan) {
  std::string name;
  for (const PlannedEntry& e : plan.entries)
    if (e.step == Step::file && entryName(z, e.index, &name)) return name;
  return "";
}

bool runEntry(ZipArchive* z, const PlannedEntry& e, Run* run, Progress* p) {
  std::string name;
  if (e.step != Step::unreadable && !entryName(z, e.index, &name)) return false;
  switch (e.step) {
    case Step::unreadable:
      return false;
    case Step::refused:
      report("tavo_updater: gecersiz girdi adi: %s\n", name);
      return false;
    case Step::noBackupPlace:
      report("tavo_updater: yedek alinamadi: %s\n", name);
      return false;
    case Step::overlapping:
      report("tavo_updater: cikarma hatasi: %s\n", name);
      return false;
    case Step::directory:
      if (makeDirectoryEntry(joinPath(run->hedef, name), run->hedef.size() + 1, p)) return true;
      report("tavo_updater: cikarma hatasi: %s\n", name);
      return false;
    case Step::skip:
      return true;
    case Step::file:
      return installFile(z, e, name, run, p);
  }
  return false;
}

}  // namespace

bool installEntries(ZipArchive* z, Run* run) {
  Plan plan;
  planEntries(z, *run, &plan);
  for (const auto& volume : plan.volumes) run->volumes.push_back(volume.second);
  run->gunluk.path = journalPath(run->yedekDir);
  // Nothing is changed before the plan is on the disk, with the backup
  // directory's name in hedef.
  if (!plan.records.empty() &&
      (!writePlan(&run->gunluk, plan.records) || !syncDirectory(run->hedef))) {
    report("tavo_updater: gunluk yazilamadi: %s\n", firstChanged(z, plan));
    return run->ok = false;
  }
  // The records are on the disk; the run needs them no more.
  std::vector<JournalRecord>().swap(plan.records);
  Progress progress{&plan.directories, {}};
  run->ok = true;
  for (const PlannedEntry& e : plan.entries) {
    run->ok = runEntry(z, e, run, &progress);
    if (!run->ok) break;
  }
  return run->ok;
}
