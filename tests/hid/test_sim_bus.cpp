// The simulated bus behind the platform seam: what its handles do when used
// directly, as the kernel's hidraw (and Windows) would.
#include <atomic>
#include <thread>

#include "HidTestSupport.h"

using namespace std::chrono_literals;

namespace {

class SimBusTest : public ::testing::Test {
 protected:
  void SetUp() override { terminal = bus->Plug(TerminalConfig()); }

  std::shared_ptr<IHidHandle> Open(EHidAccess access, uint32_t* error = nullptr) {
    return bus->Open(terminal->Path(), access, error);
  }
  // One read with a short slice; the first byte after the report ID, or -1
  // when nothing came.
  static int ReadOne(IHidHandle& h) {
    uint8_t buf[65] = {};
    const THidReadResult r = h.Read(buf, sizeof buf, 20);
    return r.Status == EHidReadStatus::Completed && r.Bytes > 1 ? buf[1] : -1;
  }

  std::shared_ptr<TSimHidBus> bus = std::make_shared<TSimHidBus>();
  std::shared_ptr<TSimHidDevice> terminal;
};

}  // namespace

// Every report goes to every handle open when it arrives (one with no
// access has no queue); each read takes from its own handle's queue, in
// order, and a flush empties only its own.
TEST_F(SimBusTest, EveryReportGoesToEveryHandleOpenWhenItArrives) {
  terminal->SendInputReport(Report(0, 65, 1));  // nobody open: lost
  auto first = Open(EHidAccess::Read);
  auto none = Open(EHidAccess::None);
  terminal->SendInputReport(Report(0, 65, 2));
  auto second = Open(EHidAccess::ReadWrite);  // opened later: does not see 2
  ASSERT_TRUE(first && second && none);
  EXPECT_EQ(3, terminal->OpenHandleCount());
  terminal->SendInputReport(Report(0, 65, 3));
  EXPECT_EQ((std::vector<std::size_t>{2, 1}), terminal->HandleQueueCounts());
  EXPECT_EQ(2, ReadOne(*first));
  EXPECT_EQ(3, ReadOne(*second));
  EXPECT_EQ(3, ReadOne(*first));
  EXPECT_EQ(-1, ReadOne(*first));
  EXPECT_EQ(-1, ReadOne(*second));
  // A flush empties only its own handle's queue.
  terminal->SendInputReport(Report(0, 65, 7));
  EXPECT_TRUE(second->Flush());
  EXPECT_EQ((std::vector<std::size_t>{1, 0}), terminal->HandleQueueCounts());
  EXPECT_EQ(-1, ReadOne(*second));
  EXPECT_EQ(7, ReadOne(*first));
  EXPECT_FALSE(none->Flush());
}

TEST_F(SimBusTest, QueuedInputCountFollowsTheHandlesThatRead) {
  auto io = Open(EHidAccess::ReadWrite);  // written to, never read
  terminal->SendInputReport(Report(0, 65, 1));
  EXPECT_EQ(1u, terminal->QueuedInputCount());  // nobody reads yet: what waits anywhere
  auto reader = Open(EHidAccess::Read);
  EXPECT_EQ(-1, ReadOne(*reader));  // opened after the report
  terminal->SendInputReport(Report(0, 65, 2));
  EXPECT_EQ(1u, terminal->QueuedInputCount());
  EXPECT_EQ(2, ReadOne(*reader));
  EXPECT_EQ(0u, terminal->QueuedInputCount());  // read by the reader, though io still holds two
  EXPECT_EQ((std::vector<std::size_t>{2, 0}), terminal->HandleQueueCounts());
}

TEST_F(SimBusTest, EachQueueKeepsItsNewestReportsUpToTheLimit) {
  TSimHidDeviceConfig small = TerminalConfig();
  small.InputQueueLimit = 3;
  auto d = bus->Plug(small);
  auto h = bus->Open(d->Path(), EHidAccess::Read, nullptr);
  for (uint8_t i = 1; i <= 5; ++i) d->SendInputReport(Report(0, 65, i));
  EXPECT_EQ((std::vector<std::size_t>{3}), d->HandleQueueCounts());
  EXPECT_EQ(3, ReadOne(*h));
}

TEST_F(SimBusTest, ClosingAHandleDropsItsQueueAndUnplugEmptiesAll) {
  auto a = Open(EHidAccess::Read);
  auto b = Open(EHidAccess::Read);
  terminal->SendInputReport(Report(0, 65, 1));
  a.reset();
  EXPECT_EQ((std::vector<std::size_t>{1}), terminal->HandleQueueCounts());
  bus->Unplug(terminal);
  EXPECT_TRUE(terminal->HandleQueueCounts().empty());
  uint8_t buf[65];
  const THidReadResult r = b->Read(buf, sizeof buf, 20);
  EXPECT_EQ(EHidReadStatus::Failed, r.Status);
  EXPECT_EQ(kHidErrorDeviceNotConnected, r.Error);
  EXPECT_FALSE(b->Flush());

  // Replugged: the old handle stays dead, a new one reads.
  bus->Replug(terminal);
  auto c = Open(EHidAccess::Read);
  terminal->SendInputReport(Report(0, 65, 2));
  EXPECT_EQ((std::vector<std::size_t>{1}), terminal->HandleQueueCounts());
  EXPECT_EQ(2, ReadOne(*c));
  EXPECT_EQ(EHidReadStatus::Failed, b->Read(buf, sizeof buf, 20).Status);
}

TEST_F(SimBusTest, DelayedAndPacedReportsReachEveryOpenHandle) {
  TSimHidDeviceConfig paced = TerminalConfig();
  paced.UsbFramePaced = true;
  auto d = bus->Plug(paced);
  auto a = bus->Open(d->Path(), EHidAccess::Read, nullptr);
  auto b = bus->Open(d->Path(), EHidAccess::ReadWrite, nullptr);
  d->SendInputReportAfter(5ms, Report(0, 65, 4));
  d->SendInputReport(Report(0, 65, 3));
  uint8_t buf[65];
  for (IHidHandle* h : {a.get(), b.get()}) {
    ASSERT_EQ(EHidReadStatus::Completed, h->Read(buf, sizeof buf, 2000).Status);
    EXPECT_EQ(3, buf[1]);
    ASSERT_EQ(EHidReadStatus::Completed, h->Read(buf, sizeof buf, 2000).Status);
    EXPECT_EQ(4, buf[1]);
  }
}

TEST_F(SimBusTest, RefusedAccessLeavesOpensWithoutAccess) {
  TSimHidDeviceConfig locked = TerminalConfig();
  locked.ReadWriteAllowed = false;
  auto d = bus->Plug(locked);
  uint32_t error = 0;
  EXPECT_EQ(nullptr, bus->Open(d->Path(), EHidAccess::ReadWrite, &error));
  EXPECT_EQ(kHidErrorAccessDenied, error);
  error = 0;
  EXPECT_EQ(nullptr, bus->Open(d->Path(), EHidAccess::Read, &error));
  EXPECT_EQ(kHidErrorAccessDenied, error);
  auto none = bus->Open(d->Path(), EHidAccess::None, nullptr);
  ASSERT_NE(nullptr, none);
  std::u16string name;
  EXPECT_TRUE(none->GetProductString(name));
  EXPECT_EQ(u"Terminal KVZ-DORNAVE", name);

  // The rule arrives: later opens get access.
  d->SetReadWriteAllowed(true);
  EXPECT_TRUE(d->ReadWriteAllowed());
  EXPECT_NE(nullptr, bus->Open(d->Path(), EHidAccess::ReadWrite, nullptr));
  d->SetReadWriteAllowed(false);
  EXPECT_EQ(nullptr, bus->Open(d->Path(), EHidAccess::ReadWrite, nullptr));
}

// Clearing the bus's listener waits for a call of it that another thread has
// in flight: whatever the listener uses may go once SetListener returns.
TEST(SimBusListener, ClearingWaitsForACallInFlight) {
  auto bus = std::make_shared<TSimHidBus>();
  std::atomic<bool> entered{false}, cleared{false}, callEnded{false}, endedBeforeClear{false};
  bus->SetListener([&] {
    entered = true;
    // Held until the clear either returned (wrong) or waits for this call.
    while (!cleared && bus->ListenerClearsWaiting() == 0) std::this_thread::yield();
    callEnded = true;
  });
  std::thread notice([&] { bus->RaiseNotice(); });
  ASSERT_TRUE(WaitFor([&] { return entered.load(); }));
  std::thread clear([&] {
    bus->SetListener(nullptr);
    endedBeforeClear = callEnded.load();
    cleared = true;
  });
  clear.join();
  notice.join();
  EXPECT_TRUE(endedBeforeClear);
  // A listener may clear itself from inside its own call.
  int calls = 0;
  bus->SetListener([&] {
    ++calls;
    bus->SetListener(nullptr);
  });
  bus->RaiseNotice();
  bus->RaiseNotice();
  EXPECT_EQ(1, calls);
}
