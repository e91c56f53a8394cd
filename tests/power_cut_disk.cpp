// A disk with a volatile write cache, for the power-cut sweep: a FUSE file
// system serving one file, disk.img, backed by an image file. Writes are
// held in memory until the next fsync (a loop device turns the flushes of
// the file system on it into fsync calls on this file), which applies them
// to the image. A write to the control file `cut` is the power cut: the held
// writes are dropped and every later write and flush is ignored, so the
// image keeps exactly what such a disk would have kept.
//
//   power_cut_disk <image> <mount point>    (runs until unmounted)
#define FUSE_USE_VERSION 31
#include <fcntl.h>
#include <fuse.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

const off_t blockSize = 4096;

struct Disk {
  int image = -1;
  off_t size = 0;
  bool cut = false;
  std::map<off_t, std::string> held;  // block offset -> block as written since the last flush
};

Disk* disk() { return static_cast<Disk*>(fuse_get_context()->private_data); }

bool isImage(const char* path) { return std::strcmp(path, "/disk.img") == 0; }
bool isCut(const char* path) { return std::strcmp(path, "/cut") == 0; }

int getAttributes(const char* path, struct stat* st, struct fuse_file_info*) {
  std::memset(st, 0, sizeof *st);
  st->st_nlink = 1;
  if (std::strcmp(path, "/") == 0)
    st->st_mode = S_IFDIR | 0755;
  else if (isImage(path) || isCut(path))
    st->st_mode = S_IFREG | 0600;
  else
    return -ENOENT;
  if (isImage(path)) st->st_size = disk()->size;
  return 0;
}

int openFile(const char* path, struct fuse_file_info*) {
  return isImage(path) || isCut(path) ? 0 : -ENOENT;
}

// The part of [offset, offset + size) inside the image.
std::size_t clipped(off_t offset, std::size_t size) {
  return std::size_t(std::clamp<off_t>(disk()->size - offset, 0, off_t(size)));
}

// The image's bytes with the held blocks laid over them.
int readFile(const char* path, char* buffer, std::size_t size, off_t offset,
             struct fuse_file_info*) {
  Disk* d = disk();
  size = isImage(path) ? clipped(offset, size) : 0;
  if (pread(d->image, buffer, size, offset) != ssize_t(size)) return -EIO;
  off_t end = offset + off_t(size);
  for (auto it = d->held.lower_bound(offset - offset % blockSize);
       it != d->held.end() && it->first < end; ++it) {
    off_t from = std::max(offset, it->first), to = std::min(end, it->first + blockSize);
    std::memcpy(buffer + (from - offset), it->second.data() + (from - it->first), to - from);
  }
  return int(size);
}

int writeFile(const char* path, const char* data, std::size_t size, off_t offset,
              struct fuse_file_info*) {
  Disk* d = disk();
  if (isCut(path)) {
    d->cut = true;
    d->held.clear();
  }
  if (!isImage(path) || d->cut) return int(size);
  off_t end = offset + off_t(clipped(offset, size));
  for (off_t block = offset - offset % blockSize; block < end; block += blockSize) {
    std::string& bytes = d->held[block];
    if (bytes.empty()) {
      bytes.resize(blockSize);
      if (pread(d->image, &bytes[0], blockSize, block) != blockSize) return -EIO;
    }
    off_t from = std::max(offset, block), to = std::min(end, block + blockSize);
    std::memcpy(&bytes[from - block], data + (from - offset), to - from);
  }
  return int(size);
}

// A flush: everything held so far becomes durable.
int flushDisk(const char*, int, struct fuse_file_info*) {
  Disk* d = disk();
  for (const auto& block : d->held)
    if (!d->cut && pwrite(d->image, block.second.data(), blockSize, block.first) != blockSize)
      return -EIO;
  d->held.clear();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Descriptors inherited from a test that starts programs on several
  // threads would keep other file systems busy.
  closefrom(3);
  Disk d;
  struct stat st;
  d.image = argc == 3 ? open(argv[1], O_RDWR) : -1;
  if (d.image < 0 || fstat(d.image, &st) != 0 || st.st_size % blockSize != 0) return 2;
  d.size = st.st_size;
  struct fuse_operations operations = {};
  operations.getattr = getAttributes;
  operations.open = openFile;
  operations.read = readFile;
  operations.write = writeFile;
  operations.fsync = flushDisk;
  // Foreground and single-threaded: requests are handled one at a time.
  std::vector<char*> args = {argv[0], const_cast<char*>("-f"), const_cast<char*>("-s"), argv[2]};
  return fuse_main(int(args.size()), args.data(), &operations, &d);
}
