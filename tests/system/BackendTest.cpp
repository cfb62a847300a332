// The Linux backend (hidapi on hidraw, libudev's monitor) against the
// emulated terminal: what the kernel does with a node that vanishes, a node
// that refuses access and a report that arrives right after a write.
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <thread>

#include "EmulatedTerminal.h"
#include "HidSystem.h"
#include "Sandbox.h"
#include "hid.h"

namespace {

using TBytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

const TBytes kIdentityRequest = {0x55, 0x80, 0xFF, 0x07, 0x00, 0x01, 0x2C};

// One output report of the terminal: report ID 0, count, frame bytes.
TBytes OutputReport(const TBytes& frame) {
  TBytes r(65, 0);
  r[1] = static_cast<uint8_t>(frame.size());
  std::copy(frame.begin(), frame.end(), r.begin() + 2);
  return r;
}

// Whether `data` holds the start of an identity answer (55 81 FF).
bool HoldsIdentityAnswer(const TBytes& data) {
  for (size_t i = 0; i + 2 < data.size(); ++i)
    if (data[i] == 0x55 && data[i + 1] == 0x81 && data[i + 2] == 0xFF) return true;
  return false;
}

// The dialogue's way of holding the terminal: a controller that claims the
// first "Terminal KVZ-DORNAVE" it lists. The device is released (reader
// stopped) when the holder goes, whatever the test's outcome.
struct TClaimedTerminal {
  explicit TClaimedTerminal(std::shared_ptr<IHidPlatform> platform) : Ctl(std::move(platform), Queue) {
    Ctl.SetOnEnumerate(THidEnumerateEvent([this](THidDevice* d, int32_t idx) {
      if (d->GetProductStringUtf8() != "Terminal KVZ-DORNAVE") return true;
      if (!Dev) Ctl.ClaimDeviceAt(Dev, idx);
      return false;
    }));
    Ctl.SetOnDeviceChange(TNotifyEvent([this](void*) { Ctl.EnumerateDevices(); }));
  }
  ~TClaimedTerminal() {
    if (!Dev) return;
    Dev->SetDataHandler(nullptr);
    Ctl.ReleaseDevice(Dev);
  }
  THidCallQueue Queue;
  THidDeviceController Ctl;
  THidDevice* Dev = nullptr;
};

class SystemBackend : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!SandboxSkipReason().empty()) GTEST_SKIP() << SandboxSkipReason();
    ASSERT_TRUE(SystemWorld()->Nodes.WaitAllReleased(5000)) << "files of the last test still open";
  }

  // A terminal that answers at once (within the write), bcdDevice 4.
  static TEmulatedTerminalConfig Fast() {
    TEmulatedTerminalConfig c;
    c.Terminal.UsbVersion = 4;
    c.Terminal.LatencyMs = 0;
    return c;
  }

  std::shared_ptr<IHidHandle> OpenTerminal(TEmulatedTerminal& term, EHidAccess access,
                                           uint32_t* error = nullptr) {
    std::vector<THidInterfaceEntry> entries;
    EXPECT_TRUE(platform->ListInterfaces(entries));
    uint32_t e = 0;
    auto h = platform->Open(term.DevNode(), access, &e);
    if (error) *error = e;
    return h;
  }

  std::shared_ptr<IHidPlatform> platform = CreateSystemHidPlatform();
};

TEST_F(SystemBackend, SeesTheEmulatedTerminalAsAUsbHidTerminal) {
  TEmulatedTerminal term(Fast());
  term.Plug();
  ASSERT_EQ("", term.Error());
  std::vector<THidInterfaceEntry> entries;
  ASSERT_TRUE(platform->ListInterfaces(entries));
  ASSERT_EQ(1u, entries.size());
  EXPECT_EQ("/dev/hidraw0", entries[0].InterfacePath);
  EXPECT_EQ("Terminal KVZ-DORNAVE", entries[0].Description);
  EXPECT_EQ("KVZ Systemes", entries[0].Manufacturer);

  auto id = platform->Open(entries[0].InterfacePath, EHidAccess::None, nullptr);
  ASSERT_NE(nullptr, id);
  THidAttributes a;
  ASSERT_TRUE(id->GetAttributes(a));
  EXPECT_EQ(0x1072, a.VendorID);
  EXPECT_EQ(0x0003, a.ProductID);
  EXPECT_EQ(4, a.VersionNumber);
  auto pre = id->GetPreparsedData();
  ASSERT_NE(nullptr, pre);
  EXPECT_EQ(65, pre->Caps.InputReportByteLength);
  EXPECT_EQ(65, pre->Caps.OutputReportByteLength);

  // Read and write access, product string through the open node (hidapi
  // looks the node up by its device number), one exchange.
  auto rw = platform->Open(entries[0].InterfacePath, EHidAccess::ReadWrite, nullptr);
  ASSERT_NE(nullptr, rw);
  std::u16string product;
  ASSERT_TRUE(rw->GetProductString(product));
  EXPECT_EQ(u"Terminal KVZ-DORNAVE", product);
  const TBytes out = OutputReport(kIdentityRequest);
  size_t written = 0;
  ASSERT_TRUE(rw->Write(out.data(), out.size(), written));
  TBytes in(65);
  const THidReadResult r = rw->Read(in.data(), in.size(), 2000);
  ASSERT_EQ(EHidReadStatus::Completed, r.Status);
  EXPECT_EQ(65u, r.Bytes);
  EXPECT_EQ(0, in[0]);  // no report IDs: report 0 in front
  EXPECT_TRUE(HoldsIdentityAnswer(in));
}

// The kernel queues a report for every file open when it arrives.
TEST_F(SystemBackend, EveryOpenHandleReceivesEachReport) {
  TEmulatedTerminal term(Fast());
  term.Plug();
  auto a = OpenTerminal(term, EHidAccess::ReadWrite);
  auto b = OpenTerminal(term, EHidAccess::Read);
  ASSERT_NE(nullptr, a);
  ASSERT_NE(nullptr, b);
  const TBytes out = OutputReport(kIdentityRequest);
  size_t written = 0;
  ASSERT_TRUE(a->Write(out.data(), out.size(), written));
  for (auto* h : {a.get(), b.get()}) {
    TBytes in(65);
    const THidReadResult r = h->Read(in.data(), in.size(), 2000);
    ASSERT_EQ(EHidReadStatus::Completed, r.Status);
    EXPECT_TRUE(HoldsIdentityAnswer(in));
  }
  // A handle opened after the answer came finds nothing.
  auto late = OpenTerminal(term, EHidAccess::Read);
  ASSERT_NE(nullptr, late);
  TBytes in(65);
  EXPECT_EQ(EHidReadStatus::TimedOut, late->Read(in.data(), in.size(), 100).Status);
}

TEST_F(SystemBackend, FlushOnAVanishedNodeFails) {
  TEmulatedTerminal term(Fast());
  term.Plug();
  auto h = OpenTerminal(term, EHidAccess::ReadWrite);
  ASSERT_NE(nullptr, h);
  EXPECT_TRUE(h->Flush());
  term.Unplug();
  EXPECT_FALSE(h->Flush());
}

// hidapi polls before it reads: a node that is gone fails the read even
// when an answer was still queued for the file.
TEST_F(SystemBackend, ReadOnAVanishedNodeFailsAsNotConnected) {
  TEmulatedTerminal term(Fast());
  term.Plug();
  auto h = OpenTerminal(term, EHidAccess::ReadWrite);
  ASSERT_NE(nullptr, h);
  const TBytes out = OutputReport(kIdentityRequest);
  size_t written = 0;
  ASSERT_TRUE(h->Write(out.data(), out.size(), written));
  term.Unplug();
  TBytes in(65);
  const THidReadResult r = h->Read(in.data(), in.size(), 500);
  EXPECT_EQ(EHidReadStatus::Failed, r.Status);
  EXPECT_EQ(kHidErrorDeviceNotConnected, r.Error);
  EXPECT_FALSE(h->Write(out.data(), out.size(), written));
}

TEST_F(SystemBackend, ReadWaitingWhenTheNodeVanishesFailsAsNotConnected) {
  TEmulatedTerminal term(Fast());
  term.Plug();
  auto h = OpenTerminal(term, EHidAccess::Read);
  ASSERT_NE(nullptr, h);
  THidReadResult r;
  std::thread reader([&] {
    TBytes in(65);
    r = h->Read(in.data(), in.size(), 5000);
  });
  ASSERT_TRUE(SystemWorld()->Nodes.WaitForWaiter(5000));
  term.Unplug();
  reader.join();
  EXPECT_EQ(EHidReadStatus::Failed, r.Status);
  EXPECT_EQ(kHidErrorDeviceNotConnected, r.Error);
}

// Between the node's disappearance and the controller's next pass, the
// reader of a claimed device tells its owner why its reads fail.
TEST_F(SystemBackend, ReaderOfAVanishedNodeReportsDeviceNotConnected) {
  TEmulatedTerminal term(Fast());
  term.Plug();
  std::vector<uint32_t> errors;  // outlives the holder, whose reader may still report
  TClaimedTerminal held(platform);
  THidDevice* dev = held.Dev;
  ASSERT_NE(nullptr, dev);
  dev->SetOnDeviceDataError(THidDataErrorEvent([&](THidDevice*, uint32_t e) { errors.push_back(e); }));
  dev->SetDataHandler(THidDataEvent([](THidDevice*, uint8_t, const uint8_t*, uint16_t) {}));
  held.Queue.Pump(200ms);
  term.Unplug();  // the controller's notice is not consumed: no pass runs
  held.Queue.Pump(3000ms, [&] { return !errors.empty(); });
  ASSERT_FALSE(errors.empty()) << "the reader's failed reads reached nobody";
  EXPECT_EQ(kHidErrorDeviceNotConnected, errors.front());
}

// The dialogue's first exchange with a terminal it has just taken: the data
// handler is set (the reader starts), then the frame is written, and the
// terminal answers within the write. The answer must reach the handler: the
// reader's handle has to be open before the write, not whenever its thread
// gets going. Taken afresh each time, since only the first exchange after a
// claim is at stake.
TEST_F(SystemBackend, AnswerSentRightAfterTheFrameWriteReachesTheReader) {
  TEmulatedTerminal term(Fast());
  term.Plug();
  constexpr int kClaims = 20;
  int lost = 0;
  for (int claim = 0; claim < kClaims; ++claim) {
    TBytes got;  // outlives the holder, whose reader may still deliver
    TClaimedTerminal held(platform);
    THidDevice* dev = held.Dev;
    ASSERT_NE(nullptr, dev);
    EXPECT_TRUE(dev->FlushInput());
    dev->SetDataHandler(THidDataEvent([&](THidDevice*, uint8_t, const uint8_t* data, uint16_t size) {
      got.insert(got.end(), data, data + size);
    }));
    const THidCaps caps = dev->QueryCaps();
    ASSERT_EQ(65, caps.OutputReportByteLength);
    const TBytes out = OutputReport(kIdentityRequest);
    uint32_t written = 0;
    ASSERT_TRUE(dev->WriteReport(out.data(), caps.OutputReportByteLength, written));
    held.Queue.Pump(2000ms, [&] { return HoldsIdentityAnswer(got); });
    lost += !HoldsIdentityAnswer(got);
  }
  EXPECT_EQ(0, lost) << lost << " of " << kClaims << " first answers were lost";
  EXPECT_EQ(kClaims, term.Terminal()->CommandCount(TTermCommand::Identity));
}

TEST_F(SystemBackend, RefusedNodeCannotBeOpenedButIsIdentified) {
  TEmulatedTerminalConfig c = Fast();
  c.Refusing = true;
  TEmulatedTerminal term(c);
  term.Plug();
  uint32_t error = 0;
  EXPECT_EQ(nullptr, OpenTerminal(term, EHidAccess::ReadWrite, &error));
  EXPECT_EQ(kHidErrorAccessDenied, error);
  error = 0;
  EXPECT_EQ(nullptr, OpenTerminal(term, EHidAccess::Read, &error));
  EXPECT_EQ(kHidErrorAccessDenied, error);
  auto id = OpenTerminal(term, EHidAccess::None, &error);
  ASSERT_NE(nullptr, id);
  THidAttributes a;
  ASSERT_TRUE(id->GetAttributes(a));
  EXPECT_EQ(0x1072, a.VendorID);
  std::u16string product;
  ASSERT_TRUE(id->GetProductString(product));
  EXPECT_EQ(u"Terminal KVZ-DORNAVE", product);

  // The controller lists it as a device without read/write access.
  {
    THidCallQueue queue;
    THidDeviceController ctl(platform, queue);
    ASSERT_EQ(1, ctl.Count());
    THidDevice* d = ctl.DeviceList()[0];
    EXPECT_FALSE(d->ReadWriteAccess());
    EXPECT_EQ(0x1072, d->HidAttributes().VendorID);
  }

  // Once the rule is in place the same node opens.
  term.SetRefusing(false);
  EXPECT_NE(nullptr, OpenTerminal(term, EHidAccess::ReadWrite));
}

TEST_F(SystemBackend, PlugAndUnplugReachTheMonitorOncePerNode) {
  TEmulatedTerminal term(Fast());
  IHidChangeSource* source = platform->ChangeSource();
  ASSERT_NE(nullptr, source);
  const int fd = source->NoticeFd();
  ASSERT_GE(fd, 0) << "the udev monitor is not listening";
  auto notices = [&] {
    pollfd p{fd, POLLIN, 0};
    // Every notice of a plug or an unplug is sent before it returns.
    if (poll(&p, 1, 2000) <= 0) return 0;
    return source->ConsumeNotices();
  };
  term.Plug();
  EXPECT_EQ(1, notices());  // usb, usb interface and hid notices are filtered out
  term.Unplug();
  EXPECT_EQ(1, notices());
}

// A replugged terminal is a new device node (new sysfs path), on the lowest
// free minor: hidraw1 while the old node is still open somewhere.
TEST_F(SystemBackend, ReplugIsANewNode) {
  TEmulatedTerminal term(Fast());
  term.Plug();
  std::vector<THidInterfaceEntry> first, second, third;
  ASSERT_TRUE(platform->ListInterfaces(first));
  ASSERT_EQ(1u, first.size());
  auto held = platform->Open(first[0].InterfacePath, EHidAccess::ReadWrite, nullptr);
  ASSERT_NE(nullptr, held);
  term.Unplug();
  term.Plug();
  ASSERT_TRUE(platform->ListInterfaces(second));
  ASSERT_EQ(1u, second.size());
  EXPECT_EQ("/dev/hidraw1", second[0].InterfacePath);
  EXPECT_NE(first[0].DeviceInstance, second[0].DeviceInstance);
  held.reset();
  ASSERT_TRUE(SystemWorld()->Nodes.WaitAllReleased(5000));
  term.Unplug();
  term.Plug();
  ASSERT_TRUE(platform->ListInterfaces(third));
  ASSERT_EQ(1u, third.size());
  EXPECT_EQ("/dev/hidraw0", third[0].InterfacePath);
}

}  // namespace
