// Planning the installation: names checked, targets looked at (those that
// are there once more, when they are compared and recorded), the
// directories on the way looked at once per run.
#include "plan.h"

#include <algorithm>
#include <set>

#include "names.h"
#include "paths.h"

namespace {

// 64-bit FNV-1a.
std::uint64_t hashOf(const std::string& bytes) {
  std::uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ull;
  return hash;
}

// The one key of a target, however many spellings the archive has for it:
// an existing file is known by its identity, a new one by its clean name.
std::string targetKey(const PathInfo& before, const std::string& name) {
  return before.kind == PathKind::file ? "=" + before.identity : "/" + name;
}

// The hashes of every file entry's target key, sorted: a plan keeps these
// 8 bytes an entry instead of the keys themselves.
struct TargetKeys {
  std::vector<std::uint64_t> hashes;
  // Keys that more than one entry has, recorded once (kept in full: few).
  std::set<std::string> recorded;
};

std::size_t entriesWith(const TargetKeys& keys, const std::string& key) {
  auto range = std::equal_range(keys.hashes.begin(), keys.hashes.end(), hashOf(key));
  return std::size_t(range.second - range.first);
}

// The file system part of an identity ("volume:...").
std::string volumeOf(const std::string& identity) { return identity.substr(0, identity.find(':')); }

// Looks at one directory on the way to a target. False when it is the backup
// directory under another name (a short name, another letter case, a link),
// or a link that leads nowhere yet and could come to lead there.
bool lookAtDirectory(const std::string& dir, const std::string& backupIdentity, Plan* plan,
                     DirState* state) {
  PathInfo info, led;
  std::string identity;
  *state = DirState::blocked;
  if (!lookAt(dir, &info)) return true;
  if (info.kind == PathKind::missing) {
    *state = DirState::missing;
    return true;
  }
  if (info.kind == PathKind::link) {
    if (!lookAt(dir, &led, true) || led.kind == PathKind::missing) return false;
    identity = led.identity;
  } else if (info.kind == PathKind::directory) {
    identity = info.identity;
  } else {
    return true;
  }
  if (identity == backupIdentity) return false;
  *state = DirState::present;
  plan->volumes.emplace(volumeOf(identity), dir);
  plan->directoryVolumes[dir] = volumeOf(identity);
  return true;
}

// What a file of `size` bytes takes on a disk: whole blocks of 4 KiB, the
// common size, so that a tree of small files is not underestimated.
std::uint64_t onDisk(std::uint64_t size) { return (size + 4095) / 4096 * 4096; }

// The file system a new file `path` goes on: that of the nearest directory
// above it that is there (the installation's when none is).
std::string volumeAbove(const Plan& plan, const std::string& path) {
  for (std::size_t at = path.find_last_of("\\/"); at != std::string::npos && at > 0;
       at = path.find_last_of("\\/", at - 1)) {
    auto known = plan.directoryVolumes.find(path.substr(0, at));
    if (known != plan.directoryVolumes.end()) return known->second;
  }
  return plan.backupVolume;
}

// Adds what entry `e` writes on each file system: its new content where it
// is not identical, and a copy of the old file on the backup's file system
// where the old file cannot be moved there.
void countNeeds(const PlannedEntry& e, const PathInfo& before, const EntryFacts& facts,
                const std::string& target, Plan* plan) {
  if (e.identical) return;
  std::string volume =
      before.kind == PathKind::file ? volumeOf(before.identity) : volumeAbove(*plan, target);
  if (e.factsKnown) plan->needs[volume] += onDisk(facts.size);
  if (before.kind == PathKind::file && volume != plan->backupVolume)
    plan->needs[plan->backupVolume] += onDisk(before.size);
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

// Adds the records of a file entry whose target is as `before` says, with
// the key `key`; one record per target (see targetKey). An identical file
// keeps its content and may only get the entry's time; the install pass
// decides for a file that several entries write. False when another entry
// has recorded the target (under its own name: a hard link's may differ).
bool recordFile(const PlannedEntry& e, const PathInfo& before, const EntryFacts& facts,
                const std::string& name, const std::string& key, bool repeated, TargetKeys* keys,
                Plan* plan) {
  if (repeated && !keys->recorded.insert(key).second) return false;
  bool exists = before.kind == PathKind::file;
  bool sameSize = e.factsKnown && before.size == facts.size;
  if (before.kind == PathKind::missing)
    addRecord(&plan->records, {journalCreated, name, FileTime(), ""});
  if (exists && !e.identical)
    addRecord(&plan->records, {journalMovedAside, name, FileTime(), fileMark(before)});
  if (exists && ((e.shared && sameSize) || (e.identical && !(before.modified == facts.modified))))
    addRecord(&plan->records, {journalRetimed, name, before.modified, ""});
  return true;
}

// A backup place that holds a superseded file (from a backup directory that
// could not be emptied) would be taken for this run's backup: it is removed
// or, where it cannot be (a program still runs from it), moved out of the
// way into the backup directory's own corner, which no backup path reaches.
bool backupPlaceFree(const std::string& yedekDir, const std::string& name, Plan* plan) {
  std::string yb = joinPath(yedekDir, name);
  PathInfo info;
  if (!lookAt(yb, &info)) return false;
  if (info.kind == PathKind::missing || removeFile(yb)) return true;
  std::string corner = joinPath(yedekDir, backupDirName);
  createDirectory(corner);
  for (int tries = 0; tries < 100; ++tries)
    if (moveFile(yb, joinPath(corner, "eski" + std::to_string(++plan->putAside)), false))
      return true;
  return false;
}

// Plans entry `index`, adding its target's key to `keys` when it is a
// file; false when the run stops at it.
bool planEntry(ZipArchive* z, std::uint64_t index, const Installation& to,
               const std::string& backupIdentity, TargetKeys* keys, Plan* plan, PlannedEntry* e) {
  const std::string& hedef = to.hedef;
  std::string raw;
  std::string name;
  PathInfo before;
  if (!entryName(z, index, &name) || !entryRawName(z, index, &raw)) {
    e->step = Step::unreadable;
    return false;
  }
  std::string target = joinPath(hedef, name);
  std::size_t below = hedef.size() + 1;
  if (!isSafeEntryName(name) || hasControlBytes(raw)) {
    e->step = Step::refused;
  } else if (entryIsDirectory(z, index)) {
    e->step = checkDirectories(target.back() == '\\' ? target : target + "\\", below,
                               backupIdentity, plan)
                  ? Step::directory
                  : Step::refused;
  } else if (isUpdaterItself(name)) {
    e->step = Step::skip;
  } else if (!checkDirectories(target, below, backupIdentity, plan)) {
    e->step = Step::refused;
  } else if (!lookAt(target, &before)) {
    e->step = Step::unlookable;
  } else if (to.staleBackup && before.kind == PathKind::file &&
             !backupPlaceFree(to.yedekDir, cleanName(name), plan)) {
    e->step = Step::noBackupPlace;
  } else {
    e->step = Step::file;
    EntryFacts facts;
    e->factsKnown = entryFacts(z, index, &facts);
    e->existed = before.kind != PathKind::missing;
    keys->hashes.push_back(hashOf(targetKey(before, cleanName(name))));
  }
  return !stopsRun(e->step);
}

// The records of the file systems the run may write: a directory on each,
// relative to the installation.
void recordVolumes(const std::string& hedef, Plan* plan) {
  for (const auto& volume : plan->volumes) {
    std::string dir = volume.second == hedef ? "" : cleanName(volume.second.substr(hedef.size()));
    addRecord(&plan->records, {journalVolume, dir, FileTime(), ""});
  }
}

// Looks again at each file entry's target that was there, marks the entries whose targets
// are one file (a repeated name, another spelling of it, or hard links),
// compares each target that one entry alone writes with its entry (size,
// CRC-32, then byte for byte), tries each file the run will move aside for
// the move, and gives the journal the records of every file entry. False
// at the first file that stays held, or whose target cannot be looked at
// again (then it is the last entry planned).
bool compareAndRecord(ZipArchive* z, const std::string& hedef, TargetKeys* keys, Plan* plan) {
  std::string name;
  for (std::size_t k = 0; k < plan->entries.size(); ++k) {
    PlannedEntry& e = plan->entries[k];
    std::uint64_t index = plan->firstIndex + k;
    if (e.step != Step::file || !entryName(z, index, &name)) continue;
    std::string target = joinPath(hedef, name), clean = cleanName(name);
    PathInfo before;  // missing where nothing was there
    if (e.existed && !lookAt(target, &before)) {
      e.step = Step::unlookable;
      plan->entries.resize(k + 1);
      return false;
    }
    std::string key = targetKey(before, clean);
    bool repeated = entriesWith(*keys, key) > 1, file = before.kind == PathKind::file;
    e.existed = before.kind != PathKind::missing;
    e.mark = file ? markHash(before) : 0;
    e.shared = file && repeated;
    // Read again from the archive's directory: not kept for every entry.
    EntryFacts facts;
    if (e.factsKnown) entryFacts(z, index, &facts);
    e.identical = file && !e.shared && e.factsKnown && before.size == facts.size &&
                  entryMatchesFile(z, index, target);
    e.retime = e.identical && !(before.modified == facts.modified);
    if (file && !e.identical && !canMoveAside(target)) {
      plan->held = name;
      return false;
    }
    e.journalled = recordFile(e, before, facts, clean, key, repeated, keys, plan);
    countNeeds(e, before, facts, target, plan);
  }
  return true;
}

// True when every directory between hedef and the file `name` is a real
// directory, none of them a link (out of the installation, or into its
// backup directory) nor the backup directory itself.
bool plainPathTo(const std::string& hedef, const std::string& name, const std::string& backupId) {
  std::string dir = hedef;
  std::size_t from = 0;
  for (std::size_t at = name.find('\\'); at != std::string::npos; at = name.find('\\', from)) {
    dir += "\\" + name.substr(from, at - from);
    from = at + 1;
    PathInfo info;
    if (!lookAt(dir, &info) || info.kind != PathKind::directory || info.identity == backupId)
      return false;
  }
  return true;
}

// Plans the removal of each dropped file that is there (a file, or a link
// as itself), and the emptied directories above them. False at the first
// one that stays held or has no backup place.
bool planRemovals(const Installation& to, const Dropping& dropping, const std::string& backupId,
                  TargetKeys* keys, Plan* plan) {
  std::set<std::string> above;
  for (const std::string& name : dropping.files) {
    Removal r{name, PathInfo()};
    std::string target = joinPath(to.hedef, name);
    if (!isSafeEntryName(name) || !plainPathTo(to.hedef, name, backupId) ||
        !lookAt(target, &r.before) ||
        (r.before.kind != PathKind::file && r.before.kind != PathKind::link))
      continue;
    // A file that an entry writes too (a hard link to its target) stays.
    std::string key = "=" + r.before.identity;
    if (entriesWith(*keys, key) > 0 || !keys->recorded.insert(key).second) continue;
    if (!canMoveAside(target)) {
      plan->held = name;
      return false;
    }
    if (to.staleBackup && !backupPlaceFree(to.yedekDir, name, plan)) {
      plan->noPlaceFor = name;
      return false;
    }
    addRecord(&plan->records, {journalMovedAside, name, FileTime(), fileMark(r.before)});
    if (volumeOf(r.before.identity) != plan->backupVolume)
      plan->needs[plan->backupVolume] += onDisk(r.before.size);
    plan->removals.push_back(r);
    plan->volumes.emplace(volumeOf(r.before.identity), target.substr(0, target.rfind('\\')));
    for (std::size_t at = name.rfind('\\'); at != std::string::npos && at > 0;
         at = name.rfind('\\', at - 1))
      above.insert(name.substr(0, at));
  }
  for (const std::string& dir : dropping.dirs)
    if (above.count(dir)) {
      plan->emptiedDirs.push_back(dir);
      addRecord(&plan->records, {journalRemovedDir, dir, FileTime(), ""});
    }
  return true;
}

// The journal's own room: its records so far, and room for its header and
// the records of the file systems.
void countJournal(Plan* plan) {
  plan->needs[plan->backupVolume] += onDisk(plan->records.size + 4096);
}

}  // namespace

std::uint32_t markHash(const PathInfo& info) {
  std::uint64_t hash = hashOf(fileMark(info));
  return std::uint32_t(hash ^ (hash >> 32));
}

bool stopsRun(Step step) {
  return step != Step::directory && step != Step::skip && step != Step::file;
}

void planEntries(ZipArchive* z, const Installation& to, const Dropping& dropping, Plan* plan) {
  const std::string& hedef = to.hedef;
  PathInfo backup;  // no identity when it cannot be looked at
  lookAt(to.yedekDir, &backup, true);
  const std::string& backupIdentity = backup.identity;
  plan->backupVolume = volumeOf(backupIdentity);
  plan->volumes.emplace(plan->backupVolume, hedef);
  // Entries that share their bytes (a few KB that expand to gigabytes) are
  // refused as a whole archive, before anything is written.
  PlannedEntry overlapping;
  overlapping.step = Step::overlapping;
  std::uint64_t first = 0;
  if (firstOverlappingEntry(z, &first)) {
    plan->firstIndex = first;
    plan->entries.push_back(overlapping);
    return;
  }
  std::uint64_t n = entryCount(z);
  plan->entries.reserve(std::size_t(n));
  TargetKeys keys;
  keys.hashes.reserve(std::size_t(n));
  for (std::uint64_t i = 0; i < n; ++i) {
    PlannedEntry e;
    bool goesOn = planEntry(z, i, to, backupIdentity, &keys, plan, &e);
    plan->entries.push_back(e);
    if (!goesOn) return;
  }
  std::sort(keys.hashes.begin(), keys.hashes.end());
  if (!compareAndRecord(z, hedef, &keys, plan) ||
      !planRemovals(to, dropping, backupIdentity, &keys, plan))
    return;
  countJournal(plan);
  if (plan->records.count > 0) recordVolumes(hedef, plan);
}

bool roomEverywhere(const Plan& plan, std::string* directory, std::uint64_t* needed,
                    std::uint64_t* available) {
  for (const auto& need : plan.needs) {
    auto volume = plan.volumes.find(need.first);
    if (volume == plan.volumes.end() || !freeSpace(volume->second, available) ||
        need.second <= *available)
      continue;
    *directory = volume->second;
    *needed = need.second;
    return false;
  }
  return true;
}
