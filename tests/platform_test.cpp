// Platform operations that behave the same on every target, against a real
// scratch directory.
#include "platform.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "scratch.h"

namespace {

namespace fs = std::filesystem;

std::time_t modificationTime(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mtime : std::time_t(-1);
}

TEST(LookAt, TellsFilesDirectoriesAndMissingPathsApart) {
  std::string dir = makeScratchDir();
  putFile(dir + "/f", "x");
  PathInfo info;
  EXPECT_TRUE(lookAt(dir + "\\f", &info));
  EXPECT_EQ(info.kind, PathKind::file);
  EXPECT_TRUE(lookAt(dir, &info));
  EXPECT_EQ(info.kind, PathKind::directory);
  EXPECT_TRUE(lookAt(dir + "/missing", &info));
  EXPECT_EQ(info.kind, PathKind::missing);
  removeScratchDir(dir);
}

TEST(ListDirectory, NamesEveryEntryOnceAndFailsForWhatIsNoDirectory) {
  std::string dir = makeScratchDir();
  putFile(dir + "/f", "x");
  putFile(dir + "/d/below", "y");
  fs::create_directory(dir + "/empty");
  putFile(dir + "/\xC3\xBC.txt", "u");
  std::vector<std::string> names;
  ASSERT_TRUE(listDirectory(dir, &names));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"d", "empty", "f", "\xC3\xBC.txt"}));
  EXPECT_TRUE(listDirectory(dir + "\\empty", &names));
  EXPECT_TRUE(names.empty());
  EXPECT_FALSE(listDirectory(dir + "/f", &names));
  EXPECT_FALSE(listDirectory(dir + "/missing", &names));
  removeScratchDir(dir);
}

TEST(CopyFileOver, ReplacesTheDestinationAndKeepsTheWriteTime) {
  std::string dir = makeScratchDir();
  putFile(dir + "/from", "old content");
  putFile(dir + "/to", "something longer than the source");
  ASSERT_TRUE(setFileTimes(dir + "/from", FileTime{1000000000, 0}));
  EXPECT_TRUE(copyFileOver(dir + "\\from", dir + "\\to"));
  EXPECT_EQ(fileContent(dir + "/to"), "old content");
  EXPECT_EQ(modificationTime(dir + "/to"), 1000000000);

  EXPECT_FALSE(copyFileOver(dir + "/missing", dir + "/to"));
  EXPECT_EQ(fileContent(dir + "/to"), "old content");
  EXPECT_FALSE(copyFileOver(dir + "/from", dir + "/no/such/dir/to"));
  removeScratchDir(dir);
}

TEST(RemoveFile, DeletesFilesButNeverDirectories) {
  std::string dir = makeScratchDir();
  putFile(dir + "/f", "x");
  fs::create_directory(dir + "/d");
  EXPECT_TRUE(removeFile(dir + "\\f"));
  EXPECT_FALSE(fs::exists(dir + "/f"));
  EXPECT_FALSE(removeFile(dir + "\\d"));
  EXPECT_TRUE(fs::is_directory(dir + "/d"));
  EXPECT_FALSE(removeFile(dir + "\\f"));
  removeScratchDir(dir);
}

TEST(RemoveTree, DeletesEverythingBelowAndTheDirectoryItself) {
  std::string dir = makeScratchDir();
  putFile(dir + "/t/a/b/c.txt", "x");
  putFile(dir + "/t/d.txt", "y");
  fs::create_directories(dir + "/t/empty/inner");
  putFile(dir + "/keep.txt", "z");
  EXPECT_TRUE(removeTree(dir + "\\t"));
  EXPECT_EQ(treeOf(dir), (std::map<std::string, std::string>{{"keep.txt", "z"}}));
  EXPECT_TRUE(removeTree(dir + "\\t"));
  removeScratchDir(dir);
}

TEST(LookAtIdentity, IsEqualExactlyForTheSameFile) {
  std::string dir = makeScratchDir();
  putFile(dir + "/a", "x");
  putFile(dir + "/b", "x");
  PathInfo a1, a2, b;
  ASSERT_TRUE(lookAt(dir + "/a", &a1, true));
  ASSERT_TRUE(lookAt(dir + "\\.\\a", &a2, true));
  ASSERT_TRUE(lookAt(dir + "/b", &b, true));
  EXPECT_EQ(a1.identity, a2.identity);
  EXPECT_NE(a1.identity, b.identity);
  PathInfo missing;
  EXPECT_TRUE(lookAt(dir + "/c", &missing, true));
  EXPECT_EQ(missing.kind, PathKind::missing);
  EXPECT_EQ(missing.identity, "");
  removeScratchDir(dir);
}

TEST(OutputFile, CreatesTruncatesAndWritesEveryByte) {
  std::string dir = makeScratchDir();
  putFile(dir + "/f", "a much longer old content");
  FileHandle file = createOutputFile(dir + "\\f");
  ASSERT_NE(file, invalidHandle);
  std::string data(300000, 'q');
  EXPECT_TRUE(writeOutputFile(file, data.data(), data.size()));
  EXPECT_TRUE(closeOutputFile(file));
  EXPECT_EQ(fileContent(dir + "/f"), data);
  EXPECT_EQ(createOutputFile(dir + "/no/such/dir/f"), invalidHandle);
  fs::create_directory(dir + "/d");
  EXPECT_EQ(createOutputFile(dir + "/d"), invalidHandle);
  removeScratchDir(dir);
}

TEST(SameFileContent, OnlyForTwoFilesWithTheSameBytesAndModes) {
  struct Case {
    const char* name;
    std::string other;  // content of b; "<dir>" for a directory, "" for missing
    bool readOnly;      // b read-only
    bool same;
  };
  const std::string big(300 * 1024, 'x');
  const Case cases[] = {{"equal", big, false, true},
                        {"last byte differs", big.substr(1) + "y", false, false},
                        {"longer", big + "x", false, false},
                        {"read-only", big, true, false},
                        {"directory", "<dir>", false, false},
                        {"missing", "", false, false}};
  std::string dir = makeScratchDir();
  putFile(dir + "/a", big);
  for (const Case& c : cases) {
    std::string b = dir + "/" + c.name;
    if (c.other == "<dir>")
      fs::create_directory(b);
    else if (!c.other.empty())
      putFile(b, c.other);
    if (c.readOnly) fs::permissions(b, fs::perms::owner_write, fs::perm_options::remove);
    EXPECT_EQ(sameFileContent(dir + "/a", b), c.same) << c.name;
    EXPECT_EQ(sameFileContent(b, dir + "\\a"), c.same) << c.name;
    if (c.readOnly) fs::permissions(b, fs::perms::owner_write, fs::perm_options::add);
  }
  removeScratchDir(dir);
}

TEST(WaitForProcess, OpensNothingForImpossibleIds) {
  EXPECT_FALSE(waitForProcess(0, 30000));
  EXPECT_FALSE(waitForProcess(0xFFFFFFFFu, 30000));
}

TEST(StartProcess, FailsForAMissingProgram) {
  std::string dir = makeScratchDir();
  EXPECT_FALSE(startProcess(dir + "/missing-program", dir));
  removeScratchDir(dir);
}

}  // namespace
