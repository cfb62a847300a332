// Preloaded into the program under test (and into the harness itself) so
// that the emulated device node passes the two checks the host libraries
// make on it and that a FUSE file and a tmpfs cannot pass by themselves:
//
//   - hidapi asks fstat() for the node's device number (st_rdev of a
//     character device) and looks it up as /sys/dev/char/MAJOR:MINOR;
//   - libudev asks fstatfs() whether a device directory lives on sysfs.
//
// Nothing else is touched. A file on the FUSE mount named by
// KVZ_HIDRAW_DIR is shown as the character device KVZ_HIDRAW_MAJOR:minor,
// the minor being the low byte of its inode number (the harness numbers its
// nodes so). A directory on the tmpfs mounted at /sys is shown as sysfs.
#include <dlfcn.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>

#include <cstdlib>

namespace {

using TStat = int (*)(const char*, struct stat*);
using TFstat = int (*)(int, struct stat*);
using TFstatfs = int (*)(int, struct statfs*);

template <typename F>
F Next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

bool SameDevice(const char* dir, dev_t dev) {
  static const TStat realStat = Next<TStat>("stat");
  struct stat s;
  return dir != nullptr && realStat != nullptr && realStat(dir, &s) == 0 && s.st_dev == dev;
}

void AsHidraw(struct stat* s) {
  if (!S_ISREG(s->st_mode) || s->st_ino < 0x100) return;
  const char* major = std::getenv("KVZ_HIDRAW_MAJOR");
  if (major == nullptr || !SameDevice(std::getenv("KVZ_HIDRAW_DIR"), s->st_dev)) return;
  s->st_mode = S_IFCHR | (s->st_mode & 07777);
  s->st_rdev = makedev(static_cast<unsigned>(std::atoi(major)), static_cast<unsigned>(s->st_ino & 0xFF));
  s->st_size = 0;
}

}  // namespace

extern "C" {

int fstat(int fd, struct stat* s) {
  static const TFstat real = Next<TFstat>("fstat");
  const int rc = real(fd, s);
  if (rc == 0) AsHidraw(s);
  return rc;
}

int fstat64(int fd, struct stat64* s) { return fstat(fd, reinterpret_cast<struct stat*>(s)); }

int fstatfs(int fd, struct statfs* b) {
  static const TFstatfs real = Next<TFstatfs>("fstatfs");
  static const TFstat realFstat = Next<TFstat>("fstat");
  const int rc = real(fd, b);
  struct stat s;
  if (rc == 0 && static_cast<unsigned long>(b->f_type) == TMPFS_MAGIC && realFstat(fd, &s) == 0 &&
      SameDevice("/sys", s.st_dev))
    b->f_type = SYSFS_MAGIC;
  return rc;
}

int fstatfs64(int fd, struct statfs64* b) { return fstatfs(fd, reinterpret_cast<struct statfs*>(b)); }

}  // extern "C"
