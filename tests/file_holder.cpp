// Test helper standing in for an application that still holds one of its
// files: opens <file> for reading with the sharing <share> ("none", "r" or
// "rw"), or for "write" or "delete" sharing all, writes <readyfile>, waits
// until <stopfile> exists and then <ms> more (0 when not given), closes it.
#define WIN32_LEAN_AND_MEAN
// libstdc++ may have defined it already.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool shareMode(const char* name, DWORD* mode) {
  if (std::strcmp(name, "none") == 0)
    *mode = 0;
  else if (std::strcmp(name, "r") == 0)
    *mode = FILE_SHARE_READ;
  else if (std::strcmp(name, "rw") == 0)
    *mode = FILE_SHARE_READ | FILE_SHARE_WRITE;
  else if (std::strcmp(name, "write") == 0 || std::strcmp(name, "delete") == 0)
    *mode = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  else
    return false;
  return true;
}

bool exists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

}  // namespace

int main(int argc, char** argv) {
  DWORD share = 0;
  if ((argc != 5 && argc != 6) || !shareMode(argv[2], &share)) {
    std::fputs("usage: file_holder <file> none|r|rw|write|delete <readyfile> <stopfile> [<ms>]\n",
               stderr);
    return 2;
  }
  DWORD access = argv[2][0] == 'w' ? GENERIC_WRITE : argv[2][0] == 'd' ? DELETE : GENERIC_READ;
  HANDLE h =
      CreateFileA(argv[1], access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 1;
  HANDLE ready = CreateFileA(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  if (ready == INVALID_HANDLE_VALUE) return 1;
  CloseHandle(ready);
  // Bounded, so that a test that dies early does not leave it behind.
  for (int waited = 0; waited < 120000 && !exists(argv[4]); waited += 10) Sleep(10);
  if (argc == 6) Sleep(DWORD(std::atoi(argv[5])));
  CloseHandle(h);
  return 0;
}
