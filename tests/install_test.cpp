// The entry loop against a real scratch directory: which directories it
// makes, what it backs up and journals, and where it stops.
#include "install.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "scratch.h"
#include "test_archive.h"
#include "zip_builder.h"

namespace {

struct Case {
  const char* what;
  std::map<std::string, std::string> before;  // installed files
  std::vector<ZipEntrySpec> entries;
  bool ok;
  std::map<std::string, std::string> after;  // the tree below hedef
  std::size_t backups;                       // backups the journal leads to
  std::size_t created;                       // files the journal says may be new
};

// Entries that come back to a directory seen before, and parents that a
// file blocks, behave as if every entry made its own parents.
TEST(InstallEntries, MakesEveryParentAndStopsWhereOneIsBlocked) {
  const std::string yedek = "_guncelleme_yedek";
  const Case cases[] = {
      {"directories revisited",
       {},
       {fileEntry("a/x", "1"), fileEntry("b/c/y", "2"), fileEntry("a/z", "3"),
        fileEntry("b/c/w", "4"), fileEntry("a/d/v", "5")},
       true,
       {{"a", "<dir>"},
        {"a/x", "1"},
        {"a/z", "3"},
        {"a/d", "<dir>"},
        {"a/d/v", "5"},
        {"b", "<dir>"},
        {"b/c", "<dir>"},
        {"b/c/y", "2"},
        {"b/c/w", "4"},
        {yedek, "<dir>"}},
       0,
       5},
      {"backups of revisited directories",
       {{"a/x", "old x"}, {"b/y", "old y"}, {"a/z", "old z"}},
       {fileEntry("a/x", "1"), fileEntry("b/y", "2"), fileEntry("a/z", "3")},
       true,
       {{"a", "<dir>"},
        {"a/x", "1"},
        {"a/z", "3"},
        {"b", "<dir>"},
        {"b/y", "2"},
        {yedek, "<dir>"},
        {yedek + "/a", "<dir>"},
        {yedek + "/a/x", "old x"},
        {yedek + "/a/z", "old z"},
        {yedek + "/b", "<dir>"},
        {yedek + "/b/y", "old y"}},
       3,
       0},
      {"a file where a parent must go",
       {},
       {fileEntry("a/f", "1"), fileEntry("a/f/g", "2"), fileEntry("a/h", "3")},
       false,
       {{"a", "<dir>"}, {"a/f", "1"}, {yedek, "<dir>"}},
       0,
       3},
  };
  for (const Case& c : cases) {
    std::string dir = makeScratchDir();
    std::string hedef = dir + "/inst";
    for (const auto& file : c.before) putFile(hedef + "/" + file.first, file.second);
    std::filesystem::create_directories(hedef + "/" + yedek);
    writeBytes(dir + "/u.zip", buildZipOf(c.entries));
    TestArchive archive = openTestArchive(dir + "/u.zip");
    ZipArchive* z = archive.z;
    ASSERT_NE(z, nullptr) << c.what;
    Journal gunluk;
    Outcome sonuc;
    Installed got = installEntries(z, {hedef, hedef + "\\" + yedek, false}, &gunluk, &sonuc);
    EXPECT_EQ(got == Installed::done, c.ok) << c.what;
    closeTestArchive(&archive);
    closeJournal(&gunluk);
    Changes run;
    ASSERT_TRUE(journalledChanges(hedef, hedef + "\\" + yedek, &run)) << c.what;
    std::map<std::string, std::string> after = treeOf(hedef);
    after.erase(yedek + "/" + journalFileName);
    EXPECT_EQ(after, c.after) << c.what;
    EXPECT_EQ(run.yedekler.size(), c.backups) << c.what;
    EXPECT_EQ(run.yeniler.size(), c.created) << c.what;
    removeScratchDir(dir);
  }
}

}  // namespace
