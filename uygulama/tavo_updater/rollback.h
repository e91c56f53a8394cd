// Undoing a failed installation from its journal, and ending a run: its
// changes forced to the disk, then the journal and the backup removed.
#ifndef TAVO_UPDATER_ROLLBACK_H
#define TAVO_UPDATER_ROLLBACK_H

#include <string>
#include <vector>

#include "journal.h"
#include "outcome.h"

// Deletes the files the run created, then moves every backup back over its
// target (copies it back where it cannot be moved), then gives files their
// old times back where they differ. True when every file holds its old
// content and time again and no new file is left. Adds the files deleted
// and put back to *counts when given.
bool rollBack(const BackupJournal& yedekler, const std::vector<std::string>& yeniler,
              const std::vector<Retimed>& zamanlar = {}, FileCounts* counts = nullptr);

// Forces what was written to each file system of `volumes` (one directory on
// each) to the disk. True when every one is there.
bool syncVolumes(const std::vector<std::string>& volumes);

// Deletes the backup directory with its contents; failures are ignored.
void removeBackupDir(const std::string& yedekDir);

// Deletes the (closed) journal and forces its removal to the disk. False
// when it cannot be deleted.
bool removeJournal(const std::string& yedekDir);

#endif
