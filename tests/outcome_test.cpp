// The outcome's JSON form and its atomic write, against a real scratch
// directory.
#include "outcome.h"

#include <gtest/gtest.h>

#include "scratch.h"

namespace {

TEST(Outcome, StringsAreEscapedAndAlwaysValidJson) {
  struct Case {
    const char* what;
    std::string text, json;
  } cases[] = {
      {"plain", "a/b.txt", "\"a/b.txt\""},
      {"quote and backslash", "q\"\\b", "\"q\\\"\\\\b\""},
      {"control characters and DEL", std::string("\n\t\x01\x1f\x7f\0z", 7),
       "\"\\u000a\\u0009\\u0001\\u001f\\u007f\\u0000z\""},
      {"UTF-8 of 2, 3 and 4 bytes", "\xC3\xBC\xE2\x80\x94\xF0\x9F\x98\x80",
       "\"\xC3\xBC\xE2\x80\x94\xF0\x9F\x98\x80\""},
      {"a lone continuation and a Latin-1 byte", "a\x80\xE9z", "\"a\\ufffd\\ufffdz\""},
      {"overlong, surrogate, above U+10FFFF", "\xC0\xAF\xED\xA0\x80\xF4\x90\x80\x80",
       "\"\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\""},
      {"a sequence cut at the end", "x\xE2\x80", "\"x\\ufffd\\ufffd\""},
  };
  for (const Case& c : cases) EXPECT_EQ(jsonString(c.text), c.json) << c.what;
}

TEST(Outcome, JsonHasEveryFieldAndNullForWhatIsUnknown) {
  Outcome o;
  o.code = 7;
  o.messages = {"tavo_updater: bir", "iki"};
  o.holders = {{"Tavonu.exe", 4242}};
  o.toVersion = "2.1";
  o.counts = {3, 2, 1, 4};
  o.stages = {{"bekleme", 401}, {"plan", 0}};
  EXPECT_EQ(outcomeJson(o),
            "{\"kod\":7,\"mesajlar\":[\"tavo_updater: bir\",\"iki\"],\"girdi\":null,"
            "\"tutanlar\":[{\"program\":\"Tavonu.exe\",\"pid\":4242}],"
            "\"surum\":{\"eski\":null,\"yeni\":\"2.1\"},"
            "\"dosyalar\":{\"yazilan\":3,\"ayni\":2,\"silinen\":1,\"geri_yuklenen\":4},"
            "\"sureler\":[{\"asama\":\"bekleme\",\"ms\":401},{\"asama\":\"plan\",\"ms\":0}]}\n");
}

TEST(Outcome, WriteReplacesThePreviousFileOrLeavesItAsItWas) {
  std::string dir = makeScratchDir(), path = dir + "/sonuc.json";
  putFile(path, "previous");
  Outcome o;
  o.entry = "a.txt";
  ASSERT_TRUE(writeOutcome(path, o));
  EXPECT_EQ(fileContent(path), outcomeJson(o));
  EXPECT_EQ(treeOf(dir).size(), 1u) << "the temporary file was left";
  // A temporary name that cannot be made (a directory is there).
  putFile(path + ".tmp/x", "");
  EXPECT_FALSE(writeOutcome(path, Outcome()));
  EXPECT_EQ(fileContent(path), outcomeJson(o));
  EXPECT_FALSE(writeOutcome(dir + "/missing/sonuc.json", o));
  removeScratchDir(dir);
}

}  // namespace
