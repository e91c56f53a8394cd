// The journal's record format, appending and reading back.
#include "journal.h"

#include <cstdint>

namespace {

// Whether each record is forced to the disk before its target is opened:
// the shipped build leaves that to the system (see docs/performance.md);
// the benchmark's flushing build sets TAVO_FLUSH to measure the cost.
const bool flushEachRecord = TAVO_FLUSH != 0;

std::uint32_t fnv1a(const std::string& bytes) {
  std::uint32_t hash = 2166136261u;
  for (unsigned char c : bytes) hash = (hash ^ c) * 16777619u;
  return hash;
}

void putUint32(std::string* out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) *out += char((value >> (8 * i)) & 0xFF);
}

std::uint32_t getUint32(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

}  // namespace

std::string journalPath(const std::string& yedekDir) { return yedekDir + "\\" + journalFileName; }

std::string encodeRecord(const JournalRecord& record) {
  std::string bytes(1, record.kind);
  putUint32(&bytes, std::uint32_t(record.name.size()));
  bytes += record.name;
  putUint32(&bytes, fnv1a(bytes));
  return bytes;
}

std::vector<JournalRecord> decodeJournal(const std::string& bytes) {
  std::vector<JournalRecord> records;
  std::size_t at = 0;
  while (bytes.size() - at >= 9) {
    char kind = bytes[at];
    std::size_t length = getUint32(bytes, at + 1);
    if (kind != journalBackedUp && kind != journalCreated) break;
    if (length > bytes.size() - at - 9) break;
    std::size_t body = 5 + length;
    if (fnv1a(bytes.substr(at, body)) != getUint32(bytes, at + body)) break;
    records.push_back({kind, bytes.substr(at + 5, length)});
    at += body + 4;
  }
  return records;
}

bool appendRecord(JournalFile* journal, const JournalRecord& record) {
  if (journal->failed) return false;
  if (journal->file == invalidHandle) journal->file = createOutputFile(journal->path);
  std::string bytes = encodeRecord(record);
  bool written = journal->file != invalidHandle &&
                 writeOutputFile(journal->file, bytes.data(), bytes.size()) &&
                 (!flushEachRecord || flushOutputFile(journal->file));
  journal->failed = !written;
  return written;
}

void closeJournal(JournalFile* journal) {
  if (journal->file != invalidHandle) closeOutputFile(journal->file);
  journal->file = invalidHandle;
}
