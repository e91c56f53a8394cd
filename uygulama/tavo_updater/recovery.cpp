// Recovery of an interrupted run from the journal it left on disk.
#include "recovery.h"

#include <cstdio>

#include "console.h"
#include "journal.h"
#include "names.h"
#include "paths.h"
#include "platform.h"
#include "rollback.h"

namespace {

// The lists a rollback needs, from the journal's records. Paths are rebuilt
// from the names relative to the directories, so a run that spells the
// installation directory differently still finds them. A name no run would
// have written is never acted on. A planned backup that is not in the
// backup directory was never made: its file was not moved.
void undoLists(const std::vector<JournalRecord>& records, const std::string& hedef,
               const std::string& yedekDir, BackupJournal* yedekler,
               std::vector<std::string>* yeniler, std::vector<Retimed>* zamanlar) {
  for (const JournalRecord& record : records) {
    if (!isSafeEntryName(record.name)) continue;
    std::string t = joinPath(hedef, record.name);
    if (record.kind == journalCreated) {
      yeniler->push_back(t);
    } else if (record.kind == journalRetimed) {
      zamanlar->push_back({t, record.time});
    } else if (fileExists(joinPath(yedekDir, record.name))) {
      yedekler->push_back({t, joinPath(yedekDir, record.name), true});
    }
  }
}

}  // namespace

Recovery recoverInterrupted(const std::string& hedef, const std::string& yedekDir,
                            FileCounts* counts) {
  std::string path = journalPath(yedekDir);
  if (!fileExists(path)) return Recovery::none;
  say(stdout, "Yarim kalan guncelleme geri aliniyor...\n");
  std::string bytes;
  if (!readWholeFile(path, &bytes)) return Recovery::incomplete;
  // A plan cut while it was written: nothing was changed yet.
  JournalContent content = decodeJournal(bytes);
  BackupJournal yedekler;
  std::vector<std::string> yeniler;
  std::vector<Retimed> zamanlar;
  if (content.whole) undoLists(content.records, hedef, yedekDir, &yedekler, &yeniler, &zamanlar);
  if (!rollBack(yedekler, yeniler, zamanlar, counts) || !syncVolumes({hedef}))
    return Recovery::incomplete;
  // The backup directory itself stays: the run's hold may be on it.
  if (!removeJournal(yedekDir)) return Recovery::incomplete;
  emptyDirectory(yedekDir);
  return Recovery::done;
}

bool removeStaleBackup(const std::string& yedekDir) {
  bool isDirectory = false;
  if (!pathAttributes(yedekDir, &isDirectory)) return true;
  return isDirectory ? emptyDirectory(yedekDir) : removeTree(yedekDir);
}
