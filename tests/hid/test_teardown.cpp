// Stopping, releasing and letting go while work is still in flight: a
// report handed over, a pause after a failed read, a change notice being
// delivered on another thread.
#include <atomic>
#include <thread>

#include "HidTestSupport.h"

namespace {

class HidTeardown : public HidTest {
 protected:
  void SetUp() override {
    HidTest::SetUp();
    terminal = bus->Plug(TerminalConfig());
    ctl = std::make_unique<THidDeviceController>(bus, *queue);
  }
  void TearDown() override {
    if (dev) ctl->ReleaseDevice(dev);
    ctl.reset();
    HidTest::TearDown();
  }
  void ClaimWithHandlers() {
    ASSERT_TRUE(ctl->ClaimDeviceAt(dev, 0));
    // The dialogue's pattern: its own unplug releases it.
    dev->SetOnDeviceUnplug(THidUnplugEvent([this](THidDevice* d) {
      if (d == dev) ctl->ReleaseDevice(dev);
    }));
    dev->SetOnDeviceDataError(rec.ErrorEvent());
    dev->SetDataHandler(rec.DataEvent());
  }

  std::shared_ptr<TSimHidDevice> terminal;
  std::unique_ptr<THidDeviceController> ctl;
  THidDevice* dev = nullptr;
  TRecorder rec;
};

}  // namespace

// While the reader's stop waits, a pass queued before the reader's own
// hand-over finds the terminal gone and its unplug handler releases (frees)
// the device; the hand-over that runs next must not reach the freed device
// (under AddressSanitizer: a use after free of its handler), and the stop
// must not go on with it.
TEST_F(HidTeardown, DeviceFreedWhileItsReaderStopsGetsNoQueuedReport) {
  ClaimWithHandlers();
  std::thread([this] { bus->RaiseNotice(); }).join();  // posted: the pass runs later
  terminal->SendInputReport(Report(0, 65));
  ASSERT_TRUE(WaitFor([&] { return queue->PendingCount() == 2; }));  // the pass, then the report
  bus->SetNoticesEnabled(false);
  bus->Unplug(terminal);
  dev->SetDataHandler(nullptr);  // as the dialogue's destruction does
  EXPECT_EQ(nullptr, dev);
  EXPECT_TRUE(rec.Reports.empty());
  EXPECT_EQ(0, ctl->Count());
  EXPECT_EQ(0, ctl->UnpluggedCount());
}

// After a failed read the reader pauses one slice (10 s here) before it
// tries again: a stop or a release meanwhile does not wait it out.
TEST_F(HidTeardown, StopOrReleaseDuringThePauseAfterAFailedReadReturnsAtOnce) {
  for (const bool release : {false, true}) {
    SCOPED_TRACE(release ? "release" : "stop");
    if (!dev) ClaimWithHandlers();
    dev->SetReaderSleepTime(10000);
    dev->StartReader();  // stopped by the round before
    rec.Errors.clear();
    terminal->SetReadsFail(true);
    ASSERT_TRUE(PumpUntil([&] { return !rec.Errors.empty(); }));  // then it pauses
    const auto t0 = std::chrono::steady_clock::now();
    if (release)
      ctl->ReleaseDevice(dev);
    else
      dev->StopReader();
    EXPECT_LT(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count(),
        5000);
    EXPECT_TRUE(!dev || dev->Reader() == nullptr);
    terminal->SetReadsFail(false);
  }
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
