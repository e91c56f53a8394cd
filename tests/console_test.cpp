// The console line for a file that stays held, with and without the names
// of the programs that hold it.
#include "console.h"

#include <gtest/gtest.h>

namespace {

TEST(HeldFileLine, NamesEveryHolderInTurn) {
  struct Case {
    std::vector<FileHolder> holders;
    const char* line;
  };
  const Case cases[] = {
      {{}, "tavo_updater: dosya kullanimda: bin/Tavonu.exe\n"},
      {{{"Tavonu", 4242}}, "tavo_updater: dosya kullanimda: bin/Tavonu.exe (Tavonu, pid 4242)\n"},
      {{{"Tavonu", 8}, {"G\xC3\xB6zc\xC3\xBC", 4294967295u}},
       "tavo_updater: dosya kullanimda: bin/Tavonu.exe (Tavonu, pid 8) (G\xC3\xB6zc\xC3\xBC, pid "
       "4294967295)\n"}};
  for (const Case& c : cases)
    EXPECT_EQ(heldFileLine("bin/Tavonu.exe", c.holders), c.line) << c.holders.size();
}

}  // namespace
