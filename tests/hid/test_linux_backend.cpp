// The host backend without relying on any HID device: listing on a machine
// without hidraw, opens of paths it did not list, the probe that tells a node
// refusing the user from a node that is not there, and the udev notice
// descriptor. The backend against a real (emulated) node is tested with the
// whole program.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "HidLinux.h"
#include "HidSystem.h"
#include "hid.h"

namespace fs = std::filesystem;

namespace {

bool HostHasHidraw() {
  std::error_code ec;
  return fs::exists("/sys/class/hidraw", ec) && !fs::is_empty("/sys/class/hidraw", ec);
}

// A fresh folder that anyone may traverse, removed with its contents.
struct TScratch {
  TScratch() {
    std::string tmpl = (fs::temp_directory_path() / "kvz hidraw XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    Dir = tmpl;
    ::chmod(Dir.c_str(), 0755);
  }
  ~TScratch() {
    std::error_code ec;
    fs::remove_all(Dir, ec);
  }
  std::string File(const std::string& name, mode_t mode) const {
    const std::string p = Dir + "/" + name;
    std::ofstream(p) << "x";
    ::chmod(p.c_str(), mode);
    return p;
  }
  std::string Dir;
};

// HidLinuxOpenError(path) as seen by an unprivileged user: root ignores file
// modes, so a root run asks from a child process that became "nobody".
uint32_t ProbeAsUnprivileged(const std::string& path) {
  if (::geteuid() != 0) return HidLinuxOpenError(path);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) ::_exit(255);
    ::_exit(static_cast<int>(HidLinuxOpenError(path) & 0xFF));
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return 0xFFFFFFFF;
  return static_cast<uint32_t>(WEXITSTATUS(status));
}

}  // namespace

TEST(HidLinuxBackend, WithoutHidrawItListsNothingAndTheControllerStaysEmpty) {
  auto platform = CreateSystemHidPlatform();
  ASSERT_NE(nullptr, platform);
  std::vector<THidInterfaceEntry> entries(2);  // whatever was there is replaced
  ASSERT_TRUE(platform->ListInterfaces(entries));
  if (HostHasHidraw()) GTEST_SKIP() << "this machine has hidraw nodes";
  EXPECT_TRUE(entries.empty());

  THidCallQueue queue;
  THidDeviceController ctl(platform, queue);
  EXPECT_TRUE(ctl.HidServicesBound());
  EXPECT_EQ(0, ctl.Count());
  int changes = 0;
  ctl.SetOnDeviceChange(TNotifyEvent([&](void*) { ++changes; }));
  EXPECT_EQ(1, changes);  // the first assignment reports, whatever changed
  EXPECT_EQ(0, ctl.EnumerateDevices());
  THidDevice* d = nullptr;
  EXPECT_FALSE(ctl.ClaimDeviceAt(d, 0));
}

TEST(HidLinuxBackend, PathsItDidNotListAreNotConnected) {
  auto platform = CreateSystemHidPlatform();
  std::vector<THidInterfaceEntry> entries;
  ASSERT_TRUE(platform->ListInterfaces(entries));
  for (const char* path : {"/dev/hidraw-none", "/dev/null", ""}) {
    for (EHidAccess access : {EHidAccess::None, EHidAccess::Read, EHidAccess::ReadWrite}) {
      SCOPED_TRACE(std::string(path) + " access " + std::to_string(static_cast<int>(access)));
      uint32_t error = 0;
      EXPECT_EQ(nullptr, platform->Open(path, access, &error));
      EXPECT_EQ(kHidErrorDeviceNotConnected, error);
    }
  }
}

TEST(HidLinuxBackend, TheOpenProbeTellsARefusingNodeFromAMissingOne) {
  TScratch s;
  EXPECT_EQ(kHidErrorNone, HidLinuxOpenError(s.File("open", 0666)));
  EXPECT_EQ(kHidErrorDeviceNotConnected, HidLinuxOpenError(s.Dir + "/missing"));
  EXPECT_EQ(kHidErrorDeviceNotConnected, HidLinuxOpenError(s.Dir));  // a folder: EISDIR
  // The node of a terminal before its udev rule: the user may not open it.
  EXPECT_EQ(kHidErrorAccessDenied, ProbeAsUnprivileged(s.File("root only", 0600)));
  EXPECT_EQ(kHidErrorAccessDenied, ProbeAsUnprivileged(s.File("read only", 0644)));
  EXPECT_EQ(kHidErrorNone, ProbeAsUnprivileged(s.File("for everyone", 0666)));
}

TEST(HidLinuxBackend, TheNoticeDescriptorNeverBlocks) {
  auto platform = CreateSystemHidPlatform();
  IHidChangeSource* source = platform->ChangeSource();
  ASSERT_NE(nullptr, source);
  const int fd = source->NoticeFd();
  if (fd < 0) GTEST_SKIP() << "no udev monitor can be made here";
  // ConsumeNotices reads until nothing waits: the socket must not block, and
  // it must not leak into the installer's process.
  EXPECT_NE(0, ::fcntl(fd, F_GETFL) & O_NONBLOCK);
  EXPECT_NE(0, ::fcntl(fd, F_GETFD) & FD_CLOEXEC);
  EXPECT_EQ(0, source->ConsumeNotices());

  THidCallQueue queue;
  THidDeviceController ctl(platform, queue);
  EXPECT_EQ(fd, ctl.NoticeFd());
  const uint64_t passes = ctl.PassCount();
  EXPECT_EQ(0, ctl.ConsumeNotices());
  EXPECT_EQ(passes, ctl.PassCount());  // no notice, no pass
}
