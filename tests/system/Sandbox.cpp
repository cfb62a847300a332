#include "Sandbox.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace fs = std::filesystem;

const char* const kSandboxFuseDir = "/run/kvz-hidraw";
const char* const kSandboxRuntimeDir = "/run/kvz-user";

namespace {

// Throws what failed, with the system's reason, unless `ok`.
void Check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error(what + ": " + std::strerror(errno));
}

void MountTmpfs(const char* where, const char* options) {
  Check(mount("kvz-system", where, "tmpfs", MS_NOSUID, options) == 0, std::string("mount tmpfs on ") + where);
}

// Covers `where` with a fresh tmpfs, except for the directories of `keep`
// that lie under it: their topmost directory there (the checkout or the
// build tree, for a clone made in /tmp) is bound back in place.
void CoverKeeping(const char* where, const char* options, const std::vector<std::string>& keep) {
  const std::string prefix = std::string(where) + "/";
  std::vector<std::pair<std::string, int>> tops;  // with a descriptor held across the mount
  for (const std::string& path : keep) {
    const std::string top = path.substr(0, path.find('/', prefix.size()));
    if (path.compare(0, prefix.size(), prefix) == 0 && top.size() > prefix.size() &&
        std::none_of(tops.begin(), tops.end(), [&](const auto& t) { return t.first == top; }))
      tops.emplace_back(top, open(top.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  }
  for (const auto& [top, fd] : tops) Check(fd >= 0, "opening " + top);
  MountTmpfs(where, options);
  for (const auto& [top, fd] : tops) {
    const std::string from = "/proc/self/fd/" + std::to_string(fd);
    Check(mkdir(top.c_str(), 0755) == 0 &&
              mount(from.c_str(), top.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0,
          "keeping " + top + " visible");
    close(fd);
  }
}

// /dev: the host's character devices and links, without its hidraw nodes.
void PrivateDev() {
  struct TEntry {
    fs::path Path;
    struct stat St;
    fs::path Target;  // links
  };
  std::vector<TEntry> host;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/dev", ec)) {
    TEntry t{e.path(), {}, {}};
    if (e.path().filename().string().rfind("hidraw", 0) == 0 || lstat(e.path().c_str(), &t.St) != 0) continue;
    if (S_ISLNK(t.St.st_mode)) t.Target = fs::read_symlink(e.path(), ec);
    if (S_ISCHR(t.St.st_mode) || (S_ISLNK(t.St.st_mode) && !ec)) host.push_back(t);
  }
  MountTmpfs("/dev", "mode=0755");
  for (const TEntry& e : host)
    Check(S_ISLNK(e.St.st_mode) ? symlink(e.Target.c_str(), e.Path.c_str()) == 0
                                : mknod(e.Path.c_str(), e.St.st_mode, e.St.st_rdev) == 0 &&
                                      chmod(e.Path.c_str(), e.St.st_mode & 07777) == 0,
          "copying " + e.Path.string());
  Check(mkdir("/dev/shm", 01777) == 0, "mkdir /dev/shm");
  MountTmpfs("/dev/shm", "mode=1777");
}

}  // namespace

std::string& SandboxSkipReason() {
  static std::string reason = "the sandbox was not entered";
  return reason;
}

std::string EnterSandbox(const std::vector<std::string>& keep) {
  if (geteuid() != 0) return "the system test needs root (device nodes, mounts and namespaces)";
  if (access("/dev/fuse", R_OK | W_OK) != 0) return "no usable /dev/fuse (FUSE is not available here)";
  try {
    Check(unshare(CLONE_NEWNS | CLONE_NEWNET) == 0, "private mount and network namespaces refused (unshare)");
    Check(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0, "making the mounts private");
    PrivateDev();
    CoverKeeping("/run", "mode=0755", keep);
    for (const char* d : {"/run/udev", kSandboxFuseDir, kSandboxRuntimeDir}) fs::create_directories(d);
    chmod(kSandboxRuntimeDir, 0700);
    // libudev's monitor listens only where udev is said to run.
    const int control = open("/run/udev/control", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    Check(control >= 0, "creating /run/udev/control");
    close(control);
    MountTmpfs("/sys", "mode=0755");
    for (const char* d : {"/sys/bus/usb", "/sys/bus/hid", "/sys/class/hidraw", "/sys/dev/char",
                          "/sys/dev/block", "/sys/devices/pci0000:00/0000:00:14.0/usb1"})
      fs::create_directories(d);
    CoverKeeping("/tmp", "mode=1777", keep);
  } catch (const std::exception& e) {  // filesystem_error too
    return e.what();
  }
  return std::string();
}
