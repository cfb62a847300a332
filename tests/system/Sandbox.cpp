#include "Sandbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

const char* const kSandboxFuseDir = "/run/kvz-hidraw";
const char* const kSandboxRuntimeDir = "/run/kvz-user";

namespace {

std::string gSkipReason = "the sandbox was not entered";

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

bool MountTmpfs(const char* where, const char* options, std::string& error) {
  if (mount("kvz-system", where, "tmpfs", MS_NOSUID, options) != 0) {
    error = Errno(std::string("mount tmpfs on ") + where);
    return false;
  }
  return true;
}

// Covers `where` with a fresh tmpfs, except for the directories of `keep`
// that lie under it: their topmost directory there (the checkout or the
// build tree, for a clone made in /tmp) is bound back in place.
bool CoverKeeping(const char* where, const char* options, const std::vector<std::string>& keep,
                  std::string& error) {
  const std::string prefix = std::string(where) + "/";
  std::vector<std::string> tops;
  for (const std::string& path : keep) {
    if (path.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string top = path.substr(0, path.find('/', prefix.size()));
    if (top.size() > prefix.size() && std::find(tops.begin(), tops.end(), top) == tops.end())
      tops.push_back(top);
  }
  std::vector<int> held;
  for (const std::string& top : tops) {
    const int fd = open(top.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
      for (int h : held) close(h);
      error = Errno("opening " + top);
      return false;
    }
    held.push_back(fd);
  }
  bool ok = MountTmpfs(where, options, error);
  for (size_t i = 0; ok && i < tops.size(); ++i) {
    const std::string from = "/proc/self/fd/" + std::to_string(held[i]);
    if (mkdir(tops[i].c_str(), 0755) != 0 ||
        mount(from.c_str(), tops[i].c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
      error = Errno("keeping " + tops[i] + " visible");
      ok = false;
    }
  }
  for (int h : held) close(h);
  return ok;
}

bool WriteFile(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok;
}

struct TDevEntry {
  std::string Name;
  mode_t Mode = 0;
  dev_t Rdev = 0;
  std::string Target;  // symlinks
};

// The host's top-level device nodes and links, read before /dev is covered.
std::vector<TDevEntry> HostDevEntries() {
  std::vector<TDevEntry> out;
  DIR* d = opendir("/dev");
  if (d == nullptr) return out;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == ".." || name.rfind("hidraw", 0) == 0) continue;
    const std::string path = "/dev/" + name;
    struct stat s;
    if (lstat(path.c_str(), &s) != 0) continue;
    TDevEntry entry;
    entry.Name = name;
    entry.Mode = s.st_mode;
    entry.Rdev = s.st_rdev;
    if (S_ISLNK(s.st_mode)) {
      char buf[4096];
      const ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
      if (n <= 0) continue;
      entry.Target.assign(buf, static_cast<size_t>(n));
    } else if (!S_ISCHR(s.st_mode)) {
      continue;
    }
    out.push_back(entry);
  }
  closedir(d);
  return out;
}

bool PrivateDev(std::string& error) {
  const std::vector<TDevEntry> host = HostDevEntries();
  if (!MountTmpfs("/dev", "mode=0755", error)) return false;
  for (const TDevEntry& e : host) {
    const std::string path = "/dev/" + e.Name;
    if (S_ISLNK(e.Mode)) {
      if (symlink(e.Target.c_str(), path.c_str()) != 0) {
        error = Errno("symlink " + path);
        return false;
      }
    } else if (mknod(path.c_str(), e.Mode, e.Rdev) != 0) {
      error = Errno("mknod " + path);
      return false;
    } else {
      chmod(path.c_str(), e.Mode & 07777);
    }
  }
  if (mkdir("/dev/shm", 01777) != 0 || !MountTmpfs("/dev/shm", "mode=1777", error)) {
    if (error.empty()) error = Errno("mkdir /dev/shm");
    return false;
  }
  return true;
}

bool MakeDirs(const std::vector<std::string>& dirs, mode_t mode, std::string& error) {
  for (const std::string& d : dirs) {
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
      pos = d.find('/', pos + 1);
      partial = d.substr(0, pos);
      if (mkdir(partial.c_str(), mode) != 0 && errno != EEXIST) {
        error = Errno("mkdir " + partial);
        return false;
      }
    }
  }
  return true;
}

}  // namespace

const std::string& SandboxSkipReason() { return gSkipReason; }
void SetSandboxSkipReason(const std::string& reason) { gSkipReason = reason; }

std::string EnterSandbox(const std::vector<std::string>& keep) {
  if (geteuid() != 0) return "the system test needs root (device nodes, mounts and namespaces)";
  if (access("/dev/fuse", R_OK | W_OK) != 0) return "no usable /dev/fuse (FUSE is not available here)";
  if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0)
    return Errno("private mount and network namespaces refused (unshare)");
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return Errno("making the mounts private");
  std::string error;
  if (!PrivateDev(error)) return error;
  if (!CoverKeeping("/run", "mode=0755", keep, error)) return error;
  if (!MakeDirs({"/run/udev", kSandboxFuseDir}, 0755, error)) return error;
  if (!MakeDirs({kSandboxRuntimeDir}, 0700, error)) return error;
  // libudev's monitor listens only where udev is said to run.
  if (!WriteFile("/run/udev/control", "")) return Errno("creating /run/udev/control");
  if (!MountTmpfs("/sys", "mode=0755", error)) return error;
  if (!MakeDirs({"/sys/bus/usb/devices", "/sys/bus/usb/drivers/usb", "/sys/bus/usb/drivers/usbhid",
                 "/sys/bus/hid/devices", "/sys/bus/hid/drivers/hid-generic", "/sys/class/hidraw",
                 "/sys/dev/char", "/sys/dev/block", "/sys/devices/pci0000:00/0000:00:14.0/usb1"},
                0755, error))
    return error;
  if (!CoverKeeping("/tmp", "mode=1777", keep, error)) return error;
  return std::string();
}
