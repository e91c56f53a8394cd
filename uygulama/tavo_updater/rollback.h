// Undoing a run's changes: what a failed installation did, or what the
// journal of an interrupted one says it may have done.
#ifndef TAVO_UPDATER_ROLLBACK_H
#define TAVO_UPDATER_ROLLBACK_H

#include "journal.h"
#include "outcome.h"

// Deletes the files the run created, makes again the directories it removed,
// then moves every backup back over its
// target (copies it back where it cannot be moved), then gives files their
// old times back where they differ. True when every file holds its old
// content and time again and no new file is left. Counts the files removed
// and restored into *counts when it is given.
bool rollBack(const Changes& changes, FileCounts* counts = nullptr);

#endif
