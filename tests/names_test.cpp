// Entry name checks.
#include "names.h"

#include <gtest/gtest.h>

namespace {

TEST(IsSafeEntryName, AcceptsOrdinaryNames) {
  for (const char* name : {"a.txt",
                           "bin/x.dll",
                           "bin\\x.dll",
                           "docs/",
                           "./a.txt",
                           "a/./b",
                           "a//b",
                           ".config",
                           "con2.txt",
                           "console.txt",
                           "COM10",
                           "LPT0",
                           "my.con",
                           "a b.txt",
                           "\303\247alisma/dosya.txt",
                           "_guncelleme_yedek2/x",
                           "x/_guncelleme_yedek/y",
                           "a..b",
                           "x/_gunluk.tvj",
                           "x/_GUNCE~1/y",
                           "~1/x",
                           "ABCDEFG~1/x",
                           "A~1X/x",
                           "A~1.TEXT",
                           "_gunluk.tvjx"})
    EXPECT_TRUE(isSafeEntryName(name)) << name;
}

TEST(IsSafeEntryName, RejectsNamesThatEscapeAliasOrHitDevices) {
  for (const char* name : {"/etc/passwd",
                           "\\Windows\\x",
                           "C:x",
                           "C:\\x",
                           "a.txt:stream",
                           "../x",
                           "a/../../x",
                           "a\\..\\x",
                           "..",
                           "a/..",
                           "CON",
                           "con.txt",
                           "bin/Nul.dll",
                           "aux",
                           "PRN.log",
                           "COM1",
                           "lpt9.txt",
                           "com3 .txt",
                           "CONIN$",
                           "conout$.x",
                           "_guncelleme_yedek/x",
                           "_GUNCELLEME_YEDEK\\x",
                           "./_guncelleme_yedek/x",
                           "_gunluk.tvj",
                           "_GUNLUK.TVJ/x",
                           "_GUNCE~1/x",
                           "_gunc~12/x.txt",
                           "_G1A2B~1\\x",
                           "A~1.TXT",
                           "_guncelleme_yedek/",
                           "a.",
                           "a/b./c",
                           "a ",
                           "dir /x",
                           "a\tb",
                           "a\nb",
                           "a<b",
                           "a>b",
                           "a\"b",
                           "a|b",
                           "a?b",
                           "a*b"})
    EXPECT_FALSE(isSafeEntryName(name)) << name;
}

TEST(IsUpdaterItself, ComparesTheLastSlashComponentIgnoringCase) {
  for (const char* name :
       {"tavo_updater.exe", "bin/tavo_updater.exe", "TAVO_UPDATER.EXE", "a/b/Tavo_Updater.Exe"})
    EXPECT_TRUE(isUpdaterItself(name)) << name;
  for (const char* name : {"bin\\tavo_updater.exe", "tavo_updater.exe.bak", "xtavo_updater.exe",
                           "tavo_updater", "tavo_updater.exe/"})
    EXPECT_FALSE(isUpdaterItself(name)) << name;
}

}  // namespace
