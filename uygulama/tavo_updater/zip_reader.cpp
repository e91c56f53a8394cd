// The ZIP reader over libzip. libzip checks the archive's structure; this
// file adds what it leaves to the caller: refusing what we cannot extract
// faithfully, and checking the size of every entry written, and its CRC-32
// where libzip does not check it (an entry without compressed data).
#include "zip_reader.h"

#include <zip.h>

#include <memory>

#include "platform.h"

namespace {

const std::size_t chunkSize = 256 * 1024;
const zip_uint16_t patchDataFlag = 0x20;
const zip_uint32_t dosDirectoryBit = 0x10;

// libzip does not look at the "compressed patched data" flag: read the raw
// general-purpose flags through a source over the entry.
bool isPatchEntry(zip_t* z, zip_uint64_t index) {
  zip_source_t* source = zip_source_zip(z, z, index, ZIP_FL_ENCRYPTED, 0, -1);
  if (source == nullptr) return true;
  zip_file_attributes_t attributes;
  zip_file_attributes_init(&attributes);
  bool known = zip_source_get_file_attributes(source, &attributes) == 0 &&
               (attributes.valid & ZIP_FILE_ATTRIBUTES_GENERAL_PURPOSE_BIT_FLAGS);
  zip_source_free(source);
  return !known || (attributes.general_purpose_bit_flags & patchDataFlag) != 0;
}

bool canExtract(zip_t* z, zip_uint64_t index, const zip_stat_t& st) {
  const zip_uint64_t needed = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_CRC |
                              ZIP_STAT_COMP_METHOD | ZIP_STAT_ENCRYPTION_METHOD | ZIP_STAT_MTIME;
  if ((st.valid & needed) != needed) return false;
  if (st.encryption_method != ZIP_EM_NONE) return false;
  if (st.comp_method != ZIP_CM_STORE && st.comp_method != ZIP_CM_DEFLATE) return false;
  return !isPatchEntry(z, index);
}

// Copies the entry's data to the open file and counts the bytes; true when
// every byte read was written and libzip reported a clean end. The buffer is
// left uninitialised: zeroing it for every entry of a tree of small files
// cost more than the files' own writes.
bool copyData(zip_file_t* in, OutputFile out, zip_uint64_t* size) {
  std::unique_ptr<char[]> buffer(new char[chunkSize]);
  for (;;) {
    zip_int64_t got = zip_fread(in, buffer.get(), chunkSize);
    if (got == 0) return true;
    if (got < 0) return false;
    *size += zip_uint64_t(got);
    if (!writeOutputFile(out, buffer.get(), std::size_t(got))) return false;
  }
}

// Whether the data read matches the central directory. When the entry has
// compressed data, libzip computes its CRC-32 while reading and fails the
// last read on a mismatch, but does not notice a wrong uncompressed size of a
// deflated entry: the count catches that. Without compressed data libzip
// reads nothing, so the entry must claim no data: size 0 and the CRC-32 of
// no bytes, which is 0.
bool matchesDirectory(const zip_stat_t& st, zip_uint64_t size) {
  if (size != st.size) return false;
  return st.comp_size != 0 || st.crc == 0;
}

}  // namespace

ZipArchive* openArchive(const std::string& path) {
  int error = 0;
  return zip_open(systemPath(path).c_str(), ZIP_RDONLY, &error);
}

std::uint64_t entryCount(ZipArchive* z) {
  zip_int64_t n = zip_get_num_entries(z, 0);
  return n < 0 ? 0 : std::uint64_t(n);
}

bool entryName(ZipArchive* z, std::uint64_t index, std::string* name) {
  const char* stored = zip_get_name(z, index, 0);
  if (stored == nullptr) return false;
  *name = stored;
  return true;
}

bool entryIsDirectory(ZipArchive* z, std::uint64_t index) {
  const char* stored = zip_get_name(z, index, 0);
  if (stored == nullptr) return false;
  std::string name = stored;
  if (!name.empty() && name.back() == '/') return true;
  zip_uint8_t opsys = 0;
  zip_uint32_t attributes = 0;
  if (zip_file_get_external_attributes(z, index, 0, &opsys, &attributes) != 0) return false;
  return (attributes & dosDirectoryBit) != 0;
}

bool extractEntry(ZipArchive* z, std::uint64_t index, const std::string& target) {
  if (entryIsDirectory(z, index)) return false;
  zip_stat_t st;
  zip_stat_init(&st);
  if (zip_stat_index(z, index, 0, &st) != 0 || !canExtract(z, index, st)) return false;

  zip_file_t* in = zip_fopen_index(z, index, 0);
  if (in == nullptr) return false;
  OutputFile out = createOutputFile(target);
  if (out == invalidHandle) {
    zip_fclose(in);
    return false;
  }
  zip_uint64_t size = 0;
  bool copied = copyData(in, out, &size);
  bool closed = closeOutputFile(out);
  zip_fclose(in);
  if (!copied || !closed || !matchesDirectory(st, size)) return false;
  setFileTimes(target, st.mtime);
  return true;
}

void closeArchive(ZipArchive* z) { zip_discard(z); }
