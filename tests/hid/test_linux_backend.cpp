// The host backend on a machine without HID devices.
#include <gtest/gtest.h>

#include "HidSystem.h"
#include "hid.h"

TEST(HidLinuxBackend, ListsNothingAndReportsNoErrorWithoutDevices) {
  auto platform = CreateSystemHidPlatform();
  ASSERT_NE(nullptr, platform);
  std::vector<THidInterfaceEntry> entries;
  ASSERT_TRUE(platform->ListInterfaces(entries));
  if (!entries.empty()) GTEST_SKIP() << "this machine has HID devices";
  uint32_t error = 0;
  EXPECT_EQ(nullptr, platform->Open("/dev/hidraw-none", EHidAccess::None, &error));
  EXPECT_EQ(kHidErrorDeviceNotConnected, error);

  THidCallQueue queue;
  THidDeviceController ctl(platform, queue);
  EXPECT_TRUE(ctl.HidServicesBound());
  EXPECT_EQ(0, ctl.Count());
  int changes = 0;
  ctl.SetOnDeviceChange(TNotifyEvent([&](void*) { ++changes; }));
  EXPECT_EQ(1, changes);
  EXPECT_EQ(0, ctl.ConsumeNotices());  // nothing waiting
  EXPECT_EQ(0, ctl.EnumerateDevices());
  EXPECT_GE(ctl.NoticeFd(), -1);
}
