// Recovery of a run that was cut short (killed, or ended with its backup
// kept): its journal is replayed as a rollback by the next run.
#ifndef TAVO_UPDATER_RECOVERY_H
#define TAVO_UPDATER_RECOVERY_H

#include <string>

#include "outcome.h"

enum class Recovery { none, done, incomplete };

// When `yedekDir` holds a journal, says so on standard output and replays
// it over `hedef`: created files are deleted, backups moved back, old times
// put back; the result is forced to the disk, on every file system the run
// may have written. A journal whose plan was cut while it was written
// changes nothing. done: the installation is as before the interrupted run
// and the journal is gone (what is left in the backup directory is
// superseded); incomplete: something could not be undone, everything is
// kept; none: no journal, nothing touched. Replaying again gives the same
// result. The files removed and restored are counted into *counts.
Recovery recoverInterrupted(const std::string& hedef, const std::string& yedekDir,
                            FileCounts* counts);

// Empties a backup directory that has no journal: it holds only files that
// an ended run superseded (the directory stays: the run's hold may be on
// it). True when nothing is left in it. What cannot be removed is moved
// out of every backup path's way later, by the plan.
bool removeStaleBackup(const std::string& yedekDir);

#endif
