// Rollback and backup removal.
#include "rollback.h"

#include "platform.h"

bool rollBack(const BackupJournal& yedekler, const std::vector<std::string>& yeniler) {
  // New files go first: a half-written file may hold the space the old
  // files need to come back.
  for (const std::string& t : yeniler) removeFile(t);
  bool restored = true;
  for (const auto& pair : yedekler)
    if (!copyFileOver(pair.second, pair.first)) restored = false;
  return restored;
}

void removeBackupDir(const std::string& yedekDir) { removeTree(yedekDir); }
