// The entry loop: carrying out the plan, entry by entry.
#include "install.h"

#include <set>

#include "console.h"
#include "names.h"
#include "paths.h"
#include "plan.h"
#include "platform.h"
#include "releases.h"

namespace {

// What the loop works with and keeps between entries.
struct Progress {
  const std::string& hedef;
  const std::string& yedekDir;
  Journal* gunluk;
  Outcome* sonuc;
  std::map<std::string, DirState>* directories;
  std::set<std::string> written;  // identities of files this run wrote
};

// Says why the entry `name` stopped the run; the outcome keeps the line and
// the entry's name.
void report(Progress* p, const char* format, const std::string& name) {
  sayWith(stderr, format, name, &p->sonuc->messages);
  if (p->sonuc->entry.empty()) p->sonuc->entry = name;
}

// A clean name as the archive spells it, with '/'.
std::string shownName(std::string name) {
  for (char& c : name)
    if (c == '\\') c = '/';
  return name;
}

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
// check follows a link at the path, so that a link to a directory that the
// installation already holds counts as the directory.
bool makeDirectoryEntry(const std::string& path, std::size_t from, Progress* p) {
  std::string asDirectory = path;
  if (asDirectory.back() != '\\' && asDirectory.back() != '/') asDirectory += '\\';
  makeDirectoriesFor(asDirectory, from, p);
  PathInfo info;
  return lookAt(asDirectory, &info, true) && info.kind == PathKind::directory;
}

// Forces the names of `path` and of the directories above it, up to
// `top`, to the disk.
bool syncNamesUpTo(const std::string& path, const std::string& top) {
  bool synced = true;
  for (std::string dir = parentOf(path); dir.size() >= top.size(); dir = parentOf(dir)) {
    synced = syncDirectory(dir) && synced;
    if (dir.size() == top.size()) break;
  }
  return synced;
}

// Puts the old file `t` (the entry `name`) aside at `yb`: moved where it
// can be (*moved), else copied. A copy is made in the backup directory's own
// corner, forced to the disk, renamed to its backup path, its name forced to
// the disk, and its mark journalled: the original, written in place after
// it, is changed only once the copy is the backup that a recovery puts back.
bool backUp(const std::string& t, const std::string& yb, const std::string& name, Progress* p,
            bool* moved) {
  *moved = moveFile(t, yb, false);
  if (*moved) return true;
  std::string corner = joinPath(p->yedekDir, backupDirName);
  std::string copy = joinPath(corner, "kopya");
  createDirectory(corner);
  PathInfo made;
  return copyFileOver(t, copy) && syncFile(copy) && moveFile(copy, yb, false) &&
         syncNamesUpTo(yb, p->yedekDir) && lookAt(yb, &made) &&
         noteChange(p->gunluk, {journalCopied, name, FileTime(), fileMark(made)});
}

// Moves the file `now` at the target of `name` (clean) aside into the
// backup, under the file's own name (Windows: its letter case), which a
// restore gives back; *t becomes its path. A file that is not the one the
// plan journalled (`planned` false: changed since, or new) has its own mark
// journalled first, so that a recovery puts it back too.
bool moveAside(const std::string& name, const PathInfo& now, bool planned, Progress* p,
               std::string* t, bool* moved) {
  *t = joinPath(p->hedef, name);
  std::string yb = joinPath(p->yedekDir, name), own;
  if (storedName(*t, &own)) {
    *t = parentOf(*t) + "\\" + own;
    yb = parentOf(yb) + "\\" + own;
  }
  makeDirectoriesFor(yb, p->yedekDir.size() + 1, p);
  return (planned || noteChange(p->gunluk, {journalMovedAside, name, FileTime(), fileMark(now)})) &&
         backUp(*t, yb, name, p, moved);
}

// Handles entry `index`, planned as `e`; false when the run must stop.
// Every change it makes is in the journal: planned there, or appended
// before it is made.
bool installFile(ZipArchive* z, std::uint64_t index, const PlannedEntry& e,
                 const std::string& entry, Progress* p) {
  std::string name = cleanName(entry);
  std::string t = joinPath(p->hedef, name);
  makeDirectoriesFor(t, p->hedef.size() + 1, p);
  // The entry's size and time, read again where they are needed.
  EntryFacts facts;
  bool factsKnown = (e.identical || e.shared) && e.factsKnown && entryFacts(z, index, &facts);
  // Identical as the plan found it: nothing is written, the time at most.
  if (e.identical) {
    if (e.retime && factsKnown) setFileTimes(t, facts.modified);
    ++p->sonuc->counts.identical;
    return true;
  }
  // A target the plan found there is looked at again; one it found missing
  // is taken as missing.
  PathInfo now;
  if (e.existed && !lookAt(t, &now)) now.kind = PathKind::other;
  const PathInfo* like = nullptr;
  if (now.kind == PathKind::file && p->written.count(now.identity) == 0) {
    // Identical now, for a file that several entries write.
    if (e.shared && factsKnown && now.size == facts.size && entryMatchesFile(z, index, t)) {
      if (!(now.modified == facts.modified)) setFileTimes(t, facts.modified);
      ++p->sonuc->counts.identical;
      return true;
    }
    bool moved = false;
    if (!moveAside(name, now, e.journalled && markHash(now) == e.mark, p, &t, &moved)) {
      report(p, errNoBackup, entry);
      return false;
    }
    if (moved) like = &now;
  } else if (now.kind == PathKind::missing) {
    // Gone since the plan found it: the new file is journalled before it is made.
    if (e.existed && !noteChange(p->gunluk, {journalCreated, name, FileTime(), ""})) {
      report(p, errExtraction, entry);
      return false;
    }
    like = &now;
  } else if (now.kind != PathKind::file) {
    // A directory, a link or a device: nothing is written through it.
    report(p, errExtraction, entry);
    return false;
  }
  bool extracted = extractEntry(z, index, t, like);
  PathInfo after;
  if (e.shared && lookAt(t, &after)) p->written.insert(after.identity);
  if (!extracted) {
    report(p, errExtraction, entry);
    return false;
  }
  ++p->sonuc->counts.written;
  return true;
}

// The name to report when the plan cannot be written: the first entry the
// run would have changed.
std::string firstChanged(ZipArchive* z, const Plan& plan) {
  std::string name;
  for (std::size_t k = 0; k < plan.entries.size(); ++k)
    if (plan.entries[k].step == Step::file && entryName(z, plan.firstIndex + k, &name)) return name;
  return "";
}

bool runEntry(ZipArchive* z, std::uint64_t index, const PlannedEntry& e, Progress* p) {
  std::string name;
  if (e.step != Step::unreadable && !entryName(z, index, &name)) return false;
  switch (e.step) {
    case Step::unreadable:
      return false;
    case Step::refused:
      report(p, errInvalidName, name);
      return false;
    case Step::unlookable:
      report(p, errExtraction, name);
      return false;
    case Step::noBackupPlace:
      report(p, errNoBackup, name);
      return false;
    case Step::overlapping:
      report(p, errExtraction, name);
      return false;
    case Step::directory:
      if (makeDirectoryEntry(joinPath(p->hedef, name), p->hedef.size() + 1, p)) return true;
      report(p, errExtraction, name);
      return false;
    case Step::skip:
      return true;
    case Step::file:
      return installFile(z, index, e, name, p);
  }
  return false;
}

// Why the run may not begin, said: an entry the plan refuses, a dropped file
// without a backup place, a file that stays held (with the programs that
// hold it), or a file system without room. True when it may begin.
bool mayBegin(ZipArchive* z, const Plan& plan, Progress* p, Installed* why) {
  *why = Installed::failed;
  if (!plan.entries.empty() && stopsRun(plan.entries.back().step)) {
    runEntry(z, plan.firstIndex + plan.entries.size() - 1, plan.entries.back(), p);
    return false;
  }
  if (!plan.noPlaceFor.empty()) {
    report(p, errNoBackup, shownName(plan.noPlaceFor));
    return false;
  }
  *why = Installed::notNow;
  if (!plan.held.empty()) {
    std::vector<FileHolder> holders;
    fileHolders(joinPath(p->hedef, plan.held), &holders);
    say(stderr, heldFileLine(plan.held, holders).c_str(), &p->sonuc->messages);
    p->sonuc->entry = plan.held;
    p->sonuc->holders = holders;
    return false;
  }
  std::string full;
  std::uint64_t needed = 0, available = 0;
  if (roomEverywhere(plan, &full, &needed, &available)) return true;
  const std::uint64_t mib = 1024 * 1024;
  sayWith(stderr, errNoSpace,
          full + " (" + std::to_string((needed + mib - 1) / mib) + " MiB gerekli, " +
              std::to_string(available / mib) + " MiB bos)",
          &p->sonuc->messages);
  return false;
}

// Moves the files the new release drops aside into the backup, as replaced
// files are, then removes the directories they leave empty.
bool removeDropped(const Plan& plan, Progress* p) {
  for (const Removal& r : plan.removals) {
    std::string t = joinPath(p->hedef, r.name);
    PathInfo now;
    bool moved = false;
    bool looked = lookAt(t, &now);
    if (looked && now.kind == PathKind::missing) continue;  // gone already
    // A file that could only be copied aside goes once its copy is the backup.
    if (!looked || !moveAside(r.name, now, fileMark(now) == fileMark(r.before), p, &t, &moved) ||
        (!moved && !removeFile(t))) {
      report(p, errNoBackup, shownName(r.name));
      return false;
    }
    ++p->sonuc->counts.removed;
  }
  for (const std::string& dir : plan.emptiedDirs) {
    std::string d = joinPath(p->hedef, dir);
    removeDirectory(d);
  }
  return true;
}

}  // namespace

Installed installEntries(ZipArchive* z, const Installation& to, Journal* gunluk, Outcome* sonuc) {
  Releases releases;
  std::string refusal;
  ReleaseVerdict verdict = readReleases(z, to.hedef, to.keyed, &releases, &refusal);
  sonuc->fromVersion = releases.installed ? releases.was.version.text : "";
  sonuc->toVersion = releases.incoming ? releases.next.version.text : "";
  if (verdict != ReleaseVerdict::accepted) {
    say(stderr, refusal.c_str(), &sonuc->messages);
    return verdict == ReleaseVerdict::refused ? Installed::refused : Installed::failed;
  }
  Dropping dropping = droppedByRelease(z, releases);
  Plan plan;
  // The plan's records go into the journal as they come, under a header
  // that calls the plan unfinished; where the journal cannot be made yet
  // they wait in memory.
  gunluk->path = journalPath(to.yedekDir);
  startPlan(gunluk, &plan.records);
  planEntries(z, to, dropping, &plan);
  endStage(sonuc, "plan");
  Progress progress{to.hedef, to.yedekDir, gunluk, sonuc, &plan.directories, {}};
  Installed why = Installed::failed;
  if (!mayBegin(z, plan, &progress, &why)) {
    discardPlan(gunluk, &plan.records);
    return why;
  }
  for (const auto& volume : plan.volumes) gunluk->changes.volumes.push_back(volume.second);
  // Nothing is changed before the plan is on the disk, with the backup
  // directory's name in hedef.
  if (plan.records.count == 0) {
    discardPlan(gunluk, &plan.records);
  } else if (!finishPlan(gunluk, &plan.records) || !syncDirectory(to.hedef)) {
    // Not the entry's fault: the outcome names no entry.
    sayWith(stderr, errJournal, firstChanged(z, plan), &sonuc->messages);
    return Installed::failed;
  }
  for (std::size_t k = 0; k < plan.entries.size(); ++k)
    if (!runEntry(z, plan.firstIndex + k, plan.entries[k], &progress)) return Installed::failed;
  return removeDropped(plan, &progress) ? Installed::done : Installed::failed;
}
