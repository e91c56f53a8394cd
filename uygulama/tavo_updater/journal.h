// The run's journal: what it backed up and what it created, in memory and
// in a file inside the backup directory, so that a run that was cut short
// can be undone by the next one. One record per file, self-delimiting and
// checked, so that a record torn by a kill is recognised and ignored.
#ifndef TAVO_UPDATER_JOURNAL_H
#define TAVO_UPDATER_JOURNAL_H

#include <string>
#include <utility>
#include <vector>

#include "platform.h"

// (target path, backup path) for every file backed up before it was replaced.
typedef std::vector<std::pair<std::string, std::string>> BackupJournal;

// Name of the journal file at the top of the backup directory. Entry names
// whose first component is this name are refused, so no backup copy can
// land on it; it is a valid 8.3 name, so Windows gives it no short alias.
const char* const journalFileName = "_gunluk.tvj";

// Record kinds: a file backed up (its old content is in the backup
// directory under the same relative name) and a file the run created.
const char journalBackedUp = 'Y';
const char journalCreated = 'N';

struct JournalRecord {
  char kind;
  std::string name;  // relative to the installation and backup directories
};

// The journal file of one run; it is created with its first record.
struct JournalFile {
  std::string path;
  OutputFile file = invalidHandle;
  bool failed = false;  // a write failed: nothing more is appended
};

// `yedekDir`, '\', then the journal's name.
std::string journalPath(const std::string& yedekDir);

// The bytes of one record: kind, name length (4 bytes, little-endian), name,
// then the FNV-1a hash of everything before it (4 bytes, little-endian).
std::string encodeRecord(const JournalRecord& record);

// The records of a journal's bytes, up to the first one that is incomplete,
// of an unknown kind or fails its check; the rest is ignored.
std::vector<JournalRecord> decodeJournal(const std::string& bytes);

// Appends one record, creating the file first when needed. True when the
// whole record was handed to the system; after a failure every later append
// fails too, so a torn record is always the last one.
bool appendRecord(JournalFile* journal, const JournalRecord& record);

// Closes the journal file if it is open.
void closeJournal(JournalFile* journal);

#endif
