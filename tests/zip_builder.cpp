// Raw ZIP writer for tests.
#include "zip_builder.h"

#include <zlib.h>

#include <fstream>

namespace {

void put16(std::string* out, std::uint32_t v) {
  out->push_back(char(v & 0xFF));
  out->push_back(char((v >> 8) & 0xFF));
}
void put32(std::string* out, std::uint32_t v) {
  put16(out, v & 0xFFFF);
  put16(out, v >> 16);
}
void put64(std::string* out, std::uint64_t v) {
  put32(out, std::uint32_t(v));
  put32(out, std::uint32_t(v >> 32));
}

struct Prepared {
  std::string payload;
  std::uint32_t crc, size, compressedSize;
};

Prepared prepare(const ZipEntrySpec& e) {
  Prepared p;
  p.payload = e.payload ? *e.payload : (e.method == 8 ? deflateRaw(e.data) : e.data);
  p.crc = e.crc ? *e.crc
                : std::uint32_t(
                      crc32(0, reinterpret_cast<const Bytef*>(e.data.data()), uInt(e.data.size())));
  p.size = e.size ? *e.size : std::uint32_t(e.data.size());
  p.compressedSize = e.compressedSize ? *e.compressedSize : std::uint32_t(p.payload.size());
  return p;
}

std::string zip64Extra(const Prepared& p, std::uint64_t offset, bool withOffset) {
  std::string extra;
  put16(&extra, 0x0001);
  put16(&extra, withOffset ? 24 : 16);
  put64(&extra, p.size);
  put64(&extra, p.compressedSize);
  if (withOffset) put64(&extra, offset);
  return extra;
}

}  // namespace

std::string deflateRaw(const std::string& data) {
  z_stream s{};
  deflateInit2(&s, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&s, uLong(data.size())), '\0');
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  s.avail_in = uInt(data.size());
  s.next_out = reinterpret_cast<Bytef*>(&out[0]);
  s.avail_out = uInt(out.size());
  deflate(&s, Z_FINISH);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

std::string buildZip(const ZipArchiveSpec& archive) {
  std::string out, central;
  std::vector<std::uint64_t> offsets;
  for (const ZipEntrySpec& e : archive.entries) {
    Prepared p = prepare(e);
    std::uint64_t offset = out.size();
    offsets.push_back(e.sameDataAs ? offsets[*e.sameDataAs] : offset);
    std::string localExtra = archive.zip64 ? zip64Extra(p, 0, false) : "";
    put32(&out, 0x04034b50);
    put16(&out, archive.zip64 ? 45 : 20);
    put16(&out, e.flags);
    put16(&out, e.method);
    put16(&out, e.dosTime);
    put16(&out, e.dosDate);
    put32(&out, p.crc);
    put32(&out, archive.zip64 ? 0xFFFFFFFF : p.compressedSize);
    put32(&out, archive.zip64 ? 0xFFFFFFFF : p.size);
    put16(&out, std::uint32_t(e.name.size()));
    put16(&out, std::uint32_t(localExtra.size()));
    out += e.name + localExtra + p.payload;
    if (e.sameDataAs) out.resize(std::size_t(offset));  // no local header of its own
    offset = offsets.back();

    std::string extra = (archive.zip64 ? zip64Extra(p, offset, true) : "") + e.centralExtra;
    put32(&central, 0x02014b50);
    put16(&central, e.madeBy);
    put16(&central, archive.zip64 ? 45 : 20);
    put16(&central, e.flags);
    put16(&central, e.method);
    put16(&central, e.dosTime);
    put16(&central, e.dosDate);
    put32(&central, p.crc);
    put32(&central, archive.zip64 ? 0xFFFFFFFF : p.compressedSize);
    put32(&central, archive.zip64 ? 0xFFFFFFFF : p.size);
    put16(&central, std::uint32_t(e.name.size()));
    put16(&central, std::uint32_t(extra.size()));
    put16(&central, 0);
    put16(&central, e.diskStart);
    put16(&central, 0);
    put32(&central, e.externalAttributes);
    put32(&central, archive.zip64 ? 0xFFFFFFFF : std::uint32_t(offset));
    central += e.name + extra;
  }
  std::uint64_t centralOffset = out.size();
  out += central;
  // 64 bits wide, so that a ZIP64 archive can hold more than 65535 entries.
  std::uint64_t count = archive.entryCount ? *archive.entryCount : archive.entries.size();
  if (archive.zip64) {
    std::uint64_t endOffset = out.size();
    put32(&out, 0x06064b50);
    put64(&out, 44);
    put16(&out, 45);
    put16(&out, 45);
    put32(&out, archive.diskNumber);
    put32(&out, archive.centralDirectoryDisk);
    put64(&out, count);
    put64(&out, count);
    put64(&out, central.size());
    put64(&out, centralOffset);
    put32(&out, 0x07064b50);
    put32(&out, 0);
    put64(&out, endOffset);
    put32(&out, 1);
  }
  put32(&out, 0x06054b50);
  put16(&out, archive.diskNumber);
  put16(&out, archive.centralDirectoryDisk);
  put16(&out, archive.zip64 ? 0xFFFF : count);
  put16(&out, archive.zip64 ? 0xFFFF : count);
  put32(&out, archive.zip64 ? 0xFFFFFFFF : std::uint32_t(central.size()));
  put32(&out, archive.zip64 ? 0xFFFFFFFF : std::uint32_t(centralOffset));
  put16(&out, 0);
  return out;
}

ZipArchiveSpec archiveOf(const std::vector<ZipEntrySpec>& entries) {
  ZipArchiveSpec archive;
  archive.entries = entries;
  return archive;
}

std::string buildZipOf(const std::vector<ZipEntrySpec>& entries) {
  return buildZip(archiveOf(entries));
}

ZipEntrySpec fileEntry(const std::string& name, const std::string& data) {
  ZipEntrySpec e;
  e.name = name;
  e.data = data;
  return e;
}

ZipEntrySpec dirEntry(const std::string& name) {
  ZipEntrySpec e;
  e.name = name;
  e.method = 0;
  e.externalAttributes = 0x10;
  return e;
}

std::uint16_t dosDateOf(int year, int month, int day) {
  return std::uint16_t(((year - 1980) << 9) | (month << 5) | day);
}

std::uint16_t dosTimeOf(int hour, int minute, int second) {
  return std::uint16_t((hour << 11) | (minute << 5) | (second / 2));
}

bool writeBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), std::streamsize(bytes.size()));
  return bool(out.flush());
}
