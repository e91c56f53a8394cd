// The run sequence of one update, from the command line to the exit code,
// and the values that live for the whole run.
#ifndef TAVO_UPDATER_RUN_H
#define TAVO_UPDATER_RUN_H

#include <string>
#include <vector>

#include "journal.h"

// The values of one run, passed to its stages.
struct Run {
  std::string zip, hedef, pidS, exe;  // the options
  std::string yedekDir;               // hedef + "\_guncelleme_yedek"
  BackupJournal yedekler;             // backed-up files, in order
  std::vector<std::string> yeniler;   // files the run created, in order
  JournalFile gunluk;                 // the same two lists on disk
  bool ok = false;                    // no entry has failed
};

// Runs an update (or, with --kurtar and no --zip, only the recovery of an
// interrupted one) as the command line asks; returns the exit code 0, 2, 3,
// 4, 5 or 6.
int runUpdate(int argc, const char* const* argv);

#endif
