// Writes the fuzzer's seed archives into the directory given: ordinary
// updates and the hostile forms the end-to-end suite uses, so that the
// fuzzer starts from archives that reach every branch of the installation.
#include <cstdio>
#include <string>
#include <vector>

#include "zip_builder.h"

namespace {

ZipEntrySpec with(ZipEntrySpec e, std::uint16_t method, std::uint16_t flags) {
  e.method = method;
  e.flags = flags;
  return e;
}

std::vector<std::string> seeds() {
  ZipEntrySpec badCrc = fileEntry("bin/lib.dll", "new lib");
  badCrc.crc = 7;
  ZipEntrySpec lyingSize = fileEntry("a.txt", std::string(3000, 'a'));
  lyingSize.size = 10;
  ZipEntrySpec emptyData = with(fileEntry("a.txt", "abc"), 0, 0);
  emptyData.compressedSize = 0;
  ZipArchiveSpec zip64 = archiveOf({fileEntry("a.txt", "64"), dirEntry("d/")});
  zip64.zip64 = true;
  ZipArchiveSpec split = archiveOf({fileEntry("a.txt", "x")});
  split.diskNumber = 1;
  std::string normal = buildZipOf(
      {dirEntry("docs/"), fileEntry("a.txt", "new a"), fileEntry("bin/lib.dll", "new lib"),
       fileEntry("bin/new.dll", "brand new"), fileEntry("tavo_updater.exe", "SELF")});
  return {
      normal,
      normal.substr(0, normal.size() / 2),
      buildZipOf({}),
      buildZip(zip64),
      buildZip(split),
      buildZipOf({fileEntry("a.txt", "v2"), fileEntry("a.txt", "v3"), badCrc}),
      buildZipOf({fileEntry("a.txt", "new"), fileEntry("../evil.txt", "evil")}),
      buildZipOf({fileEntry("a.txt", "new"), fileEntry("bin/CON.txt", "dev")}),
      buildZipOf({fileEntry("a.txt", "new"), fileEntry("_guncelleme_yedek/a.txt", "x")}),
      buildZipOf({fileEntry("a.txt", "new"), with(fileEntry("keep.txt", "enc"), 8, 1)}),
      buildZipOf({with(fileEntry("a.txt", "bz"), 12, 0)}),
      buildZipOf({with(fileEntry("a.txt", "patch"), 8, 0x20)}),
      buildZipOf({fileEntry("a.txt", "new"), lyingSize}),
      buildZipOf({emptyData}),
      buildZipOf({fileEntry("data", "file over a directory")}),
      buildZipOf({fileEntry("keep.txt/x", "below a file")}),
      buildZipOf({with(fileEntry("ctl\x01.txt", "c"), 8, 0x800)}),
      buildZipOf({fileEntry("n.txt", "new"), fileEntry("bin/lib.dll", "new"),
                  fileEntry("deep/er/still/x.txt", "x"), badCrc}),
  };
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_seeds DIR\n");
    return 2;
  }
  std::vector<std::string> all = seeds();
  for (std::size_t i = 0; i < all.size(); ++i)
    if (!writeBytes(std::string(argv[1]) + "/seed" + std::to_string(i) + ".zip", all[i])) return 1;
  std::printf("%zu seeds\n", all.size());
  return 0;
}
