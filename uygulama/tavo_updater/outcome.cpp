// The run's outcome as JSON, written atomically.
#include "outcome.h"

#include <chrono>

#include "platform.h"

namespace {

// The length of the well-formed UTF-8 sequence at text[at] (RFC 3629: no
// overlong form, no surrogate, nothing above U+10FFFF), or 0 when none
// starts there.
std::size_t utf8Length(const std::string& text, std::size_t at) {
  unsigned char lead = static_cast<unsigned char>(text[at]);
  std::size_t length = lead < 0x80 ? 1 : lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  if (length == 0 || lead > 0xF4 || at + length > text.size()) return 0;
  // The second byte's range depends on the lead; the others are 80..BF.
  unsigned char low = 0x80, high = 0xBF;
  if (lead == 0xE0) low = 0xA0;
  if (lead == 0xED) high = 0x9F;
  if (lead == 0xF0) low = 0x90;
  if (lead == 0xF4) high = 0x8F;
  for (std::size_t i = 1; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(text[at + i]);
    if (c < (i == 1 ? low : 0x80) || c > (i == 1 ? high : 0xBF)) return 0;
  }
  return length;
}

void addField(std::string* json, const char* name, const std::string& value) {
  *json += json->back() == '{' ? "\"" : ",\"";
  *json += name;
  *json += "\":";
  *json += value;
}

std::string number(std::uint64_t value) { return std::to_string(value); }

// A string, or null when it is empty.
std::string stringOrNull(const std::string& text) {
  return text.empty() ? "null" : jsonString(text);
}

std::string messagesJson(const std::vector<std::string>& messages) {
  std::string json = "[";
  for (const std::string& line : messages) json += (json.size() > 1 ? "," : "") + jsonString(line);
  return json + "]";
}

std::string holdersJson(const std::vector<FileHolder>& holders) {
  std::string json = "[";
  for (const FileHolder& h : holders) {
    json += json.size() > 1 ? ",{" : "{";
    addField(&json, "program", jsonString(h.program));
    addField(&json, "pid", number(h.pid));
    json += "}";
  }
  return json + "]";
}

std::string stagesJson(const std::vector<StageTime>& stages) {
  std::string json = "[";
  for (const StageTime& s : stages) {
    json += json.size() > 1 ? ",{" : "{";
    addField(&json, "asama", jsonString(s.stage));
    addField(&json, "ms", std::to_string(s.ms));
    json += "}";
  }
  return json + "]";
}

// The directory that holds `path` ("." for a bare name); a root keeps its
// separator ("/", "C:\\").
std::string directoryOf(const std::string& path) {
  std::string::size_type last = path.find_last_of("\\/");
  if (last == std::string::npos) return ".";
  bool root = last == 0 || path[last - 1] == ':';
  return path.substr(0, root ? last + 1 : last);
}

}  // namespace

std::int64_t outcomeClock() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void endStage(Outcome* outcome, const char* stage) {
  std::int64_t now = outcomeClock();
  outcome->stages.push_back({stage, now - outcome->stageStart});
  outcome->stageStart = now;
}

std::string jsonString(const std::string& text) {
  static const char hex[] = "0123456789abcdef";
  std::string json = "\"";
  for (std::size_t at = 0; at < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[at]);
    std::size_t length = utf8Length(text, at);
    if (length == 0) {
      json += "\\ufffd";
      length = 1;
    } else if (c == '"' || c == '\\') {
      json += '\\';
      json += char(c);
    } else if (c < 0x20 || c == 0x7F) {
      json += "\\u00";
      json += hex[c >> 4];
      json += hex[c & 15];
    } else {
      json.append(text, at, length);
    }
    at += length;
  }
  return json + "\"";
}

std::string outcomeJson(const Outcome& o) {
  std::string json = "{";
  addField(&json, "kod", std::to_string(o.code));
  addField(&json, "mesajlar", messagesJson(o.messages));
  addField(&json, "girdi", stringOrNull(o.entry));
  addField(&json, "tutanlar", holdersJson(o.holders));
  std::string versions = "{";
  addField(&versions, "eski", stringOrNull(o.fromVersion));
  addField(&versions, "yeni", stringOrNull(o.toVersion));
  addField(&json, "surum", versions + "}");
  std::string counts = "{";
  addField(&counts, "yazilan", number(o.counts.written));
  addField(&counts, "ayni", number(o.counts.identical));
  addField(&counts, "silinen", number(o.counts.removed));
  addField(&counts, "geri_yuklenen", number(o.counts.restored));
  addField(&json, "dosyalar", counts + "}");
  addField(&json, "sureler", stagesJson(o.stages));
  return json + "}\n";
}

bool writeOutcome(const std::string& path, const Outcome& outcome) {
  // A reader never sees a part of the object: it is whole on the disk under
  // the temporary name before the rename puts it in place.
  std::string json = outcomeJson(outcome), temporary = path + ".tmp";
  FileHandle file = createOutputFile(temporary);
  if (file == invalidHandle) return false;
  bool written = writeOutputFile(file, json.data(), json.size()) && flushOutputFile(file);
  written = closeOutputFile(file) && written;
  if (!written || !moveFile(temporary, path, true)) {
    removeFile(temporary);
    return false;
  }
  return syncDirectory(directoryOf(path));
}
