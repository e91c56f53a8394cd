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
#include "platform.h"
#include "recovery.h"
#include "rollback.h"
#include "signature.h"
#include "zip_reader.h"

namespace {

void reportKeptBackup(const Run& run) {
  sayWith(stderr, "tavo_updater: geri alma tamamlanamadi, yedek korundu: %s\n", run.yedekDir);
}

// Installs the archive over an installation that holds no unfinished run.
int install(Run* run) {
  // The archive is opened once, checked against the installation's key (when
  // it has one) before anything is written, and read through that handle;
  // every later read of a signed archive is checked against the digests of
  // the bytes whose signature was checked.
  InputFile archive;
  ArchiveDigests digests;
  bool keyed = false;
  if (!openVerifiedArchive(run->hedef, run->zip, &archive, &keyed, &digests)) {
    say(stderr, "tavo_updater: imza dogrulanamadi\n");
    return 6;
  }
  ZipArchive* z = openArchiveFrom(archive, keyed ? &digests : nullptr);
  if (digests.mismatched) {
    if (z != nullptr) closeArchive(z);
    closeInputFile(&archive);
    say(stderr, "tavo_updater: imza dogrulanamadi\n");
    return 6;
  }
  createDirectory(run->yedekDir);
  if (z == nullptr) {
    closeInputFile(&archive);
    say(stderr, "tavo_updater: zip acilamadi\n");
    return 3;
  }
  installEntries(z, run);
  closeArchive(z);
  // A signed archive that read differently during the entries undoes the run.
  if (digests.mismatched) {
    say(stderr, "tavo_updater: imza dogrulanamadi\n");
    run->ok = false;
  }
  closeInputFile(&archive);
  // Every file written and every rename is on the disk before the run
  // counts as done; one that is not is undone. The journal's own flush
  // ends it on the installation's volume where a directory cannot be
  // flushed.
  if (run->ok) run->ok = syncVolumes(run->volumes) && flushJournal(&run->gunluk);

  bool keepBackup = false;
  if (!run->ok) {
    say(stdout, "Hata \xE2\x80\x94 geri aliniyor (rollback)...\n");
    keepBackup = !rollBack(run->yedekler, run->yeniler, run->zamanlar) ||
                 !syncVolumes(run->volumes) || !flushJournal(&run->gunluk);
  }
  // A backup that could not be put back is the only copy of those files;
  // its journal stays beside it, so that the next run puts it back.
  closeJournal(&run->gunluk);
  if (keepBackup) {
    reportKeptBackup(*run);
    return 4;
  }
  // Success is reported once the journal's removal is on the disk, so that
  // a reported success never comes undone. A journal that cannot be removed
  // keeps its backup: the next run puts the old version back.
  bool ended = removeJournal(run->yedekDir);
  if (run->ok) say(stdout, "Guncelleme tamam.\n");
  if (ended) removeBackupDir(run->yedekDir);
  return run->ok ? 0 : 4;
}

// Everything after the hold: the host wait, the recovery of an interrupted
// run and, unless only recovery was asked for, the installation. The
// relaunch is left to the caller.
int runHeld(Run* run, bool recoverOnly) {
  if (!recoverOnly) say(stdout, "Tavonu guncelleme kuruluyor...\n");
  waitForHost(run->pidS);
  Recovery recovery = recoverInterrupted(run->hedef, run->yedekDir);
  if (recovery == Recovery::incomplete) {
    reportKeptBackup(*run);
    return 4;
  }
  // A backup directory without a journal holds superseded files only.
  if (recovery == Recovery::none) run->staleBackup = !removeStaleBackup(run->yedekDir);
  if (!recoverOnly) return install(run);
  // The end of a recovery's run: the emptied backup directory goes last.
  removeBackupDir(run->yedekDir);
  return 0;
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
  // A recovery of a directory that is not there has nothing to hold or do.
  bool isDirectory = false;
  if (recoverOnly && !pathAttributes(run.hedef, &isDirectory)) {
    relaunch(run.exe, run.hedef);
    return 0;
  }
  DirectoryHold hold;
  if (holdDirectory(run.hedef, run.yedekDir, &hold) != HoldResult::held) {
    say(stderr, "tavo_updater: baska bir guncelleme calisiyor\n");
    return 5;
  }
  int code = runHeld(&run, recoverOnly);
  // A backup directory the hold made goes with it, unless the run left it
  // (an archive that cannot be opened leaves it, empty).
  if (!recoverOnly && code != 6) hold.madeDirectory.clear();
  // Given up before the relaunch: the application may start a recovery of
  // its own at once (after a kept backup), which must find it free.
  releaseDirectory(&hold);
  if (code != 3) relaunch(run.exe, run.hedef);
  return code;
}
