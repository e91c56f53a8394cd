// The ZIP reader: the few archive operations the installation needs, over
// libzip. This is the only file pair that knows libzip.
#ifndef TAVO_UPDATER_ZIP_READER_H
#define TAVO_UPDATER_ZIP_READER_H

#include <cstdint>
#include <string>

#include "platform.h"

// An open archive, with the buffers its entries are decoded through (made
// once per archive, not per entry).
struct ZipArchive;

// What the central directory says of an entry's data.
struct EntryFacts {
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
  FileTime modified;  // the stored local date and time
};

struct InputFile;
struct ArchiveDigests;

// Opens the archive in the input file `file`, open and left open by the
// caller until closeArchive: libzip reads the file only through it, and no
// further than the size recorded when it was opened. nullptr when `file` is
// not open, is shorter than an end record, its end record or central
// directory is missing or damaged, or it spans several disks. ZIP64 and
// empty archives open (an empty file is no archive). With `digests` (a
// signed archive's, kept until closeArchive) every byte handed on is first
// checked against them, now and in every later operation; a block that
// reads differently fails that read and sets digests->mismatched.
ZipArchive* openArchiveFrom(const InputFile& file, ArchiveDigests* digests = nullptr);

// Number of entries in the central directory.
std::uint64_t entryCount(ZipArchive* z);

// The stored name of entry `index` (as UTF-8). False when it cannot be read.
bool entryName(ZipArchive* z, std::uint64_t index, std::string* name);

// The name of entry `index` as its bytes are stored, before any decoding
// from code page 437 to UTF-8. False when it cannot be read.
bool entryRawName(ZipArchive* z, std::uint64_t index, std::string* raw);

// True when the name ends in '/' or a backslash, or the external attributes carry 0x10.
bool entryIsDirectory(ZipArchive* z, std::uint64_t index);

// The entry's size, CRC-32 and time. False when they cannot be read.
bool entryFacts(ZipArchive* z, std::uint64_t index, EntryFacts* facts);

// True when the file `path` holds exactly the entry's data: its CRC-32 is
// the entry's, and the decoded entry equals it byte for byte (decoding stops
// at the first difference). False when they differ, or either cannot be read.
bool entryMatchesFile(ZipArchive* z, std::uint64_t index, const std::string& path);

// Writes the entry's data to `target` (made as createOutputFile does, with
// `like`), checked against its size and CRC-32, and sets the file's times to
// the entry's stored local date and time. Refuses, without touching
// `target`, a directory, an encrypted or patch entry, or a method other than
// stored and deflate. On any failure returns false and leaves what was
// written.
bool extractEntry(ZipArchive* z, std::uint64_t index, const std::string& target,
                  const PathInfo* like = nullptr);

// Decodes the entry into *text, checked as extractEntry checks it. False for
// what extractEntry refuses, an entry larger than `limit` bytes, or damage.
bool readEntryText(ZipArchive* z, std::uint64_t index, std::uint64_t limit, std::string* text);

// True when some entry's bytes (local header, name, extra field and
// compressed data) overlap another entry's, the central directory or the end
// records; then *index is the first such entry in the central directory.
// Also true, with *index 0, when the central directory as read here does not
// agree with libzip's or a local header cannot be read.
bool firstOverlappingEntry(ZipArchive* z, std::uint64_t* index);

// Releases the archive.
void closeArchive(ZipArchive* z);

#endif
