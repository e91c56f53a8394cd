// Path helpers, against a real scratch directory.
#include "paths.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "scratch.h"

namespace {

namespace fs = std::filesystem;

TEST(JoinPath, TurnsSlashesIntoBackslashesAndJoinsWithOne) {
  EXPECT_EQ(joinPath("C:\\App", "bin/sub/x.dll"), "C:\\App\\bin\\sub\\x.dll");
  EXPECT_EQ(joinPath("C:\\App", "docs/"), "C:\\App\\docs\\");
  EXPECT_EQ(joinPath("C:\\App\\", "a"), "C:\\App\\\\a");
  EXPECT_EQ(joinPath("C:\\App", "/a"), "C:\\App\\\\a");
  EXPECT_EQ(joinPath("C:\\App", "a\\b/c"), "C:\\App\\a\\b\\c");
}

TEST(PathHelpers, WorkOnARealDirectory) {
  std::string dir = makeScratchDir();
  putFile(dir + "/file.txt", "x");

  EXPECT_TRUE(fileExists(dir + "/file.txt"));
  EXPECT_TRUE(fileExists(dir + "\\file.txt"));
  EXPECT_FALSE(fileExists(dir));
  EXPECT_FALSE(fileExists(dir + "/missing"));

  makeDirs(dir + "\\a/b\\c");
  EXPECT_TRUE(fs::is_directory(dir + "/a/b/c"));
  makeDirs(dir + "/trailing/");
  EXPECT_TRUE(fs::is_directory(dir + "/trailing"));

  makeParentDirs(dir + "\\p\\q/x.dll");
  EXPECT_TRUE(fs::is_directory(dir + "/p/q"));
  EXPECT_FALSE(fs::exists(dir + "/p/q/x.dll"));

  // Existing directories and files along the way are left alone.
  makeParentDirs(dir + "/file.txt/x");
  EXPECT_EQ(fileContent(dir + "/file.txt"), "x");
  removeScratchDir(dir);
}

TEST(PathHelpers, BareFileNameCreatesNothing) {
  std::string dir = makeScratchDir();
  fs::path before = fs::current_path();
  fs::current_path(dir);
  makeParentDirs("file.txt");
  fs::current_path(before);
  EXPECT_TRUE(treeOf(dir).empty());
  removeScratchDir(dir);
}

}  // namespace
