// The updater's outcome, read the way an application would: only the
// fields it shows. The updater writes each key once, and a quote inside a
// string always escaped, so a key is found by its quoted name and colon.
#include "last_update.h"

#include <cstdlib>
#include <vector>

namespace {

// Where the value of `key` starts, or npos.
std::string::size_type valueAt(const std::string& json, const std::string& key,
                               std::string::size_type from = 0) {
  std::string::size_type at = json.find("\"" + key + "\":", from);
  return at == std::string::npos ? at : at + key.size() + 3;
}

long numberOf(const std::string& json, const std::string& key) {
  std::string::size_type at = valueAt(json, key);
  return at == std::string::npos ? -1 : std::strtol(json.c_str() + at, nullptr, 10);
}

void appendUtf8(unsigned long c, std::string* out) {
  if (c < 0x80) {
    *out += char(c);
  } else if (c < 0x800) {
    *out += char(0xC0 | (c >> 6));
    *out += char(0x80 | (c & 0x3F));
  } else {
    *out += char(0xE0 | (c >> 12));
    *out += char(0x80 | ((c >> 6) & 0x3F));
    *out += char(0x80 | (c & 0x3F));
  }
}

// The string that starts at `at` (its opening quote), decoded; "" for null.
std::string stringAt(const std::string& json, std::string::size_type at) {
  std::string text;
  if (at == std::string::npos || at >= json.size() || json[at] != '"') return text;
  for (++at; at < json.size() && json[at] != '"'; ++at) {
    char c = json[at];
    if (c != '\\' || at + 1 >= json.size()) {
      text += c;
      continue;
    }
    char e = json[++at];
    if (e == 'u' && at + 4 < json.size()) {
      appendUtf8(std::strtoul(json.substr(at + 1, 4).c_str(), nullptr, 16), &text);
      at += 4;
    } else {
      text += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e;
    }
  }
  return text;
}

// The names of the programs that held files.
std::string holders(const std::string& json) {
  std::string names;
  for (std::string::size_type at = valueAt(json, "program"); at != std::string::npos;
       at = valueAt(json, "program", at)) {
    names += (names.empty() ? "" : ", ") + stringAt(json, at);
  }
  return names;
}

std::string counted(long n, const char* what) { return std::to_string(n) + " dosya " + what; }

}  // namespace

std::string describeOutcome(const std::string& json) {
  long code = numberOf(json, "kod");
  std::string entry = stringAt(json, valueAt(json, "girdi"));
  std::string version = stringAt(json, valueAt(json, "yeni"));
  std::string head = "Tavonu son guncelleme: ";
  switch (code) {
    case 0:
      if (numberOf(json, "yazilan") == 0 && numberOf(json, "geri_yuklenen") > 0)
        return head + "yarim kalan guncelleme geri alindi, " +
               counted(numberOf(json, "geri_yuklenen"), "geri yuklendi");
      return head + "tamam" + (version.empty() ? "" : " (surum " + version + ")") + ", " +
             counted(numberOf(json, "yazilan"), "yazildi") + ", " +
             counted(numberOf(json, "ayni"), "ayniydi");
    case 3:
      return head + "yapilamadi, guncelleme arsivi acilamadi";
    case 4:
      if (json.find("yedek korundu") != std::string::npos)
        return head + "basarisiz, geri alma bitmedi, yedek korundu";
      return head + "basarisiz, eski surum geri yuklendi" + (entry.empty() ? "" : ": " + entry);
    case 5:
      return head + "yapilamadi, baska bir guncelleme calisiyordu";
    case 6:
      return head + "reddedildi, imza dogrulanamadi";
    case 7:
      return head + "simdi yapilamadi, sonra yeniden denenecek" +
             (holders(json).empty() ? "" : " (acik: " + holders(json) + ")");
    default:
      return head + "bilinmeyen sonuc " + std::to_string(code);
  }
}
