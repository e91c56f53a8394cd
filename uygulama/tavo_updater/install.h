// Installation of the archive's entries over the installation directory:
// the plan is written to the journal and forced to the disk, then carried
// out entry by entry.
#ifndef TAVO_UPDATER_INSTALL_H
#define TAVO_UPDATER_INSTALL_H

#include "run_record.h"
#include "zip_reader.h"

// Plans the entries over run->hedef, writes the plan to the journal in
// run->yedekDir, then installs them in order: an old file is moved aside into
// the backup directory (or copied there, where it cannot be moved) before
// its new content is made, an identical file is left as it is. Sets and
// returns run->ok: false as soon as an entry fails; later entries are
// untouched. Fills run->volumes with a directory on each file system written.
bool installEntries(ZipArchive* z, Run* run);

#endif
