// The packer's run sequence: options checked, the folder walked and refused
// as the updater would refuse it, the archive written under a temporary
// name beside its own, forced to the disk and renamed into place.
#include "packer.h"

#include <algorithm>
#include <cstdio>

#include "args.h"
#include "console.h"
#include "folder_walk.h"
#include "platform.h"
#include "release_list.h"
#include "zip_writer.h"

namespace {

const char* const badArguments =
    "tavo_paket: eksik/gecersiz arguman\n"
    "kullanim: tavo_paket --kaynak <klasor> --zip <arsiv> --urun <kimlik> --surum <surum>\n";

// The message for a walk that stopped at a name.
const char* walkMessage(WalkProblem problem) {
  switch (problem) {
    case WalkProblem::badName:
      return "tavo_updater: gecersiz girdi adi: %s\n";
    case WalkProblem::sameName:
      return "tavo_paket: ayni ad baska harflerle: %s\n";
    case WalkProblem::link:
      return "tavo_paket: baglanti paketlenmez: %s\n";
    case WalkProblem::special:
      return "tavo_paket: ozel dosya paketlenmez: %s\n";
    case WalkProblem::ownList:
      return "tavo_paket: klasorde kendi listesi var: %s\n";
    default:
      return "tavo_paket: okunamadi: %s\n";
  }
}

// The directory that is to hold `path`.
std::string parentOf(const std::string& path) {
  std::string::size_type at = path.find_last_of("\\/");
  if (at == std::string::npos) return ".";
  // "/x.zip", "C:\x.zip": the root keeps its separator.
  if (at == 0 || (at == 2 && path[1] == ':')) return path.substr(0, at + 1);
  return path.substr(0, at);
}

// True when the archive would be written into the folder or below it.
bool insideFolder(const std::string& zip, const Walk& walk) {
  PathInfo parent;
  const std::vector<std::string>& dirs = walk.directoryIdentities;
  return lookAt(parentOf(zip), &parent, true) && parent.kind != PathKind::missing &&
         std::find(dirs.begin(), dirs.end(), parent.identity) != dirs.end();
}

// The archive's entries: the release list first, then the folder's.
std::vector<ZipItem> itemsOf(const Walk& walk, const ReleaseList& list) {
  std::vector<ZipItem> items(1);
  items[0].name = releaseListName;
  items[0].data = releaseListText(list);
  items[0].permissions = 0644;
  for (const FoundEntry& e : walk.entries) {
    // The list's time is the newest in the folder, so that the same folder
    // always gives the same archive.
    if (e.info.modified.seconds > items[0].modified.seconds) items[0].modified = e.info.modified;
    ZipItem item;
    item.name = e.name;
    item.directory = e.info.kind == PathKind::directory;
    if (!item.directory) item.path = e.path;
    item.size = e.info.size;
    item.modified = e.info.modified;
    item.permissions = unixPermissions(e.info);
    items.push_back(item);
  }
  return items;
}

// Writes the archive whole under a temporary name and renames it over `zip`;
// false (with the temporary file gone) when any step fails.
bool writeWhole(const std::string& zip, const std::vector<ZipItem>& items,
                std::string* unreadable) {
  std::string temporary = zip + ".gecici";
  if (!writeZip(temporary, items, unreadable)) return false;
  if (syncFile(temporary) && moveFile(temporary, zip, true)) return true;
  removeFile(temporary);
  return false;
}

}  // namespace

int runPacker(int argc, const char* const* argv) {
  std::string kaynak = getArg(argc, argv, "--kaynak"), zip = getArg(argc, argv, "--zip");
  ReleaseList list;
  list.product = getArg(argc, argv, "--urun");
  std::string surum = getArg(argc, argv, "--surum");
  if (kaynak.empty() || zip.empty() || list.product.empty() || surum.empty()) {
    say(stderr, badArguments);
    return 2;
  }
  if (!isProductId(list.product)) {
    sayWith(stderr, "tavo_paket: gecersiz urun: %s\n", list.product);
    return 2;
  }
  if (!parseVersion(surum, &list.version)) {
    sayWith(stderr, "tavo_paket: gecersiz surum: %s\n", surum);
    return 2;
  }
  list.hasProduct = list.hasVersion = true;

  Walk walk;
  walkFolder(kaynak, &walk);
  if (walk.problem == WalkProblem::noFolder) {
    sayWith(stderr, "tavo_paket: kaynak klasor acilamadi: %s\n", kaynak);
    return 2;
  }
  if (walk.problem != WalkProblem::none) {
    sayWith(stderr, walkMessage(walk.problem), walk.at);
    return 4;
  }
  if (insideFolder(zip, walk)) {
    sayWith(stderr, "tavo_paket: arsiv kaynak klasorun icinde: %s\n", zip);
    return 2;
  }
  for (const FoundEntry& e : walk.entries)
    if (e.info.kind == PathKind::file) list.files.push_back(e.name);

  std::string unreadable;
  if (!writeWhole(zip, itemsOf(walk, list), &unreadable)) {
    if (unreadable.empty())
      sayWith(stderr, "tavo_paket: arsiv yazilamadi: %s\n", zip);
    else
      sayWith(stderr, walkMessage(WalkProblem::unreadable), unreadable);
    return 4;
  }
  for (const std::string& name : walk.skipped)
    sayWith(stdout, "Atlandi (guncelleyici kendini kurmaz): %s\n", name);
  sayWith(stdout, "Paket tamam: %s\n", zip);
  return 0;
}
