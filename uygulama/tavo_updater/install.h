// Installation of the archive's entries over the installation directory,
// with a journal of what was backed up and what was created.
#ifndef TAVO_UPDATER_INSTALL_H
#define TAVO_UPDATER_INSTALL_H

#include "run.h"
#include "zip_reader.h"

// Walks the entries in order over run->hedef, backing up into run->yedekDir
// and journalling (in memory and on disk) before each write. Sets and
// returns run->ok: false as soon as an entry fails; later entries are
// untouched.
bool installEntries(ZipArchive* z, Run* run);

#endif
