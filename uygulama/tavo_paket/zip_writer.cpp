// The packer's ZIP writer over libzip. libzip reads each file only when the
// archive is written (zip_close), through a source over our input file, so
// that a release of any size passes through a small buffer; a file that is
// not what was looked at before (another size, changed while read) fails the
// whole archive rather than going in torn.
#include "zip_writer.h"

#include <zip.h>

#include <algorithm>
#include <ctime>

namespace {

const zip_uint32_t unixDirectory = 0040000, unixFile = 0100000;
const zip_uint32_t dosReadOnly = 0x01, dosDirectory = 0x10;
const zip_uint64_t largestRead = 1 << 20;

// One file's data as libzip reads it.
struct FileSource {
  const ZipItem* item = nullptr;
  std::string* unreadable = nullptr;
  InputFile file;
  std::uint64_t position = 0;
  zip_error_t error;
};

zip_int64_t failed(FileSource* s, int code) {
  if (s->unreadable->empty()) *s->unreadable = s->item->name;
  zip_error_set(&s->error, code, 0);
  return -1;
}

zip_int64_t readSome(FileSource* s, void* data, zip_uint64_t len) {
  std::int64_t got =
      readInputFile(s->file, s->position, data, std::size_t(std::min(len, largestRead)));
  if (got < 0) return failed(s, ZIP_ER_READ);
  s->position += std::uint64_t(got);
  // At the end: the whole file as it was looked at, unchanged meanwhile.
  if (got == 0 && (s->position != s->item->size || !inputFileUnchanged(s->file)))
    return failed(s, ZIP_ER_CHANGED);
  return got;
}

zip_int64_t statItem(FileSource* s, void* data, zip_uint64_t len) {
  zip_stat_t* st = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, len, &s->error);
  if (st == nullptr) return -1;
  zip_stat_init(st);
  st->size = s->item->size;
  st->mtime = std::time_t(s->item->modified.seconds);
  st->valid |= ZIP_STAT_SIZE | ZIP_STAT_MTIME;
  return sizeof(zip_stat_t);
}

zip_int64_t fileCommand(void* userdata, void* data, zip_uint64_t len, zip_source_cmd_t cmd) {
  FileSource* s = static_cast<FileSource*>(userdata);
  switch (cmd) {
    case ZIP_SOURCE_OPEN:
      s->position = 0;
      if (!openInputFile(s->item->path, &s->file, Reading::steady)) return failed(s, ZIP_ER_OPEN);
      return s->file.size == s->item->size ? 0 : failed(s, ZIP_ER_CHANGED);
    case ZIP_SOURCE_READ:
      return readSome(s, data, len);
    case ZIP_SOURCE_CLOSE:
      closeInputFile(&s->file);
      return 0;
    case ZIP_SOURCE_STAT:
      return statItem(s, data, len);
    case ZIP_SOURCE_ERROR:
      return zip_error_to_data(&s->error, data, len);
    case ZIP_SOURCE_FREE:
      closeInputFile(&s->file);
      zip_error_fini(&s->error);
      delete s;
      return 0;
    case ZIP_SOURCE_SUPPORTS:
      return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE,
                                            ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
    default:
      zip_error_set(&s->error, ZIP_ER_OPNOTSUPP, 0);
      return -1;
  }
}

zip_source_t* sourceOf(zip_t* z, const ZipItem& item, std::string* unreadable) {
  if (item.path.empty()) return zip_source_buffer(z, item.data.data(), item.data.size(), 0);
  FileSource* s = new FileSource;
  s->item = &item;
  s->unreadable = unreadable;
  zip_error_init(&s->error);
  zip_source_t* source = zip_source_function(z, fileCommand, s);
  if (source == nullptr) fileCommand(s, nullptr, 0, ZIP_SOURCE_FREE);
  return source;
}

// Adds one item with its time and attributes; false when libzip refuses it.
bool addItem(zip_t* z, const ZipItem& item, std::string* unreadable) {
  zip_int64_t index = -1;
  if (item.directory) {
    index = zip_dir_add(z, item.name.c_str(), ZIP_FL_ENC_UTF_8);
  } else {
    zip_source_t* source = sourceOf(z, item, unreadable);
    if (source == nullptr) return false;
    index = zip_file_add(z, item.name.c_str(), source, ZIP_FL_ENC_UTF_8);
    if (index < 0) {
      zip_source_free(source);
      return false;
    }
  }
  if (index < 0) return false;
  zip_uint64_t i = zip_uint64_t(index);
  zip_uint32_t type = item.directory ? unixDirectory : unixFile;
  zip_uint32_t dos = item.directory ? dosDirectory : (item.permissions & 0200) ? 0 : dosReadOnly;
  zip_uint32_t attributes = ((type | (item.permissions & 07777)) << 16) | dos;
  return (item.directory || zip_set_file_compression(z, i, ZIP_CM_DEFLATE, 0) == 0) &&
         zip_file_set_mtime(z, i, std::time_t(item.modified.seconds), 0) == 0 &&
         zip_file_set_external_attributes(z, i, 0, ZIP_OPSYS_UNIX, attributes) == 0;
}

}  // namespace

bool writeZip(const std::string& path, const std::vector<ZipItem>& items, std::string* unreadable) {
  unreadable->clear();
  int error = 0;
  zip_t* z = zip_open(systemPath(path).c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  if (z == nullptr) return false;
  for (const ZipItem& item : items) {
    if (!addItem(z, item, unreadable)) {
      zip_discard(z);
      return false;
    }
  }
  // The data is read and the archive written here; a failure leaves no file.
  if (zip_close(z) == 0) return true;
  zip_discard(z);
  return false;
}
