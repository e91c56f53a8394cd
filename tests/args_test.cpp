// Option lookup.
#include "args.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::string lookup(std::vector<const char*> args, const char* name) {
  args.insert(args.begin(), "tavo_updater");
  return getArg(int(args.size()), args.data(), name);
}

TEST(GetArg, TakesTheArgumentAfterTheFirstExactMatch) {
  struct Case {
    std::vector<const char*> args;
    const char* name;
    std::string expected;
  } cases[] = {
      {{"--zip", "a.zip", "--hedef", "C:\\App"}, "--hedef", "C:\\App"},
      {{"x", "--hedef", "h", "y", "--zip", "a.zip", "z"}, "--zip", "a.zip"},
      {{"--zip", "first", "--zip", "second"}, "--zip", "first"},
      {{"--zip", "--hedef", "C:\\App"}, "--zip", "--hedef"},
      {{"--zip", "--hedef", "C:\\App"}, "--hedef", "C:\\App"},
      {{"--zip", "extra", "a.zip"}, "--zip", "extra"},
      {{"--zip", ""}, "--zip", ""},
      {{"--ZIP", "a.zip"}, "--zip", ""},
      {{"--zipx", "a.zip"}, "--zip", ""},
      {{"--zip", "a.zip", "--hedef"}, "--hedef", ""},
      {{}, "--zip", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(lookup(c.args, c.name), c.expected) << c.name;
}

TEST(GetArg, NeverReadsTheProgramPath) {
  const char* argv[] = {"--zip", "a.zip"};
  EXPECT_EQ(getArg(2, argv, "--zip"), "");
}

}  // namespace
