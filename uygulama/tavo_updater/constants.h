// The updater's fixed values, each defined once: its exit codes, the names
// it keeps in an installation, and every line it writes. Callers, scripts,
// the stand-in application and the tests rely on them byte for byte.
#ifndef TAVO_UPDATER_CONSTANTS_H
#define TAVO_UPDATER_CONSTANTS_H

#include <string>

// Exit codes. A code is never renumbered.
enum ExitCode {
  exitOk = 0,            // every entry installed (or nothing to recover)
  exitBadArguments = 2,  // --zip or --hedef missing or empty, or no such archive
  exitCannotOpen = 3,    // the archive cannot be opened
  exitFailed = 4,        // an entry failed and the run was undone (or a backup is kept)
  exitBusy = 5,          // another run holds the installation directory
  exitRefused = 6,       // the archive is refused; nothing touched
  exitNotNow = 7,        // not now (no room, a file held); nothing touched, try again later
};

// The backup directory's name in the installation directory. Inside the
// backup directory the same name holds the run's own files (a copy being
// made, superseded files put out of the way): no entry's backup can be
// there, since entry names may not begin with it.
const char* const backupDirName = "_guncelleme_yedek";

// Name of the journal file at the top of the backup directory. Entry names
// whose first component is this name are refused, so no backup copy can
// land on it; it is a valid 8.3 name, so Windows gives it no short alias.
const char* const journalFileName = "_gunluk.tvj";

// The publisher's public key in an installation: with it, only archives
// signed by that key are taken.
const char* const trustedKeyName = "tavo_updater.pub";

// The release list's entry name at the top of an archive (and of an
// installation).
const char* const releaseListName = "tavo_updater.liste";

// Standard output, each line as it is written.
const char* const sayBanner = "Tavonu guncelleme kuruluyor...\n";
const char* const sayRecovering = "Yarim kalan guncelleme geri aliniyor...\n";
const char* const sayDone = "Guncelleme tamam.\n";
const char* const sayRollingBack = "Hata \xE2\x80\x94 geri aliniyor (rollback)...\n";

// Standard error; "%s" stands for the one value a line names.
const char* const errBadArguments = "tavo_updater: eksik/gecersiz arguman\n";
const char* const errCannotOpen = "tavo_updater: zip acilamadi\n";
const char* const errExtraction = "tavo_updater: cikarma hatasi: %s\n";
const char* const errInvalidName = "tavo_updater: gecersiz girdi adi: %s\n";
const char* const errNoBackup = "tavo_updater: yedek alinamadi: %s\n";
const char* const errBackupKept = "tavo_updater: geri alma tamamlanamadi, yedek korundu: %s\n";
const char* const errJournal = "tavo_updater: gunluk yazilamadi: %s\n";
const char* const errBusy = "tavo_updater: baska bir guncelleme calisiyor\n";
const char* const errSignature = "tavo_updater: imza dogrulanamadi\n";
const char* const errNoSpace = "tavo_updater: yetersiz disk alani: %s\n";
const char* const errHeld = "tavo_updater: dosya kullanimda: %s\n";
const char* const errInvalidList = "tavo_updater: gecersiz liste: %s\n";
const char* const errOtherProduct = "tavo_updater: baska urun: %s\n";
const char* const errOlderRelease = "tavo_updater: eski surum: %s\n";
const char* const errNoList = "tavo_updater: liste yok (kurulu %s)\n";

// `line` with its "%s" replaced by `value`, as the program writes it.
inline std::string lineWith(const char* line, const std::string& value) {
  std::string text = line;
  std::string::size_type at = text.find("%s");
  return at == std::string::npos ? text : text.replace(at, 2, value);
}

#endif
