// Builds ZIP archives byte by byte for the tests, including broken and
// hostile ones: every header field that a test may want to lie about can be
// overridden.
#ifndef TAVO_TESTS_ZIP_BUILDER_H
#define TAVO_TESTS_ZIP_BUILDER_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct ZipEntrySpec {
  std::string name;
  std::string data;
  std::uint16_t method = 8;  // 0 stored, 8 deflate; others store `data` as is
  std::uint16_t flags = 0;   // general-purpose bits (0x1 encrypted, 0x20 patch, 0x800 UTF-8)
  std::uint32_t externalAttributes = 0;
  std::uint16_t madeBy = 20;  // version made by: host 0 (MS-DOS), version 2.0
  std::uint16_t dosTime = 0;
  std::uint16_t dosDate = (40 << 9) | (1 << 5) | 1;  // 2020-01-01
  std::optional<std::uint32_t> crc;                  // overrides the computed CRC-32
  std::optional<std::uint32_t> size;                 // overrides the uncompressed size
  std::optional<std::uint32_t> compressedSize;       // overrides the compressed size
  std::optional<std::string> payload;                // overrides the compressed bytes
  std::uint16_t diskStart = 0;
  std::string centralExtra;  // extra field of the central-directory record
  // The central-directory record points at this earlier entry's local
  // header, and none is written for this one.
  std::optional<std::size_t> sameDataAs;
};

struct ZipArchiveSpec {
  std::vector<ZipEntrySpec> entries;
  bool zip64 = false;  // ZIP64 end record and locator, ZIP64 sizes in every entry
  std::uint16_t diskNumber = 0;
  std::uint16_t centralDirectoryDisk = 0;
  std::optional<std::uint16_t> entryCount;  // overrides the end record's counts
};

// The archive's bytes.
std::string buildZip(const ZipArchiveSpec& archive);

// An ordinary archive of `entries`.
std::string buildZipOf(const std::vector<ZipEntrySpec>& entries);
ZipArchiveSpec archiveOf(const std::vector<ZipEntrySpec>& entries);

// A file entry with default fields, and a directory entry ("name/").
ZipEntrySpec fileEntry(const std::string& name, const std::string& data);
ZipEntrySpec dirEntry(const std::string& name);

std::uint16_t dosDateOf(int year, int month, int day);
std::uint16_t dosTimeOf(int hour, int minute, int second);

// Raw deflate of `data` (no zlib header), as ZIP stores it.
std::string deflateRaw(const std::string& data);

// Writes `bytes` to `path`, replacing it. True on success.
bool writeBytes(const std::string& path, const std::string& bytes);

#endif
