// Rollback.
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

bool rollBack(const Changes& changes, FileCounts* counts) {
  FileCounts unused;
  if (counts == nullptr) counts = &unused;
  bool complete = true;
  // New files go first: a half-written file may hold the space the old
  // files need to come back. A new file that is still there afterwards
  // leaves the rollback incomplete (a path that is gone or is a directory
  // was never written by this run).
  for (const std::string& t : changes.yeniler) {
    if (removeFile(t))
      ++counts->removed;
    else if (fileExists(t))
      complete = false;
  }
  // Directories the run removed come back before the files moved out of them.
  for (auto dir = changes.removedDirs.rbegin(); dir != changes.removedDirs.rend(); ++dir)
    createDirectory(*dir);
  for (const Backup& b : changes.yedekler) {
    if (restore(b))
      ++counts->restored;
    else
      complete = false;
  }
  // After the moves back, every file with a recorded time is its old file.
  for (const Retimed& r : changes.zamanlar)
    if (!retimeBack(r)) complete = false;
  return complete;
}
