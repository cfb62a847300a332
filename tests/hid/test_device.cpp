// The device and its reader on the simulated bus, and stopping, releasing and
// letting go while work is still in flight.
#include <atomic>
#include <stdexcept>
#include <thread>

#include "HidTestSupport.h"

using namespace std::chrono_literals;

namespace {

// Answers every output report at once with an input report echoing it.
struct TEchoModel : ISimHidDeviceModel {
  std::atomic<int> Writes{0};
  std::atomic<bool> OnWriterThread{true};
  const std::thread::id Writer = std::this_thread::get_id();  // made by the test's thread
  void OnOutputReport(TSimHidDevice& dev, const uint8_t* data, std::size_t length) override {
    ++Writes;
    if (std::this_thread::get_id() != Writer) OnWriterThread = false;
    std::vector<uint8_t> r(data, data + length);
    r[0] = 0;
    if (length > 1) r[1] ^= 0xFF;
    dev.SendInputReport(std::move(r));
  }
};

class HidDeviceTest : public HidTest {
 protected:
  void SetUp() override {
    HidTest::SetUp();
    terminal = bus->Plug(TerminalConfig());
    Make();
    ASSERT_EQ(1, ctl->Count());
  }
  THidDevice* Claim() {
    THidDevice* d = nullptr;
    EXPECT_TRUE(ctl->ClaimDeviceAt(d, 0));
    return d;
  }
  // Claimed with the dialogue's pattern (its own unplug, recorded, releases
  // it), reports and errors recorded, the reader's pause `sleepMs`.
  void ClaimWithHandlers(int sleepMs = 100) {
    ASSERT_TRUE(ctl->ClaimDeviceAt(dev, 0));
    dev->SetReaderSleepTime(sleepMs);
    dev->SetOnDeviceUnplug(THidUnplugEvent([this](THidDevice* d) {
      rec.Unplug(d);
      if (d == dev) ctl->ReleaseDevice(dev);
    }));
    dev->SetOnDeviceDataError(rec.ErrorEvent());
    dev->SetDataHandler(rec.DataEvent());
  }

  std::shared_ptr<TSimHidDevice> terminal;
  TRecorder rec;
};

}  // namespace

TEST_F(HidDeviceTest, IdentificationAtCreationAndNothingBeforeTheClaim) {
  THidDevice* d = ctl->DeviceList()[0];
  EXPECT_EQ(0x1072, d->HidAttributes().VendorID);
  EXPECT_EQ(0x0003, d->HidAttributes().ProductID);
  EXPECT_EQ(4, d->HidAttributes().VersionNumber);
  EXPECT_EQ(12u, d->HidAttributes().Size);
  EXPECT_TRUE(d->Plugged());
  EXPECT_FALSE(d->Claimed());
  EXPECT_TRUE(d->ReadWriteAccess());
  EXPECT_FALSE(d->IoHandleOpen());  // closed again after identification
  EXPECT_EQ(0, terminal->OpenHandleCount());
  EXPECT_EQ(100, d->ReaderSleepTime());
  EXPECT_EQ(terminal->DeviceInstance(), d->PnPInfo().DeviceInstance);
  EXPECT_EQ(terminal->Path(), d->PnPInfo().InterfacePath);
  // Neither claimed nor enumerated: it yields nothing.
  EXPECT_FALSE(d->CanAccess());
  EXPECT_TRUE(d->GetProductString().empty());
  EXPECT_EQ(0, d->QueryCaps().InputReportByteLength);
  EXPECT_FALSE(d->FlushInput());
  uint8_t buf[65] = {};
  uint32_t written = 7;
  EXPECT_FALSE(d->WriteReport(buf, 65, written));
  EXPECT_EQ(0u, written);
  EXPECT_FALSE(d->OpenReadHandle());
  EXPECT_FALSE(d->BeginRead(buf, 65));
  // The reader's pause: 10 ms to 10 s, anything else ignored.
  for (const auto& [set, kept] : {std::pair{9, 100}, {10001, 100}, {10, 10}, {10000, 10000}, {-5, 10000}}) {
    d->SetReaderSleepTime(set);
    EXPECT_EQ(kept, d->ReaderSleepTime()) << set;
  }
}

TEST_F(HidDeviceTest, ClaimedDeviceIdentifiesWritesAndFlushes) {
  auto model = std::make_shared<TEchoModel>();
  terminal->SetModel(model);
  dev = Claim();
  EXPECT_EQ(std::u16string(u"Terminal KVZ-DORNAVE"), dev->GetProductString());
  EXPECT_EQ(kTerminalName, dev->GetProductStringUtf8());
  EXPECT_FALSE(dev->IoHandleOpen());  // the product string read closes behind it
  const THidCaps caps = dev->QueryCaps();
  EXPECT_EQ(65, caps.InputReportByteLength);
  EXPECT_EQ(65, caps.OutputReportByteLength);

  std::vector<uint8_t> out = Report(0, 65, 0x11);
  uint32_t written = 0;
  EXPECT_TRUE(dev->WriteReport(out.data(), 65, written));
  EXPECT_EQ(65u, written);
  EXPECT_TRUE(dev->IoHandleOpen());  // write leaves it open
  EXPECT_EQ(1, model->Writes.load());
  EXPECT_TRUE(model->OnWriterThread.load());
  ASSERT_EQ(1u, terminal->OutputReportCount());
  EXPECT_EQ(out, terminal->OutputReports()[0]);

  EXPECT_EQ(1u, terminal->QueuedInputCount());
  EXPECT_TRUE(dev->FlushInput());
  EXPECT_EQ(0u, terminal->QueuedInputCount());
  EXPECT_FALSE(dev->WriteReport(nullptr, 65, written));
}

// The platform queues an input report only for the handles open when it
// arrives. The reader thread is kept here from opening anything until the
// answer has come: only a read handle opened by the thread that starts the
// reader, before the frame is written, can catch it.
TEST_F(HidDeviceTest, AnAnswerToTheFirstFrameAfterTheReaderStartsIsNotLost) {
  auto model = std::make_shared<TEchoModel>();
  terminal->SetModel(model);
  std::atomic<bool> answered{false};
  bus->SetOpenHook([&](const std::string&, EHidAccess access) {
    if (access != EHidAccess::Read || queue->IsMainThread()) return;
    for (int i = 0; i < 3000 && !answered; ++i) std::this_thread::sleep_for(1ms);
  });
  for (const bool handlerFirst : {false, true}) {
    SCOPED_TRACE(handlerFirst ? "handler set, then claimed" : "claimed, then handler set");
    answered = false;
    TRecorder got;
    if (handlerFirst) {
      ctl->DeviceList()[0]->SetDataHandler(got.DataEvent());  // not claimed: no reader yet
      dev = Claim();                                          // the claim starts it
    } else {
      dev = Claim();
      dev->SetDataHandler(got.DataEvent());
    }
    ASSERT_NE(nullptr, dev->Reader());
    uint32_t written = 0;
    ASSERT_TRUE(dev->WriteReport(Report(0, 65, 0x11).data(), 65, written));  // answered at once
    answered = true;
    ASSERT_TRUE(PumpUntil([&] { return got.Reports.size() == 1; }, 1000));
    EXPECT_EQ(0xEE, got.Reports[0].Data[0]);
    dev->SetDataHandler(nullptr);
    ctl->ReleaseDevice(dev);
  }
  bus->SetOpenHook(nullptr);
}

// A 65-byte report arrives as report 0 with 64 bytes; reports arrive in
// order, one at a time, on the main thread; a read of zero bytes delivers
// nothing; reports the model delays arrive when they are due.
TEST_F(HidDeviceTest, ReportsArriveInOrderOneAtATimeOnTheMainThread) {
  dev = Claim();
  bool mainThread = true;
  int depth = 0, maxDepth = 0;
  dev->SetDataHandler(THidDataEvent([&](THidDevice* d, uint8_t id, const uint8_t* data, uint16_t size) {
    mainThread = mainThread && queue->IsMainThread();
    maxDepth = std::max(maxDepth, ++depth);
    rec.Data(d, id, data, size);
    --depth;
  }));
  ASSERT_NE(nullptr, dev->Reader());
  std::vector<uint8_t> r(65);
  for (int i = 0; i < 65; ++i) r[i] = static_cast<uint8_t>(i);
  terminal->SendInputReport(r);
  for (int i = 0; i < 20; ++i) {
    if (i == 10) terminal->SendInputReport(std::vector<uint8_t>{});
    terminal->SendInputReport(Report(0, 65, static_cast<uint8_t>(i)));
  }
  terminal->SendInputReportAfter(30ms, Report(0, 65, 41));
  terminal->SendInputReportAfter(5ms, Report(0, 65, 40));
  ASSERT_TRUE(PumpUntil([&] { return rec.Reports.size() == 23; }));
  PumpFor(50);
  ASSERT_EQ(23u, rec.Reports.size());
  EXPECT_EQ(dev, rec.Reports[0].Dev);
  EXPECT_EQ(0, rec.Reports[0].Id);
  ASSERT_EQ(64u, rec.Reports[0].Data.size());
  EXPECT_EQ(1, rec.Reports[0].Data[0]);
  EXPECT_EQ(64, rec.Reports[0].Data[63]);
  for (int i = 0; i < 22; ++i) EXPECT_EQ(i < 20 ? i : 40 + i - 20, rec.Reports[i + 1].Data[0]) << i;
  EXPECT_TRUE(mainThread);
  EXPECT_EQ(1, maxDepth);
}

TEST_F(HidDeviceTest, TheReaderFollowsTheDataHandlerAndTheClaim) {
  THidDevice* d = ctl->DeviceList()[0];
  d->SetDataHandler(rec.DataEvent());  // not claimed: nothing starts
  EXPECT_EQ(nullptr, d->Reader());
  dev = Claim();
  ASSERT_EQ(d, dev);
  EXPECT_NE(nullptr, dev->Reader());  // the claim starts it

  THidDeviceReadThread* reader = dev->Reader();
  TRecorder other;
  dev->SetDataHandler(other.DataEvent());  // replacing keeps it running
  EXPECT_EQ(reader, dev->Reader());

  // A report handed over while the reader is stopped is still delivered, to
  // the handler that is still assigned.
  terminal->SendInputReport(Report(0, 65, 9));
  ASSERT_TRUE(WaitFor([&] { return queue->PendingCount() > 0; }));
  dev->SetDataHandler(nullptr);
  EXPECT_EQ(nullptr, dev->Reader());
  EXPECT_FALSE(dev->OnDeviceData().Assigned());
  EXPECT_EQ(1u, other.Reports.size());

  dev->SetDataHandler(rec.DataEvent());
  EXPECT_NE(nullptr, dev->Reader());
  ctl->ReleaseDevice(dev);
  EXPECT_EQ(nullptr, dev);
  EXPECT_EQ(nullptr, d->Reader());
  EXPECT_FALSE(d->Claimed());
  EXPECT_EQ(0, terminal->OpenHandleCount());
}

// A stop or a release returns at once, not after a whole slice (10 s here),
// whether the reader waits in a read or in its pause after a failed read;
// the pending read is cancelled, a report that comes later stays queued.
TEST_F(HidDeviceTest, StopOrReleaseDuringAReadOrThePauseAfterAFailureReturnsAtOnce) {
  for (const bool failing : {false, true}) {
    for (const bool release : {false, true}) {
      SCOPED_TRACE(std::string(failing ? "after a failed read, " : "during a read, ") +
                   (release ? "release" : "stop"));
      rec = TRecorder{};
      terminal->SetReadsFail(failing);
      ClaimWithHandlers(10000);
      if (failing) {
        ASSERT_TRUE(PumpUntil([&] { return !rec.Errors.empty(); }));
        PumpFor(20);  // lets it reach its pause (else the stop may just come first)
      } else {
        ASSERT_TRUE(WaitFor([&] { return terminal->PendingReadCount() > 0; }));
      }
      const auto t0 = std::chrono::steady_clock::now();
      if (release)
        ctl->ReleaseDevice(dev);
      else
        dev->StopReader();
      EXPECT_LT(std::chrono::steady_clock::now() - t0, 5000ms);
      EXPECT_EQ(0, terminal->PendingReadCount());
      EXPECT_TRUE(!dev || dev->Reader() == nullptr);
      terminal->SetReadsFail(false);
      terminal->SendInputReport(Report(0, 65));
      PumpFor(30);
      EXPECT_TRUE(rec.Reports.empty());
      EXPECT_EQ(release ? 0u : 1u, terminal->QueuedInputCount());  // nobody reads it
      if (dev) ctl->ReleaseDevice(dev);
    }
  }
}

TEST_F(HidDeviceTest, ProductStringIsCachedAcrossAnUnplug) {
  auto second = bus->Plug(OtherConfig("Keypad"));
  ASSERT_EQ(2, ctl->Count());
  THidDevice* a = nullptr;
  THidDevice* b = nullptr;
  ASSERT_TRUE(ctl->ClaimDeviceAt(a, 0));
  ASSERT_TRUE(ctl->ClaimDeviceAt(b, 1));
  EXPECT_EQ(kTerminalName, a->GetProductStringUtf8());  // read while present
  bus->Unplug(terminal);
  bus->Unplug(second);
  EXPECT_FALSE(a->Plugged());
  EXPECT_FALSE(b->Plugged());
  EXPECT_EQ(kTerminalName, a->GetProductStringUtf8());
  EXPECT_TRUE(b->GetProductString().empty());  // never read, now gone
  ctl->ReleaseDevice(a);
  ctl->ReleaseDevice(b);
  EXPECT_EQ(0, ctl->Count());
}

// A claimed device that vanishes: its reads fail, each failure is reported,
// until the reader is stopped. With the removal notice the controller marks
// it unplugged, once; without one (no udev daemon, a lost notice) it stays
// plugged for the controller.
TEST_F(HidDeviceTest, AVanishedClaimedDeviceReportsReadErrorsUntilStopped) {
  for (const bool notice : {true, false}) {
    SCOPED_TRACE(notice ? "with the notice" : "without a notice");
    if (!notice) bus->Replug(terminal);
    dev = Claim();
    dev->SetReaderSleepTime(10);
    int unplugs = 0;
    dev->SetOnDeviceUnplug(THidUnplugEvent([&](THidDevice*) { ++unplugs; }));
    dev->SetOnDeviceDataError(rec.ErrorEvent());
    dev->SetDataHandler(rec.DataEvent());
    ASSERT_TRUE(WaitFor([&] { return terminal->PendingReadCount() > 0; }));
    ASSERT_TRUE(dev->ReadHandleOpen());
    bus->SetNoticesEnabled(notice);
    bus->Unplug(terminal);
    EXPECT_EQ(notice ? 1 : 0, unplugs);
    EXPECT_EQ(!notice, dev->Plugged());
    if (notice) {
      EXPECT_FALSE(dev->ReadHandleOpen());
      EXPECT_FALSE(dev->OnDeviceUnplug().Assigned());
    }
    ASSERT_TRUE(PumpUntil([&] { return rec.Errors.size() >= 3; }));
    for (uint32_t e : rec.Errors) EXPECT_EQ(kHidErrorDeviceNotConnected, e);
    EXPECT_TRUE(rec.Reports.empty());
    bus->RaiseNotice();  // a later pass does not fire the unplug again
    EXPECT_EQ(notice ? 1 : 0, unplugs);
    dev->StopReader();
    const std::size_t errors = rec.Errors.size();
    PumpFor(40);
    EXPECT_EQ(errors, rec.Errors.size());
    dev->SetOnDeviceUnplug(nullptr);
    ctl->ReleaseDevice(dev);
    rec.Errors.clear();
  }
}

TEST_F(HidDeviceTest, InjectedReadFailuresAreReportedAndReadingResumesAfterThem) {
  ClaimWithHandlers(10);
  terminal->SetReadsFail(true);
  ASSERT_TRUE(PumpUntil([&] { return rec.Errors.size() >= 2; }));
  terminal->SetReadsFail(false);
  terminal->SendInputReport(Report(0, 65, 0x31));
  ASSERT_TRUE(PumpUntil([&] { return rec.Reports.size() == 1; }));
  EXPECT_EQ(0x31, rec.Reports[0].Data[0]);
  EXPECT_EQ(kHidErrorDeviceNotConnected, rec.Errors[0]);
}

// What the dialogue does with a read that keeps failing with
// kHidErrorDeviceNotConnected: it runs a pass, which finds the device gone,
// and its unplug handler releases the device, all inside the error's
// hand-over.
TEST_F(HidDeviceTest, APassRunFromTheErrorHandlerReleasesAVanishedDevice) {
  ClaimWithHandlers(10);
  dev->SetOnDeviceDataError(THidDataErrorEvent([&](THidDevice*, uint32_t e) {
    rec.Errors.push_back(e);
    if (e == kHidErrorDeviceNotConnected) ctl->DeviceChange();
  }));
  bus->SetNoticesEnabled(false);
  bus->Unplug(terminal);
  ASSERT_TRUE(PumpUntil([&] { return dev == nullptr; }));
  PumpFor(30);
  EXPECT_EQ(1u, rec.Unplugs.size());
  EXPECT_EQ(1u, rec.Errors.size());
  EXPECT_EQ(0, ctl->Count());
  EXPECT_EQ(0, ctl->UnpluggedCount());
}

TEST_F(HidDeviceTest, AHandlerThatThrowsEndsTheReader) {
  dev = Claim();
  int calls = 0;
  dev->SetDataHandler(THidDataEvent([&](THidDevice*, uint8_t, const uint8_t*, uint16_t) {
    ++calls;
    throw std::runtime_error("bad report");
  }));
  terminal->SendInputReport(Report(0, 65));
  terminal->SendInputReport(Report(0, 65));
  ASSERT_TRUE(PumpUntil([&] { return dev->Reader()->Finished(); }));
  PumpFor(30);
  EXPECT_EQ(1, calls);
  ASSERT_NE(nullptr, dev->Reader());  // stays until stopped
  EXPECT_TRUE(dev->Reader()->FatalException() != nullptr);
  // Setting a handler while one is assigned does not restart it.
  dev->SetDataHandler(rec.DataEvent());
  PumpFor(30);
  EXPECT_TRUE(rec.Reports.empty());
  dev->SetDataHandler(nullptr);
  dev->SetDataHandler(rec.DataEvent());
  ASSERT_TRUE(PumpUntil([&] { return rec.Reports.size() == 1; }));
}

TEST_F(HidDeviceTest, ReleasingOrUnpluggingFromTheDataHandlerDoesNotDeadlock) {
  dev = Claim();
  int calls = 0;
  dev->SetDataHandler(THidDataEvent([&](THidDevice*, uint8_t, const uint8_t*, uint16_t) {
    ++calls;
    ctl->ReleaseDevice(dev);  // stops the reader that waits for this very call
  }));
  terminal->SendInputReport(Report(0, 65));
  terminal->SendInputReport(Report(0, 65));
  ASSERT_TRUE(PumpUntil([&] { return dev == nullptr; }));
  PumpFor(30);
  EXPECT_EQ(1, calls);
  THidDevice* d = ctl->DeviceList()[0];
  EXPECT_FALSE(d->Claimed());
  EXPECT_EQ(nullptr, d->Reader());
  // It can be claimed and read again (the second report went with the
  // closed handle's queue).
  ASSERT_TRUE(ctl->ClaimDeviceAt(dev, 0));
  dev->SetDataHandler(rec.DataEvent());
  terminal->SendInputReport(Report(0, 65));
  ASSERT_TRUE(PumpUntil([&] { return rec.Reports.size() == 1; }));

  // The dialogue's pattern: while handling a report, messages are processed,
  // the unplug notice arrives and the unplug handler releases the device.
  ctl->SetOnDeviceUnplug(THidUnplugEvent([&](THidDevice* d) {
    if (d == dev) ctl->ReleaseDevice(dev);
  }));
  dev->SetOnDeviceUnplug(ctl->OnDeviceUnplug());
  calls = 0;
  dev->SetDataHandler(THidDataEvent([&](THidDevice*, uint8_t, const uint8_t*, uint16_t) {
    ++calls;
    bus->Unplug(terminal);
  }));
  terminal->SendInputReport(Report(0, 65));
  ASSERT_TRUE(PumpUntil([&] { return dev == nullptr; }));
  EXPECT_EQ(1, calls);
  EXPECT_EQ(0, ctl->Count());
  EXPECT_EQ(0, ctl->UnpluggedCount());
}

TEST_F(HidDeviceTest, StopReaderRunsAHandOverInFlight) {
  dev = Claim();
  dev->SetOnDeviceDataError(rec.ErrorEvent());
  for (const bool failing : {false, true}) {
    SCOPED_TRACE(failing ? "an error" : "a report");
    dev->SetDataHandler(rec.DataEvent());
    if (failing)
      terminal->SetReadsFail(true);
    else
      terminal->SendInputReport(Report(0, 65, 3));
    ASSERT_TRUE(WaitFor([&] { return queue->PendingCount() > 0; }));  // reader blocked in the hand-over
    dev->StopReader();
    EXPECT_EQ(1u, failing ? rec.Errors.size() : rec.Reports.size());
    EXPECT_EQ(nullptr, dev->Reader());
    dev->SetDataHandler(nullptr);
  }
}

TEST_F(HidTest, DeviceCreationFailuresRaiseTheExactErrors) {
  TSimHidDeviceConfig closed = TerminalConfig(), mute = TerminalConfig();
  closed.Openable = false;
  mute.Identifiable = false;
  auto a = bus->Plug(closed), b = bus->Plug(mute);
  for (const auto& [path, error] : {std::pair<std::string, const char*>{a->Path(), "device cannot be opened"},
                                    {b->Path(), "device cannot be identified"},
                                    {"sim:nowhere", "device cannot be opened"}}) {
    auto info = std::make_unique<THidPnPInfo>();
    info->InterfacePath = path;
    try {
      THidDevice d(std::move(info), bus, *queue);
      ADD_FAILURE() << "no error for " << path;
    } catch (const EControllerError& e) {
      EXPECT_STREQ(error, e.what());
    }
  }
  EXPECT_EQ(0, a->OpenHandleCount());
  EXPECT_EQ(0, b->OpenHandleCount());
}

// A terminal whose node refuses the user (no udev rule yet): recognised by
// its product string during the enumeration, listed, never usable: writes
// and flushes fail, each read attempt reports the refusal. Once access is
// granted and the terminal is claimed again, it works.
TEST_F(HidTest, ATerminalThatRefusesAccessIsRecognisedButNotUsable) {
  TSimHidDeviceConfig locked = TerminalConfig();
  locked.ReadWriteAllowed = false;
  auto terminal = bus->Plug(locked);
  THidDeviceController ctl(bus, *queue);
  ASSERT_EQ(1, ctl.Count());
  std::string name;
  bool access = true;
  ctl.SetOnEnumerate(THidEnumerateEvent([&](THidDevice* d, int32_t) {
    name = d->GetProductStringUtf8();
    access = d->ReadWriteAccess();
    return false;
  }));
  EXPECT_EQ(1, ctl.EnumerateDevices());
  EXPECT_EQ(kTerminalName, name);
  EXPECT_FALSE(access);
  EXPECT_FALSE(ctl.DeviceList()[0]->ReadWriteAccess());

  THidDevice* d = nullptr;
  ASSERT_TRUE(ctl.ClaimDeviceAt(d, 0));
  EXPECT_EQ(kTerminalName, d->GetProductStringUtf8());
  EXPECT_EQ(65, d->QueryCaps().InputReportByteLength);
  uint8_t buf[65] = {};
  uint32_t written = 0;
  EXPECT_FALSE(d->WriteReport(buf, 65, written));
  EXPECT_FALSE(d->FlushInput());
  EXPECT_FALSE(d->ReadWriteAccess());
  EXPECT_FALSE(d->OpenReadHandle());
  TRecorder rec;
  d->SetOnDeviceDataError(rec.ErrorEvent());
  d->SetReaderSleepTime(10);
  d->SetDataHandler(rec.DataEvent());
  ASSERT_TRUE(PumpUntil([&] { return rec.Errors.size() >= 2; }));  // once per attempt
  for (uint32_t e : rec.Errors) EXPECT_EQ(kHidErrorAccessDenied, e);
  ctl.ReleaseDevice(d);

  terminal->SetReadWriteAllowed(true);
  ASSERT_TRUE(ctl.ClaimDeviceAt(d, 0));
  EXPECT_TRUE(d->WriteReport(buf, 65, written));
  EXPECT_TRUE(d->ReadWriteAccess());
  d->SetDataHandler(rec.DataEvent());
  terminal->SendInputReport(Report(0, 65, 0x5A));
  ASSERT_TRUE(PumpUntil([&] { return rec.Reports.size() == 1; }));
  d->SetDataHandler(nullptr);
  ctl.ReleaseDevice(d);
}

// While the reader's stop waits, a pass queued before the reader's own
// hand-over finds the terminal gone and its unplug handler releases (frees)
// the device; the hand-over that runs next must not reach the freed device
// (under AddressSanitizer: a use after free of its handler), and the stop
// must not go on with it.
TEST_F(HidDeviceTest, DeviceFreedWhileItsReaderStopsGetsNoQueuedReport) {
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
