// The Linux backend (hidapi on hidraw, libudev's monitor) against the
// emulated terminal: what the kernel does with a node that vanishes, a node
// that refuses access and a report that arrives right after a write.
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <thread>

#include "EmulatedTerminal.h"
#include "HidSystem.h"
#include "hid.h"

namespace {

using namespace std::chrono_literals;

// Whether `data` holds the start of an identity answer (55 81 FF).
bool HoldsIdentityAnswer(const TBytes& data) {
  const TBytes answer = {0x55, 0x81, 0xFF};
  return std::search(data.begin(), data.end(), answer.begin(), answer.end()) != data.end();
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

class SystemBackend : public TPluggedTerminalTest {
 protected:
  std::shared_ptr<IHidHandle> Open(EHidAccess access, uint32_t* error = nullptr) {
    std::vector<THidInterfaceEntry> entries;
    EXPECT_TRUE(Platform->ListInterfaces(entries));
    return Platform->Open(Term->DevNode(), access, error);
  }
  static THidReadResult Read(IHidHandle& h, int timeoutMs, TBytes* into = nullptr) {
    TBytes in(65);
    const THidReadResult r = h.Read(in.data(), in.size(), timeoutMs);
    if (into) *into = in;
    return r;
  }
  static bool Write(IHidHandle& h) {
    size_t written = 0;
    return h.Write(kIdentityReport.data(), kIdentityReport.size(), written);
  }

  std::shared_ptr<IHidPlatform> Platform = CreateSystemHidPlatform();
};

// Listed and identified as the terminal; read and write access, product
// string through the open node (hidapi looks the node up by its device
// number); the kernel queues a report for every file open when it arrives.
TEST_F(SystemBackend, SeesTheTerminalAndEveryOpenHandleGetsEachReport) {
  std::vector<THidInterfaceEntry> entries;
  ASSERT_TRUE(Platform->ListInterfaces(entries));
  ASSERT_EQ(1u, entries.size());
  EXPECT_EQ("/dev/hidraw0", entries[0].InterfacePath);
  EXPECT_EQ("Terminal KVZ-DORNAVE", entries[0].Description);
  EXPECT_EQ("KVZ Systemes", entries[0].Manufacturer);

  auto id = Platform->Open(entries[0].InterfacePath, EHidAccess::None, nullptr);
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

  auto rw = Platform->Open(entries[0].InterfacePath, EHidAccess::ReadWrite, nullptr);
  auto reader = Open(EHidAccess::Read);
  ASSERT_NE(nullptr, rw);
  ASSERT_NE(nullptr, reader);
  std::u16string product;
  ASSERT_TRUE(rw->GetProductString(product));
  EXPECT_EQ(u"Terminal KVZ-DORNAVE", product);
  ASSERT_TRUE(Write(*rw));
  for (auto* h : {rw.get(), reader.get()}) {
    TBytes in;
    const THidReadResult r = Read(*h, 2000, &in);
    ASSERT_EQ(EHidReadStatus::Completed, r.Status);
    EXPECT_EQ(65u, r.Bytes);
    EXPECT_EQ(0, in[0]);  // no report IDs: report 0 in front
    EXPECT_TRUE(HoldsIdentityAnswer(in));
  }
  // A handle opened after the answer came finds nothing.
  auto late = Open(EHidAccess::Read);
  ASSERT_NE(nullptr, late);
  EXPECT_EQ(EHidReadStatus::TimedOut, Read(*late, 100).Status);
}

// Once the node is gone every call fails: a read waiting for a report, and
// (hidapi polls before it reads) a read on a file that still has an answer
// queued, as not connected; a write and a flush.
TEST_F(SystemBackend, VanishedNodeFailsEveryCall) {
  auto h = Open(EHidAccess::ReadWrite);
  ASSERT_NE(nullptr, h);
  EXPECT_TRUE(h->Flush());
  ASSERT_TRUE(Write(*h));
  auto waiting = Open(EHidAccess::Read);  // opened after the answer: nothing queued
  ASSERT_NE(nullptr, waiting);
  THidReadResult r;
  std::thread reader([&] { r = Read(*waiting, 5000); });
  ASSERT_TRUE(SystemWorld()->Nodes.WaitForWaiter(5000));
  Term->Unplug();
  reader.join();
  EXPECT_EQ(EHidReadStatus::Failed, r.Status);
  EXPECT_EQ(kHidErrorDeviceNotConnected, r.Error);
  r = Read(*h, 500);
  EXPECT_EQ(EHidReadStatus::Failed, r.Status);
  EXPECT_EQ(kHidErrorDeviceNotConnected, r.Error);
  EXPECT_FALSE(Write(*h));
  EXPECT_FALSE(h->Flush());
}

// The dialogue's first exchange with a terminal it has just taken: the data
// handler is set (the reader starts), then the frame is written, and the
// terminal answers within the write. The answer must reach the handler: the
// reader's handle has to be open before the write, not whenever its thread
// gets going. Taken afresh each time, since only the first exchange after a
// claim is at stake. Then, between the node's disappearance and the
// controller's next pass, the reader tells its owner why its reads fail.
TEST_F(SystemBackend, ReaderGetsTheFirstAnswerAndReportsTheUnplug) {
  constexpr int kClaims = 20;
  int lost = 0;
  std::vector<uint32_t> errors;  // outlives the holder, whose reader may still report
  for (int claim = 1; claim <= kClaims; ++claim) {
    TBytes got;  // outlives the holder, whose reader may still deliver
    TClaimedTerminal held(Platform);
    ASSERT_NE(nullptr, held.Dev);
    EXPECT_TRUE(held.Dev->FlushInput());
    held.Dev->SetDataHandler(THidDataEvent([&](THidDevice*, uint8_t, const uint8_t* data, uint16_t size) {
      got.insert(got.end(), data, data + size);
    }));
    ASSERT_EQ(65, held.Dev->QueryCaps().OutputReportByteLength);
    uint32_t written = 0;
    ASSERT_TRUE(held.Dev->WriteReport(kIdentityReport.data(), 65, written));
    held.Queue.Pump(2000ms, [&] { return HoldsIdentityAnswer(got); });
    lost += !HoldsIdentityAnswer(got);
    if (claim < kClaims) continue;
    held.Dev->SetOnDeviceDataError(THidDataErrorEvent([&](THidDevice*, uint32_t e) { errors.push_back(e); }));
    Term->Unplug();  // the controller's notice is not consumed: no pass runs
    held.Queue.Pump(3000ms, [&] { return !errors.empty(); });
  }
  EXPECT_EQ(0, lost) << lost << " of " << kClaims << " first answers were lost";
  EXPECT_EQ(kClaims, Term->Terminal()->CommandCount(TTermCommand::Identity));
  ASSERT_FALSE(errors.empty()) << "the reader's failed reads reached nobody";
  EXPECT_EQ(kHidErrorDeviceNotConnected, errors.front());
}

TEST_F(SystemBackend, RefusedNodeCannotBeOpenedButIsIdentified) {
  Term->SetRefusing(true);
  for (EHidAccess access : {EHidAccess::ReadWrite, EHidAccess::Read}) {
    uint32_t error = 0;
    EXPECT_EQ(nullptr, Open(access, &error));
    EXPECT_EQ(kHidErrorAccessDenied, error);
  }
  auto id = Open(EHidAccess::None);
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
    THidDeviceController ctl(Platform, queue);
    ASSERT_EQ(1, ctl.Count());
    EXPECT_FALSE(ctl.DeviceList()[0]->ReadWriteAccess());
    EXPECT_EQ(0x1072, ctl.DeviceList()[0]->HidAttributes().VendorID);
  }

  // Once the rule is in place the same node opens.
  Term->SetRefusing(false);
  EXPECT_NE(nullptr, Open(EHidAccess::ReadWrite));
}

// One notice reaches the monitor per plug and per unplug (the USB device,
// interface and hid notices are filtered out). A replugged terminal is a new
// device node (new sysfs path), on the lowest free minor: hidraw1 while the
// old node is still open somewhere.
TEST_F(SystemBackend, EachPlugIsOneNoticeAndANewNode) {
  IHidChangeSource* source = Platform->ChangeSource();
  ASSERT_NE(nullptr, source);
  const int fd = source->NoticeFd();
  ASSERT_GE(fd, 0) << "the udev monitor is not listening";
  source->ConsumeNotices();  // the plug of the set-up
  auto notices = [&] {
    pollfd p{fd, POLLIN, 0};
    // Every notice of a plug or an unplug is sent before it returns.
    return poll(&p, 1, 2000) <= 0 ? 0 : source->ConsumeNotices();
  };
  std::vector<THidInterfaceEntry> first, second, third;
  ASSERT_TRUE(Platform->ListInterfaces(first));
  ASSERT_EQ(1u, first.size());
  auto held = Platform->Open(first[0].InterfacePath, EHidAccess::ReadWrite, nullptr);
  ASSERT_NE(nullptr, held);
  Term->Unplug();
  EXPECT_EQ(1, notices());
  Term->Plug();
  EXPECT_EQ(1, notices());
  ASSERT_TRUE(Platform->ListInterfaces(second));
  ASSERT_EQ(1u, second.size());
  EXPECT_EQ("/dev/hidraw1", second[0].InterfacePath);
  EXPECT_NE(first[0].DeviceInstance, second[0].DeviceInstance);
  held.reset();
  ASSERT_TRUE(SystemWorld()->Nodes.WaitAllReleased(5000));
  Term->Unplug();
  Term->Plug();
  ASSERT_TRUE(Platform->ListInterfaces(third));
  ASSERT_EQ(1u, third.size());
  EXPECT_EQ("/dev/hidraw0", third[0].InterfacePath);
}

}  // namespace
