// Installation of the archive's entries over the installation directory,
// with a journal of what was backed up and what was created.
#ifndef TAVO_UPDATER_INSTALL_H
#define TAVO_UPDATER_INSTALL_H

#include <string>
#include <utility>
#include <vector>

#include "zip_reader.h"

// (target path, backup path) for every file backed up before it was replaced.
typedef std::vector<std::pair<std::string, std::string>> BackupJournal;

// Walks the entries in order, backing up and journalling before each write.
// Returns `ok`: false as soon as an entry fails; later entries are untouched.
bool installEntries(ZipArchive* z, const std::string& hedef, const std::string& yedekDir,
                    BackupJournal* yedekler, std::vector<std::string>* yeniler);

#endif
