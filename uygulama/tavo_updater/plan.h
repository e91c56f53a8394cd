// The plan of an installation: one look at the archive's central directory
// and at each target decides what every entry will do, before anything is
// changed, and gives the journal every name the run may touch.
#ifndef TAVO_UPDATER_PLAN_H
#define TAVO_UPDATER_PLAN_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "journal.h"
#include "platform.h"
#include "run_record.h"
#include "zip_reader.h"

// What an entry does: the installation stops at the first one that cannot
// be read, is refused, has no backup place (a stale one is in the way), or
// shares its bytes with another entry or the central directory (then it is
// the only entry planned, so nothing is written).
enum class Step { unreadable, refused, noBackupPlace, overlapping, directory, skip, file };

struct PlannedEntry {
  std::uint64_t index = 0;
  std::string name;  // as stored, decoded
  Step step = Step::skip;
  EntryFacts facts;         // file entries
  bool factsKnown = false;  // false: the extraction refuses the entry
  PathInfo before;          // the target as it was
  bool shared = false;      // another entry's target was the same file
};

// What is known of a directory on the way to the targets.
enum class DirState { missing, present, blocked };

struct Plan {
  std::vector<PlannedEntry> entries;  // up to the first that stops the run
  std::vector<JournalRecord> records;
  std::map<std::string, DirState> directories;
  std::map<std::string, std::string> volumes;  // file system -> a directory on it
};

// Looks at every entry and target for `run` (hedef, yedekDir) and fills
// *plan. Changes nothing, except removing a stale file at a backup place
// when run.staleBackup says an old backup directory could not be removed.
void planEntries(ZipArchive* z, const Run& run, Plan* plan);

// The entry's name as it is joined below hedef and yedekDir.
std::string relativeName(const std::string& name);

#endif
