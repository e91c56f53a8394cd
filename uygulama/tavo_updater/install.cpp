// The entry loop: directories are created, the updater's own executable is
// skipped, and every file is journalled before it is written.
#include "install.h"

#include <set>

#include "console.h"
#include "names.h"
#include "paths.h"
#include "platform.h"

namespace {

// Whether each backup copy is forced to the disk before its target is
// opened: only in the benchmark's flushing build (TAVO_FLUSH).
const bool flushEachBackup = TAVO_FLUSH != 0;

void report(const char* format, const std::string& name) { sayWith(stderr, format, name); }

// The entry's name as it is joined below hedef and yedekDir.
std::string relativeName(const std::string& name) {
  std::string joined = joinPath("", name);
  return joined.substr(1);
}

// Puts the record on disk before the change it describes is made; a run
// that cannot do that must not make the change.
bool journal(Run* run, char kind, const std::string& name) {
  if (appendRecord(&run->gunluk, {kind, relativeName(name)})) return true;
  report("tavo_updater: gunluk yazilamadi: %s\n", name);
  return false;
}

// Records `t` as written by this run, so that a later entry naming the same
// file neither backs it up again nor journals it twice.
void remember(const std::string& t, std::set<std::string>* journalled) {
  std::string identity;
  if (fileIdentity(t, &identity)) journalled->insert(identity);
}

bool alreadyJournalled(const std::string& t, const std::set<std::string>& journalled) {
  std::string identity;
  return fileIdentity(t, &identity) && journalled.count(identity) != 0;
}

// makeParentDirs(path), once for each parent directory in a run: calling
// createDirectory on every prefix for every file was a tenth of the time
// spent on a tree of small files. Skipping changes nothing: the loop never
// removes a directory, and a parent that could not be made fails its entry,
// which ends the run.
void makeParentDirsOnce(const std::string& path, std::set<std::string>* made) {
  std::string parent = path.substr(0, path.find_last_of("\\/"));
  if (made->insert(parent).second) makeParentDirs(path);
}

// A directory entry succeeds when the directory exists afterwards, made
// now or before; a file in its way, or a failed creation, fails it. The
// check looks at the path with a separator at its end, so that a link to a
// directory that the installation already holds counts as the directory.
bool makeDirectoryEntry(const std::string& path) {
  makeDirs(path);
  std::string asDirectory = path;
  if (asDirectory.back() != '\\' && asDirectory.back() != '/') asDirectory += '\\';
  bool isDirectory = false;
  return pathAttributes(asDirectory, &isDirectory) && isDirectory;
}

// Handles one file entry; false when the run must stop. A backup is
// journalled only once its copy is complete (a torn copy is garbage that no
// record points to), and a new file before it is created.
bool installFile(ZipArchive* z, std::uint64_t i, const std::string& name, Run* run,
                 std::set<std::string>* journalled, std::set<std::string>* made) {
  std::string t = joinPath(run->hedef, name);
  makeParentDirsOnce(t, made);
  if (fileExists(t)) {
    // Only the file this run wrote counts as journalled: another name of
    // the old file (a hard link) still needs a backup of its own.
    if (!alreadyJournalled(t, *journalled)) {
      std::string yb = joinPath(run->yedekDir, name);
      makeParentDirsOnce(yb, made);
      if (!copyFileOver(t, yb) || (flushEachBackup && !syncFile(yb))) {
        report("tavo_updater: yedek alinamadi: %s\n", name);
        return false;
      }
      if (!journal(run, journalBackedUp, name)) return false;
      run->yedekler.emplace_back(t, yb);
    }
  } else {
    if (!journal(run, journalCreated, name)) return false;
    run->yeniler.push_back(t);
  }
  bool extracted = extractEntry(z, i, t);
  remember(t, journalled);
  if (!extracted) {
    report("tavo_updater: cikarma hatasi: %s\n", name);
    return false;
  }
  return true;
}

}  // namespace

bool installEntries(ZipArchive* z, Run* run) {
  std::set<std::string> journalled;
  std::set<std::string> made;
  run->gunluk.path = journalPath(run->yedekDir);
  run->ok = true;
  std::uint64_t n = entryCount(z);
  for (std::uint64_t i = 0; i < n && run->ok; ++i) {
    std::string name, raw;
    if (!entryName(z, i, &name) || !entryRawName(z, i, &raw)) {
      run->ok = false;
      break;
    }
    if (!isSafeEntryName(name) || hasControlBytes(raw)) {
      report("tavo_updater: gecersiz girdi adi: %s\n", name);
      run->ok = false;
    } else if (entryIsDirectory(z, i)) {
      run->ok = makeDirectoryEntry(joinPath(run->hedef, name));
      if (!run->ok) report("tavo_updater: cikarma hatasi: %s\n", name);
    } else if (!isUpdaterItself(name)) {
      run->ok = installFile(z, i, name, run, &journalled, &made);
    }
  }
  return run->ok;
}
