// The plan of an installation: a look at the archive's central directory
// and at each target decides what every entry will do, before anything is
// changed (which files are written, moved aside, only retimed or left as
// they are), and gives the journal every name the run may touch.
#ifndef TAVO_UPDATER_PLAN_H
#define TAVO_UPDATER_PLAN_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "journal.h"
#include "platform.h"
#include "zip_reader.h"

// What an entry does: the installation stops, before it changes anything,
// at the first one whose name cannot be read, whose name is refused, whose
// target cannot be looked at (a name too long for the system), that has no
// backup place (a superseded file is in the way for good), or that shares
// its bytes with another entry or the central directory (then it is the
// only entry planned).
enum class Step : std::uint8_t {
  unreadable,
  refused,
  unlookable,
  noBackupPlace,
  overlapping,
  directory,
  skip,
  file
};

// True for the steps that stop the run.
bool stopsRun(Step step);

// What the run keeps of an entry between the plan and the install pass: a
// few bytes, so that an archive of many small files stays small in memory.
// Its name and facts are read again from the archive, its target looked at
// again; `mark` tells whether that look still finds the file the plan
// journalled.
struct PlannedEntry {
  std::uint32_t mark = 0;  // a hash of the target's fileMark, when it was a file
  Step step = Step::skip;
  bool existed = false;     // something was at the target (a file, or not)
  bool factsKnown = false;  // its size, CRC-32 and time can be read (entryFacts)
  bool shared = false;      // another entry's target was the same file
  bool identical = false;   // the target holds the entry's bytes (not shared)
  bool retime = false;      // identical, with another time than the entry's
  bool journalled = false;  // the journal has its records under its own name
};

// The hash that a PlannedEntry keeps of a file's mark.
std::uint32_t markHash(const PathInfo& info);

// Where an installation goes: the installation directory, its backup
// directory, whether that could not be emptied of superseded files, and
// whether the installation holds the publisher's key.
struct Installation {
  std::string hedef, yedekDir;
  bool staleBackup = false;
  bool keyed = false;
};

// What the new release drops: files (clean names) and the directories above
// them that it no longer names (deepest first), to go when they are empty.
struct Dropping {
  std::vector<std::string> files, dirs;
};

// A file the new release drops, moved aside like a replaced one.
struct Removal {
  std::string name;  // clean, relative to the installation
  PathInfo before;
};

// What is known of a directory on the way to the targets.
enum class DirState { missing, present, blocked };

struct Plan {
  std::vector<PlannedEntry> entries;  // up to the first that stops the run
  std::uint64_t firstIndex = 0;       // the archive index of entries[0]
  PlanRecords records;
  std::map<std::string, DirState> directories;
  std::map<std::string, std::string> volumes;           // file system -> a directory on it
  std::map<std::string, std::uint64_t> needs;           // file system -> bytes the run writes there
  std::map<std::string, std::string> directoryVolumes;  // present directory -> file system
  std::string backupVolume;                             // the backup directory's file system
  std::vector<Removal> removals;                        // dropped files that are there
  std::vector<std::string> emptiedDirs;  // directories they may leave empty, deepest first
  std::string held;        // the first file to move aside that stays held; "" when none
  std::string noPlaceFor;  // the first dropped file whose backup place stays taken
  int putAside = 0;        // superseded files moved out of the way
};

// Looks at every entry and its target below `to.hedef`, and at every file
// that `dropping` names, and fills *plan. Every file the run will move aside
// is tried for the move (canMoveAside); the first that stays held stops the
// plan (plan->held), as does a dropped file without a backup place
// (plan->noPlaceFor). Changes nothing in the installation; with
// `to.staleBackup` a superseded file at a backup place is removed, or moved
// out of every backup path's way.
void planEntries(ZipArchive* z, const Installation& to, const Dropping& dropping, Plan* plan);

// The first file system of `plan` that has less room than the run needs
// there: false, with a directory on it and both figures in bytes; true when
// each has room (or its room cannot be known).
bool roomEverywhere(const Plan& plan, std::string* directory, std::uint64_t* needed,
                    std::uint64_t* available);

#endif
