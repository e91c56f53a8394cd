// The ZIP reader module over archives built byte by byte.
#include "zip_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>

#include "scratch.h"
#include "test_archive.h"
#include "zip_builder.h"

namespace {

namespace fs = std::filesystem;

struct Opened {
  std::string dir;
  ZipArchive* z;
  TestArchive archive;
};

Opened openBytes(const std::string& bytes) {
  Opened o{makeScratchDir(), nullptr, {}};
  writeBytes(o.dir + "/a.zip", bytes);
  o.archive = openTestArchive(o.dir + "\\a.zip");
  o.z = o.archive.z;
  return o;
}

void finish(Opened* o) {
  closeTestArchive(&o->archive);
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
      {"central directory cut",
       bytes.substr(0, bytes.size() - 22 - 10) + bytes.substr(bytes.size() - 22)},
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
  EXPECT_EQ(openTestArchive(dir + "/missing.zip").z, nullptr);
  EXPECT_EQ(openTestArchive(dir).z, nullptr);
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
  ZipEntrySpec flagged = fileEntry(
      "\xC3\xA7"
      "al\xC4\xB1\xC5\x9F"
      "ma/\xC3\xBC.txt",
      "x");
  flagged.flags = 0x800;
  ZipEntrySpec cp437 = fileEntry(
      "\x87"
      "a.txt",
      "x");  // 0x87 is c-cedilla in CP437
  std::string longName = std::string(300, 'n') + "/" + std::string(300, 'm');
  Opened o =
      openBytes(buildZipOf({flagged, cp437, fileEntry(longName, "x"), fileEntry("a\\b.txt", "x")}));
  ASSERT_NE(o.z, nullptr);
  std::string name;
  ASSERT_TRUE(entryName(o.z, 0, &name));
  EXPECT_EQ(name, flagged.name);
  ASSERT_TRUE(entryName(o.z, 1, &name));
  EXPECT_EQ(name,
            "\xC3\xA7"
            "a.txt");
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
  const ZipEntrySpec cases[] = {dirEntry("dir/"), dosDir, encrypted, patch, bzip2, lzma,
                                shrunk,           unknown};
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

// Bytes that deflate barely shrinks, so that the stream spans many reads.
std::string noisyData(std::size_t size) {
  std::string data(size, '\0');
  std::uint32_t x = 2463534242u;
  for (char& c : data) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = char(x >> 24);
  }
  return data;
}

// A raw deflate stream of all of `data` that never sets its final block:
// it decodes to the whole data and yet ends early.
std::string deflateWithoutEnd(const std::string& data) {
  z_stream s{};
  deflateInit2(&s, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&s, uLong(data.size())) + 64, '\0');
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  s.avail_in = uInt(data.size());
  s.next_out = reinterpret_cast<Bytef*>(&out[0]);
  s.avail_out = uInt(out.size());
  deflate(&s, Z_SYNC_FLUSH);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

TEST(ExtractEntry, InflatesAWholeStreamAndIgnoresBytesAfterItsEnd) {
  std::string small = "a short text, a short text, a short text";
  std::string noisy = noisyData(1024 * 1024);
  std::string smallStream = deflateRaw(small), noisyStream = deflateRaw(noisy);
  struct Case {
    const char* what;
    std::string data;
    std::string payload;
    std::optional<std::uint32_t> compressedSize;
    bool extracts;
  } cases[] = {
      {"trailing bytes inside the compressed size", small, smallStream + "garbage", {}, true},
      {"trailing bytes after a long stream",
       noisy,
       noisyStream + std::string(100000, 'g'),
       {},
       true},
      {"compressed size past the stream", noisy, noisyStream,
       std::uint32_t(noisyStream.size() + 40), true},
      {"stream cut short", small, smallStream.substr(0, smallStream.size() - 3), {}, false},
      {"long stream cut short", noisy, noisyStream.substr(0, noisyStream.size() / 2), {}, false},
      {"long stream cut by its last byte",
       noisy,
       noisyStream.substr(0, noisyStream.size() - 1),
       {},
       false},
      {"compressed size short of the stream", small, smallStream,
       std::uint32_t(smallStream.size() - 2), false},
      {"compressed size short of a long stream", noisy, noisyStream,
       std::uint32_t(noisyStream.size() - 70000), false},
      {"stream without its final block", small, deflateWithoutEnd(small), {}, false},
      {"long stream without its final block", noisy, deflateWithoutEnd(noisy), {}, false},
      {"garbage in place of a stream", small, std::string(64, '\xFF'), {}, false},
  };
  for (const Case& c : cases) {
    ZipEntrySpec e = fileEntry("t", c.data);
    e.payload = c.payload;
    e.compressedSize = c.compressedSize;
    Opened o = openBytes(oneEntry(e));
    ASSERT_NE(o.z, nullptr) << c.what;
    EXPECT_EQ(extractEntry(o.z, 0, o.dir + "/t"), c.extracts) << c.what;
    EXPECT_TRUE(fs::exists(o.dir + "/t")) << c.what;
    if (c.extracts) {
      EXPECT_TRUE(fileContent(o.dir + "/t") == c.data) << c.what;
    }
    finish(&o);
  }
}

TEST(ExtractEntry, ChecksEmptyStreamsAndStoredSizes) {
  std::string data = noisyData(300000);
  ZipEntrySpec empty = fileEntry("empty stream", "");
  ZipEntrySpec emptyTrailing = fileEntry("empty stream, trailing bytes", "");
  emptyTrailing.payload = deflateRaw("") + "xyz";
  ZipEntrySpec noStream = fileEntry("deflate without compressed data", "");
  noStream.payload = "";
  ZipEntrySpec emptyClaimsByte = fileEntry("empty stream claiming a byte", "");
  emptyClaimsByte.size = 1;
  ZipEntrySpec emptyWithCrc = fileEntry("empty stream with a CRC-32", "");
  emptyWithCrc.crc = 0x12345678;
  ZipEntrySpec storedSmaller = fileEntry("stored, size too small", data);
  storedSmaller.method = 0;
  storedSmaller.size = std::uint32_t(data.size() - 1);
  ZipEntrySpec storedZero = storedSmaller;
  storedZero.name = "stored, size 0";
  storedZero.size = 0;
  ZipEntrySpec storedShort = fileEntry("stored, compressed size short", data);
  storedShort.method = 0;
  storedShort.compressedSize = std::uint32_t(data.size() - 5);
  ZipEntrySpec storedLong = fileEntry("stored, compressed size long", data);
  storedLong.method = 0;
  storedLong.compressedSize = std::uint32_t(data.size() + 5);
  struct Case {
    ZipEntrySpec entry;
    bool extracts;
  } cases[] = {
      {empty, true},         {emptyTrailing, true},  {noStream, true},    {emptyClaimsByte, false},
      {emptyWithCrc, false}, {storedSmaller, false}, {storedZero, false}, {storedShort, false},
      {storedLong, false},
  };
  for (const Case& c : cases) {
    Opened o = openBytes(oneEntry(c.entry));
    ASSERT_NE(o.z, nullptr) << c.entry.name;
    EXPECT_EQ(extractEntry(o.z, 0, o.dir + "/t"), c.extracts) << c.entry.name;
    EXPECT_TRUE(fs::exists(o.dir + "/t")) << c.entry.name;
    if (c.extracts) {
      EXPECT_EQ(fileContent(o.dir + "/t"), c.entry.data) << c.entry.name;
    }
    finish(&o);
  }
}

TEST(ExtractEntry, WritesNoMoreThanTheStatedSize) {
  std::string data = noisyData(2 * 1024 * 1024);
  for (std::uint16_t method : {0, 8}) {
    ZipEntrySpec e = fileEntry("t", data);
    e.method = method;
    e.size = 1000;
    Opened o = openBytes(oneEntry(e));
    ASSERT_NE(o.z, nullptr);
    EXPECT_FALSE(extractEntry(o.z, 0, o.dir + "/t")) << method;
    ASSERT_TRUE(fs::exists(o.dir + "/t")) << method;
    EXPECT_LE(fs::file_size(o.dir + "/t"), 1000u) << method;
    finish(&o);
  }
}

TEST(ExtractEntry, Writes100MiBEntryWhole) {
  // Numbered lines: each 4 KiB block differs, so a lost or repeated chunk shows.
  std::string data;
  data.reserve(100 * 1024 * 1024 + 64);
  for (int line = 0; data.size() < 100 * 1024 * 1024; ++line)
    data += "line " + std::to_string(line) + " of the hundred mebibyte entry\n";
  data.resize(100 * 1024 * 1024);
  Opened o = openBytes(oneEntry(fileEntry("big", data)));
  ASSERT_NE(o.z, nullptr);
  ASSERT_TRUE(extractEntry(o.z, 0, o.dir + "/big"));
  EXPECT_TRUE(fileContent(o.dir + "/big") == data);
  finish(&o);
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
