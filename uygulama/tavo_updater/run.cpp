// The run sequence: validate, hold the installation directory, wait,
// recover an interrupted run, install, report, roll back, clean up,
// relaunch.
#include "run.h"

#include <cstdio>

#include "args.h"
#include "console.h"
#include "constants.h"
#include "host.h"
#include "install.h"
#include "journal.h"
#include "names.h"
#include "outcome.h"
#include "paths.h"
#include "platform.h"
#include "recovery.h"
#include "rollback.h"
#include "signature.h"
#include "zip_reader.h"

namespace {

// The values of one run: the options, and the backup directory.
struct Options {
  std::string zip, hedef, pidS, exe;
  std::string sonucYolu;  // --sonuc: where the outcome goes; "" for nowhere
  std::string yedekDir;   // hedef + "\_guncelleme_yedek"
};

void reportKeptBackup(const Options& run, Outcome* sonuc) {
  sayWith(stderr, errBackupKept, run.yedekDir, &sonuc->messages);
}

// Installs the archive over an installation that holds no unfinished run;
// `staleBackup` when its backup directory could not be emptied.
ExitCode install(const Options& run, bool staleBackup, Outcome* sonuc) {
  // The archive is opened once, checked against the installation's key (when
  // it has one) before anything is written, and read through that handle;
  // every later read of a signed archive is checked against the digests of
  // the bytes whose signature was checked.
  InputFile archive;
  ArchiveDigests digests;
  bool keyed = false;
  if (!openVerifiedArchive(run.hedef, run.zip, &archive, &keyed, &digests)) {
    say(stderr, errSignature, &sonuc->messages);
    return exitRefused;
  }
  endStage(sonuc, "imza");
  ZipArchive* z = openArchiveFrom(archive, keyed ? &digests : nullptr);
  if (digests.mismatched) {
    if (z != nullptr) closeArchive(z);
    closeInputFile(&archive);
    say(stderr, errSignature, &sonuc->messages);
    return exitRefused;
  }
  bool madeBackupDir = createDirectory(run.yedekDir);
  if (z == nullptr) {
    closeInputFile(&archive);
    say(stderr, errCannotOpen, &sonuc->messages);
    return exitCannotOpen;
  }
  Journal gunluk;
  Installed installed =
      installEntries(z, {run.hedef, run.yedekDir, staleBackup, keyed}, &gunluk, sonuc);
  closeArchive(z);
  // Not begun: nothing to undo; the application may try again later, or the
  // archive is refused.
  if (installed == Installed::notNow || installed == Installed::refused) {
    closeInputFile(&archive);
    if (madeBackupDir) removeDirectory(run.yedekDir);
    return installed == Installed::notNow ? exitNotNow : exitRefused;
  }
  bool ok = installed == Installed::done;
  // A signed archive that read differently during the entries undoes the run.
  if (digests.mismatched) {
    say(stderr, errSignature, &sonuc->messages);
    ok = false;
  }
  closeInputFile(&archive);
  endStage(sonuc, "kurulum");
  // Every file written and every rename is on the disk before the run
  // counts as done; one that is not is undone. The journal's own flush
  // ends it on the installation's volume where a directory cannot be
  // flushed.
  if (ok) {
    ok = flushChanges(&gunluk);
    endStage(sonuc, "diske_yazma");
  }
  bool keepBackup = false;
  // What to undo is read back from the journal, as a recovery reads it.
  closeJournal(&gunluk);
  if (!ok) {
    say(stdout, sayRollingBack);
    keepBackup = !journalledChanges(run.hedef, run.yedekDir, &gunluk.changes) ||
                 !rollBack(gunluk.changes, &sonuc->counts) || !flushChanges(&gunluk);
    endStage(sonuc, "geri_alma");
  }
  // A backup that could not be put back is the only copy of those files;
  // its journal stays beside it, so that the next run puts it back.
  if (keepBackup) {
    reportKeptBackup(run, sonuc);
    return exitFailed;
  }
  // Success is reported once the journal's removal is on the disk, so that
  // a reported success never comes undone. A journal that cannot be removed
  // keeps its backup: the next run puts the old version back.
  bool ended = removeJournal(run.yedekDir);
  if (ok) say(stdout, sayDone);
  if (ended) removeBackupDir(run.yedekDir);
  endStage(sonuc, "temizlik");
  return ok ? exitOk : exitFailed;
}

// Everything after the hold: the host wait, the recovery of an interrupted
// run and, unless only recovery was asked for, the installation. The
// relaunch is left to the caller.
ExitCode runHeld(const Options& run, bool recoverOnly, Outcome* sonuc) {
  if (!recoverOnly) say(stdout, sayBanner);
  waitForHost(run.pidS);
  endStage(sonuc, "bekleme");
  Recovery recovery = recoverInterrupted(run.hedef, run.yedekDir, &sonuc->counts);
  // A backup directory without a journal (also once a recovery has removed
  // it) holds superseded files only.
  bool staleBackup = recovery != Recovery::incomplete && !removeStaleBackup(run.yedekDir);
  endStage(sonuc, "kurtarma");
  if (recovery == Recovery::incomplete) {
    reportKeptBackup(run, sonuc);
    return exitFailed;
  }
  if (!recoverOnly) return install(run, staleBackup, sonuc);
  // The end of a recovery's run: the emptied backup directory goes last.
  removeBackupDir(run.yedekDir);
  endStage(sonuc, "temizlik");
  return exitOk;
}

// Ends a run that got past the argument check with `code`: the outcome goes
// where --sonuc asks, before the application is started again.
ExitCode finish(const Options& run, Outcome* sonuc, ExitCode code) {
  sonuc->code = code;
  if (!run.sonucYolu.empty()) writeOutcome(run.sonucYolu, *sonuc);
  return code;
}

}  // namespace

int runUpdate(int argc, const char* const* argv) {
  Options run;
  run.zip = getArg(argc, argv, "--zip");
  run.hedef = getArg(argc, argv, "--hedef");
  run.pidS = getArg(argc, argv, "--pid");
  run.exe = getArg(argc, argv, "--exe");
  run.sonucYolu = getArg(argc, argv, "--sonuc");
  std::string kurtar = getArg(argc, argv, "--kurtar");
  bool recoverOnly = run.zip.empty() && !kurtar.empty();
  if (recoverOnly) {
    run.hedef = kurtar;
  } else if (run.zip.empty() || run.hedef.empty() || !fileExists(run.zip)) {
    say(stderr, errBadArguments);
    return exitBadArguments;
  }
  Outcome sonuc;
  sonuc.stageStart = outcomeClock();
  // One run per installation directory, from before the wait until its
  // backup is gone; a run never works unheld: one that cannot take the
  // hold stops as if another held it. An update makes the directory first,
  // and keeps the backup directory the hold may make (it removes it itself).
  if (!recoverOnly) makeDirs(run.hedef);
  run.yedekDir = run.hedef + "\\" + backupDirName;
  // A recovery of a directory that is not there has nothing to hold or do.
  PathInfo there;
  if (recoverOnly && !(lookAt(run.hedef, &there) && there.kind != PathKind::missing)) {
    finish(run, &sonuc, exitOk);
    relaunch(run.exe, run.hedef);
    return exitOk;
  }
  DirectoryHold hold;
  if (holdDirectory(run.hedef, run.yedekDir, &hold) != HoldResult::held) {
    say(stderr, errBusy, &sonuc.messages);
    return finish(run, &sonuc, exitBusy);
  }
  ExitCode code = runHeld(run, recoverOnly, &sonuc);
  // A backup directory the hold made goes with it, unless the run left it
  // (an archive that cannot be opened leaves it, empty).
  if (!recoverOnly && code != exitRefused && code != exitNotNow) hold.madeDirectory.clear();
  // Given up before the relaunch: the application may start a recovery of
  // its own at once (after a kept backup), which must find it free.
  releaseDirectory(&hold);
  finish(run, &sonuc, code);
  if (code != exitCannotOpen) relaunch(run.exe, run.hedef);
  return code;
}
