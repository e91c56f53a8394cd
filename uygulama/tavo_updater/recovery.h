// Recovery of a run that was cut short (killed, or ended with its backup
// kept): its journal is replayed as a rollback by the next run.
#ifndef TAVO_UPDATER_RECOVERY_H
#define TAVO_UPDATER_RECOVERY_H

#include <string>

#include "outcome.h"

enum class Recovery { none, done, incomplete };

// When `yedekDir` holds a journal, says so on standard output and replays
// it over `hedef`: created files are deleted, backups moved back, old times
// put back; the result is forced to the disk. A journal whose plan was cut
// while it was written changes nothing. done: the installation is as before
// the interrupted run and the journal and backup are gone; incomplete:
// something could not be undone, everything is kept; none: no journal,
// nothing touched. After done the backup directory is left empty. Replaying again gives the same
// result. Adds the files deleted and put back to *counts when given.
Recovery recoverInterrupted(const std::string& hedef, const std::string& yedekDir,
                            FileCounts* counts = nullptr);

// Empties a backup directory that has no journal: it holds only files that
// an ended run superseded (the directory stays: the run's hold may be on
// it). True when nothing is left in it.
bool removeStaleBackup(const std::string& yedekDir);

#endif
