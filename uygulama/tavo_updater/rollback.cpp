// Rollback, and the end of a run.
#include "rollback.h"

#include "paths.h"
#include "platform.h"

namespace {

// Puts one backup back. A failed restore over a file that still holds its
// backed-up bytes and attributes has nothing to put back: a held file, or
// a running program, that the run never got to change.
bool restore(const Backup& b) {
  if (moveFile(b.backup, b.target, true)) return true;
  return copyFileOver(b.backup, b.target) || sameFileContent(b.backup, b.target);
}

// Gives `r.target` its old time when it holds another.
bool retimeBack(const Retimed& r) {
  PathInfo info;
  if (!lookAt(r.target, &info)) return false;
  return info.kind != PathKind::file || info.modified == r.before ||
         setFileTimes(r.target, r.before);
}

}  // namespace

bool rollBack(const BackupJournal& yedekler, const std::vector<std::string>& yeniler,
              const std::vector<Retimed>& zamanlar, FileCounts* counts) {
  FileCounts unused;
  if (counts == nullptr) counts = &unused;
  bool complete = true;
  // New files go first: a half-written file may hold the space the old
  // files need to come back. A new file that is still there afterwards
  // leaves the rollback incomplete (a path that is gone or is a directory
  // was never written by this run).
  for (const std::string& t : yeniler) {
    if (removeFile(t))
      ++counts->removed;
    else if (fileExists(t))
      complete = false;
  }
  for (const Backup& b : yedekler) {
    if (restore(b))
      ++counts->restored;
    else
      complete = false;
  }
  // After the moves back, every file with a recorded time is its old file.
  for (const Retimed& r : zamanlar)
    if (!retimeBack(r)) complete = false;
  return complete;
}

bool syncVolumes(const std::vector<std::string>& volumes) {
  bool synced = true;
  for (const std::string& volume : volumes) synced = syncVolume(volume) && synced;
  return synced;
}

void removeBackupDir(const std::string& yedekDir) { removeTree(yedekDir); }

bool removeJournal(const std::string& yedekDir) {
  std::string path = journalPath(yedekDir);
  if (!removeFile(path) && fileExists(path)) return false;
  // The journal must be gone on the disk before any backup is: a cut in
  // between would otherwise find a journal whose backups are half removed.
  syncDirectory(yedekDir);
  return true;
}
