// The entry loop: directories are created, the updater's own executable is
// skipped, and every file is journalled before it is written.
#include "install.h"

#include <cstdio>
#include <set>

#include "names.h"
#include "paths.h"
#include "platform.h"

namespace {

void report(const char* format, const std::string& name) {
  std::fprintf(stderr, format, name.c_str());
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

// Handles one file entry; false when the run must stop.
bool installFile(ZipArchive* z, std::uint64_t i, const std::string& name, const std::string& hedef,
                 const std::string& yedekDir, BackupJournal* yedekler,
                 std::vector<std::string>* yeniler, std::set<std::string>* journalled,
                 std::set<std::string>* made) {
  std::string t = joinPath(hedef, name);
  makeParentDirsOnce(t, made);
  if (fileExists(t)) {
    // Only the file this run wrote counts as journalled: another name of
    // the old file (a hard link) still needs a backup of its own.
    if (!alreadyJournalled(t, *journalled)) {
      std::string yb = joinPath(yedekDir, name);
      makeParentDirsOnce(yb, made);
      if (!copyFileOver(t, yb)) {
        report("tavo_updater: yedek alinamadi: %s\n", name);
        return false;
      }
      yedekler->emplace_back(t, yb);
    }
  } else {
    yeniler->push_back(t);
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

bool installEntries(ZipArchive* z, const std::string& hedef, const std::string& yedekDir,
                    BackupJournal* yedekler, std::vector<std::string>* yeniler) {
  std::set<std::string> journalled;
  std::set<std::string> made;
  bool ok = true;
  std::uint64_t n = entryCount(z);
  for (std::uint64_t i = 0; i < n && ok; ++i) {
    std::string name, raw;
    if (!entryName(z, i, &name) || !entryRawName(z, i, &raw)) {
      ok = false;
      break;
    }
    if (!isSafeEntryName(name) || hasControlBytes(raw)) {
      report("tavo_updater: gecersiz girdi adi: %s\n", name);
      ok = false;
    } else if (entryIsDirectory(z, i)) {
      ok = makeDirectoryEntry(joinPath(hedef, name));
      if (!ok) report("tavo_updater: cikarma hatasi: %s\n", name);
    } else if (!isUpdaterItself(name)) {
      ok = installFile(z, i, name, hedef, yedekDir, yedekler, yeniler, &journalled, &made);
    }
  }
  return ok;
}
