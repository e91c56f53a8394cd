// Reading and judging the release lists, and the files a release drops.
#include "releases.h"

#include <algorithm>
#include <set>

#include "constants.h"
#include "names.h"
#include "paths.h"
#include "platform.h"

namespace {

// No list is anywhere near this long; a longer one is not read.
const std::uint64_t listLimit = 64ull << 20;

// Reads the installation's list; false when there is none that parses.
bool readInstalled(const std::string& hedef, ReleaseList* list) {
  std::string path = joinPath(hedef, releaseListName), text, bad;
  PathInfo info;
  return lookAt(path, &info) && info.kind == PathKind::file && info.size <= listLimit &&
         readWholeFile(path, &text) && parseReleaseList(text, list, &bad);
}

// The key under which the file system compares a name.
std::string keyOf(const std::string& name) { return nameKey(cleanName(name)); }

// The updater's own files, which no list takes away.
bool isOwnFile(const std::string& clean) {
  std::string key = nameKey(clean);
  return key == nameKey(releaseListName) || key == nameKey(trustedKeyName) ||
         isUpdaterItself(clean);
}

}  // namespace

ReleaseVerdict readReleases(ZipArchive* z, const std::string& hedef, bool keyed, Releases* r,
                            std::string* message) {
  std::string name, text, bad;
  std::string listKey = nameKey(releaseListName);
  for (std::uint64_t i = 0, n = entryCount(z); i < n && !r->incoming; ++i) {
    if (!entryName(z, i, &name) || keyOf(name) != listKey) continue;
    r->incoming = true;
    if (!readEntryText(z, i, listLimit, &text)) {
      *message = lineWith(errInvalidList, name);
      return ReleaseVerdict::invalid;
    }
    if (!parseReleaseList(text, &r->next, &bad)) {
      *message = lineWith(errInvalidList, bad);
      return ReleaseVerdict::invalid;
    }
  }
  r->installed = readInstalled(hedef, &r->was);
  if (!r->installed) return ReleaseVerdict::accepted;
  if (!r->incoming) {
    r->dropOwnList = !keyed;
    if (!keyed || !r->was.hasVersion) return ReleaseVerdict::accepted;
    *message = lineWith(errNoList, r->was.version.text);
    return ReleaseVerdict::refused;
  }
  if (!r->was.hasProduct || !r->was.hasVersion) return ReleaseVerdict::accepted;
  // A list that leaves out its product or version is not the same product's
  // newer release.
  if (!r->next.hasProduct || r->next.product != r->was.product) {
    *message = lineWith(errOtherProduct, r->next.product + " (kurulu " + r->was.product + ")");
    return ReleaseVerdict::refused;
  }
  if (!r->next.hasVersion || compareVersions(r->next.version, r->was.version) < 0) {
    *message =
        lineWith(errOlderRelease, r->next.version.text + " (kurulu " + r->was.version.text + ")");
    return ReleaseVerdict::refused;
  }
  return ReleaseVerdict::accepted;
}

namespace {

// Every directory above the clean name `name`, as keys, into *dirs.
void addDirectoriesAbove(const std::string& name, std::set<std::string>* dirs) {
  for (std::size_t at = name.rfind('\\'); at != std::string::npos && at > 0;
       at = name.rfind('\\', at - 1))
    dirs->insert(nameKey(name.substr(0, at)));
}

}  // namespace

Dropping droppedByRelease(ZipArchive* z, const Releases& r) {
  Dropping dropped;
  if (r.dropOwnList) dropped.files.push_back(releaseListName);
  if (!r.installed || !r.incoming) return dropped;
  std::set<std::string> kept, candidates, named;
  for (const std::string& file : r.next.files) {
    kept.insert(keyOf(file));
    addDirectoriesAbove(cleanName(file), &named);
  }
  for (const std::string& file : r.was.files)
    if (!kept.count(keyOf(file)) && !isOwnFile(cleanName(file))) candidates.insert(keyOf(file));
  // What the archive carries stays, listed or not, with the directories on
  // its way.
  std::string name;
  for (std::uint64_t i = 0, n = entryCount(z); i < n && !candidates.empty(); ++i) {
    if (!entryName(z, i, &name)) continue;
    candidates.erase(keyOf(name));
    addDirectoriesAbove(cleanName(name) + "\\", &named);
  }
  std::set<std::string> above;
  for (const std::string& file : r.was.files)
    if (candidates.erase(keyOf(file))) {
      dropped.files.push_back(cleanName(file));
      addDirectoriesAbove(cleanName(file), &above);
    }
  // Deepest first: a directory goes before the one that holds it.
  std::vector<std::pair<std::size_t, std::string>> dirs;
  for (const std::string& file : dropped.files)
    for (std::size_t at = file.rfind('\\'); at != std::string::npos && at > 0;
         at = file.rfind('\\', at - 1)) {
      std::string dir = file.substr(0, at);
      if (!named.count(nameKey(dir)) && above.erase(nameKey(dir)))
        dirs.push_back({std::size_t(std::count(dir.begin(), dir.end(), '\\')), dir});
    }
  std::stable_sort(dirs.begin(), dirs.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  for (const auto& dir : dirs) dropped.dirs.push_back(dir.second);
  return dropped;
}
