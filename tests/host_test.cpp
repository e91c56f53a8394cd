// Process id parsing for the host wait.
#include "host.h"

#include <gtest/gtest.h>

namespace {

TEST(ParseProcessId, ReadsLikeA32BitStrtoul) {
  struct Case {
    const char* text;
    std::uint32_t expected;
  } cases[] = {
      {"1234", 1234},
      {"  42", 42},
      {"+7", 7},
      {"12abc", 12},
      {"abc", 0},
      {"", 0},
      {"0", 0},
      {"4294967295", 4294967295u},
      {"4294967296", 4294967295u},
      {"99999999999999999999999", 4294967295u},
      {"-1", 4294967295u},
      {"-5", 4294967291u},
      {" -", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(parseProcessId(c.text), c.expected) << c.text;
}

}  // namespace
