// The ZIP reader module over archives built byte by byte.
#include "zip_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "scratch.h"
#include "zip_builder.h"

namespace {

namespace fs = std::filesystem;

struct Opened {
  std::string dir;
  ZipArchive* z;
};

Opened openBytes(const std::string& bytes) {
  Opened o{makeScratchDir(), nullptr};
  writeBytes(o.dir + "/a.zip", bytes);
  o.z = openArchive(o.dir + "\\a.zip");
  return o;
}

void finish(Opened* o) {
  if (o->z) closeArchive(o->z);
  removeScratchDir(o->dir);
}

std::string oneEntry(const ZipEntrySpec& e) { return buildZipOf({e}); }

TEST(OpenArchive, RefusesWhatIsNotOneWholeArchive) {
  ZipArchiveSpec good = archiveOf({fileEntry("a.txt", "hello")});
  std::string bytes = buildZip(good);
  ZipArchiveSpec disk = good;
  disk.diskNumber = 1;
  ZipArchiveSpec cdDisk = good;
  cdDisk.centralDirectoryDisk = 1;
  ZipArchiveSpec count = good;
  count.entryCount = 2;
  struct Case {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"empty file", ""},
      {"21 bytes", std::string(21, '\0')},
      {"text", "this is not an archive, only some text\n"},
      {"end record cut", bytes.substr(0, bytes.size() - 4)},
      {"central directory cut", bytes.substr(0, bytes.size() - 22 - 10) + bytes.substr(bytes.size() - 22)},
      {"end record on disk 1", buildZip(disk)},
      {"central directory on disk 1", buildZip(cdDisk)},
      {"wrong entry count", buildZip(count)},
  };
  for (const Case& c : cases) {
    Opened o = openBytes(c.bytes);
    EXPECT_EQ(o.z, nullptr) << c.what;
    finish(&o);
  }
  std::string dir = makeScratchDir();
  EXPECT_EQ(openArchive(dir + "/missing.zip"), nullptr);
  EXPECT_EQ(openArchive(dir), nullptr);
  removeScratchDir(dir);
}

TEST(OpenArchive, AcceptsEmptyAndZip64Archives) {
  Opened empty = openBytes(buildZipOf({}));
  ASSERT_NE(empty.z, nullptr);
  EXPECT_EQ(entryCount(empty.z), 0u);
  finish(&empty);

  ZipArchiveSpec archive = archiveOf({fileEntry("a.txt", "sixty-four"), fileEntry("b/c.txt", "")});
  archive.zip64 = true;
  Opened o = openBytes(buildZip(archive));
  ASSERT_NE(o.z, nullptr);
  EXPECT_EQ(entryCount(o.z), 2u);
  EXPECT_TRUE(extractEntry(o.z, 0, o.dir + "\\a.txt"));
  EXPECT_EQ(fileContent(o.dir + "/a.txt"), "sixty-four");
  finish(&o);
}

TEST(EntryNames, ComeBackWholeAndAsUtf8) {
  ZipEntrySpec flagged = fileEntry("\xC3\xA7" "al\xC4\xB1\xC5\x9F" "ma/\xC3\xBC.txt", "x");
  flagged.flags = 0x800;
  ZipEntrySpec cp437 = fileEntry("\x87" "a.txt", "x");  // 0x87 is c-cedilla in CP437
  std::string longName = std::string(300, 'n') + "/" + std::string(300, 'm');
  Opened o = openBytes(buildZipOf({flagged, cp437, fileEntry(longName, "x"),
                                  fileEntry("a\\b.txt", "x")}));
  ASSERT_NE(o.z, nullptr);
  std::string name;
  ASSERT_TRUE(entryName(o.z, 0, &name));
  EXPECT_EQ(name, flagged.name);
  ASSERT_TRUE(entryName(o.z, 1, &name));
  EXPECT_EQ(name, "\xC3\xA7" "a.txt");
  ASSERT_TRUE(entryName(o.z, 2, &name));
  EXPECT_EQ(name, longName);
  ASSERT_TRUE(entryName(o.z, 3, &name));
  EXPECT_EQ(name, "a\\b.txt");
  EXPECT_FALSE(entryName(o.z, 4, &name));
  finish(&o);
}

TEST(EntryIsDirectory, ByTrailingSlashOrDosBit) {
  ZipEntrySpec dosBit = fileEntry("d", "");
  dosBit.externalAttributes = 0x10;
  ZipEntrySpec unixMode = fileEntry("u", "");
  unixMode.madeBy = (3 << 8) | 20;
  unixMode.externalAttributes = 040755u << 16;
  ZipEntrySpec archiveBit = fileEntry("f", "x");
  archiveBit.externalAttributes = 0x20;
  Opened o = openBytes(buildZipOf({dirEntry("a/"), dosBit, unixMode, archiveBit}));
  ASSERT_NE(o.z, nullptr);
  EXPECT_TRUE(entryIsDirectory(o.z, 0));
  EXPECT_TRUE(entryIsDirectory(o.z, 1));
  EXPECT_FALSE(entryIsDirectory(o.z, 2));
  EXPECT_FALSE(entryIsDirectory(o.z, 3));
  finish(&o);
}

TEST(ExtractEntry, RefusesWithoutTouchingTheTarget) {
  ZipEntrySpec encrypted = fileEntry("e", "secret");
  encrypted.flags = 0x1;
  ZipEntrySpec patch = fileEntry("p", "patch");
  patch.flags = 0x20;
  ZipEntrySpec bzip2 = fileEntry("b", "bzip2");
  bzip2.method = 12;
  ZipEntrySpec lzma = fileEntry("l", "lzma");
  lzma.method = 14;
  ZipEntrySpec shrunk = fileEntry("s", "shrunk");
  shrunk.method = 1;
  ZipEntrySpec unknown = fileEntry("u", "");
  unknown.method = 200;
  ZipEntrySpec dosDir = fileEntry("d", "");
  dosDir.externalAttributes = 0x10;
  const ZipEntrySpec cases[] = {dirEntry("dir/"), dosDir, encrypted, patch,
                                bzip2,           lzma,   shrunk,    unknown};
  for (const ZipEntrySpec& e : cases) {
    Opened o = openBytes(oneEntry(e));
    ASSERT_NE(o.z, nullptr) << e.name;
    putFile(o.dir + "/existing", "keep");
    EXPECT_FALSE(extractEntry(o.z, 0, o.dir + "/existing")) << e.name;
    EXPECT_EQ(fileContent(o.dir + "/existing"), "keep") << e.name;
    EXPECT_FALSE(extractEntry(o.z, 0, o.dir + "/new")) << e.name;
    EXPECT_FALSE(fs::exists(o.dir + "/new")) << e.name;
    finish(&o);
  }
}

TEST(ExtractEntry, WritesStoredAndDeflatedDataOfAnySize) {
  std::string big;
  for (int i = 0; big.size() < 3 * 1024 * 1024; ++i) big += std::to_string(i * 7919LL) + ",";
  ZipEntrySpec stored = fileEntry("stored", big);
  stored.method = 0;
  ZipEntrySpec emptyStored = fileEntry("empty-stored", "");
  emptyStored.method = 0;
  const ZipEntrySpec cases[] = {stored, fileEntry("deflated", big), emptyStored,
                                fileEntry("empty-deflated", ""), fileEntry("small", "abc")};
  for (const ZipEntrySpec& e : cases) {
    Opened o = openBytes(oneEntry(e));
    ASSERT_NE(o.z, nullptr) << e.name;
    putFile(o.dir + "/t", "previous content that is longer than abc");
    EXPECT_TRUE(extractEntry(o.z, 0, o.dir + "\\t")) << e.name;
    EXPECT_TRUE(fileContent(o.dir + "/t") == e.data) << e.name;
    finish(&o);
  }
}

TEST(ExtractEntry, FailsOnDataThatDoesNotMatchAndKeepsThePartialFile) {
  std::string data(200000, 'z');
  for (std::size_t i = 0; i < data.size(); i += 7) data[i] = char('a' + i % 26);
  ZipEntrySpec badCrc = fileEntry("crc", data);
  badCrc.crc = 0x12345678;
  ZipEntrySpec badStoredCrc = badCrc;
  badStoredCrc.method = 0;
  ZipEntrySpec sizeTooBig = fileEntry("big", data);
  sizeTooBig.size = std::uint32_t(data.size() + 1);
  ZipEntrySpec sizeTooSmall = fileEntry("small", data);
  sizeTooSmall.size = std::uint32_t(data.size() - 1);
  ZipEntrySpec noData = fileEntry("nodata", data);
  noData.method = 0;
  noData.payload = "";
  ZipEntrySpec damaged = fileEntry("damaged", data);
  damaged.payload = deflateRaw(data).substr(0, 50) + std::string(200, '\xFF');
  ZipEntrySpec emptyWithCrc = fileEntry("emptycrc", "");
  emptyWithCrc.method = 0;
  emptyWithCrc.crc = 0x12345678;
  // Entries longer than one read, where only the end of the data can tell.
  std::string longData = data + data + data + data;
  ZipEntrySpec longBadCrc = fileEntry("longcrc", longData);
  longBadCrc.crc = 0x12345678;
  ZipEntrySpec longBadStoredCrc = longBadCrc;
  longBadStoredCrc.method = 0;
  ZipEntrySpec longSizeTooSmall = fileEntry("longsmall", longData);
  longSizeTooSmall.size = std::uint32_t(longData.size() - 1);
  ZipEntrySpec longStoredSizeTooBig = fileEntry("longstoredbig", longData);
  longStoredSizeTooBig.method = 0;
  longStoredSizeTooBig.size = std::uint32_t(longData.size() + 1);
  const ZipEntrySpec cases[] = {
      badCrc,           badStoredCrc,     sizeTooBig,          sizeTooSmall,
      noData,           damaged,          emptyWithCrc,        longBadCrc,
      longBadStoredCrc, longSizeTooSmall, longStoredSizeTooBig};
  for (const ZipEntrySpec& e : cases) {
    Opened o = openBytes(oneEntry(e));
    ASSERT_NE(o.z, nullptr) << e.name;
    EXPECT_FALSE(extractEntry(o.z, 0, o.dir + "/t")) << e.name;
    EXPECT_TRUE(fs::exists(o.dir + "/t")) << e.name;
    finish(&o);
  }
}

TEST(ExtractEntry, SetsTheStoredDateAndTimeAsLocalTime) {
  static char zone[] = "TZ=EST5EDT";
  putenv(zone);
  tzset();
  ZipEntrySpec e = fileEntry("t", "x");
  e.dosDate = dosDateOf(2021, 7, 15);
  e.dosTime = dosTimeOf(13, 45, 30);
  Opened o = openBytes(oneEntry(e));
  ASSERT_NE(o.z, nullptr);
  ASSERT_TRUE(extractEntry(o.z, 0, o.dir + "/t"));
  std::tm local{};
  local.tm_year = 121;
  local.tm_mon = 6;
  local.tm_mday = 15;
  local.tm_hour = 13;
  local.tm_min = 45;
  local.tm_sec = 30;
  local.tm_isdst = -1;
  struct stat st;
  ASSERT_EQ(stat((o.dir + "/t").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, std::mktime(&local));
  EXPECT_EQ(st.st_mtime, std::time_t(1626371130));  // 17:45:30 UTC
  finish(&o);
}

}  // namespace
