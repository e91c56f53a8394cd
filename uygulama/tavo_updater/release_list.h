// The release list: the text an archive carries at its top level as
// "tavo_updater.liste", naming its product, its version and every file the
// release owns. Installed like any entry, so an installation holds the list
// of the release it has. Parsing, version order and writing live here.
//
// The format, one item a line (LF or CRLF ends a line; the last line may
// have none):
//   urun <id>         the product: ASCII letters, digits, '.', '_', '-'
//   surum <version>   numbers (up to 9 digits each) separated by dots
//   dosya <name>      a file of the release, its entry name in the archive
// A keyword, exactly one space, then the value up to the line's end, taken
// as it is (nothing is trimmed, so a value with a space before or after it
// is not the same value). Lines that are empty or hold only spaces and tabs,
// and lines whose first character is '#', are ignored; a UTF-8 byte order
// mark at the very start of the text is skipped. Keywords are lower case.
#ifndef TAVO_UPDATER_RELEASE_LIST_H
#define TAVO_UPDATER_RELEASE_LIST_H

#include <cstdint>
#include <string>
#include <vector>

#include "constants.h"

// A version: its numbers in order and its text as written ("2.04" keeps its
// text and has the numbers 2, 4).
struct ReleaseVersion {
  std::vector<std::uint32_t> numbers;
  std::string text;
};

// A parsed list. Product ids compare byte for byte. `files` holds the
// `dosya` names in the order of their lines, each once.
struct ReleaseList {
  bool hasProduct = false, hasVersion = false;
  std::string product;
  ReleaseVersion version;
  std::vector<std::string> files;
};

// Parses `text` into *list. False for the first line that is not one of the
// items above, with that line as written (without its line end) in *badLine:
// an unknown keyword, a keyword without its space, an id or version that is
// not in the form above, a second `urun` or `surum`, a `dosya` name that
// isReleaseFileName refuses or that repeats an earlier line's, or a line
// that is not valid UTF-8. A text without items is a list that gives
// nothing (hasProduct and hasVersion false, no files).
bool parseReleaseList(const std::string& text, ReleaseList* list, std::string* badLine);

// True for a product id: one or more ASCII letters, digits, '.', '_', '-'.
bool isProductId(const std::string& id);

// Parses a version ("2.4.10"); false for anything else (an empty number, a
// sign, a space, a number of more than 9 digits after its leading zeros).
bool parseVersion(const std::string& text, ReleaseVersion* version);

// Negative, zero or positive as `a` is older than, the same as or newer than
// `b`, number by number, a missing number counting as 0 (2.4 == 2.4.0).
int compareVersions(const ReleaseVersion& a, const ReleaseVersion& b);

// True for a name a `dosya` line may carry: valid UTF-8, accepted by the
// updater's entry-name rules (isSafeEntryName, no control bytes), spelt one
// way only (components between single '/', none empty or ".", no '\'), and
// naming a file (no '/' at the end).
bool isReleaseFileName(const std::string& name);

// True when `text` is valid UTF-8 (no overlong forms, no surrogates).
bool isValidUtf8(const std::string& text);

// The list's text as parseReleaseList reads it back: an `urun` line and a
// `surum` line when given, then a `dosya` line for each file, LF line ends.
std::string releaseListText(const ReleaseList& list);

#endif
