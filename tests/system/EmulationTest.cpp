// The emulated node itself, through plain system calls: it must behave as
// the kernel's hidraw node does, or the tests built on it prove nothing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <future>
#include <thread>

#include "EmulatedTerminal.h"

namespace {

using namespace std::chrono_literals;

// The errno a failed call left (0 when it did not fail).
int Err(long rc) { return rc == -1 ? errno : 0; }

class SystemEmulation : public TPluggedTerminalTest {
 protected:
  void TearDown() override {
    for (int fd : Fds) close(fd);
  }
  int Open(int flags) {
    const int fd = open("/dev/hidraw0", flags | O_CLOEXEC);
    if (fd >= 0) Fds.push_back(fd);
    return fd;
  }
  std::vector<int> Fds;
};

TEST_F(SystemEmulation, NodeIsTheTerminalsHidrawDeviceRefusingWithoutTheRule) {
  const int fd = Open(O_RDWR);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  struct stat st;
  ASSERT_EQ(0, fstat(fd, &st));
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  EXPECT_EQ(static_cast<unsigned>(kHidrawMajor), major(st.st_rdev));
  EXPECT_EQ(0u, minor(st.st_rdev));

  int size = 0;
  ASSERT_EQ(0, ioctl(fd, HIDIOCGRDESCSIZE, &size));
  EXPECT_EQ(static_cast<int>(VendorReportDescriptor().size()), size);
  hidraw_report_descriptor d{};
  d.size = static_cast<__u32>(size);
  ASSERT_EQ(0, ioctl(fd, HIDIOCGRDESC, &d));
  EXPECT_EQ(VendorReportDescriptor(), TBytes(d.value, d.value + size));
  hidraw_devinfo info;
  ASSERT_EQ(0, ioctl(fd, HIDIOCGRAWINFO, &info));
  EXPECT_EQ(3u, info.bustype);
  EXPECT_EQ(0x1072, static_cast<uint16_t>(info.vendor));
  EXPECT_EQ(0x0003, static_cast<uint16_t>(info.product));
  char name[256] = {};
  EXPECT_EQ(static_cast<int>(std::strlen("KVZ Systemes Terminal KVZ-DORNAVE") + 1),
            ioctl(fd, HIDIOCGRAWNAME(sizeof name), name));
  EXPECT_STREQ("KVZ Systemes Terminal KVZ-DORNAVE", name);
  char shortName[4] = {};
  EXPECT_EQ(4, ioctl(fd, HIDIOCGRAWNAME(sizeof shortName), shortName));
  char phys[64] = {};
  EXPECT_GT(ioctl(fd, HIDIOCGRAWPHYS(sizeof phys), phys), 0);
  EXPECT_STREQ("usb-0000:00:14.0-1/input0", phys);
  EXPECT_EQ(-1, ioctl(fd, HIDIOCGFEATURE(8), name));

  // sysfs: the node's device number leads back to it.
  char link[512] = {};
  ASSERT_GT(readlink(("/sys/dev/char/" + std::to_string(kHidrawMajor) + ":0").c_str(), link, sizeof link - 1),
            0);
  EXPECT_NE(nullptr, std::strstr(link, "/hidraw/hidraw0"));

  // Without the udev rule for the technician, opens fail with EACCES.
  Term->SetRefusing(true);
  EXPECT_EQ(EACCES, Err(Open(O_RDWR)));
  EXPECT_EQ(EACCES, Err(Open(O_RDONLY)));
  EXPECT_EQ(0, access("/dev/hidraw0", F_OK));
  EXPECT_EQ(EACCES, Err(access("/dev/hidraw0", R_OK | W_OK)));
  Term->SetRefusing(false);
  EXPECT_GE(Open(O_RDWR), 0);
}

// One report per read, without the report ID (the device has none), to
// every file open when it came; reads block, poll wakes, and a read waiting
// for a report ends with EINTR when its thread is signalled.
TEST_F(SystemEmulation, ReportsGoToEveryOpenFile) {
  struct sigaction sa {};
  sa.sa_handler = [](int) {};
  sigaction(SIGUSR1, &sa, nullptr);  // no SA_RESTART
  const int a = Open(O_RDWR);
  const int b = Open(O_RDONLY);
  const int nb = Open(O_RDONLY | O_NONBLOCK);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  ASSERT_GE(nb, 0);
  uint8_t buf[128];
  EXPECT_EQ(EAGAIN, Err(read(nb, buf, sizeof buf)));

  // A read that waits while `meanwhile` runs; a signal ends it should it
  // not end otherwise.
  auto blockedRead = [&](std::function<void(pthread_t)> meanwhile) {
    std::promise<std::pair<ssize_t, int>> result;
    std::future<std::pair<ssize_t, int>> done = result.get_future();
    std::thread reader([&] {
      const ssize_t n = read(b, buf, sizeof buf);
      result.set_value({n, errno});
    });
    EXPECT_TRUE(SystemWorld()->Nodes.WaitForWaiter(5000));
    meanwhile(reader.native_handle());
    if (done.wait_for(3s) != std::future_status::ready) pthread_kill(reader.native_handle(), SIGUSR1);
    reader.join();
    return done.get();
  };
  const auto interrupted = blockedRead([](pthread_t t) { pthread_kill(t, SIGUSR1); });
  EXPECT_EQ(-1, interrupted.first);
  EXPECT_EQ(EINTR, interrupted.second);
  const auto answered = blockedRead(
      [&](pthread_t) { EXPECT_EQ(65, write(a, kIdentityReport.data(), kIdentityReport.size())); });
  EXPECT_EQ(64, answered.first) << "the waiting read did not get the report";
  EXPECT_EQ(0x55, buf[1]);  // count byte, then the frame
  EXPECT_EQ(0x81, buf[2]);

  pollfd p{a, POLLIN, 0};
  ASSERT_EQ(1, poll(&p, 1, 2000));
  EXPECT_TRUE(p.revents & POLLIN);
  uint8_t small[10];
  EXPECT_EQ(10, read(a, small, sizeof small));  // cut to the size asked
  EXPECT_EQ(0, poll(&p, 1, 0));                 // the rest of that report is gone
  EXPECT_EQ(64, read(nb, buf, sizeof buf));
  EXPECT_EQ(EINVAL, Err(write(a, buf, 1)));
}

TEST_F(SystemEmulation, UnplugFailsTheOpenFiles) {
  const int fd = Open(O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(65, write(fd, kIdentityReport.data(), kIdentityReport.size()));
  pollfd p{fd, POLLIN, 0};
  ASSERT_EQ(1, poll(&p, 1, 2000)) << "the answer was not queued";
  Term->Unplug();
  ASSERT_EQ(1, poll(&p, 1, 1000));
  EXPECT_EQ(POLLIN | POLLERR | POLLHUP, p.revents & (POLLIN | POLLERR | POLLHUP));
  uint8_t buf[128];
  EXPECT_EQ(64, read(fd, buf, sizeof buf));  // what was queued is still read
  EXPECT_EQ(EIO, Err(read(fd, buf, sizeof buf)));
  EXPECT_EQ(ENODEV, Err(write(fd, kIdentityReport.data(), kIdentityReport.size())));
  int size = 0;
  EXPECT_EQ(ENODEV, Err(ioctl(fd, HIDIOCGRDESCSIZE, &size)));
  EXPECT_EQ(ENOENT, Err(open("/dev/hidraw0", O_RDWR | O_CLOEXEC)));
  struct stat st;
  EXPECT_NE(0, stat("/sys/class/hidraw/hidraw0", &st));
}

}  // namespace
