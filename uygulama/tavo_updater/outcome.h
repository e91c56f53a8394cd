// The outcome of a run for the application started after it (--sonuc): a
// plain record that the stages fill, its JSON form, and the atomic write of
// that form, so that a reader finds the whole object or none.
#ifndef TAVO_UPDATER_OUTCOME_H
#define TAVO_UPDATER_OUTCOME_H

#include <cstdint>
#include <string>
#include <vector>

#include "platform.h"

// The milliseconds one stage of the run took.
struct StageTime {
  std::string stage;
  std::int64_t ms = 0;
};

// What the run did to files. `written`: files made or written over (each
// write of a name counts); `identical`: left as they were, the archive
// carrying the same bytes; `removed`: files deleted (the new files a
// rollback or recovery takes away); `restored`: old files that hold their
// backed-up content again after a rollback or recovery.
struct FileCounts {
  std::uint64_t written = 0, identical = 0, removed = 0, restored = 0;
};

struct Outcome {
  int code = 0;
  std::vector<std::string> messages;   // the lines written to stderr, without line ends
  std::string entry;                   // the entry that failed; "" when none
  std::vector<FileHolder> holders;     // the programs that held files
  std::string fromVersion, toVersion;  // from the release list; "" when unknown
  FileCounts counts;
  std::vector<StageTime> stages;  // in the order they ran
  std::int64_t stageStart = 0;    // when the stage under way began (outcomeClock)
};

// Milliseconds on a monotonic clock.
std::int64_t outcomeClock();

// Ends the stage under way: records `stage` with the time since
// outcome->stageStart, and starts the next one now.
void endStage(Outcome* outcome, const char* stage);

// `text` as a JSON string, quotes included: '"' and '\' escaped, control
// characters (and DEL) as \u00XX, well-formed UTF-8 as it is, and each byte
// that does not belong to a well-formed UTF-8 sequence as \ufffd.
std::string jsonString(const std::string& text);

// The outcome as one JSON object on one line, with its line end.
std::string outcomeJson(const Outcome& outcome);

// Writes outcomeJson(outcome) to `path` atomically: into `path`.tmp, forced
// to the disk, then renamed over `path`, and the rename forced to the disk.
// True when it is there; on a failure `path` is as it was.
bool writeOutcome(const std::string& path, const Outcome& outcome);

#endif
