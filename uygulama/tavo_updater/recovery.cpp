// Recovery of an interrupted run from the journal it left on disk.
#include "recovery.h"

#include <cstdio>

#include "console.h"
#include "constants.h"
#include "journal.h"
#include "paths.h"
#include "platform.h"
#include "rollback.h"

Recovery recoverInterrupted(const std::string& hedef, const std::string& yedekDir,
                            FileCounts* counts) {
  std::string path = journalPath(yedekDir);
  if (!fileExists(path)) return Recovery::none;
  say(stdout, sayRecovering);
  // A plan cut while it was written changes nothing: nothing was changed
  // yet. Every file system the run may have written is flushed before the
  // journal goes.
  Journal journal;
  if (!journalledChanges(hedef, yedekDir, &journal.changes) || !rollBack(journal.changes, counts) ||
      !flushChanges(&journal) || !removeJournal(yedekDir))
    return Recovery::incomplete;
  return Recovery::done;
}

bool removeStaleBackup(const std::string& yedekDir) {
  PathInfo info;
  if (!lookAt(yedekDir, &info) || info.kind == PathKind::missing) return true;
  return info.kind == PathKind::directory ? emptyDirectory(yedekDir) : removeTree(yedekDir);
}
