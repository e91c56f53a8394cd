// Hostile and broken archives against the real binary: every case checks the
// exit code, both output streams, and that the installation and everything
// around it are as before (directories the run created aside).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "constants.h"
#include "e2e_support.h"
#include "scratch.h"
#include "zip_builder.h"

namespace {

namespace fs = std::filesystem;

const std::string cannotOpen = errCannotOpen;

const Tree installed = {
    {"a.txt", "old a"},        {"bin", "<dir>"},  {"bin/lib.dll", "old lib"},
    {"keep.txt", "untouched"}, {"data", "<dir>"},
};

// What a case must lead to: exit code, standard error, and the tree of the
// installation afterwards as far as it differs from `installed`.
struct Expect {
  int code;
  std::string err;
  Tree added;  // created directories after a rollback, new files after success
};

Expect invalidName(const std::string& name, const Tree& createdDirs = {}) {
  return {4, lineWith(errInvalidName, name), createdDirs};
}
Expect extractionFails(const std::string& name, const Tree& createdDirs = {}) {
  return {4, lineWith(errExtraction, name), createdDirs};
}
Expect notOpened() { return {3, cannotOpen, {{"_guncelleme_yedek", "<dir>"}}}; }
Expect installs(const Tree& added) { return {0, "", added}; }

std::string shortly(const std::string& content) {
  return content.size() > 40
             ? content.substr(0, 40) + "... (" + std::to_string(content.size()) + " bytes)"
             : content;
}

// The paths where two trees differ, with both contents cut short.
std::string differences(const Tree& got, const Tree& expected) {
  std::string out;
  for (const auto& entry : got) {
    auto other = expected.find(entry.first);
    if (other == expected.end())
      out += "  extra " + entry.first + "\n";
    else if (other->second != entry.second)
      out += "  " + entry.first + ": " + shortly(entry.second) + " instead of " +
             shortly(other->second) + "\n";
  }
  for (const auto& entry : expected)
    if (!got.count(entry.first)) out += "  missing " + entry.first + "\n";
  return out;
}

int casesRun = 0;

// Runs one archive in a fresh scene: the installation "inst" beside other
// files of the user's, which must never change.
void runCase(const std::string& what, const std::string& bytes, const Expect& expect) {
  SCOPED_TRACE(what);
  ++casesRun;
  std::string root = makeScratchDir();
  for (const auto& entry : installed) {
    if (entry.second == "<dir>")
      fs::create_directories(root + "/inst/" + entry.first);
    else
      putFile(root + "/inst/" + entry.first, entry.second);
  }
  putFile(root + "/neighbour/file.txt", "the user's");
  writeBytes(root + "/u.zip", bytes);
  Tree before = treeOf(root);
  RunResult r =
      runUpdater({"--zip", spell(root + "/u.zip"), "--hedef", spell(root + "/inst")}, root);
  EXPECT_EQ(r.code, expect.code);
  EXPECT_EQ(r.out, expect.code == 0 ? succeeded : expect.code == 3 ? banner : rolledBack);
  EXPECT_EQ(r.err, expect.err);
  Tree expected = before;
  for (const auto& entry : expect.added) expected["inst/" + entry.first] = entry.second;
  EXPECT_EQ(differences(treeOf(root), expected), "");
  removeScratchDir(root);
}

// The entry under test between a good entry before it and one after it.
std::string around(const ZipEntrySpec& e) {
  return buildZipOf({fileEntry("a.txt", "new a"), e, fileEntry("later.txt", "never")});
}

ZipEntrySpec utf8(ZipEntrySpec e) {
  e.flags |= 0x800;  // the name is taken byte for byte, not read as CP437
  return e;
}

TEST(Hostile, UnsafeNamesAreNeverWritten) {
  const char* names[] = {"../evil.txt",
                         "..\\evil.txt",
                         "bin/../../evil.txt",
                         "bin\\..\\..\\evil.txt",
                         "..",
                         "/evil.txt",
                         "\\evil.txt",
                         "//server/share/evil.txt",
                         "C:evil.txt",
                         "C:\\evil.txt",
                         "c:/evil.txt",
                         "a.txt:stream",
                         "a.txt::$DATA",
                         "CON",
                         "con.txt",
                         "Con.tar.gz",
                         "PRN",
                         "aux.h",
                         "NUL",
                         "bin/nul.txt",
                         "COM1",
                         "com9.log",
                         "LPT1",
                         "lpt9.txt",
                         "bin/Lpt5/x",
                         "_guncelleme_yedek/a.txt",
                         "_GUNCELLEME_YEDEK\\a.txt",
                         "_Guncelleme_Yedek",
                         "./_guncelleme_yedek/a.txt"};
  for (const char* name : names) {
    runCase(std::string("file ") + name, around(utf8(fileEntry(name, "evil"))), invalidName(name));
    std::string dir = std::string(name) + "/";
    runCase("directory " + dir, around(utf8(dirEntry(dir))), invalidName(dir));
  }
}

TEST(Hostile, EntriesTheReaderRefuses) {
  ZipEntrySpec traditional = fileEntry("a.txt", "secret");
  traditional.flags = 1;
  // AES: method 99 with its extra field (AE-2, AES-256, inner method deflate).
  ZipEntrySpec aes = fileEntry("a.txt", "secret");
  aes.method = 99;
  aes.flags = 1;
  aes.centralExtra = std::string(
      "\x01\x99\x07\x00\x02\x00"
      "AE\x03\x08\x00",
      11);
  ZipEntrySpec aesWithoutExtra = aes;
  aesWithoutExtra.centralExtra = "";
  ZipEntrySpec bzip2 = fileEntry("a.txt", "b"), lzma = bzip2, unknown = bzip2;
  bzip2.method = 12;
  lzma.method = 14;
  unknown.method = 77;
  ZipEntrySpec patch = fileEntry("a.txt", "p");
  patch.flags = 0x20;
  struct Case {
    const char* what;
    std::string bytes;
    Expect expect;
  } cases[] = {
      {"traditional encryption", around(traditional), extractionFails("a.txt")},
      {"AES encryption", around(aes), extractionFails("a.txt")},
      // libzip fails the whole open for method 99 without its extra field.
      {"AES without its extra field", around(aesWithoutExtra), notOpened()},
      {"bzip2", around(bzip2), extractionFails("a.txt")},
      {"LZMA", around(lzma), extractionFails("a.txt")},
      {"unknown method", around(unknown), extractionFails("a.txt")},
      {"patch data", around(patch), extractionFails("a.txt")},
  };
  for (const Case& c : cases) runCase(c.what, c.bytes, c.expect);
}

TEST(Hostile, DataThatDoesNotMatchItsHeaders) {
  std::string big(200000, 'x');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = char('a' + i % 23);
  struct Case {
    const char* what;
    ZipEntrySpec entry;
  } cases[] = {
      {"crc, stored", fileEntry("a.txt", big)},
      {"crc, deflate", fileEntry("a.txt", big)},
      {"size too big, stored", fileEntry("a.txt", big)},
      {"size too small, stored", fileEntry("a.txt", big)},
      {"size too big, deflate", fileEntry("a.txt", big)},
      {"size too small, deflate", fileEntry("a.txt", big)},
      {"compressed size 0, size not", fileEntry("a.txt", big)},
      {"compressed size past the data, stored", fileEntry("a.txt", big)},
      {"corrupt deflate stream", fileEntry("a.txt", big)},
  };
  cases[0].entry.method = 0;
  cases[0].entry.crc = 0x12345678;
  cases[1].entry.crc = 0x12345678;
  cases[2].entry.method = 0;
  cases[2].entry.size = std::uint32_t(big.size() + 1);
  cases[3].entry.method = 0;
  cases[3].entry.size = std::uint32_t(big.size() - 1);
  cases[4].entry.size = std::uint32_t(big.size() + 1);
  cases[5].entry.size = std::uint32_t(big.size() - 1);
  cases[6].entry.compressedSize = 0;
  cases[7].entry.method = 0;
  cases[7].entry.compressedSize = std::uint32_t(big.size() + 100);
  std::string corrupt = deflateRaw(big);
  for (std::size_t i = 100; i < corrupt.size(); i += 37) corrupt[i] = char(corrupt[i] ^ 0x5A);
  cases[8].entry.payload = corrupt;
  for (const Case& c : cases) runCase(c.what, around(c.entry), extractionFails("a.txt"));

  // A deflate stream that ends at its own end marker before its compressed
  // size still claims the bytes of the next entry: refused before anything
  // is written, as every entry that shares bytes with another.
  ZipEntrySpec longer = fileEntry("a.txt", big);
  longer.compressedSize = std::uint32_t(deflateRaw(big).size() + 100);
  runCase("compressed size past the data, deflate", around(longer), extractionFails("a.txt"));
}

TEST(Hostile, ArchivesThatDoNotOpen) {
  std::string good = around(fileEntry("bin/lib.dll", std::string(5000, 'n')));
  std::size_t central = good.rfind(std::string("PK\x01\x02", 4));
  std::size_t firstCentral = good.find(std::string("PK\x01\x02", 4));
  ZipArchiveSpec split = archiveOf({fileEntry("a.txt", "x")});
  split.diskNumber = 1;
  ZipArchiveSpec splitCentral = archiveOf({fileEntry("a.txt", "x")});
  splitCentral.centralDirectoryDisk = 1;
  ZipArchiveSpec wrongCount = archiveOf({fileEntry("a.txt", "x"), fileEntry("b.txt", "y")});
  wrongCount.entryCount = 3;
  ZipEntrySpec hugeSize = fileEntry("a.txt", "x");
  hugeSize.size = 0xFFFFFFFF;  // a ZIP64 marker without the ZIP64 extra field
  ZipEntrySpec invalidUtf8 = utf8(fileEntry("bad\xFF\xFE.txt", "x"));
  std::string brokenSignature = good;
  brokenSignature[central + 1] = 'X';
  struct Case {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"0 bytes", ""},
      {"21 bytes", std::string(21, '\0')},
      {"a text file", "This is not an archive.\nJust a few lines of text.\n"},
      {"random bytes", std::string(4096, '\x5C')},
      {"cut short in the data", good.substr(0, firstCentral / 2)},
      {"cut short in the central directory", good.substr(0, central + 20)},
      {"end record lost", good.substr(0, good.size() - 22)},
      {"central directory entry signature broken", brokenSignature},
      {"end record on disk 1", buildZip(split)},
      {"central directory on disk 1", buildZip(splitCentral)},
      {"entry count too high", buildZip(wrongCount)},
      {"size 0xFFFFFFFF without ZIP64", around(hugeSize)},
      {"UTF-8 flag on a name that is not UTF-8", around(invalidUtf8)},
  };
  for (const Case& c : cases) runCase(c.what, c.bytes, notOpened());
}

TEST(Hostile, ArchivesThatOpenButLie) {
  // libzip reads only the end records' disk numbers: an entry that claims to
  // start on disk 1 is read from this file like any other.
  ZipEntrySpec otherDisk = fileEntry("a.txt", "from disk 1?");
  otherDisk.diskStart = 1;
  std::string empty = buildZipOf({});
  ZipEntrySpec backslashDir = dirEntry("d\\e\\");
  backslashDir.externalAttributes = 0;  // a directory by its name alone
  // Entries that share their data (a few KB that expand to gigabytes) are
  // refused before anything is written.
  ZipEntrySpec bomb = fileEntry("bomb.bin", std::string(100000, 'x')), again = bomb;
  again.name = "again.bin";
  again.sameDataAs = 1;
  ZipArchiveSpec twice = archiveOf({fileEntry("a.txt", "new a"), bomb, again}), twice64 = twice;
  twice64.zip64 = true;
  ZipEntrySpec intoDirectory = fileEntry("last.bin", "data");
  intoDirectory.method = 0;
  intoDirectory.compressedSize = 4 + 46;
  struct Case {
    const char* what;
    std::string bytes;
    Expect expect;
  } cases[] = {
      {"22 bytes: an empty archive", empty, installs({})},
      {"entry starting on disk 1", buildZipOf({otherDisk}), installs({{"a.txt", "from disk 1?"}})},
      {"a Windows tool's backslashes", buildZipOf({fileEntry("a\\b\\c", "c"), backslashDir}),
       installs(
           {{"a", "<dir>"}, {"a/b", "<dir>"}, {"a/b/c", "c"}, {"d", "<dir>"}, {"d/e", "<dir>"}})},
      {"two records, one local entry", buildZip(twice), extractionFails("bomb.bin")},
      {"two records, one local entry, ZIP64", buildZip(twice64), extractionFails("bomb.bin")},
      {"data that runs into the central directory",
       buildZipOf({fileEntry("a.txt", "new a"), intoDirectory}), extractionFails("last.bin")},
  };
  ASSERT_EQ(empty.size(), 22u);
  for (const Case& c : cases) runCase(c.what, c.bytes, c.expect);
}

TEST(Hostile, TargetsTheFileSystemRefuses) {
  std::string longName(300, 'L'), longPath;
  for (int i = 0; i < 20; ++i) longPath += std::string(250, char('a' + i)) + "/";
  longPath += "f.txt";
  struct Case {
    const char* what;
    std::string bytes;
    Expect expect;
  };
  std::vector<Case> cases = {
      {"file over an existing directory", around(fileEntry("data", "x")), extractionFails("data")},
      {"parent path is a file", around(fileEntry("keep.txt/x", "x")),
       extractionFails("keep.txt/x")},
      {"directory entry below a file", around(dirEntry("keep.txt/sub/")),
       extractionFails("keep.txt/sub/")},
      {"directory entry over a file", around(dirEntry("keep.txt/")), extractionFails("keep.txt/")},
      {"component over 255 bytes", around(fileEntry("dir/" + longName + ".txt", "x")),
       extractionFails("dir/" + longName + ".txt", {{"dir", "<dir>"}})},
  };
  // Too long for the system as a whole: refused before anything is made
  // (Windows takes the path, and fails at a directory on the way).
  if (!e2eConfig().windows)
    cases.push_back(
        {"path over 4 KiB", around(fileEntry(longPath, "x")), extractionFails(longPath)});
  for (const Case& c : cases) runCase(c.what, c.bytes, c.expect);
}

// A directory the user moved elsewhere and linked back stays in use: the
// update writes through the link, and a rollback puts the old file back
// there. A link found inside the backup directory goes with it as a link:
// what it points to is never entered.
TEST(Hostile, LinksInsideTheInstallationAreFollowedButNotInTheBackup) {
  for (bool fails : {false, true}) {
    SCOPED_TRACE(fails ? "rolled back" : "installed");
    std::string root = makeScratchDir();
    putFile(root + "/moved/plugins/p.dll", "old p");
    putFile(root + "/outside/keep.txt", "keep");
    fs::create_directories(root + "/inst/_guncelleme_yedek");
    fs::create_directory_symlink(root + "/moved/plugins", root + "/inst/plugins");
    fs::create_directory_symlink(root + "/outside", root + "/inst/_guncelleme_yedek/link");
    std::vector<ZipEntrySpec> entries = {dirEntry("plugins/"), fileEntry("plugins/p.dll", "new p")};
    if (fails) {
      entries.push_back(fileEntry("later.txt", "damaged"));
      entries.back().crc = 1;
    }
    writeBytes(root + "/u.zip", buildZipOf(entries));
    RunResult r =
        runUpdater({"--zip", spell(root + "/u.zip"), "--hedef", spell(root + "/inst")}, root);
    EXPECT_EQ(r.code, fails ? 4 : 0);
    EXPECT_EQ(fileContent(root + "/moved/plugins/p.dll"), fails ? "old p" : "new p");
    EXPECT_TRUE(fs::is_symlink(root + "/inst/plugins"));
    EXPECT_EQ(fileContent(root + "/outside/keep.txt"), "keep");
    // Wine 8 shows a host symlink as a reparse point but refuses to remove
    // it while its target is not empty (ERROR_DIR_NOT_EMPTY); Windows and
    // Linux remove the link.
    if (!e2eConfig().windows) {
      EXPECT_FALSE(fs::exists(root + "/inst/_guncelleme_yedek"));
    }
    removeScratchDir(root);
  }
}

// Another name of the backup directory (here a link inside the
// installation) is refused by what the directory is, not how it is spelt:
// the backup of a.txt is never overwritten through it.
TEST(Hostile, ALinkToTheBackupDirectoryIsRefused) {
  std::string root = makeScratchDir();
  putFile(root + "/inst/a.txt", "old a");
  fs::create_directory_symlink("_guncelleme_yedek", root + "/inst/alias");
  writeBytes(root + "/u.zip",
             buildZipOf({fileEntry("a.txt", "new a"), fileEntry("alias/a.txt", "foreign")}));
  RunResult r =
      runUpdater({"--zip", spell(root + "/u.zip"), "--hedef", spell(root + "/inst")}, root);
  EXPECT_EQ(r.code, 4);
  EXPECT_EQ(r.err, lineWith(errInvalidName, "alias/a.txt"));
  EXPECT_EQ(fileContent(root + "/inst/a.txt"), "old a");
  removeScratchDir(root);
}

TEST(Hostile, ControlCharactersInNames) {
  // Without the UTF-8 flag libzip reads a name with a control byte other
  // than tab, CR and LF as CP437, where 0x01-0x1F are symbols (0x01 is
  // U+263A); the stored bytes still refuse it. With the flag, such a control
  // byte makes the name invalid and the whole open fails.
  ZipEntrySpec smiley = fileEntry("ctl\x01.txt", "s");
  struct Case {
    const char* what;
    std::string bytes;
    Expect expect;
  } cases[] = {
      {"0x01 without flag", around(smiley), invalidName("ctl\xE2\x98\xBA.txt")},
      {"0x1F in a directory without flag", around(dirEntry("d\x1F/")),
       invalidName("d\xE2\x96\xBC/")},
      {"0x01 with flag", around(utf8(smiley)), notOpened()},
      {"0x1F with flag", around(utf8(fileEntry("x\x1F", "s"))), notOpened()},
      {"tab with flag", around(utf8(fileEntry("tab\t", "s"))), invalidName("tab\t")},
      {"tab without flag", around(fileEntry("tab\there.txt", "s")), invalidName("tab\there.txt")},
      {"line feed without flag", around(fileEntry("two\nlines", "s")), invalidName("two\nlines")},
      {"carriage return in a directory", around(dirEntry("cr\r/")), invalidName("cr\r/")},
      {"DEL is a usable character", around(fileEntry("del\x7F", "s")),
       installs({{"a.txt", "new a"}, {"del\x7F", "s"}, {"later.txt", "never"}})},
  };
  for (const Case& c : cases) runCase(c.what, c.bytes, c.expect);
}

TEST(Hostile, ATreeAHundredLevelsDeep) {
  std::string path, dirs;
  Tree created;
  // One letter a level keeps the path inside Windows' 260-byte limit.
  for (int i = 0; i < 100; ++i) {
    path += (i ? "/" : "") + std::string(1, char('a' + i % 26));
    created[path] = "<dir>";
  }
  Tree withFile = created;
  withFile[path + "/leaf.txt"] = "deep";
  runCase("installed", buildZipOf({fileEntry(path + "/leaf.txt", "deep")}), installs(withFile));
  ZipEntrySpec broken = fileEntry("a.txt", "b");
  broken.crc = 1;
  runCase("rolled back",
          buildZipOf({fileEntry(path + "/leaf.txt", "deep"), fileEntry("a.txt", "x"), broken}),
          extractionFails("a.txt", created));
}

TEST(Hostile, AHundredThousandEntriesRollBack) {
  if (e2eConfig().windows)
    GTEST_SKIP() << "100,000 entries take minutes through wine's file server";
  ZipArchiveSpec archive;
  archive.zip64 = true;
  for (int i = 0; i < 100000; ++i) {
    ZipEntrySpec e = fileEntry("many/f" + std::to_string(i), "");
    e.method = 0;
    archive.entries.push_back(e);
  }
  ZipEntrySpec broken = fileEntry("a.txt", "last");
  broken.crc = 1;
  archive.entries.push_back(broken);
  double start = monotonicSeconds();
  std::string bytes = buildZip(archive);
  runCase("100,000 new files, then a bad one", bytes,
          extractionFails("a.txt", {{"many", "<dir>"}}));
  std::printf("100,000 entries: %.1f s\n", monotonicSeconds() - start);
}

}  // namespace

int main(int argc, char** argv) {
  if (!setUpE2e(&argc, argv)) return 2;
  int result = RUN_ALL_TESTS();
  std::printf("hostile archive cases run: %d\n", casesRun);
  return result;
}
