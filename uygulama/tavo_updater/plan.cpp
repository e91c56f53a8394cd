// Planning the installation: names checked, targets looked at once, the
// directories on the way looked at once per run.
#include "plan.h"

#include <set>

#include "names.h"
#include "paths.h"

namespace {

// The file system part of an identity ("volume:...").
std::string volumeOf(const std::string& identity) { return identity.substr(0, identity.find(':')); }

// Looks at one directory on the way to a target. False when it is the backup
// directory under another name (a short name, another letter case, a link),
// or a link that leads nowhere yet and could come to lead there.
bool lookAtDirectory(const std::string& dir, const std::string& backupIdentity, Plan* plan,
                     DirState* state) {
  PathInfo info;
  std::string identity;
  *state = DirState::blocked;
  if (!lookAt(dir, &info)) return true;
  if (info.kind == PathKind::missing) {
    *state = DirState::missing;
    return true;
  }
  if (info.kind == PathKind::link) {
    if (!fileIdentity(dir, &identity)) return false;
  } else if (info.kind == PathKind::directory) {
    identity = info.identity;
  } else {
    return true;
  }
  if (identity == backupIdentity) return false;
  *state = DirState::present;
  plan->volumes.emplace(volumeOf(identity), dir);
  return true;
}

// Looks at the directories between hedef and `path` (from its character
// `from` on), each once per run; `path` itself too when it ends in a
// separator. False when one of them reaches the backup directory.
bool checkDirectories(const std::string& path, std::size_t from, const std::string& backupIdentity,
                      Plan* plan) {
  for (std::size_t at = path.find_first_of("\\/", from); at != std::string::npos;
       at = path.find_first_of("\\/", at + 1)) {
    // "a//b" names "a" twice: once is enough.
    if (path[at - 1] == '\\' || path[at - 1] == '/') continue;
    std::string dir = path.substr(0, at);
    auto known = plan->directories.find(dir);
    DirState state = DirState::present;
    if (known != plan->directories.end()) {
      state = known->second;
    } else {
      if (!lookAtDirectory(dir, backupIdentity, plan, &state)) return false;
      plan->directories[dir] = state;
    }
    // Below a missing directory everything is made by this run; below a
    // file nothing can be made.
    if (state != DirState::present) return true;
  }
  return true;
}

// Adds the records of a file entry whose target is as `e.before` says; each
// relative name once.
void recordFile(const PlannedEntry& e, const std::string& entry, std::set<std::string>* recorded,
                Plan* plan) {
  std::string name = relativeName(entry);
  if (!recorded->insert(name).second) return;
  if (e.before.kind == PathKind::missing) {
    plan->records.push_back({journalCreated, name, FileTime()});
  } else if (e.before.kind == PathKind::file) {
    plan->records.push_back({journalBackedUp, name, FileTime()});
    // An identical file keeps its content and may only get another time.
    if (e.factsKnown && e.before.size == e.facts.size)
      plan->records.push_back({journalRetimed, name, e.before.modified});
  }
}

// A backup place that holds a stale file (from a backup directory that could
// not be removed) would be taken for this run's backup: it must go first.
bool backupPlaceFree(const Run& run, const std::string& name) {
  std::string yb = joinPath(run.yedekDir, name);
  PathInfo info;
  return lookAt(yb, &info) &&
         (info.kind == PathKind::missing ||
          (removeFile(yb) && lookAt(yb, &info) && info.kind == PathKind::missing));
}

// Plans one entry; false when the run stops at it.
bool planEntry(ZipArchive* z, const Run& run, const std::string& backupIdentity,
               std::set<std::string>* recorded, Plan* plan, PlannedEntry* e) {
  std::string raw;
  std::string name;
  if (!entryName(z, e->index, &name) || !entryRawName(z, e->index, &raw)) {
    e->step = Step::unreadable;
    return false;
  }
  std::string target = joinPath(run.hedef, name);
  std::size_t below = run.hedef.size() + 1;
  if (!isSafeEntryName(name) || hasControlBytes(raw)) {
    e->step = Step::refused;
  } else if (entryIsDirectory(z, e->index)) {
    e->step = checkDirectories(target.back() == '\\' ? target : target + "\\", below,
                               backupIdentity, plan)
                  ? Step::directory
                  : Step::refused;
  } else if (isUpdaterItself(name)) {
    e->step = Step::skip;
  } else if (!checkDirectories(target, below, backupIdentity, plan)) {
    e->step = Step::refused;
  } else if (!lookAt(target, &e->before)) {
    e->step = Step::unreadable;
  } else if (run.staleBackup && e->before.kind == PathKind::file && !backupPlaceFree(run, name)) {
    e->step = Step::noBackupPlace;
  } else {
    e->step = Step::file;
    e->factsKnown = entryFacts(z, e->index, &e->facts);
    recordFile(*e, name, recorded, plan);
  }
  return e->step == Step::directory || e->step == Step::skip || e->step == Step::file;
}

// Entries whose targets were one file (a repeated name, another spelling of
// it, or hard links) look at it again when they come to it.
void markShared(Plan* plan) {
  std::map<std::string, int> seen;
  for (const PlannedEntry& e : plan->entries)
    if (e.step == Step::file && e.before.kind == PathKind::file) ++seen[e.before.identity];
  for (PlannedEntry& e : plan->entries)
    e.shared =
        e.step == Step::file && e.before.kind == PathKind::file && seen[e.before.identity] > 1;
}

}  // namespace

std::string relativeName(const std::string& name) { return joinPath("", name).substr(1); }

void planEntries(ZipArchive* z, const Run& run, Plan* plan) {
  std::string backupIdentity;
  fileIdentity(run.yedekDir, &backupIdentity);
  plan->volumes.emplace(volumeOf(backupIdentity), run.hedef);
  std::set<std::string> recorded;
  // Entries that share their bytes (a few KB that expand to gigabytes) are
  // refused as a whole archive, before anything is written.
  PlannedEntry overlapping;
  overlapping.step = Step::overlapping;
  if (firstOverlappingEntry(z, &overlapping.index)) {
    entryName(z, overlapping.index, &overlapping.name);
    plan->entries.push_back(overlapping);
    return;
  }
  std::uint64_t n = entryCount(z);
  plan->entries.reserve(std::size_t(n));
  for (std::uint64_t i = 0; i < n; ++i) {
    PlannedEntry e;
    e.index = i;
    bool goesOn = planEntry(z, run, backupIdentity, &recorded, plan, &e);
    plan->entries.push_back(e);
    if (!goesOn) break;
  }
  markShared(plan);
}
