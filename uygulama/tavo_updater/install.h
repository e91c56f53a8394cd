// Installation of the archive's entries over the installation directory:
// the plan is written to the journal and forced to the disk, then carried
// out entry by entry.
#ifndef TAVO_UPDATER_INSTALL_H
#define TAVO_UPDATER_INSTALL_H

#include <string>

#include "journal.h"
#include "outcome.h"
#include "zip_reader.h"

// Where an installation goes: the installation directory, its backup
// directory, and whether that could not be emptied of superseded files.
struct Installation {
  std::string hedef, yedekDir;
  bool staleBackup = false;
};

// How an installation ended: every entry installed; an entry failed (what
// was changed is in the journal's changes); or not begun, since a file
// system lacks the room the run needs (nothing changed, worth trying later).
enum class Installed { done, failed, notNow };

// Plans the entries over `to.hedef` (see planEntries) and stops before any
// change when the plan finds an entry that stops the run or a file system
// without room for what the run writes there; writes the plan to the journal
// `gunluk` in the backup directory, then installs the entries in order: an old file is
// moved aside into the backup directory (or copied there, where it cannot be
// moved) before its new content is made, an identical file is left as it
// is. Every change goes into gunluk->changes, with a directory on each file
// system the run may write. Stops as soon as an entry fails; later entries
// are untouched. What it says on standard error, the entry that stopped it
// and the files it wrote or left identical go into *sonuc, with the plan's
// time.
Installed installEntries(ZipArchive* z, const Installation& to, Journal* gunluk, Outcome* sonuc);

#endif
