// The controller's list, passes, walks, claims and setters.
#include <array>
#include <thread>

#include "HidTestSupport.h"

using namespace std::chrono_literals;

namespace {

class HidControllerTest : public HidTest {
 protected:
  // Listed, available, claimed, unplugged.
  using TCounts = std::array<int, 4>;
  TCounts Counts() const {
    return {ctl->Count(), ctl->AvailableCount(), ctl->ClaimedCount(), ctl->UnpluggedCount()};
  }
  void CountChanges() {
    ctl->SetOnDeviceChange(TNotifyEvent([this](void* sender) {
      EXPECT_EQ(ctl.get(), sender);
      ++changes;
    }));
  }

  // Mouse, Keyboard and the terminal on the bus, then the controller.
  void MakeWithThree() {
    devs = {bus->Plug(OtherConfig("Mouse", 1)), bus->Plug(OtherConfig("Keyboard", 2)),
            bus->Plug(TerminalConfig())};
    Make();
  }

  int changes = 0;
  std::vector<std::shared_ptr<TSimHidDevice>> devs;
  TRecorder rec;
};

}  // namespace

// On an empty bus, then without any HID services: an empty list, no
// notices, only the first assignment's pass fires.
TEST_F(HidControllerTest, CreationDefaultsOnAnEmptyBusAndWithoutServices) {
  Make();
  EXPECT_EQ("1.0.16", ctl->Version());
  ctl->SetVersion("2.0");
  EXPECT_EQ("1.0.16", ctl->Version());
  EXPECT_EQ(100, ctl->DevThreadSleepTime());
  EXPECT_TRUE(ctl->HidClassGuid() == kHidInterfaceClassGuid);
  EXPECT_EQ(0x4D1E55B2u, ctl->HidClassGuid().D1);
  EXPECT_TRUE(ctl->HidServicesBound());
  EXPECT_FALSE(ctl->ChangeReported());
  EXPECT_FALSE(ctl->OnDeviceChange().Assigned());
  EXPECT_EQ(0, ctl->Count());
  int calls = 0;
  ctl->SetOnEnumerate(THidEnumerateEvent([&](THidDevice*, int32_t) { return ++calls, true; }));
  EXPECT_EQ(0, ctl->EnumerateDevices());
  EXPECT_EQ(0, calls);
  THidDevice* d = reinterpret_cast<THidDevice*>(1);
  EXPECT_FALSE(ctl->ClaimDeviceAt(d, 0));
  EXPECT_EQ(nullptr, d);
  EXPECT_FALSE(ctl->ClaimDeviceAt(d, -1));
  ctl->ReleaseDevice(d);  // none: nothing

  ctl.reset();
  ctl = std::make_unique<THidDeviceController>(nullptr, *queue);
  EXPECT_FALSE(ctl->HidServicesBound());
  EXPECT_EQ(0, ctl->Count());
  EXPECT_EQ(-1, ctl->NoticeFd());
  EXPECT_EQ(0, ctl->ConsumeNotices());
  CountChanges();  // the first pass fires the handler even so
  EXPECT_EQ(1, changes);
  ctl->DeviceChange();
  EXPECT_EQ(1, changes);
}

TEST_F(HidControllerTest, ScanOrderCountsAndLeftOutDevices) {
  TSimHidDeviceConfig closed = OtherConfig("Closed");
  closed.Openable = false;
  TSimHidDeviceConfig mute = OtherConfig("Mute");
  mute.Identifiable = false;
  auto a = bus->Plug(OtherConfig("A"));
  bus->Plug(closed);
  auto b = bus->Plug(OtherConfig("B"));
  bus->Plug(mute);
  Make();
  ASSERT_EQ(2, ctl->Count());
  EXPECT_EQ(a->DeviceInstance(), ctl->DeviceList()[0]->PnPInfo().DeviceInstance);
  EXPECT_EQ(b->DeviceInstance(), ctl->DeviceList()[1]->PnPInfo().DeviceInstance);
  EXPECT_EQ((TCounts{2, 2, 0, 0}), Counts());
  EXPECT_EQ(ctl.get(), ctl->DeviceList()[0]->Controller());
}

TEST_F(HidControllerTest, EnumerationWalk) {
  MakeWithThree();
  // Not assigned: stops at the first plugged device.
  EXPECT_EQ(1, ctl->EnumerateDevices());

  std::vector<int32_t> visited;
  std::vector<std::string> names;
  ctl->SetOnEnumerate(THidEnumerateEvent([&](THidDevice* d, int32_t idx) {
    EXPECT_TRUE(d->Enumerating());
    EXPECT_TRUE(d->CanAccess());
    visited.push_back(idx);
    names.push_back(d->GetProductStringUtf8());
    d->QueryCaps();
    d->OpenReadHandle();
    return idx != 1;  // stop at the second
  }));
  EXPECT_EQ(2, ctl->EnumerateDevices());
  EXPECT_EQ((std::vector<int32_t>{0, 1}), visited);
  EXPECT_EQ((std::vector<std::string>{"Mouse", "Keyboard"}), names);
  for (THidDevice* d : ctl->DeviceList()) {
    EXPECT_FALSE(d->Enumerating());
    EXPECT_FALSE(d->IoHandleOpen());  // closed again: not claimed
    EXPECT_FALSE(d->ReadHandleOpen());
  }
}

TEST_F(HidControllerTest, TheDialoguePatternFindsAndHoldsTheTerminal) {
  MakeWithThree();
  THidDevice* held = nullptr;
  int connected = 0, disconnected = 0;
  ctl->SetOnEnumerate(THidEnumerateEvent([&](THidDevice* d, int32_t idx) {
    if (d->GetProductString() != u"Terminal KVZ-DORNAVE") return true;
    if (held == nullptr) ctl->ClaimDeviceAt(held, idx);
    ++connected;
    return false;
  }));
  ctl->SetOnDeviceChange(TNotifyEvent([&](void*) { ctl->EnumerateDevices(); }));
  ctl->SetOnDeviceUnplug(THidUnplugEvent([&](THidDevice* d) {
    if (d->GetProductString() == u"Terminal KVZ-DORNAVE" && held) {
      ctl->ReleaseDevice(held);
      ++disconnected;
    }
  }));
  ASSERT_NE(nullptr, held);  // held during the first assignment's pass
  EXPECT_EQ(1, connected);
  EXPECT_TRUE(held->Claimed());
  EXPECT_EQ((TCounts{3, 2, 1, 0}), Counts());
  // Every device got the unplug handler.
  for (THidDevice* d : ctl->DeviceList()) EXPECT_TRUE(d->OnDeviceUnplug().Assigned());

  THidDevice* before = held;
  bus->Plug(OtherConfig("Pen", 9));  // another device: the terminal stays held
  EXPECT_EQ(before, held);
  EXPECT_EQ(2, connected);

  bus->Unplug(devs[2]);
  EXPECT_EQ(nullptr, held);
  EXPECT_EQ(1, disconnected);
  EXPECT_EQ((TCounts{3, 3, 0, 0}), Counts());

  bus->Replug(devs[2]);
  EXPECT_NE(nullptr, held);
  ctl->ReleaseDevice(held);
}

TEST_F(HidControllerTest, OnDeviceChangeAssignment) {
  bus->Plug(OtherConfig("A"));
  Make();
  const uint64_t passes = ctl->PassCount();
  CountChanges();
  EXPECT_EQ(1, changes);  // first assignment fires without any change
  EXPECT_TRUE(ctl->ChangeReported());
  EXPECT_EQ(passes + 1, ctl->PassCount());
  CountChanges();  // the same handler again: no pass
  EXPECT_EQ(1, changes);
  EXPECT_EQ(passes + 1, ctl->PassCount());
  ctl->DeviceChange();  // no change: nothing fired
  EXPECT_EQ(1, changes);
  bus->RaiseNotice();
  EXPECT_EQ(1, changes);
  bus->Plug(OtherConfig("B"));
  EXPECT_EQ(2, changes);

  int other = 0;
  ctl->SetOnDeviceChange(TNotifyEvent([&](void*) { ++other; }));  // a different handler: a pass
  EXPECT_EQ(0, other);  // ChangeReported already: nothing changed, nothing fired
  EXPECT_EQ(passes + 5, ctl->PassCount());
  // A notice from another thread runs one pass, on the main thread.
  std::thread([&] { bus->Plug(TerminalConfig()); }).join();
  EXPECT_EQ(2, ctl->Count());  // not before the main thread processes it
  EXPECT_TRUE(PumpUntil([&] { return ctl->Count() == 3; }));
  EXPECT_EQ(1, other);
}

// An available device that is unplugged leaves at once; the others keep
// their objects and places across passes, a new one is appended.
TEST_F(HidControllerTest, ListedDevicesKeepTheirObjectsAcrossPasses) {
  MakeWithThree();
  ctl->SetOnDeviceUnplug(rec.UnplugEvent());
  CountChanges();
  std::vector<THidDevice*> before = ctl->DeviceList();
  ctl->DeviceChange();
  EXPECT_EQ(before, ctl->DeviceList());
  bus->Unplug(devs[1]);
  EXPECT_EQ((std::vector<THidDevice*>{before[1]}), rec.Unplugs);
  ASSERT_EQ((TCounts{2, 2, 0, 0}), Counts());
  EXPECT_EQ(before[0], ctl->DeviceList()[0]);
  EXPECT_EQ(before[2], ctl->DeviceList()[1]);
  EXPECT_EQ(2, changes);
  auto n = bus->Plug(OtherConfig("New"));
  ASSERT_EQ(3, ctl->Count());
  EXPECT_EQ(n->DeviceInstance(), ctl->DeviceList()[2]->PnPInfo().DeviceInstance);  // appended
}

// A claimed terminal unplugged stays listed until released; plugged back
// before that, it comes as a new object appended after the old one.
TEST_F(HidControllerTest, AClaimedTerminalUnpluggedStaysListedUntilReleased) {
  auto t = bus->Plug(TerminalConfig());
  Make();
  ctl->SetOnDeviceUnplug(rec.UnplugEvent());
  CountChanges();
  THidDevice* old = nullptr;
  ASSERT_TRUE(ctl->ClaimDeviceAt(old, 0));
  THidDevice* d = old;
  EXPECT_FALSE(ctl->ClaimDeviceAt(d, 0));  // already claimed
  EXPECT_EQ(nullptr, d);
  EXPECT_EQ(0, ctl->UnpluggedCount());
  bus->Unplug(t);
  EXPECT_EQ(2, changes);
  EXPECT_EQ(1u, rec.Unplugs.size());
  EXPECT_EQ((TCounts{1, 0, 0, 1}), Counts());
  EXPECT_FALSE(old->Plugged());
  ctl->DeviceChange();  // the unplugged one still listed: every pass fires
  EXPECT_EQ(3, changes);
  EXPECT_EQ(1u, rec.Unplugs.size());  // fires once only
  bus->Replug(t);
  EXPECT_EQ(4, changes);
  ASSERT_EQ(2, ctl->Count());
  EXPECT_EQ(old, ctl->DeviceList()[0]);
  EXPECT_FALSE(old->Plugged());
  THidDevice* fresh = ctl->DeviceList()[1];
  EXPECT_TRUE(fresh->Plugged());
  EXPECT_EQ(old->PnPInfo().DeviceInstance, fresh->PnPInfo().DeviceInstance);
  EXPECT_EQ((TCounts{2, 1, 0, 1}), Counts());
  ctl->DeviceChange();
  EXPECT_EQ(5, changes);
  ctl->ReleaseDevice(old);
  EXPECT_EQ(nullptr, old);
  ctl->DeviceChange();
  EXPECT_EQ(5, changes);
  EXPECT_EQ((TCounts{1, 1, 0, 0}), Counts());
  EXPECT_EQ(fresh, ctl->DeviceList()[0]);
}

TEST_F(HidControllerTest, AWalkSkipsAClaimedDeviceThatWasUnplugged) {
  auto t = bus->Plug(TerminalConfig());
  MakeWithThree();  // Mouse, Keyboard and a second terminal after it
  THidDevice* held = nullptr;
  ASSERT_TRUE(ctl->ClaimDeviceAt(held, 0));
  bus->Unplug(t);  // not released: stays listed, unplugged, at index 0
  ASSERT_EQ(4, ctl->Count());
  ASSERT_EQ(held, ctl->DeviceList()[0]);
  ASSERT_FALSE(held->Plugged());

  std::vector<THidDevice*> seen;
  std::vector<int32_t> indexes;
  bool goOn = true;
  ctl->SetOnEnumerate(THidEnumerateEvent([&](THidDevice* d, int32_t idx) {
    seen.push_back(d);
    indexes.push_back(idx);
    return goOn;
  }));
  EXPECT_EQ(3, ctl->EnumerateDevices());
  EXPECT_EQ((std::vector<int32_t>{1, 2, 3}), indexes);
  for (THidDevice* d : seen) EXPECT_NE(held, d);
  // Stopping at the first device visited: the first plugged one.
  seen.clear();
  indexes.clear();
  goOn = false;
  EXPECT_EQ(1, ctl->EnumerateDevices());
  EXPECT_EQ((std::vector<int32_t>{1}), indexes);
  ctl->ReleaseDevice(held);
}

TEST_F(HidControllerTest, ReleasingAPluggedDeviceMakesItAvailableAgainAndASnapshotFailureDropsAll) {
  MakeWithThree();
  THidDevice* d = nullptr;
  ASSERT_TRUE(ctl->ClaimDeviceAt(d, 1));
  THidDevice* const claimed = d;
  d->SetDataHandler(rec.DataEvent());
  ASSERT_NE(nullptr, d->Reader());
  EXPECT_EQ((TCounts{3, 2, 1, 0}), Counts());

  ctl->ReleaseDevice(d);
  EXPECT_EQ(nullptr, d);
  ASSERT_EQ((TCounts{3, 3, 0, 0}), Counts());
  EXPECT_EQ(claimed, ctl->DeviceList()[1]);  // the same object, in its place
  EXPECT_FALSE(claimed->Claimed());
  EXPECT_TRUE(claimed->Plugged());
  EXPECT_EQ(nullptr, claimed->Reader());
  EXPECT_FALSE(claimed->IoHandleOpen());
  EXPECT_FALSE(claimed->ReadHandleOpen());

  // Claimed again by the next owner; releasing none changes nothing.
  ASSERT_TRUE(ctl->ClaimDeviceAt(d, 1));
  EXPECT_EQ(claimed, d);
  EXPECT_EQ(2, ctl->AvailableCount());
  THidDevice* none = nullptr;
  ctl->ReleaseDevice(none);
  EXPECT_EQ((TCounts{3, 2, 1, 0}), Counts());
  ctl->ReleaseDevice(d);
  EXPECT_EQ(3, ctl->AvailableCount());

  // A snapshot that fails: every device is taken as gone, the claimed one
  // stays listed until released; the three come back as new objects.
  ASSERT_TRUE(ctl->ClaimDeviceAt(d, 1));
  bus->SetSnapshotFails(true);
  ctl->DeviceChange();
  EXPECT_EQ((TCounts{1, 0, 0, 1}), Counts());
  bus->SetSnapshotFails(false);
  ctl->DeviceChange();
  EXPECT_EQ(4, ctl->Count());
  ctl->ReleaseDevice(d);
  EXPECT_EQ(3, ctl->Count());
}

TEST_F(HidControllerTest, SettersReachDevicesThatShareTheControllersValue) {
  MakeWithThree();
  TRecorder a, b;
  THidDevice* d0 = ctl->DeviceList()[0];
  THidDevice* d1 = ctl->DeviceList()[1];
  d1->SetOnDeviceUnplug(THidUnplugEvent([](THidDevice*) {}));
  d1->SetOnDeviceDataError(THidDataErrorEvent([](THidDevice*, uint32_t) {}));
  ctl->SetOnDeviceUnplug(a.UnplugEvent());
  ctl->SetOnDeviceDataError(a.ErrorEvent());
  EXPECT_TRUE(d0->OnDeviceUnplug().SameCode(a.UnplugEvent()));
  EXPECT_FALSE(d1->OnDeviceUnplug().SameCode(a.UnplugEvent()));  // set individually: kept
  EXPECT_TRUE(d0->OnDeviceDataError().Assigned());

  // Data: a claimed device with the controller's handler gets a reader.
  THidDevice* claimed = nullptr;
  ASSERT_TRUE(ctl->ClaimDeviceAt(claimed, 2));
  EXPECT_EQ(nullptr, claimed->Reader());
  ctl->SetOnDeviceData(a.DataEvent());
  EXPECT_NE(nullptr, claimed->Reader());
  EXPECT_EQ(nullptr, d0->Reader());  // not claimed
  EXPECT_TRUE(d0->OnDeviceData().Assigned());
  ctl->SetOnDeviceData(nullptr);
  EXPECT_EQ(nullptr, claimed->Reader());
  EXPECT_FALSE(d0->OnDeviceData().Assigned());
  // A device made later takes the controller's data and unplug handlers.
  ctl->SetOnDeviceData(b.DataEvent());
  bus->Plug(OtherConfig("Late"));
  EXPECT_TRUE(ctl->DeviceList()[3]->OnDeviceData().Assigned());
  EXPECT_TRUE(ctl->DeviceList()[3]->OnDeviceUnplug().Assigned());
  EXPECT_FALSE(ctl->DeviceList()[3]->OnDeviceDataError().Assigned());
  ctl->ReleaseDevice(claimed);
  // The controller's reader pause reaches the devices that still have it.
  ctl->SetDevThreadSleepTime(5);
  EXPECT_EQ(5, ctl->DevThreadSleepTime());
  for (THidDevice* d : ctl->DeviceList()) EXPECT_EQ(100, d->ReaderSleepTime());
  ctl->SetDevThreadSleepTime(50);
  for (THidDevice* d : ctl->DeviceList()) EXPECT_EQ(100, d->ReaderSleepTime());
  ctl->SetDevThreadSleepTime(100);
  ctl->DeviceList()[0]->SetReaderSleepTime(300);
  ctl->SetDevThreadSleepTime(200);
  EXPECT_EQ(300, ctl->DeviceList()[0]->ReaderSleepTime());
  EXPECT_EQ(200, ctl->DeviceList()[1]->ReaderSleepTime());
  EXPECT_EQ(200, ctl->DeviceList()[2]->ReaderSleepTime());
}

// A second controller fails and the first keeps hearing the bus; destroyed,
// the first marks its claimed devices unplugged and leaves them to their
// owners; then the slot is free again.
TEST_F(HidControllerTest, ASecondControllerFailsAndTheFirstLivesOnUntilDestroyed) {
  MakeWithThree();
  try {
    THidDeviceController second(bus, *queue);
    FAIL() << "a second controller was made";
  } catch (const EControllerError& e) {
    EXPECT_STREQ("Only one THidDeviceController allowed per program", e.what());
  }
  CountChanges();
  bus->Unplug(devs[0]);
  EXPECT_EQ(2, changes);  // still hears the bus
  EXPECT_EQ(2, ctl->Count());
  ctl->SetOnDeviceUnplug(rec.UnplugEvent());
  THidDevice* d = nullptr;
  ASSERT_TRUE(ctl->ClaimDeviceAt(d, 1));
  d->SetDataHandler(rec.DataEvent());
  ctl.reset();
  ASSERT_EQ(1u, rec.Unplugs.size());
  EXPECT_EQ(d, rec.Unplugs[0]);
  EXPECT_FALSE(d->Plugged());
  EXPECT_EQ(nullptr, d->Controller());
  delete d;  // its owner's now
  for (auto& s : bus->PluggedDevices()) EXPECT_EQ(0, s->OpenHandleCount());
  THidDeviceController again(bus, *queue);  // the slot is free again
  EXPECT_EQ(2, again.Count());
}

TEST_F(HidControllerTest, DirectlyDestroyedDevicesAreReplacedOrRemoved) {
  MakeWithThree();
  ctl->SetOnDeviceUnplug(rec.UnplugEvent());
  THidDevice* d = nullptr;
  ASSERT_TRUE(ctl->ClaimDeviceAt(d, 1));
  d->SetReaderSleepTime(250);
  d->SetDataHandler(rec.DataEvent());
  const uint32_t instance = d->PnPInfo().DeviceInstance;
  delete d;
  ASSERT_EQ(3, ctl->Count());
  THidDevice* fresh = ctl->DeviceList()[1];
  EXPECT_EQ(instance, fresh->PnPInfo().DeviceInstance);
  EXPECT_FALSE(fresh->Claimed());
  EXPECT_EQ(nullptr, fresh->Reader());
  EXPECT_EQ(250, fresh->ReaderSleepTime());
  EXPECT_TRUE(fresh->OnDeviceData().SameCode(rec.DataEvent()));
  EXPECT_TRUE(fresh->OnDeviceUnplug().SameCode(rec.UnplugEvent()));
  EXPECT_EQ((TCounts{3, 3, 0, 0}), Counts());

  // An unplugged listed one is removed.
  ASSERT_TRUE(ctl->ClaimDeviceAt(d, 0));
  bus->Unplug(bus->PluggedDevices()[0]);
  EXPECT_EQ(1, ctl->UnpluggedCount());
  delete d;
  EXPECT_EQ((TCounts{2, 2, 0, 0}), Counts());
}

// Notices that come while a pass or a walk runs are deferred until it ends.
TEST_F(HidControllerTest, NoticesDuringAPassOrAWalkAreDeferredUntilItEnds) {
  MakeWithThree();
  std::vector<int> sizesSeen;
  bool plugged = false;
  ctl->SetOnDeviceChange(TNotifyEvent([&](void*) {
    sizesSeen.push_back(ctl->Count());
    if (!plugged) {
      plugged = true;
      bus->Plug(OtherConfig("During pass"));  // notice while the pass runs
      bus->RaiseNotice();
      EXPECT_EQ(3, ctl->Count());  // not rescanned under the running pass
    }
  }));
  // First pass fires (3), the deferred notices then run one pass each: the
  // first finds the new device and fires (4), the second changes nothing.
  EXPECT_EQ((std::vector<int>{3, 4}), sizesSeen);
  EXPECT_EQ(4, ctl->Count());

  std::vector<int32_t> visited;
  ctl->SetOnEnumerate(THidEnumerateEvent([&](THidDevice*, int32_t idx) {
    visited.push_back(idx);
    if (idx == 0) {
      bus->Unplug(devs[1]);  // removal notice in the middle of the walk
      EXPECT_EQ(4, ctl->Count());
    }
    return true;
  }));
  const uint64_t passes = ctl->PassCount();
  EXPECT_EQ(4, ctl->EnumerateDevices());
  EXPECT_EQ((std::vector<int32_t>{0, 1, 2, 3}), visited);
  EXPECT_EQ(passes + 1, ctl->PassCount());  // run after the walk
  EXPECT_EQ(3, ctl->Count());
  EXPECT_EQ((std::vector<int>{3, 4, 3}), sizesSeen);  // that pass fired
}

TEST_F(HidControllerTest, WalksAndPassesSurviveReleasesInsideTheirHandlers) {
  MakeWithThree();
  THidDevice* a = nullptr;
  THidDevice* b = nullptr;
  ASSERT_TRUE(ctl->ClaimDeviceAt(a, 0));
  ASSERT_TRUE(ctl->ClaimDeviceAt(b, 1));
  bus->SetNoticesEnabled(false);
  bus->Unplug(devs[1]);
  ctl->DeviceChange();
  bus->SetNoticesEnabled(true);
  ASSERT_EQ(1, ctl->UnpluggedCount());
  std::vector<int32_t> visited;
  ctl->SetOnEnumerate(THidEnumerateEvent([&](THidDevice*, int32_t idx) {
    visited.push_back(idx);
    if (b) ctl->ReleaseDevice(b);  // destroys the unplugged one ahead of the walk
    return true;
  }));
  EXPECT_EQ(2, ctl->EnumerateDevices());
  EXPECT_EQ((std::vector<int32_t>{0, 1}), visited);  // the terminal moved to index 1

  // An unplug handler may release any device during the pass.
  THidDevice* c = nullptr;
  ASSERT_TRUE(ctl->ClaimDeviceAt(c, 1));
  int unplugs = 0;
  ctl->SetOnDeviceUnplug(THidUnplugEvent([&](THidDevice*) {
    ++unplugs;
    ctl->ReleaseDevice(a);
    ctl->ReleaseDevice(c);
  }));
  bus->SetNoticesEnabled(false);
  bus->UnplugAll();
  bus->SetNoticesEnabled(true);
  ctl->DeviceChange();
  EXPECT_EQ((TCounts{0, 0, 0, 0}), Counts());
  EXPECT_GE(unplugs, 1);
}
