// Installation of the archive's entries over the installation directory:
// the plan is written to the journal and forced to the disk, then carried
// out entry by entry.
#ifndef TAVO_UPDATER_INSTALL_H
#define TAVO_UPDATER_INSTALL_H

#include <string>

#include "journal.h"
#include "outcome.h"
#include "plan.h"
#include "zip_reader.h"

// How an installation ended: every entry installed; an entry failed (what
// was changed is in the journal); not begun, since a file system
// lacks the room the run needs or a file to move aside stays held (nothing
// changed, worth trying later); or refused by the release lists (another
// product, an older release, no list where one is due; nothing changed).
enum class Installed { done, failed, notNow, refused };

// Reads the release lists (see readReleases) and plans the entries over
// `to.hedef` with the files the new release drops (see planEntries); stops
// before any change when the lists refuse the archive, the plan finds an
// entry that stops the run, a file to move aside that stays held, or a file
// system without room for what the run writes there; writes the plan to the journal
// `gunluk` in the backup directory, then installs the entries in order: an old file is
// moved aside into the backup directory (or copied there, where it cannot be
// moved) before its new content is made, an identical file is left as it
// is; then the dropped files are moved aside and the directories they leave
// empty removed. Every change is in the journal before it is made;
// gunluk->changes gets a directory on each file system the run may write. Stops as soon as an entry
// fails; later entries are untouched. What it says on standard error, the entry that stopped it and
// the files it wrote or left identical go into *sonuc, with the plan's time.
Installed installEntries(ZipArchive* z, const Installation& to, Journal* gunluk, Outcome* sonuc);

#endif
