// Rollback from a journal, against a real scratch directory.
#include "rollback.h"

#include <gtest/gtest.h>

#include "scratch.h"

namespace {

TEST(RollBack, DeletesNewFilesThenRestoresBackups) {
  std::string dir = makeScratchDir();
  putFile(dir + "/t/old.txt", "new content");
  putFile(dir + "/t/new.txt", "half");
  putFile(dir + "/b/old.txt", "old content");
  // A path in both lists ends up restored: deletion comes first.
  putFile(dir + "/t/both.txt", "new");
  putFile(dir + "/b/both.txt", "old");
  Changes changes;
  changes.yedekler = {{dir + "\\t\\old.txt", dir + "\\b\\old.txt"},
                      {dir + "\\t\\both.txt", dir + "\\b\\both.txt"}};
  changes.yeniler = {dir + "\\t\\new.txt", dir + "\\t\\both.txt"};

  FileCounts counts;
  EXPECT_TRUE(rollBack(changes, &counts));
  EXPECT_EQ(counts.removed, 2u);
  EXPECT_EQ(counts.restored, 2u);
  EXPECT_EQ(fileContent(dir + "/t/old.txt"), "old content");
  EXPECT_EQ(fileContent(dir + "/t/both.txt"), "old");
  EXPECT_EQ(fileContent(dir + "/t/new.txt"), "<missing>");
  removeScratchDir(dir);
}

TEST(RollBack, ReportsARestoreThatFailsAndStillDoesTheRest) {
  std::string dir = makeScratchDir();
  putFile(dir + "/t/a.txt", "new a");
  putFile(dir + "/t/b.txt", "new b");
  putFile(dir + "/b/b.txt", "old b");
  Changes changes;
  changes.yedekler = {{dir + "/t/a.txt", dir + "/b/missing.txt"},
                      {dir + "/t/b.txt", dir + "/b/b.txt"}};
  FileCounts counts;
  EXPECT_FALSE(rollBack(changes, &counts));
  EXPECT_EQ(counts.restored, 1u);
  EXPECT_EQ(fileContent(dir + "/t/b.txt"), "old b");
  removeScratchDir(dir);
}

TEST(RollBack, NewPathsThatAreGoneOrDirectoriesDoNotCount) {
  std::string dir = makeScratchDir();
  putFile(dir + "/t/stuck/x", "a directory cannot be deleted as a file");
  // A new path that never became a file, and one that is a directory.
  Changes changes;
  changes.yeniler = {dir + "/t/never-written", dir + "/t/stuck"};
  EXPECT_TRUE(rollBack(changes));
  removeScratchDir(dir);
}

TEST(RemoveBackupDir, RemovesTheTreeAndToleratesAMissingOne) {
  std::string dir = makeScratchDir();
  putFile(dir + "/_guncelleme_yedek/a/b/c.txt", "x");
  putFile(dir + "/_guncelleme_yedek/d.txt", "y");
  removeBackupDir(dir + "\\_guncelleme_yedek");
  EXPECT_TRUE(treeOf(dir).empty());
  removeBackupDir(dir + "\\_guncelleme_yedek");
  EXPECT_TRUE(treeOf(dir).empty());
  removeScratchDir(dir);
}

}  // namespace
