// The console line for a file that stays held, with none, one and two of
// the programs that hold it named.
#include "console.h"

#include <gtest/gtest.h>

TEST(HeldFileLine, NamesEveryHolderInTurn) {
  const struct {
    std::vector<FileHolder> holders;
    std::string tail;
  } cases[] = {{{}, "\n"},
               {{{"Tavonu", 4242}}, " (Tavonu, pid 4242)\n"},
               {{{"Tavonu", 8}, {"G\xC3\xB6z", 4294967295u}},
                " (Tavonu, pid 8) (G\xC3\xB6z, pid 4294967295)\n"}};
  for (const auto& c : cases)
    EXPECT_EQ(heldFileLine("bin/Tavonu.exe", c.holders),
              "tavo_updater: dosya kullanimda: bin/Tavonu.exe" + c.tail);
}
