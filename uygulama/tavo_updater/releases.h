// The two release lists of an update: the one the installation holds (of
// the release it has) and the one the archive brings. What the pair refuses
// (another product, an older release, a missing list where a key guards the
// installation), and which files the new release drops.
#ifndef TAVO_UPDATER_RELEASES_H
#define TAVO_UPDATER_RELEASES_H

#include <string>
#include <vector>

#include "plan.h"
#include "release_list.h"
#include "zip_reader.h"

struct Releases {
  bool installed = false;  // the installation holds a list that parses
  bool incoming = false;   // the archive carries one
  ReleaseList was, next;
  bool dropOwnList = false;  // the installed list no longer describes the installation
};

enum class ReleaseVerdict { accepted, invalid, refused };

// Reads the archive's "tavo_updater.liste" (at its top level, in any letter
// case) and the installation's, and judges the pair. invalid: the archive's
// list cannot be read or parsed (*message says which line); refused: where
// the installed list names its product and version, the archive's names
// another product or an older version, or (with `keyed`) brings no list
// (*message says so). An installed list that cannot be read counts as none.
// Without a list in the archive, an unkeyed installation's list goes
// (dropOwnList).
ReleaseVerdict readReleases(ZipArchive* z, const std::string& hedef, bool keyed, Releases* r,
                            std::string* message);

// What the new release drops. Files: named by the installed list, neither by
// the new one nor by any entry of the archive (names compared as the file
// system compares them), never the updater's own files (its program, key and
// list); the installed list itself when dropOwnList. Directories: those
// above a dropped file that neither the new list nor the archive names,
// deepest first. Clean names.
Dropping droppedByRelease(ZipArchive* z, const Releases& r);

#endif
