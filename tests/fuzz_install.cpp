// libFuzzer target: the input bytes are the update archive. Each run lays
// out a small installation, installs the archive over it with the real
// stages (open, entry loop, rollback, backup removal; the host wait is left
// out) and aborts when the run broke its promise: nothing outside the
// installation changes, a rollback gives back the installation as it was
// (created directories aside), a backup stays only when a restore failed and
// then holds the old content.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "install.h"
#include "journal.h"
#include "paths.h"
#include "rollback.h"
#include "scratch.h"
#include "test_archive.h"
#include "zip_builder.h"
#include "zip_reader.h"

namespace {

namespace fs = std::filesystem;
typedef std::map<std::string, std::string> Tree;

const Tree installed = {{"a.txt", "old a"},
                        {"bin", "<dir>"},
                        {"bin/lib.dll", "old lib"},
                        {"data", "<dir>"},
                        {"keep.txt", "untouched"}};

void violated(const std::string& what) {
  std::fprintf(stderr, "promise broken: %s\n", what.c_str());
  std::abort();
}

const std::string& scratchRoot() {
  static const std::string root = makeScratchDir();
  return root;
}

// The tree without created directories, which a rollback leaves behind.
Tree withoutNewDirectories(Tree tree) {
  for (auto it = tree.begin(); it != tree.end();)
    it = it->second == "<dir>" && !installed.count(it->first) ? tree.erase(it) : std::next(it);
  return tree;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& root = scratchRoot();
  std::string inst = root + "/inst", yedekDir = inst + "\\_guncelleme_yedek";
  std::error_code error;
  fs::remove_all(inst, error);
  for (const auto& entry : installed) {
    if (entry.second == "<dir>")
      fs::create_directories(inst + "/" + entry.first);
    else
      putFile(inst + "/" + entry.first, entry.second);
  }
  putFile(root + "/outside/neighbour.txt", "the user's");
  std::string bytes(reinterpret_cast<const char*>(data), size);
  writeBytes(root + "/u.zip", bytes);

  makeDirs(yedekDir);
  TestArchive archive = openTestArchive(root + "/u.zip");
  if (ZipArchive* z = archive.z) {
    Journal gunluk;
    Outcome sonuc;
    bool ok = installEntries(z, {inst, yedekDir, false}, &gunluk, &sonuc) == Installed::done;
    closeTestArchive(&archive);
    closeJournal(&gunluk);
    Changes changes;
    bool restored = ok || (journalledChanges(inst, yedekDir, &changes) && rollBack(changes));
    const std::vector<Backup>& yedekler = changes.yedekler;
    if (!restored) {
      for (const Backup& b : yedekler) {
        std::string name = b.target.substr(inst.size() + 1);
        for (char& c : name)
          if (c == '\\') c = '/';
        if (fileContent(inst + "/_guncelleme_yedek/" + name) != installed.at(name))
          violated("the backup of " + name + " lost its old content");
      }
    } else {
      if (removeJournal(yedekDir)) removeBackupDir(yedekDir);
      if (fs::exists(inst + "/_guncelleme_yedek")) violated("backup directory left behind");
      if (!ok && withoutNewDirectories(treeOf(inst)) != installed)
        violated("the rollback did not give back the installation");
    }
  }
  closeTestArchive(&archive);
  Tree around = treeOf(root);
  for (auto it = around.begin(); it != around.end();)
    it = it->first.rfind("inst", 0) == 0 ? around.erase(it) : std::next(it);
  if (around !=
      Tree{{"outside", "<dir>"}, {"outside/neighbour.txt", "the user's"}, {"u.zip", bytes}})
    violated("something outside the installation changed");
  return 0;
}
