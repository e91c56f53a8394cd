// The walk of a release folder.
#include "folder_walk.h"

#include <algorithm>
#include <set>

#include "names.h"
#include "paths.h"
#include "release_list.h"

namespace {

std::string lowerAscii(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return text;
}

bool stop(Walk* walk, WalkProblem problem, const std::string& at) {
  walk->problem = problem;
  walk->at = at;
  return false;
}

// False (with the problem) when the packer refuses the entry. The names
// come first: Windows cannot even look at some that the updater refuses
// (a device name).
bool checkEntry(const std::string& relative, const FoundEntry& e, bool looked, bool topLevel,
                Walk* walk) {
  if (!isSafeEntryName(e.name) || hasControlBytes(e.name) || !isReleaseFileName(relative))
    return stop(walk, WalkProblem::badName, e.name);
  if (topLevel && lowerAscii(relative) == releaseListName)
    return stop(walk, WalkProblem::ownList, e.name);
  if (!looked) return stop(walk, WalkProblem::unreadable, relative);
  if (e.info.kind == PathKind::link) return stop(walk, WalkProblem::link, relative);
  if (e.info.kind != PathKind::directory && e.info.kind != PathKind::file)
    return stop(walk, WalkProblem::special, relative);
  return true;
}

bool walkDirectory(const std::string& dir, const std::string& prefix, Walk* walk) {
  std::vector<std::string> names;
  if (!listDirectory(dir, &names))
    return stop(walk, prefix.empty() ? WalkProblem::noFolder : WalkProblem::unreadable, prefix);
  std::sort(names.begin(), names.end());
  std::set<std::string> folded;
  for (const std::string& name : names) {
    std::string relative = prefix + name;
    // A '\' would be a separator to the updater (and to joinPath here).
    if (name.find('\\') != std::string::npos) return stop(walk, WalkProblem::badName, relative);
    FoundEntry e;
    e.path = joinPath(dir, name);
    bool looked = lookAt(e.path, &e.info) && e.info.kind != PathKind::missing;
    bool directory = looked && e.info.kind == PathKind::directory;
    e.name = directory ? relative + "/" : relative;
    if (!checkEntry(relative, e, looked, prefix.empty(), walk)) return false;
    if (!folded.insert(lowerAscii(name)).second) return stop(walk, WalkProblem::sameName, e.name);
    if (!directory && isUpdaterItself(relative)) {
      walk->skipped.push_back(relative);
      continue;
    }
    walk->entries.push_back(e);
    if (directory) {
      walk->directoryIdentities.push_back(e.info.identity);
      if (!walkDirectory(e.path, e.name, walk)) return false;
    }
  }
  return true;
}

}  // namespace

void walkFolder(const std::string& folder, Walk* walk) {
  *walk = Walk();
  PathInfo top;
  if (lookAt(folder, &top, true) && top.kind != PathKind::missing)
    walk->directoryIdentities.push_back(top.identity);
  walkDirectory(folder, "", walk);
}
