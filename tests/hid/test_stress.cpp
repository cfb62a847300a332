// Plugs, unplugs, claims, releases and reader stops many times over, with
// reports in flight from another thread. Meant to run under the thread
// sanitizer too.
#include <atomic>
#include <memory>
#include <set>
#include <thread>

#include "HidTestSupport.h"

using namespace std::chrono_literals;

TEST_F(HidTest, StressPlugClaimReleaseStopWithReportsInFlight) {
  // What the handlers use is declared before the controller, so that it
  // outlives the controller, whose destruction still fires the unplug
  // handler of the devices claimed.
  std::set<THidDevice*> held;
  uint64_t reports = 0, errors = 0;
  std::unique_ptr<THidDeviceController> ctl;

  std::atomic<bool> stop{false};
  std::thread sender([&] {
    uint8_t n = 0;
    while (!stop.load()) {
      for (auto& d : bus->PluggedDevices()) {
        if (d->QueuedInputCount() < 4) d->SendInputReport(Report(0, 65, n++));
        if (n % 7 == 0) d->SendInputReport(std::vector<uint8_t>{});  // zero-byte reads
      }
      std::this_thread::sleep_for(200us);
    }
  });
  // However the test ends (a failed ASSERT returns early): the sender
  // stopped and joined, the devices held given back, then the controller
  // destroyed.
  std::shared_ptr<void> cleanup(nullptr, [&](void*) {
    stop = true;
    if (sender.joinable()) sender.join();
    if (ctl) {
      for (THidDevice* d : std::set<THidDevice*>(held)) ctl->ReleaseDevice(d);
      held.clear();
      ctl.reset();
    }
  });

  std::vector<std::shared_ptr<TSimHidDevice>> devices;
  for (int i = 0; i < 4; ++i) devices.push_back(bus->Plug(i == 0 ? TerminalConfig() : OtherConfig("D", i)));

  ctl = std::make_unique<THidDeviceController>(bus, *queue);
  ctl->SetDevThreadSleepTime(10);
  ctl->SetOnDeviceData(THidDataEvent([&](THidDevice* d, uint8_t, const uint8_t*, uint16_t size) {
    EXPECT_TRUE(d->Claimed());  // a hand-over may still run while its release stops the reader
    EXPECT_TRUE(size == 64 || size == 8) << size;  // the terminal's or another device's report
    ++reports;
  }));
  ctl->SetOnDeviceDataError(THidDataErrorEvent([&](THidDevice*, uint32_t) { ++errors; }));
  ctl->SetOnDeviceUnplug(THidUnplugEvent([&](THidDevice* d) {
    if (held.erase(d)) ctl->ReleaseDevice(d);
  }));
  ctl->SetOnEnumerate(THidEnumerateEvent([&](THidDevice* d, int32_t idx) {
    d->GetProductString();
    if (d->Claimed()) return true;
    THidDevice* c = nullptr;
    if ((idx & 1) == 0 && ctl->ClaimDeviceAt(c, idx)) held.insert(c);
    return true;
  }));
  ctl->SetOnDeviceChange(TNotifyEvent([&](void*) { ctl->EnumerateDevices(); }));

  uint32_t seed = 7;
  auto rnd = [&](uint32_t n) {
    seed = seed * 1664525u + 1013904223u;
    return (seed >> 8) % n;
  };
  const auto deadline = std::chrono::steady_clock::now() + 25s;
  int rounds = 0;
  for (; rounds < 4000 && std::chrono::steady_clock::now() < deadline; ++rounds) {
    auto& sd = devices[rnd(devices.size())];
    switch (rnd(10)) {
      case 0: bus->Unplug(sd); break;
      case 1: bus->Replug(sd); break;
      case 2: {
        THidDevice* c = nullptr;
        if (ctl->ClaimDeviceAt(c, static_cast<int32_t>(rnd(ctl->Count() + 1)))) held.insert(c);
        break;
      }
      case 3:
        if (!held.empty()) {
          auto it = held.begin();
          std::advance(it, rnd(held.size()));
          THidDevice* d = *it;
          held.erase(it);
          ctl->ReleaseDevice(d);
        }
        break;
      case 4:
        if (!held.empty()) (*held.begin())->StopReader();
        break;
      case 5:
        if (!held.empty()) {
          THidDevice* d = *held.rbegin();
          d->SetDataHandler(nullptr);
          d->SetDataHandler(ctl->OnDeviceData());
        }
        break;
      case 6: {
        if (!held.empty()) {
          THidDevice* d = *held.begin();
          std::vector<uint8_t> out = Report(0, 65);
          uint32_t w = 0;
          d->FlushInput();
          d->WriteReport(out.data(), 65, w);
        }
        break;
      }
      case 7: ctl->EnumerateDevices(); break;
      default: queue->Pump(std::chrono::milliseconds(rnd(3))); break;
    }
    // Invariants after every step.
    int plugged = 0;
    for (THidDevice* d : ctl->DeviceList()) plugged += d->Plugged() ? 1 : 0;
    ASSERT_EQ(plugged, ctl->AvailableCount() + ctl->ClaimedCount());
  }
  stop = true;
  sender.join();
  EXPECT_GT(rounds, 500);
  EXPECT_GT(reports, 0u);
  RecordProperty("rounds", rounds);
  (void)errors;
}
