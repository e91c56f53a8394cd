// The run sequence: validate, hold the installation directory, wait,
// recover an interrupted run, install, report, roll back, clean up,
// relaunch.
#include "run.h"

#include <cstdio>

#include "args.h"
#include "console.h"
#include "host.h"
#include "install.h"
#include "paths.h"
#include "recovery.h"
#include "rollback.h"
#include "zip_reader.h"

namespace {

void reportKeptBackup(const Run& run) {
  sayWith(stderr, "tavo_updater: geri alma tamamlanamadi, yedek korundu: %s\n", run.yedekDir);
}

// Installs the archive over an installation that holds no unfinished run.
int install(Run* run) {
  makeDirs(run->yedekDir);
  ZipArchive* z = openArchive(run->zip);
  if (z == nullptr) {
    say(stderr, "tavo_updater: zip acilamadi\n");
    return 3;
  }
  installEntries(z, run);
  closeArchive(z);

  bool keepBackup = false;
  if (run->ok) {
    say(stdout, "Guncelleme tamam.\n");
  } else {
    say(stdout, "Hata \xE2\x80\x94 geri aliniyor (rollback)...\n");
    keepBackup = !rollBack(run->yedekler, run->yeniler);
  }
  // A backup that could not be put back is the only copy of those files;
  // its journal stays beside it, so that the next run puts it back.
  closeJournal(&run->gunluk);
  if (keepBackup)
    reportKeptBackup(*run);
  else
    removeJournalAndBackup(run->yedekDir);
  return run->ok ? 0 : 4;
}

// Everything after the hold: the host wait, the recovery of an interrupted
// run and, unless only recovery was asked for, the installation. The
// relaunch is left to the caller.
int runHeld(Run* run, bool recoverOnly) {
  if (!recoverOnly) say(stdout, "Tavonu guncelleme kuruluyor...\n");
  waitForHost(run->pidS);
  if (recoverInterrupted(run->hedef, run->yedekDir) == Recovery::incomplete) {
    reportKeptBackup(*run);
    return 4;
  }
  return recoverOnly ? 0 : install(run);
}

}  // namespace

int runUpdate(int argc, const char* const* argv) {
  Run run;
  run.zip = getArg(argc, argv, "--zip");
  run.hedef = getArg(argc, argv, "--hedef");
  run.pidS = getArg(argc, argv, "--pid");
  run.exe = getArg(argc, argv, "--exe");
  std::string kurtar = getArg(argc, argv, "--kurtar");
  bool recoverOnly = run.zip.empty() && !kurtar.empty();
  if (recoverOnly) {
    run.hedef = kurtar;
  } else if (run.zip.empty() || run.hedef.empty() || !fileExists(run.zip)) {
    say(stderr, "tavo_updater: eksik/gecersiz arguman\n");
    return 2;
  }
  // One run per installation directory, from before the wait until its
  // backup is gone; a run never works unheld: one that cannot take the
  // hold stops as if another held it. An update makes the directory first,
  // and keeps the backup directory the hold may make (it removes it itself).
  if (!recoverOnly) makeDirs(run.hedef);
  run.yedekDir = run.hedef + "\\_guncelleme_yedek";
  DirectoryHold hold;
  if (holdDirectory(run.hedef, run.yedekDir, &hold) != HoldResult::held) {
    say(stderr, "tavo_updater: baska bir guncelleme calisiyor\n");
    return 5;
  }
  if (!recoverOnly) hold.madeDirectory.clear();
  int code = runHeld(&run, recoverOnly);
  // Given up before the relaunch: the application may start a recovery of
  // its own at once (after a kept backup), which must find it free.
  releaseDirectory(&hold);
  if (code != 3) relaunch(run.exe, run.hedef);
  return code;
}
