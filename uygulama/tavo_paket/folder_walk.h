// The packer's walk of a release folder: every file and directory below it
// in archive order, each name checked with the updater's own rules.
#ifndef TAVO_PAKET_FOLDER_WALK_H
#define TAVO_PAKET_FOLDER_WALK_H

#include <string>
#include <vector>

#include "platform.h"

// One file or directory found below the folder.
struct FoundEntry {
  std::string name;  // its entry name: '/'-separated, a directory's ends in '/'
  std::string path;  // on the disk
  PathInfo info;     // as lookAt saw it
};

// Why a walk stopped.
enum class WalkProblem {
  none,
  noFolder,    // the folder itself cannot be listed
  unreadable,  // a directory or entry below it cannot be listed or looked at
  badName,     // a name the updater refuses, or one a release list cannot carry
  sameName,    // a name another one in its directory differs from in ASCII letter case only
  link,        // a symbolic link (Windows: or junction)
  special,     // a device, FIFO or socket
  ownList,     // a top-level "tavo_updater.liste", in any letter case
};

struct Walk {
  std::vector<FoundEntry> entries;               // up to the problem, if any
  std::vector<std::string> skipped;              // the updater's own executables, left out
  std::vector<std::string> directoryIdentities;  // the folder's and every directory's
  WalkProblem problem = WalkProblem::none;
  std::string at;  // the name (as the updater would print it) the walk stopped at
};

// Walks `folder` depth first: in each directory the names in byte order, a
// directory's entry before everything below it, so the order depends on
// the names alone. A file the updater never installs (isUpdaterItself) goes
// into `skipped` instead. Stops at the first problem.
void walkFolder(const std::string& folder, Walk* walk);

#endif
