// Test helper standing in for an application that still holds one of its
// files: opens <file> for reading with the sharing <share> ("none", "r" or
// "rw"), or with "write" or "delete" access sharing everything, writes
// <readyfile>, waits until <stopfile> exists and then <ms> more (0 when not
// given), then closes it. Exits 1, writing nothing, when the open fails.
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

bool openMode(const char* name, DWORD* access, DWORD* mode) {
  *access = GENERIC_READ;
  if (std::strcmp(name, "none") == 0)
    *mode = 0;
  else if (std::strcmp(name, "r") == 0)
    *mode = FILE_SHARE_READ;
  else if (std::strcmp(name, "rw") == 0)
    *mode = FILE_SHARE_READ | FILE_SHARE_WRITE;
  else if (std::strcmp(name, "write") == 0 || std::strcmp(name, "delete") == 0)
    *access = name[0] == 'w' ? GENERIC_WRITE : DELETE;
  else
    return false;
  if (*access != GENERIC_READ) *mode = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  return true;
}

bool exists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

}  // namespace

int main(int argc, char** argv) {
  DWORD access = 0, share = 0;
  if ((argc != 5 && argc != 6) || !openMode(argv[2], &access, &share)) {
    std::fputs("usage: file_holder <file> none|r|rw|write|delete <readyfile> <stopfile> [<ms>]\n",
               stderr);
    return 2;
  }
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
