// Rollback and backup removal.
#include "rollback.h"

#include "paths.h"
#include "platform.h"

bool rollBack(const BackupJournal& yedekler, const std::vector<std::string>& yeniler) {
  bool complete = true;
  // New files go first: a half-written file may hold the space the old
  // files need to come back. A new file that is still there afterwards
  // leaves the rollback incomplete (a path that is gone or is a directory
  // was never written by this run).
  for (const std::string& t : yeniler)
    if (!removeFile(t) && fileExists(t)) complete = false;
  // A restore that fails over a file that still holds its backed-up bytes
  // and attributes has nothing to put back: a held file, or a running
  // program, that the run never got to change.
  for (const auto& pair : yedekler)
    if (!copyFileOver(pair.second, pair.first) && !sameFileContent(pair.second, pair.first))
      complete = false;
  return complete;
}

void removeBackupDir(const std::string& yedekDir) { removeTree(yedekDir); }

bool removeJournalAndBackup(const std::string& yedekDir) {
  std::string path = journalPath(yedekDir);
  if (!removeFile(path) && fileExists(path)) return false;
  removeBackupDir(yedekDir);
  return true;
}
