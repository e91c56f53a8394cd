// The ZIP reader over libzip. libzip checks the archive's structure and
// hands over each entry's raw bytes; this file decodes them and adds what an
// installation needs: refusing what we cannot extract faithfully, and
// checking every entry's stream, size and CRC-32 against the central
// directory. Deflate is decoded with ISA-L. libzip reads the archive only
// through our open input file (a function source), never by its path,
// so that the bytes installed are the bytes whose signature was checked.
#include "zip_reader.h"

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#include <zip.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "platform.h"
#include "signature.h"

namespace {

const zip_uint16_t patchDataFlag = 0x20;
const zip_uint32_t dosDirectoryBit = 0x10;

// The archive's bytes as libzip reads them: our open input file, the
// position of libzip's next read, and whether the file is ours to close.
// Reads smaller than this are served from one read-ahead of this size: an
// archive of small files would otherwise cost a system call for every
// entry's header and another for its data. A signed archive is read in its
// checked blocks instead, each one whole into `ahead` and compared with its
// digest before any of its bytes is handed on.
const std::size_t readAhead = 64 * 1024;

struct ArchiveSource {
  InputFile file;
  ArchiveDigests* digests = nullptr;  // a signed archive's blocks
  zip_uint64_t position = 0;
  zip_error_t error;
  std::unique_ptr<unsigned char[]> ahead{new unsigned char[std::max(readAhead, archiveBlock)]};
  zip_uint64_t aheadAt = 0, aheadSize = 0;  // what `ahead` holds
};

// Loads the block that holds `at` into `ahead`. False when it cannot be read
// whole or is not as it was checked: either counts as a changed archive.
bool loadCheckedBlock(ArchiveSource* s, zip_uint64_t at) {
  zip_uint64_t index = at / archiveBlock, start = index * archiveBlock;
  std::size_t size = std::size_t(std::min<zip_uint64_t>(archiveBlock, s->file.size - start));
  std::size_t got = 0;
  while (got < size) {
    std::int64_t n = readInputFile(s->file, start + got, s->ahead.get() + got, size - got);
    if (n <= 0) break;
    got += std::size_t(n);
  }
  s->aheadAt = start;
  s->aheadSize = 0;
  if (!blockAsChecked(s->digests, index, s->ahead.get(), got) || got != size) {
    s->digests->mismatched = true;
    return false;
  }
  s->aheadSize = size;
  return true;
}

zip_int64_t readChecked(ArchiveSource* s, void* data, zip_uint64_t len) {
  zip_uint64_t left = s->position < s->file.size ? s->file.size - s->position : 0;
  std::size_t want = std::size_t(std::min(len, left)), done = 0;
  unsigned char* to = static_cast<unsigned char*>(data);
  while (done < want) {
    zip_uint64_t at = s->position + done;
    bool inAhead = at >= s->aheadAt && at < s->aheadAt + s->aheadSize;
    if (!inAhead && !loadCheckedBlock(s, at)) {
      zip_error_set(&s->error, ZIP_ER_READ, 0);
      return -1;
    }
    std::size_t n =
        std::size_t(std::min<zip_uint64_t>(want - done, s->aheadAt + s->aheadSize - at));
    std::memcpy(to + done, s->ahead.get() + (at - s->aheadAt), n);
    done += n;
  }
  s->position += done;
  return zip_int64_t(done);
}

zip_int64_t readSource(ArchiveSource* s, void* data, zip_uint64_t len) {
  if (s->digests != nullptr) return readChecked(s, data, len);
  // Never past the size seen at the open: those are the bytes that were checked.
  zip_uint64_t left = s->position < s->file.size ? s->file.size - s->position : 0;
  std::size_t want = std::size_t(std::min(len, left));
  bool inAhead = s->position >= s->aheadAt && s->position + want <= s->aheadAt + s->aheadSize;
  if (!inAhead && want < readAhead) {
    std::int64_t got = readInputFile(s->file, s->position, s->ahead.get(), readAhead);
    s->aheadAt = s->position;
    s->aheadSize = got < 0 ? 0 : zip_uint64_t(got);
    if (got < 0) {
      zip_error_set(&s->error, ZIP_ER_READ, 0);
      return -1;
    }
    inAhead = true;
    want = std::size_t(std::min<zip_uint64_t>(want, s->aheadSize));
  }
  std::int64_t got = want;
  if (inAhead)
    std::memcpy(data, s->ahead.get() + (s->position - s->aheadAt), want);
  else
    got = readInputFile(s->file, s->position, data, want);
  if (got < 0) {
    zip_error_set(&s->error, ZIP_ER_READ, 0);
    return -1;
  }
  s->position += zip_uint64_t(got);
  return got;
}

zip_int64_t statSource(ArchiveSource* s, void* data, zip_uint64_t len) {
  zip_stat_t* st = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, len, &s->error);
  if (st == nullptr) return -1;
  zip_stat_init(st);
  st->size = s->file.size;
  st->valid |= ZIP_STAT_SIZE;
  return sizeof(zip_stat_t);
}

// A seekable read-only source over ArchiveSource, as libzip's own file source
// is over a path.
zip_int64_t sourceCommand(void* userdata, void* data, zip_uint64_t len, zip_source_cmd_t cmd) {
  ArchiveSource* s = static_cast<ArchiveSource*>(userdata);
  switch (cmd) {
    case ZIP_SOURCE_OPEN:
      s->position = 0;
      return 0;
    case ZIP_SOURCE_READ:
      return readSource(s, data, len);
    case ZIP_SOURCE_CLOSE:
      return 0;
    case ZIP_SOURCE_STAT:
      return statSource(s, data, len);
    case ZIP_SOURCE_ERROR:
      return zip_error_to_data(&s->error, data, len);
    case ZIP_SOURCE_SEEK: {
      zip_int64_t to =
          zip_source_seek_compute_offset(s->position, s->file.size, data, len, &s->error);
      if (to < 0) return -1;
      s->position = zip_uint64_t(to);
      return 0;
    }
    case ZIP_SOURCE_TELL:
      return zip_int64_t(s->position);
    case ZIP_SOURCE_ACCEPT_EMPTY:
      return 0;  // an empty file is no archive, as for libzip's file source
    case ZIP_SOURCE_SUPPORTS:
      return ZIP_SOURCE_SUPPORTS_SEEKABLE |
             ZIP_SOURCE_MAKE_COMMAND_BITMASK(ZIP_SOURCE_ACCEPT_EMPTY);
    case ZIP_SOURCE_FREE:
      zip_error_fini(&s->error);
      delete s;
      return 0;
    default:
      zip_error_set(&s->error, ZIP_ER_OPNOTSUPP, 0);
      return -1;
  }
}

zip_t* openFromSource(ArchiveSource* s) {
  zip_error_init(&s->error);
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_function_create(sourceCommand, s, &error);
  zip_t* z = source == nullptr ? nullptr : zip_open_from_source(source, ZIP_RDONLY, &error);
  zip_error_fini(&error);
  if (z != nullptr) return z;
  // The source frees `s`; without a source it is freed here.
  if (source != nullptr)
    zip_source_free(source);
  else
    sourceCommand(s, nullptr, 0, ZIP_SOURCE_FREE);
  return nullptr;
}

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

// Input and output chunks of the decoding loop. The buffers are left
// uninitialised: zeroing them for every entry of a tree of small files cost
// more than the files' own writes.
const std::size_t inputChunk = 64 * 1024;
const std::size_t outputChunk = 256 * 1024;

// One raw-deflate stream being decoded, with the CRC-32 of its output.
struct Decoder {
  inflate_state state;
};

void startDecoder(Decoder*) {}

// ISA-L computes the gzip CRC-32, which is ZIP's, as it writes the output.
bool openDecoder(Decoder* d) {
  isal_inflate_init(&d->state);
  d->state.crc_flag = ISAL_GZIP_NO_HDR;
  return true;
}

void endDecoder(Decoder*) {}

std::uint32_t decodedCrc(const Decoder& d) { return d.state.crc; }

std::uint32_t crcOf(std::uint32_t crc, const unsigned char* data, std::size_t size) {
  return crc32_gzip_refl(crc, data, size);
}

// Decodes from `*in` into `*out`, advancing both; false on damaged data.
// `*ended` once the stream's last block is out.
bool decodeSome(Decoder* d, const unsigned char** in, std::size_t* inLeft, unsigned char** out,
                std::size_t* outLeft, bool* ended) {
  inflate_state& s = d->state;
  s.next_in = const_cast<unsigned char*>(*in);
  s.avail_in = std::uint32_t(*inLeft);
  s.next_out = *out;
  s.avail_out = std::uint32_t(*outLeft);
  if (isal_inflate(&s) != ISAL_DECOMP_OK) return false;
  *in = s.next_in;
  *inLeft = s.avail_in;
  *out = s.next_out;
  *outLeft = s.avail_out;
  *ended = s.block_state == ISAL_BLOCK_FINISH;
  return true;
}

// What was written for an entry, to compare with the central directory.
struct Written {
  zip_uint64_t size = 0;
  std::uint32_t crc = 0;
};

// Where decoded bytes go: written to `out`, or compared with the next bytes
// of `in` (into `buffer`), which stops the decoding at the first difference.
struct Sink {
  FileHandle out = invalidHandle;
  std::string* text = nullptr;  // or kept in memory
  InputFile* in = nullptr;
  std::uint64_t* at = nullptr;  // where the next bytes of `in` are
  unsigned char* buffer = nullptr;
};

// Reads exactly `size` bytes at *at, moving it on; false at an early end or
// an error.
bool readFully(const InputFile& in, std::uint64_t* at, unsigned char* data, std::size_t size) {
  while (size > 0) {
    std::int64_t got = readInputFile(in, *at, data, size);
    if (got <= 0) return false;
    *at += std::uint64_t(got);
    data += got;
    size -= std::size_t(got);
  }
  return true;
}

// Writes (or compares) the chunk unless the entry would outgrow its stated
// size, so that a lying size cannot fill the disk; the size check then
// fails the entry.
bool writeChunk(const Sink& sink, const unsigned char* data, std::size_t size, zip_uint64_t limit,
                Written* written) {
  written->size += size;
  if (written->size > limit) return false;
  if (size == 0) return true;
  if (sink.out != invalidHandle) return writeOutputFile(sink.out, data, size);
  if (sink.text != nullptr)
    return sink.text->append(reinterpret_cast<const char*>(data), size), true;
  return readFully(*sink.in, sink.at, sink.buffer, size) &&
         std::memcmp(sink.buffer, data, size) == 0;
}

}  // namespace

struct ZipArchive {
  zip_t* z = nullptr;
  ArchiveSource* source = nullptr;  // libzip's, freed with it
  std::unique_ptr<unsigned char[]> input{new unsigned char[inputChunk]};
  std::unique_ptr<unsigned char[]> output{new unsigned char[outputChunk]};
  std::unique_ptr<unsigned char[]> compared{new unsigned char[outputChunk]};
  Decoder decoder;
};

namespace {

// Copies a stored entry's bytes and computes their CRC-32.
bool copyStored(ZipArchive* a, zip_file_t* in, const Sink& sink, zip_uint64_t limit,
                Written* written) {
  unsigned char* buffer = a->output.get();
  for (;;) {
    zip_int64_t got = zip_fread(in, buffer, outputChunk);
    if (got == 0) return true;
    if (got < 0) return false;
    written->crc = crcOf(written->crc, buffer, std::size_t(got));
    if (!writeChunk(sink, buffer, std::size_t(got), limit, written)) return false;
  }
}

// Reads the next chunk of raw input; false on a read error. At the end of
// the compressed data `*left` stays 0.
bool readInput(zip_file_t* in, unsigned char* buffer, const unsigned char** next,
               std::size_t* left) {
  zip_int64_t got = zip_fread(in, buffer, inputChunk);
  if (got < 0) return false;
  *next = buffer;
  *left = std::size_t(got);
  return true;
}

// Inflates a deflated entry's raw bytes. A stream that is damaged or needs
// more than the compressed data fails. The stream ends at its own end
// marker: bytes after it inside the compressed size are not read, as libzip
// did before (the end-to-end suite holds to that); size and CRC-32 still
// have to match.
bool inflateStream(ZipArchive* a, zip_file_t* in, const Sink& sink, zip_uint64_t limit,
                   Written* written) {
  Decoder* d = &a->decoder;
  unsigned char* input = a->input.get();
  unsigned char* output = a->output.get();
  const unsigned char* next = input;
  std::size_t left = 0;
  bool inputEnded = false, ended = false;
  while (!ended) {
    if (left == 0 && !inputEnded) {
      if (!readInput(in, input, &next, &left)) return false;
      inputEnded = left == 0;
    }
    unsigned char* to = output;
    std::size_t room = outputChunk;
    if (!decodeSome(d, &next, &left, &to, &room, &ended)) return false;
    if (!writeChunk(sink, output, outputChunk - room, limit, written)) return false;
    // Room left in the output means the decoder wants input that is not there.
    if (!ended && room != 0 && inputEnded) return false;
  }
  written->crc = decodedCrc(*d);
  return true;
}

// Reads the entry `index` into `sink`; true when its whole data went there
// with the stated size and CRC-32. *st is the entry's stat.
bool decodeEntry(ZipArchive* a, std::uint64_t index, const Sink& sink, const zip_stat_t& st) {
  // An entry without compressed data is copied like a stored one: it reads
  // nothing, so it must claim size 0 and the CRC-32 of no bytes, which is 0.
  bool deflated = st.comp_method == ZIP_CM_DEFLATE && st.comp_size != 0;
  if (deflated) startDecoder(&a->decoder);
  if (deflated && !openDecoder(&a->decoder)) return false;
  zip_file_t* in = zip_fopen_index(a->z, index, ZIP_FL_COMPRESSED);
  Written written;
  bool copied = in != nullptr && (deflated ? inflateStream(a, in, sink, st.size, &written)
                                           : copyStored(a, in, sink, st.size, &written));
  if (in != nullptr) zip_fclose(in);
  if (deflated) endDecoder(&a->decoder);
  return copied && written.size == st.size && written.crc == st.crc;
}

// The entry's stat when it is a file entry we can decode faithfully.
bool extractableStat(ZipArchive* a, std::uint64_t index, zip_stat_t* st) {
  if (entryIsDirectory(a, index)) return false;
  zip_stat_init(st);
  return zip_stat_index(a->z, index, 0, st) == 0 && canExtract(a->z, index, *st);
}

// The CRC-32 of the file `in`, as far as its size at the open; false when it
// cannot be read that far.
bool fileCrc(ZipArchive* a, const InputFile& in, std::uint32_t* crc) {
  *crc = 0;
  for (std::uint64_t at = 0; at < in.size;) {
    std::size_t want = std::size_t(std::min<std::uint64_t>(in.size - at, outputChunk));
    std::int64_t got = readInputFile(in, at, a->compared.get(), want);
    if (got <= 0) return false;
    *crc = crcOf(*crc, a->compared.get(), std::size_t(got));
    at += std::uint64_t(got);
  }
  return true;
}

ZipArchive* wrapArchive(zip_t* z, ArchiveSource* s) {
  if (z == nullptr) return nullptr;
  ZipArchive* a = new ZipArchive;
  a->z = z;
  a->source = s;
  return a;
}

// ---- Where each entry's data lies ----
// libzip does not tell where an entry's local header is, so the end records
// and the central directory are read once more here, through the same
// source (the same checked bytes), and taken only where they agree with
// what libzip read: the same number of entries, each with the same
// compressed size and CRC-32.

std::uint64_t le(const unsigned char* p, int bytes) {
  std::uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// Reads exactly `size` bytes at `at` through the source, leaving libzip's
// position as it was.
bool readArchiveAt(ArchiveSource* s, zip_uint64_t at, unsigned char* data, std::size_t size) {
  zip_uint64_t kept = s->position;
  s->position = at;
  std::size_t done = 0;
  while (done < size) {
    zip_int64_t got = readSource(s, data + done, size - done);
    if (got <= 0) break;
    done += std::size_t(got);
  }
  s->position = kept;
  return done == size;
}

// A byte range [start, end) of the archive: an entry's local header, name,
// extra field and compressed data, or (entry = noEntry) the central
// directory or the end records.
struct Span {
  std::uint64_t start, end, entry;
};
const std::uint64_t noEntry = ~std::uint64_t(0);

// The ZIP64 extra field's values for those of *size, *compressed and
// *offset that are 0xFFFFFFFF in the record; false when it lacks one.
bool zip64Values(const unsigned char* extra, std::size_t length, std::uint64_t* size,
                 std::uint64_t* compressed, std::uint64_t* offset) {
  for (std::size_t at = 0; at + 4 <= length;) {
    std::size_t fieldLength = std::size_t(le(extra + at + 2, 2));
    if (le(extra + at, 2) == 0x0001) {
      const unsigned char* p = extra + at + 4;
      std::size_t left = std::min(fieldLength, length - at - 4);
      for (std::uint64_t* value : {size, compressed, offset}) {
        if (*value != 0xFFFFFFFF) continue;
        if (left < 8) return false;
        *value = le(p, 8);
        p += 8;
        left -= 8;
      }
      return true;
    }
    at += 4 + fieldLength;
  }
  return *size != 0xFFFFFFFF && *compressed != 0xFFFFFFFF && *offset != 0xFFFFFFFF;
}

// The central directory, read a window at a time: a directory of many
// entries is not held in memory beside libzip's own copy of it.
struct DirectoryWindow {
  ArchiveSource* source;
  std::uint64_t offset, size;  // where the directory lies in the archive
  std::uint64_t from = 0;      // the directory's byte that window[0] holds
  std::vector<unsigned char> window;
};

// The directory's bytes [at, at + length) (within its size), read into the
// window when it does not hold them; nullptr when they cannot be read.
const unsigned char* directoryBytes(DirectoryWindow* d, std::uint64_t at, std::size_t length) {
  if (at >= d->from && at - d->from + length <= d->window.size()) return &d->window[at - d->from];
  // Enough for the longest record: its fixed part and three fields of 64 KiB.
  const std::size_t least = 256 * 1024;
  std::size_t size = std::size_t(std::min<std::uint64_t>(d->size - at, std::max(least, length)));
  d->from = at;
  d->window.resize(size);
  return readArchiveAt(d->source, d->offset + at, d->window.data(), size) ? d->window.data()
                                                                          : nullptr;
}

// The entries' spans per the central directory `cd` (`count` records),
// each checked against libzip's stat; false where they disagree or a local
// header cannot be read.
bool entrySpans(ZipArchive* a, DirectoryWindow* cd, std::uint64_t count, std::vector<Span>* spans) {
  std::uint64_t at = 0;
  spans->reserve(std::size_t(count) + 2);
  for (std::uint64_t i = 0; i < count; ++i) {
    const unsigned char* r = cd->size - at < 46 ? nullptr : directoryBytes(cd, at, 46);
    if (r == nullptr || le(r, 4) != 0x02014b50) return false;
    std::size_t nameLength = std::size_t(le(r + 28, 2)), extraLength = std::size_t(le(r + 30, 2));
    std::size_t recordLength = 46 + nameLength + extraLength + std::size_t(le(r + 32, 2));
    if (cd->size - at < recordLength || (r = directoryBytes(cd, at, recordLength)) == nullptr)
      return false;
    std::uint64_t size = le(r + 24, 4), compressed = le(r + 20, 4), offset = le(r + 42, 4);
    zip_stat_t st;
    zip_stat_init(&st);
    unsigned char local[30];
    if (!zip64Values(r + 46 + nameLength, extraLength, &size, &compressed, &offset) ||
        zip_stat_index(a->z, i, 0, &st) != 0 || (st.valid & ZIP_STAT_COMP_SIZE) == 0 ||
        st.comp_size != compressed || (st.valid & ZIP_STAT_CRC) == 0 || st.crc != le(r + 16, 4) ||
        !readArchiveAt(a->source, offset, local, sizeof local))
      return false;
    // libzip finds the data after the local header's own name and extra field.
    std::uint64_t end = offset + 30 + le(local + 26, 2) + le(local + 28, 2) + compressed;
    // A span that wraps around reaches past everything else.
    spans->push_back({offset, end < offset ? ~std::uint64_t(0) : end, i});
    at += recordLength;
  }
  return true;
}

// The spans of the directory that the end record at `eocd` describes (with
// its ZIP64 records when a locator precedes it); false where it does not
// agree with libzip's.
bool directorySpans(ZipArchive* a, std::uint64_t eocd, std::vector<Span>* spans) {
  ArchiveSource* s = a->source;
  unsigned char end[22], locator[20], end64[56];
  if (!readArchiveAt(s, eocd, end, sizeof end)) return false;
  std::uint64_t count = le(end + 10, 2), size = le(end + 12, 4), offset = le(end + 16, 4);
  std::uint64_t tail = eocd;
  if (eocd >= 20 && readArchiveAt(s, eocd - 20, locator, sizeof locator) &&
      le(locator, 4) == 0x07064b50) {
    tail = le(locator + 8, 8);
    if (!readArchiveAt(s, tail, end64, sizeof end64) || le(end64, 4) != 0x06064b50) return false;
    count = le(end64 + 32, 8);
    size = le(end64 + 40, 8);
    offset = le(end64 + 48, 8);
  }
  // No record is longer than its fixed part and three fields of 64 KiB.
  if (count != entryCount(a) || offset > tail || size > tail - offset ||
      size / (46 + 3 * 65535) > count)
    return false;
  DirectoryWindow cd{s, offset, size, 0, {}};
  if (!entrySpans(a, &cd, count, spans)) return false;
  spans->push_back({offset, offset + size, noEntry});
  spans->push_back({tail, s->file.size, noEntry});
  return true;
}

// The lowest entry whose span overlaps another span; noEntry when none does.
std::uint64_t firstOverlap(std::vector<Span> spans) {
  std::sort(spans.begin(), spans.end(),
            [](const Span& x, const Span& y) { return x.start < y.start; });
  std::uint64_t first = noEntry;
  const Span* reach = nullptr;  // the span that reaches furthest so far
  for (const Span& span : spans) {
    if (span.start == span.end) continue;
    if (reach != nullptr && span.start < reach->end)
      first = std::min({first, span.entry, reach->entry});
    if (reach == nullptr || span.end > reach->end) reach = &span;
  }
  return first;
}

}  // namespace

ZipArchive* openArchiveFrom(const InputFile& file, ArchiveDigests* digests) {
  if (file.handle == invalidHandle) return nullptr;
  ArchiveSource* s = new ArchiveSource;
  s->file = file;
  s->digests = digests;
  return wrapArchive(openFromSource(s), s);
}

std::uint64_t entryCount(ZipArchive* a) {
  zip_int64_t n = zip_get_num_entries(a->z, 0);
  return n < 0 ? 0 : std::uint64_t(n);
}

bool entryName(ZipArchive* a, std::uint64_t index, std::string* name) {
  const char* stored = zip_get_name(a->z, index, 0);
  if (stored == nullptr) return false;
  *name = stored;
  return true;
}

bool entryRawName(ZipArchive* a, std::uint64_t index, std::string* raw) {
  const char* stored = zip_get_name(a->z, index, ZIP_FL_ENC_RAW);
  if (stored == nullptr) return false;
  *raw = stored;
  return true;
}

bool entryIsDirectory(ZipArchive* a, std::uint64_t index) {
  const char* stored = zip_get_name(a->z, index, 0);
  if (stored == nullptr) return false;
  std::string name = stored;
  if (!name.empty() && (name.back() == '/' || name.back() == '\\')) return true;
  zip_uint8_t opsys = 0;
  zip_uint32_t attributes = 0;
  if (zip_file_get_external_attributes(a->z, index, 0, &opsys, &attributes) != 0) return false;
  return (attributes & dosDirectoryBit) != 0;
}

bool entryFacts(ZipArchive* a, std::uint64_t index, EntryFacts* facts) {
  zip_stat_t st;
  zip_stat_init(&st);
  const zip_uint64_t needed = ZIP_STAT_SIZE | ZIP_STAT_CRC | ZIP_STAT_MTIME;
  if (zip_stat_index(a->z, index, 0, &st) != 0 || (st.valid & needed) != needed) return false;
  facts->size = st.size;
  facts->crc = st.crc;
  facts->modified = FileTime{std::int64_t(st.mtime), 0};
  return true;
}

bool entryMatchesFile(ZipArchive* a, std::uint64_t index, const std::string& path) {
  zip_stat_t st;
  InputFile file;
  if (!extractableStat(a, index, &st) || !openInputFile(path, &file, Reading::inPassing))
    return false;
  // The file's size and CRC-32 first: a file that differs costs one read,
  // not a decoding.
  std::uint32_t crc = 0;
  std::uint64_t at = 0;
  Sink sink;
  sink.in = &file;
  sink.at = &at;
  sink.buffer = a->compared.get();
  bool same = file.size == st.size && fileCrc(a, file, &crc) && crc == st.crc &&
              decodeEntry(a, index, sink, st) && at == file.size;
  closeInputFile(&file);
  return same;
}

bool extractEntry(ZipArchive* a, std::uint64_t index, const std::string& target,
                  const PathInfo* like) {
  zip_stat_t st;
  if (!extractableStat(a, index, &st)) return false;
  Sink sink;
  sink.out = createOutputFile(target, like);
  if (sink.out == invalidHandle) return false;
  bool copied = decodeEntry(a, index, sink, st);
  bool closed = closeOutputFile(sink.out);
  if (!copied || !closed) return false;
  setFileTimes(target, FileTime{std::int64_t(st.mtime), 0});
  return true;
}

bool readEntryText(ZipArchive* a, std::uint64_t index, std::uint64_t limit, std::string* text) {
  zip_stat_t st;
  if (!extractableStat(a, index, &st) || st.size > limit) return false;
  Sink sink;
  text->clear();
  sink.text = text;
  return decodeEntry(a, index, sink, st);
}

bool firstOverlappingEntry(ZipArchive* a, std::uint64_t* index) {
  std::uint64_t count = entryCount(a);
  if (count == 0) return false;
  // Every end record libzip may have taken: the signature anywhere in the
  // last 64 KiB of comment, the end record and a ZIP64 locator.
  ArchiveSource* s = a->source;
  std::size_t tailSize = std::size_t(std::min<std::uint64_t>(s->file.size, 65535 + 22 + 20));
  std::vector<unsigned char> tail(tailSize);
  std::uint64_t tailAt = s->file.size - tailSize, first = noEntry;
  bool agreed = false;
  if (!readArchiveAt(s, tailAt, tail.data(), tailSize)) tailSize = 0;
  for (std::size_t at = 0; at + 22 <= tailSize; ++at) {
    if (le(&tail[at], 4) != 0x06054b50) continue;
    std::vector<Span> spans;
    if (!directorySpans(a, tailAt + at, &spans)) continue;
    agreed = true;
    first = std::min(first, firstOverlap(std::move(spans)));
  }
  *index = agreed ? first : 0;
  return *index != noEntry;
}

void closeArchive(ZipArchive* a) {
  zip_discard(a->z);
  delete a;
}
