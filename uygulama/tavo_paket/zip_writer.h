// The packer's ZIP writer, over libzip's writing API. Only tavo_paket uses
// it; the updater reads archives through zip_reader.cpp alone.
#ifndef TAVO_PAKET_ZIP_WRITER_H
#define TAVO_PAKET_ZIP_WRITER_H

#include <cstdint>
#include <string>
#include <vector>

#include "platform.h"

// One entry to write. A directory's name ends in '/'. A file's data is read
// from `path` when the archive is written, or is `data` when `path` is empty.
struct ZipItem {
  std::string name;  // UTF-8, '/'-separated
  bool directory = false;
  std::string path;
  std::string data;
  std::uint64_t size = 0;  // of the file at `path`, as looked at before
  FileTime modified;
  std::uint32_t permissions = 0;  // POSIX permission bits
};

// Writes `items` in their order to a new archive at `path` (replacing what
// is there): files deflated, names flagged UTF-8 where they are not ASCII,
// each entry's time as a DOS local time, its Unix type and permission bits in
// the external attributes (with the DOS directory and read-only bits). A
// file at `path` whose size differs from `size` when it is read fails the
// write. True when the whole archive was written; otherwise false, with the
// name of the item that could not be read in *unreadable (empty when the
// archive itself could not be written), and nothing left at `path` beyond
// what was there. libzip writes a temporary file beside `path` and renames
// it into place.
bool writeZip(const std::string& path, const std::vector<ZipItem>& items, std::string* unreadable);

#endif
