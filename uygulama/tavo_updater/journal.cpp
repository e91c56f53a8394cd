// The journal's record format, appending and reading back.
#include "journal.h"

#include <cstdint>

namespace {

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

const std::size_t timeBytes = 12;

std::string payloadOf(const JournalRecord& record) {
  std::string payload;
  if (record.kind == journalPlan) {
    putUint32(&payload, std::uint32_t(record.time.seconds));
    return payload;
  }
  if (record.kind == journalRetimed) {
    std::uint64_t seconds = std::uint64_t(record.time.seconds);
    putUint32(&payload, std::uint32_t(seconds & 0xFFFFFFFFu));
    putUint32(&payload, std::uint32_t(seconds >> 32));
    putUint32(&payload, record.time.nanoseconds);
  }
  return payload + record.name;
}

// The record of `kind` with `payload`; false when the payload cannot be one.
bool recordOf(char kind, const std::string& payload, JournalRecord* record) {
  *record = JournalRecord{kind, payload, FileTime()};
  if (kind == journalPlan) {
    if (payload.size() != 4) return false;
    record->name.clear();
    record->time.seconds = getUint32(payload, 0);
  } else if (kind == journalRetimed) {
    if (payload.size() < timeBytes) return false;
    std::uint64_t seconds = getUint32(payload, 0) | (std::uint64_t(getUint32(payload, 4)) << 32);
    record->time = FileTime{std::int64_t(seconds), getUint32(payload, 8)};
    record->name = payload.substr(timeBytes);
  } else if (kind != journalBackedUp && kind != journalCreated) {
    return false;
  }
  return true;
}

}  // namespace

std::string journalPath(const std::string& yedekDir) { return yedekDir + "\\" + journalFileName; }

std::string encodeRecord(const JournalRecord& record) {
  std::string payload = payloadOf(record);
  std::string bytes(1, record.kind);
  putUint32(&bytes, std::uint32_t(payload.size()));
  bytes += payload;
  putUint32(&bytes, fnv1a(bytes));
  return bytes;
}

JournalContent decodeJournal(const std::string& bytes) {
  JournalContent content;
  std::size_t at = 0, announced = 0;
  bool planned = false;
  while (bytes.size() - at >= 9) {
    char kind = bytes[at];
    std::size_t length = getUint32(bytes, at + 1);
    if (length > bytes.size() - at - 9) break;
    std::size_t body = 5 + length;
    JournalRecord record;
    if (fnv1a(bytes.substr(at, body)) != getUint32(bytes, at + body) ||
        !recordOf(kind, bytes.substr(at + 5, length), &record))
      break;
    at += body + 4;
    // Only the first record may be the header.
    if (kind == journalPlan && (planned || !content.records.empty())) break;
    if (kind == journalPlan) {
      planned = true;
      announced = std::size_t(record.time.seconds);
    } else {
      content.records.push_back(record);
    }
  }
  content.whole = !planned || content.records.size() == announced;
  if (planned && content.records.size() > announced) content.records.resize(announced);
  if (!content.whole && planned) content.records.clear();
  // A journal that holds nothing readable, not even a header, was cut
  // before its plan was on the disk.
  if (!planned && content.records.empty() && !bytes.empty()) content.whole = false;
  return content;
}

bool writePlan(JournalFile* journal, const std::vector<JournalRecord>& records) {
  std::string bytes = encodeRecord({journalPlan, "", FileTime{std::int64_t(records.size()), 0}});
  for (const JournalRecord& record : records) bytes += encodeRecord(record);
  journal->file = createOutputFile(journal->path);
  if (journal->file == invalidHandle) return false;
  std::string directory = journal->path.substr(0, journal->path.find_last_of("\\/"));
  return writeOutputFile(journal->file, bytes.data(), bytes.size()) &&
         flushOutputFile(journal->file) && syncDirectory(directory);
}

bool flushJournal(JournalFile* journal) {
  return journal->file == invalidHandle || flushOutputFile(journal->file);
}

void closeJournal(JournalFile* journal) {
  if (journal->file != invalidHandle) closeOutputFile(journal->file);
  journal->file = invalidHandle;
}
