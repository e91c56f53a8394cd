// The journal's record format, appending and reading back.
#include "journal.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>

#include "paths.h"

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

bool hasMark(char kind) { return kind == journalMovedAside || kind == journalCopied; }

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
  if (hasMark(record.kind)) {
    putUint32(&payload, std::uint32_t(record.mark.size()));
    payload += record.mark;
  }
  return payload + record.name;
}

// The record of `kind` with `payload`; false when the payload cannot be one.
bool recordOf(char kind, const std::string& payload, JournalRecord* record) {
  *record = JournalRecord{kind, payload, FileTime(), ""};
  if (kind == journalPlan) {
    if (payload.size() != 4) return false;
    record->name.clear();
    record->time.seconds = getUint32(payload, 0);
  } else if (kind == journalRetimed) {
    if (payload.size() < timeBytes) return false;
    std::uint64_t seconds = getUint32(payload, 0) | (std::uint64_t(getUint32(payload, 4)) << 32);
    record->time = FileTime{std::int64_t(seconds), getUint32(payload, 8)};
    record->name = payload.substr(timeBytes);
  } else if (hasMark(kind)) {
    if (payload.size() < 4 || getUint32(payload, 0) > payload.size() - 4) return false;
    std::size_t length = getUint32(payload, 0);
    record->mark = payload.substr(4, length);
    record->name = payload.substr(4 + length);
  } else if (kind != journalBackedUp && kind != journalCreated && kind != journalVolume &&
             kind != journalRemovedDir) {
    return false;
  }
  return true;
}

bool appendRecords(Journal* journal, const std::string& bytes) {
  return writeOutputFile(journal->file, bytes.data(), bytes.size()) &&
         flushOutputFile(journal->file);
}

// The backup of `name` when the file at its backup path is the one the run
// moved aside or copied there (its mark is one of `marks`; any file, for a
// journal of an earlier version, which has no marks).
bool backupOf(const std::string& name, const std::vector<std::string>& marks,
              const std::string& hedef, const std::string& yedekDir, Backup* b) {
  std::string yb = joinPath(yedekDir, name);
  PathInfo info;
  if (!lookAt(yb, &info) || (info.kind != PathKind::file && info.kind != PathKind::link))
    return false;
  bool ours = marks.empty();
  for (const std::string& mark : marks) ours = ours || mark == fileMark(info);
  if (!ours) return false;
  // The backup keeps the file's own name; the target gets it back.
  std::string own;
  std::string t = joinPath(hedef, name);
  if (storedName(yb, &own)) t = parentOf(t) + "\\" + own;
  *b = Backup{t, yb, true};
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
      continue;
    }
    // After a whole plan come only the notes of changes made after it.
    if (planned && content.records.size() >= announced && kind != journalCopied &&
        kind != journalMovedAside && kind != journalCreated)
      break;
    content.records.push_back(record);
  }
  content.whole = !planned || content.records.size() >= announced;
  if (!content.whole && planned) content.records.clear();
  // A journal that holds nothing readable, not even a header, was cut
  // before its plan was on the disk.
  if (!planned && content.records.empty() && !bytes.empty()) content.whole = false;
  return content;
}

std::string fileMark(const PathInfo& info) {
  return info.identity.substr(info.identity.find(':') + 1) + "/" + std::to_string(info.size);
}

namespace {

// The header of a plan of `count` records; always the same size.
std::string planHeader(std::uint64_t count) {
  return encodeRecord({journalPlan, "", FileTime{std::int64_t(count), 0}, ""});
}

// Writes the pieces gathered so far; false when one cannot be written.
bool writePieces(FileHandle file, PlanRecords* records) {
  for (const std::string& piece : records->pieces)
    if (!writeOutputFile(file, piece.data(), piece.size())) return false;
  records->pieces.clear();
  return true;
}

}  // namespace

bool startPlan(Journal* journal, PlanRecords* records) {
  std::string header = planHeader(0xFFFFFFFFu);
  records->file = createOutputFile(journal->path);
  if (records->file != invalidHandle &&
      !writeOutputFile(records->file, header.data(), header.size()))
    records->failed = true;
  return records->file != invalidHandle;
}

void addRecord(PlanRecords* records, const JournalRecord& record) {
  const std::size_t piece = 64 * 1024;
  std::string bytes = encodeRecord(record);
  if (records->pieces.empty() || records->pieces.back().size() + bytes.size() > piece) {
    // A started journal takes each full piece (and, after a failed write,
    // has no use for more).
    if (records->file != invalidHandle) {
      if (!records->failed && !writePieces(records->file, records)) records->failed = true;
      records->pieces.clear();
    }
    records->pieces.emplace_back();
    records->pieces.back().reserve(std::max(piece, bytes.size()));
  }
  records->pieces.back() += bytes;
  records->size += bytes.size();
  ++records->count;
}

bool finishPlan(Journal* journal, PlanRecords* records) {
  std::string header = planHeader(records->count);
  bool started = records->file != invalidHandle;
  journal->file = started ? records->file : createOutputFile(journal->path);
  records->file = invalidHandle;
  if (journal->file == invalidHandle || records->failed) return false;
  // Made now, the journal gets its header first. Started, it gets it last,
  // over the one that announced more: the one flush after it puts the whole
  // plan on the disk.
  if (!started && !writeOutputFile(journal->file, header.data(), header.size())) return false;
  return writePieces(journal->file, records) &&
         (!started || writeOutputFileAt(journal->file, 0, header.data(), header.size())) &&
         flushOutputFile(journal->file) && syncDirectory(parentOf(journal->path));
}

void discardPlan(Journal* journal, PlanRecords* records) {
  if (records->file == invalidHandle) return;
  closeOutputFile(records->file);
  records->file = invalidHandle;
  removeFile(journal->path);
}

bool noteChange(Journal* journal, const JournalRecord& record) {
  return journal->file != invalidHandle && appendRecords(journal, encodeRecord(record));
}

Changes changesToUndo(const JournalContent& content, const std::string& hedef,
                      const std::string& yedekDir) {
  Changes changes;
  changes.volumes.push_back(hedef);
  if (!content.whole) return changes;
  // The marks a backup path may hold: the planned file's, or its copy's.
  std::map<std::string, std::vector<std::string>> marks;
  for (const JournalRecord& record : content.records)
    if (hasMark(record.kind)) marks[record.name].push_back(record.mark);
  std::set<std::string> restored;
  for (const JournalRecord& record : content.records) {
    if (!record.name.empty() && !isSafeEntryName(record.name)) continue;
    if (record.name.empty() && record.kind != journalVolume) continue;
    std::string t = joinPath(hedef, record.name);
    Backup b;
    PathInfo info;
    if (record.kind == journalCreated) {
      changes.yeniler.push_back(t);
    } else if (record.kind == journalRetimed) {
      changes.zamanlar.push_back({t, record.time});
    } else if (record.kind == journalVolume) {
      if (!record.name.empty()) changes.volumes.push_back(t);
    } else if (record.kind == journalRemovedDir) {
      if (!lookAt(t, &info) || info.kind == PathKind::missing) changes.removedDirs.push_back(t);
    } else if (record.kind == journalBackedUp || record.kind == journalMovedAside) {
      std::vector<std::string> none;
      if (!restored.count(record.name) &&
          backupOf(record.name, record.kind == journalBackedUp ? none : marks[record.name], hedef,
                   yedekDir, &b)) {
        changes.yedekler.push_back(b);
        restored.insert(record.name);
      }
    }
  }
  return changes;
}

bool journalledChanges(const std::string& hedef, const std::string& yedekDir, Changes* changes) {
  std::string path = journalPath(yedekDir), bytes;
  PathInfo info;
  if (lookAt(path, &info) && info.kind == PathKind::missing) {
    *changes = changesToUndo(JournalContent(), hedef, yedekDir);
    return true;
  }
  if (!readWholeFile(path, &bytes)) return false;
  *changes = changesToUndo(decodeJournal(bytes), hedef, yedekDir);
  return true;
}

bool flushChanges(Journal* journal) {
  bool synced = true;
  for (const std::string& volume : journal->changes.volumes) synced = syncVolume(volume) && synced;
  return synced && (journal->file == invalidHandle || flushOutputFile(journal->file));
}

void closeJournal(Journal* journal) {
  if (journal->file != invalidHandle) closeOutputFile(journal->file);
  journal->file = invalidHandle;
}

bool removeJournal(const std::string& yedekDir) {
  std::string path = journalPath(yedekDir);
  PathInfo info;
  if (!removeFile(path) && (!lookAt(path, &info) || info.kind != PathKind::missing)) return false;
  // The journal must be gone on the disk before any backup is: a cut in
  // between would otherwise find a journal whose backups are half removed.
  syncDirectory(yedekDir);
  return true;
}

void removeBackupDir(const std::string& yedekDir) { removeTree(yedekDir); }
