// The run's journal: its plan (every name it may move aside, create or give
// another time), in memory and in a file inside the backup directory, so
// that a run that was cut short can be undone by the next one. The plan is
// written and forced to the disk in one piece before the first change.
// Records are self-delimiting and checked, so a torn one is recognised.
#ifndef TAVO_UPDATER_JOURNAL_H
#define TAVO_UPDATER_JOURNAL_H

#include <string>
#include <utility>
#include <vector>

#include "platform.h"

// A file backed up before it was replaced: moved aside, or (where it could
// not be moved) copied.
struct Backup {
  std::string target, backup;
  bool moved = true;
};
typedef std::vector<Backup> BackupJournal;

// An identical file that kept its content and was given the entry's time.
struct Retimed {
  std::string target;
  FileTime before;
};

// Name of the journal file at the top of the backup directory. Entry names
// whose first component is this name are refused, so no backup copy can
// land on it; it is a valid 8.3 name, so Windows gives it no short alias.
const char* const journalFileName = "_gunluk.tvj";

// Record kinds: the plan's header (the number of records after it); a file
// the run may back up (when its backup is in the backup directory under the
// same relative name, that is the old file); a file the run may create; a
// file whose time the run may change (with the old time). Journals of
// earlier versions have no header: each of their records was written after
// the change was ready to be undone, and they are replayed as they stand.
const char journalPlan = 'H';
const char journalBackedUp = 'Y';
const char journalCreated = 'N';
const char journalRetimed = 'T';

struct JournalRecord {
  char kind;
  std::string name;  // relative to the installation and backup directories
  FileTime time;     // the old time ('T'); the record count ('H')
};

// A journal as read back: its records after the header, and whether the
// plan is whole (false: it was cut while written, so nothing was changed).
struct JournalContent {
  std::vector<JournalRecord> records;
  bool whole = true;
};

// The journal file of one run; it is created with its first record.
struct JournalFile {
  std::string path;
  OutputFile file = invalidHandle;
  bool failed = false;  // a write failed: nothing more is appended
};

// `yedekDir`, '\', then the journal's name.
std::string journalPath(const std::string& yedekDir);

// The bytes of one record: kind, payload length (4 bytes, little-endian),
// payload, then the FNV-1a hash of everything before it (4 bytes,
// little-endian). The payload is the name; a 'T' record puts the time
// (8 bytes of seconds, 4 of nanoseconds) before it, an 'H' record is the
// count alone (4 bytes).
std::string encodeRecord(const JournalRecord& record);

// The records of a journal's bytes, up to the first one that is incomplete,
// of an unknown kind or fails its check; the rest is ignored.
JournalContent decodeJournal(const std::string& bytes);

// Creates the journal file with the plan (a header and `records`) and forces
// it, with its name, to the disk. True when it is there.
bool writePlan(JournalFile* journal, const std::vector<JournalRecord>& records);

// Forces the journal file (and with it what the file system logged before
// it) to the disk; true when no journal is open.
bool flushJournal(JournalFile* journal);

// Closes the journal file if it is open.
void closeJournal(JournalFile* journal);

#endif
