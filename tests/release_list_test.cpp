// The release list: parsing, version order and its written text.
#include "release_list.h"

#include <gtest/gtest.h>

namespace {

const char* const bad = "<bad>";

TEST(ParseReleaseList, TakesItemsAndRefusesTheFirstBadLineAsWritten) {
  struct Case {
    std::string text;
    std::string result;  // what was read ("urun|surum|files"), or the refused line
  } cases[] = {
      {"", "||"},
      {"urun tavonu\nsurum 2.4.10\ndosya a.txt\ndosya bin/x.dll\n",
       "tavonu|2.4.10|a.txt,bin/x.dll"},
      {"\xEF\xBB\xBFurun t\r\nsurum 1\r\n\r\n# yorum\r\n  \t\r\ndosya a b.txt", "t|1|a b.txt"},
      {"dosya \xC3\xA7"
       "al/\xC3\xBC.txt\n",
       "||\xC3\xA7"
       "al/\xC3\xBC.txt"},
      {"dosya A.txt\ndosya a.txt\n", "||A.txt,a.txt"},
      {"urun a.B_c-9\nsurum 007.0\n", "a.B_c-9|007.0|"},
      {"dosya a.txt\nhede x\n", "hede x"},
      {"urun t \r\n", "urun t "},
      {"urun t\nurun t", "urun t"},
      {"surum 1\nsurum 1", "surum 1"},
      {"dosya a.txt\ndosya a.txt", "dosya a.txt"},
      {"urun t\n\xEF\xBB\xBFsurum 1", "\xEF\xBB\xBFsurum 1"},
  };
  for (const Case& c : cases) {
    ReleaseList list;
    std::string badLine = bad, result;
    if (parseReleaseList(c.text, &list, &badLine)) {
      EXPECT_EQ(list.hasProduct, !list.product.empty()) << c.text;
      EXPECT_EQ(list.hasVersion, !list.version.text.empty()) << c.text;
      result = list.product + "|" + list.version.text + "|";
      for (std::size_t i = 0; i < list.files.size(); ++i) result += (i ? "," : "") + list.files[i];
    } else {
      result = badLine;
    }
    EXPECT_EQ(result, c.result) << c.text;
  }
  // Lines refused alone, each given back as it is.
  for (const char* line : {"Urun t",         "urun",           "urun ",
                           "urun a/b",       "surum 2..4",     "surum 2.",
                           "surum v2",       "surum 1.-2",     "surum 1000000000",
                           "dosya ",         "dosya ../x",     "dosya a/../../x",
                           "dosya docs/",    "dosya a\\b.txt", "dosya a//b",
                           "dosya ./a",      "dosya CON.txt",  "dosya _guncelleme_yedek/x",
                           "dosya a\tb",     "dosya \xC3(",    "dosya \xED\xA0\x80",
                           "dosya \xC0\xAF", "dosya\ta.txt",   " # not at the start"}) {
    ReleaseList list;
    std::string badLine = bad;
    EXPECT_FALSE(parseReleaseList(line, &list, &badLine)) << line;
    EXPECT_EQ(badLine, line);
  }
}

TEST(CompareVersions, NumberByNumberWithMissingNumbersAsZero) {
  struct Case {
    const char *a, *b;
    int order;
  } cases[] = {
      {"2.4.10", "2.4.9", 1}, {"2.4", "2.4.0", 0},   {"10", "9", 1},
      {"1.9", "1.10", -1},    {"2.04", "2.4", 0},    {"2", "2.0.0.1", -1},
      {"0", "0.0", 0},        {"3.0", "2.99.99", 1}, {"999999999", "1", 1},
  };
  for (const Case& c : cases) {
    ReleaseVersion a, b;
    ASSERT_TRUE(parseVersion(c.a, &a) && parseVersion(c.b, &b)) << c.a << " " << c.b;
    int order = compareVersions(a, b), reverse = compareVersions(b, a);
    EXPECT_EQ((order > 0) - (order < 0), c.order) << c.a << " " << c.b;
    EXPECT_EQ((reverse > 0) - (reverse < 0), -c.order) << c.b << " " << c.a;
  }
}

TEST(ReleaseListText, WritesWhatParsingReadsBack) {
  const std::string text =
      "urun tavonu\nsurum 2.04.10\ndosya a.txt\ndosya bin/x.dll\ndosya \xC3\xBC/b c.txt\n";
  ReleaseList list;
  std::string badLine;
  ASSERT_TRUE(parseReleaseList("# yorum\r\n" + text, &list, &badLine)) << badLine;
  EXPECT_EQ(list.version.numbers, (std::vector<std::uint32_t>{2, 4, 10}));
  EXPECT_EQ(releaseListText(list), text);
}

}  // namespace
