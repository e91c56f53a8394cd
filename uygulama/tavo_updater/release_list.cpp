// The release list: parsing, version order and writing.
#include "release_list.h"

#include <algorithm>
#include <set>

#include "names.h"

namespace {

const std::uint32_t largestNumber = 999999999;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool isBlank(const std::string& line) { return line.find_first_not_of(" \t") == std::string::npos; }

// Splits "keyword value" at its first space; false when there is none.
bool splitItem(const std::string& line, std::string* keyword, std::string* value) {
  std::string::size_type space = line.find(' ');
  if (space == std::string::npos) return false;
  *keyword = line.substr(0, space);
  *value = line.substr(space + 1);
  return true;
}

// Applies one item line to *list; false when it is not a valid item.
bool takeItem(const std::string& line, ReleaseList* list, std::set<std::string>* named) {
  std::string keyword, value;
  if (!isValidUtf8(line) || !splitItem(line, &keyword, &value)) return false;
  if (keyword == "urun") {
    if (list->hasProduct || !isProductId(value)) return false;
    list->product = value;
    list->hasProduct = true;
    return true;
  }
  if (keyword == "surum") {
    if (list->hasVersion || !parseVersion(value, &list->version)) return false;
    list->hasVersion = true;
    return true;
  }
  if (keyword == "dosya") {
    if (!isReleaseFileName(value) || !named->insert(value).second) return false;
    list->files.push_back(value);
    return true;
  }
  return false;
}

// The length of the UTF-8 sequence that starts at text[i], or 0 when none
// valid starts there.
std::size_t sequenceLength(const std::string& text, std::size_t i) {
  unsigned char c = static_cast<unsigned char>(text[i]);
  if (c < 0x80) return 1;
  std::size_t length = c >= 0xC2 && c <= 0xDF   ? 2
                       : c >= 0xE0 && c <= 0xEF ? 3
                       : c >= 0xF0 && c <= 0xF4 ? 4
                                                : 0;
  if (length == 0 || i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k)
    if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 0;
  unsigned char second = static_cast<unsigned char>(text[i + 1]);
  // Overlong three- and four-byte forms, surrogates, and beyond U+10FFFF.
  if ((c == 0xE0 && second < 0xA0) || (c == 0xED && second > 0x9F) ||
      (c == 0xF0 && second < 0x90) || (c == 0xF4 && second > 0x8F))
    return 0;
  return length;
}

}  // namespace

bool isValidUtf8(const std::string& text) {
  for (std::size_t i = 0; i < text.size();) {
    std::size_t length = sequenceLength(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

bool isProductId(const std::string& id) {
  if (id.empty()) return false;
  for (char c : id)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || isDigit(c) || c == '.' || c == '_' ||
          c == '-'))
      return false;
  return true;
}

bool parseVersion(const std::string& text, ReleaseVersion* version) {
  ReleaseVersion parsed;
  parsed.text = text;
  std::uint32_t number = 0;
  bool digits = false;
  for (std::string::size_type i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '.') {
      if (!digits) return false;
      parsed.numbers.push_back(number);
      number = 0;
      digits = false;
    } else if (isDigit(text[i])) {
      number = number * 10 + std::uint32_t(text[i] - '0');
      if (number > largestNumber) return false;
      digits = true;
    } else {
      return false;
    }
  }
  *version = parsed;
  return true;
}

int compareVersions(const ReleaseVersion& a, const ReleaseVersion& b) {
  std::size_t n = std::max(a.numbers.size(), b.numbers.size());
  for (std::size_t i = 0; i < n; ++i) {
    std::uint32_t x = i < a.numbers.size() ? a.numbers[i] : 0;
    std::uint32_t y = i < b.numbers.size() ? b.numbers[i] : 0;
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

bool isReleaseFileName(const std::string& name) {
  if (name.empty() || name.find('\\') != std::string::npos || !isValidUtf8(name) ||
      !isSafeEntryName(name) || hasControlBytes(name))
    return false;
  // Each component once between single slashes; a trailing '/' leaves an
  // empty last component, so a directory's name is refused here too.
  std::string::size_type start = 0;
  for (;;) {
    std::string::size_type slash = name.find('/', start);
    std::string part = name.substr(start, slash == std::string::npos ? slash : slash - start);
    if (part.empty() || part == ".") return false;
    if (slash == std::string::npos) return true;
    start = slash + 1;
  }
}

bool parseReleaseList(const std::string& text, ReleaseList* list, std::string* badLine) {
  *list = ReleaseList();
  std::set<std::string> named;
  std::string::size_type start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  while (start < text.size()) {
    std::string::size_type end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    start = end + 1;
    if (isBlank(line) || line[0] == '#') continue;
    if (!takeItem(line, list, &named)) {
      *badLine = line;
      return false;
    }
  }
  return true;
}

std::string releaseListText(const ReleaseList& list) {
  std::string text;
  if (list.hasProduct) text += "urun " + list.product + "\n";
  if (list.hasVersion) text += "surum " + list.version.text + "\n";
  for (const std::string& file : list.files) text += "dosya " + file + "\n";
  return text;
}
