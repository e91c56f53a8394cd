// The values of one run, passed to its stages.
#ifndef TAVO_UPDATER_RUN_RECORD_H
#define TAVO_UPDATER_RUN_RECORD_H

#include <string>
#include <vector>

#include "journal.h"
#include "outcome.h"

struct Run {
  std::string zip, hedef, pidS, exe;  // the options
  std::string sonucYolu;              // --sonuc: where the outcome goes; "" none
  std::string yedekDir;               // hedef + "\_guncelleme_yedek"
  BackupJournal yedekler;             // files moved aside or copied, in order
  std::vector<std::string> yeniler;   // files the run created, in order
  std::vector<Retimed> zamanlar;      // identical files given the entry's time
  std::vector<std::string> volumes;   // a directory on each file system written
  JournalFile gunluk;                 // the plan on disk
  bool staleBackup = false;           // an old backup directory could not be removed
  bool ok = false;                    // no entry has failed
  Outcome sonuc;                      // what the run reports in sonucYolu
};

#endif
