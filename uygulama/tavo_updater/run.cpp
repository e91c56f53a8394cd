// The run sequence: validate, wait, install, report, roll back, clean up,
// relaunch.
#include "run.h"

#include <cstdio>
#include <string>
#include <vector>

#include "args.h"
#include "host.h"
#include "install.h"
#include "paths.h"
#include "rollback.h"
#include "zip_reader.h"

int runUpdate(int argc, const char* const* argv) {
  std::string zip = getArg(argc, argv, "--zip");
  std::string hedef = getArg(argc, argv, "--hedef");
  std::string pidS = getArg(argc, argv, "--pid");
  std::string exe = getArg(argc, argv, "--exe");
  if (zip.empty() || hedef.empty() || !fileExists(zip)) {
    std::fputs("tavo_updater: eksik/gecersiz arguman\n", stderr);
    return 2;
  }
  std::fputs("Tavonu guncelleme kuruluyor...\n", stdout);
  waitForHost(pidS);

  std::string yedekDir = hedef + "\\_guncelleme_yedek";
  makeDirs(yedekDir);
  BackupJournal yedekler;
  std::vector<std::string> yeniler;

  ZipArchive* z = openArchive(zip);
  if (z == nullptr) {
    std::fputs("tavo_updater: zip acilamadi\n", stderr);
    return 3;
  }
  bool ok = installEntries(z, hedef, yedekDir, &yedekler, &yeniler);
  closeArchive(z);

  bool keepBackup = false;
  if (ok) {
    std::fputs("Guncelleme tamam.\n", stdout);
  } else {
    std::fputs("Hata \xE2\x80\x94 geri aliniyor (rollback)...\n", stdout);
    keepBackup = !rollBack(yedekler, yeniler);
  }
  // A backup that could not be put back is the only copy of those files.
  if (keepBackup) {
    std::fprintf(stderr, "tavo_updater: geri alma tamamlanamadi, yedek korundu: %s\n",
                 yedekDir.c_str());
  } else {
    removeBackupDir(yedekDir);
  }
  relaunch(exe, hedef);
  return ok ? 0 : 4;
}
