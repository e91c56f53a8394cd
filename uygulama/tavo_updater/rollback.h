// Undoing a failed installation from its journal, and removing the backup.
#ifndef TAVO_UPDATER_ROLLBACK_H
#define TAVO_UPDATER_ROLLBACK_H

#include <string>
#include <vector>

#include "journal.h"

// Deletes the files the run created, then copies every backup back over its
// target. True when every restore copy succeeded and no new file is left.
bool rollBack(const BackupJournal& yedekler, const std::vector<std::string>& yeniler);

// Deletes the backup directory with its contents; failures are ignored.
void removeBackupDir(const std::string& yedekDir);

// Ends a run whose changes stand (installed, or completely undone): deletes
// the (closed) journal, then the backup directory. A kill between the
// two leaves a backup directory without a journal, which nothing replays.
// False, with the backup left whole, when the journal cannot be deleted.
bool removeJournalAndBackup(const std::string& yedekDir);

#endif
