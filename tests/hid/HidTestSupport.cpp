#include "HidTestSupport.h"

#include <thread>

const char* const kTerminalName = "Terminal KVZ-DORNAVE";

TSimHidDeviceConfig TerminalConfig() {
  return TSimHidDeviceConfig::Make(0x1072, 0x0003, 4, kTerminalName, 65, 65);
}

TSimHidDeviceConfig OtherConfig(const std::string& name, uint16_t pid) {
  return TSimHidDeviceConfig::Make(0x046D, pid, 0x0110, name, 9, 2);
}

std::vector<uint8_t> Report(uint8_t id, std::size_t length, uint8_t fill) {
  std::vector<uint8_t> r(length, fill);
  if (!r.empty()) r[0] = id;
  return r;
}

void HidTest::SetUp() {
  queue = std::make_unique<THidCallQueue>();
  bus = std::make_shared<TSimHidBus>();
}

void HidTest::TearDown() {
  if (dev && ctl) ctl->ReleaseDevice(dev);
  ctl.reset();
  queue->RunPending();
  bus.reset();
  queue.reset();
}

bool HidTest::PumpUntil(const std::function<bool()>& pred, int ms) {
  return queue->Pump(std::chrono::milliseconds(ms), pred);
}

void HidTest::PumpFor(int ms) { queue->Pump(std::chrono::milliseconds(ms)); }

bool WaitFor(const std::function<bool()>& pred, int ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}
