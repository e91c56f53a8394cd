// An archive that a test opens by its path: the input file it is read
// through, kept open beside it, and the two closed together.
#ifndef TAVO_TESTS_TEST_ARCHIVE_H
#define TAVO_TESTS_TEST_ARCHIVE_H

#include <string>

#include "platform.h"
#include "zip_reader.h"

struct TestArchive {
  InputFile file;
  ZipArchive* z = nullptr;  // nullptr when the file or the archive did not open
};

inline TestArchive openTestArchive(const std::string& path) {
  TestArchive a;
  if (openInputFile(path, &a.file, Reading::steady)) a.z = openArchiveFrom(a.file);
  return a;
}

inline void closeTestArchive(TestArchive* a) {
  if (a->z != nullptr) closeArchive(a->z);
  closeInputFile(&a->file);
  a->z = nullptr;
}

#endif
