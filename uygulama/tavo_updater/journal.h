// The run's journal and the changes it records. Before its first change a
// run writes its plan (every name it may move aside, create or give another
// time, and every file system it may write) into a file inside the backup
// directory and forces it to the disk in one piece; a change the plan did
// not foresee is appended, and forced to the disk, before it is made. The
// journal is the one record of a run's changes: a run that fails, and the
// next run after one that was cut short, read it back as `Changes` and
// undo them. Records are self-delimiting and checked, so a torn one is
// recognised.
#ifndef TAVO_UPDATER_JOURNAL_H
#define TAVO_UPDATER_JOURNAL_H

#include <cstdint>
#include <string>
#include <vector>

#include "names.h"
#include "platform.h"

// A file backed up before it was replaced: moved aside, or (where it could
// not be moved) copied.
struct Backup {
  std::string target, backup;
  bool moved = true;
};

// An identical file that kept its content and was given the entry's time.
struct Retimed {
  std::string target;
  FileTime before;
};

// What a run may have changed, decoded from its journal, in order.
struct Changes {
  std::vector<Backup> yedekler;          // files moved aside or copied
  std::vector<std::string> yeniler;      // files the run created
  std::vector<Retimed> zamanlar;         // identical files given the entry's time
  std::vector<std::string> volumes;      // a directory on each file system written
  std::vector<std::string> removedDirs;  // directories a dropped file left empty, deepest first
};

// Record kinds: the plan's header (the number of plan records after it); a
// file the run may move aside (with the mark of the very file it would
// move); a file the run may create; a file whose time the run may change
// (with the old time); a directory on a file system the run may write
// (relative to the installation, "" for itself); a directory the run may
// remove when the files a release drops leave it empty. After the plan, a run
// appends one record for each backup it had to copy (with the copy's mark),
// forced to the disk before the original is changed, and a file to move
// aside or create where the plan found another file or none. Journals of earlier
// versions have no header, and their backups ('Y') no mark: each of their
// records was written after the change was ready to be undone, and they are
// replayed as they stand.
const char journalPlan = 'H';
const char journalBackedUp = 'Y';
const char journalMovedAside = 'B';
const char journalCopied = 'C';
const char journalCreated = 'N';
const char journalRetimed = 'T';
const char journalVolume = 'V';
const char journalRemovedDir = 'D';

struct JournalRecord {
  char kind;
  std::string name;  // relative to the installation and backup directories
  FileTime time;     // the old time ('T'); the record count ('H')
  std::string mark;  // the backed-up file's mark ('B', 'C')
};

// A journal as read back: its records after the header, and whether the
// plan is whole (false: it was cut while written, so nothing was changed).
struct JournalContent {
  std::vector<JournalRecord> records;
  bool whole = true;
};

// The journal of one run: its file (created with the plan) and, in
// `changes`, the file systems the run writes (`volumes`); what to undo is
// read back from the file (journalledChanges).
struct Journal {
  std::string path;
  FileHandle file = invalidHandle;
  Changes changes;
};

// `yedekDir`, '\', then the journal's name.
std::string journalPath(const std::string& yedekDir);

// What tells the very file at a backup path from another one there: its
// number on its file system and its size. The file system's own number is
// left out: it may change when the disk is mounted again after a cut.
std::string fileMark(const PathInfo& info);

// The bytes of one record: kind, payload length (4 bytes, little-endian),
// payload, then the FNV-1a hash of everything before it (4 bytes,
// little-endian). The payload is the name; a 'T' record puts the time
// (8 bytes of seconds, 4 of nanoseconds) before it, 'B' and 'C' records the
// mark's length (4 bytes) and the mark; an 'H' record is the count alone
// (4 bytes).
std::string encodeRecord(const JournalRecord& record);

// The records of a journal's bytes, up to the first one that is incomplete,
// of an unknown kind or fails its check; the rest is ignored.
JournalContent decodeJournal(const std::string& bytes);

// A plan's records as the journal keeps them, encoded one after another in
// pieces of about 64 KiB: written into the journal file as each piece fills
// once the plan is started there (a plan of many small files stays small
// in memory), kept until finishPlan otherwise.
struct PlanRecords {
  FileHandle file = invalidHandle;  // the journal file they go to, when started
  std::vector<std::string> pieces;  // not written yet
  std::uint64_t size = 0;           // bytes of all records
  std::uint32_t count = 0;
  bool failed = false;  // a piece could not be written
};

// Creates the journal file `journal->path` for a plan whose records go into
// it as they come: its header announces more records than a plan can have,
// so that until finishPlan the journal holds a plan cut short, which
// changes nothing. False when it cannot be created (the records are then
// kept in memory).
bool startPlan(Journal* journal, PlanRecords* records);

// Appends `record` to *records.
void addRecord(PlanRecords* records, const JournalRecord& record);

// Puts the whole plan in the journal file `journal->path` (created now when
// startPlan could not): the records not yet written, then the header with
// their number; and forces it, with its name, to the disk. True when it is
// there.
bool finishPlan(Journal* journal, PlanRecords* records);

// Closes and deletes a started journal file whose plan is not carried out.
void discardPlan(Journal* journal, PlanRecords* records);

// Appends `record` after the plan (a copied backup: 'C', with the copy's
// mark; a file to move aside or create that the plan did not foresee: 'B',
// 'N') and forces it to the disk. True when it is there.
bool noteChange(Journal* journal, const JournalRecord& record);

// The changes to undo for a journal's records over `hedef`, with the
// backups in `yedekDir`. Paths are rebuilt from the names relative to the
// directories, so a run that spells the installation directory differently
// still finds them. A name no run would have written is never acted on. A
// planned backup whose backup path holds no file with its mark (or the mark
// of its copy) was never made: its file was not moved. A restored file
// gets its own name back (Windows: its letter case, from the backup), once
// however many records name it. A planned directory removal that is missing
// was removed.
Changes changesToUndo(const JournalContent& content, const std::string& hedef,
                      const std::string& yedekDir);

// The changes to undo (changesToUndo) that the journal of `yedekDir`, if
// any, records over `hedef`; with no journal, none but the installation's
// volume. False when the journal is there but cannot be read.
bool journalledChanges(const std::string& hedef, const std::string& yedekDir, Changes* changes);

// Forces every file written, every rename and the journal to the disk, on
// every file system of `journal->changes.volumes`. True when all of it is
// there (the journal counts as there when it is not open).
bool flushChanges(Journal* journal);

// Closes the journal file if it is open.
void closeJournal(Journal* journal);

// Deletes the (closed) journal of `yedekDir` and forces its removal to the
// disk. False when it cannot be deleted.
bool removeJournal(const std::string& yedekDir);

// Deletes the backup directory with its contents; failures are ignored.
void removeBackupDir(const std::string& yedekDir);

#endif
