// Recovery of an interrupted run from the journal it left on disk.
#include "recovery.h"

#include <cstdio>

#include "console.h"
#include "journal.h"
#include "names.h"
#include "paths.h"
#include "platform.h"
#include "rollback.h"

Recovery recoverInterrupted(const std::string& hedef, const std::string& yedekDir) {
  std::string path = journalPath(yedekDir);
  if (!fileExists(path)) return Recovery::none;
  say(stdout, "Yarim kalan guncelleme geri aliniyor...\n");
  std::string bytes;
  if (!readWholeFile(path, &bytes)) return Recovery::incomplete;
  // Paths are rebuilt from the names relative to the directories, so a run
  // that spells the installation directory differently still finds them.
  // A name no run would have written is never acted on.
  BackupJournal yedekler;
  std::vector<std::string> yeniler;
  for (const JournalRecord& record : decodeJournal(bytes)) {
    if (!isSafeEntryName(record.name)) continue;
    if (record.kind == journalCreated)
      yeniler.push_back(joinPath(hedef, record.name));
    else
      yedekler.emplace_back(joinPath(hedef, record.name), joinPath(yedekDir, record.name));
  }
  if (!rollBack(yedekler, yeniler)) return Recovery::incomplete;
  return removeJournalAndBackup(yedekDir) ? Recovery::done : Recovery::incomplete;
}
