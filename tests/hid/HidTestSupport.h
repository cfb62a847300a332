// Fixture for the HID tests: a main-thread call queue, a simulated bus and
// helpers to plug the usual devices.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "SimHidBus.h"
#include "hid.h"

extern const char* const kTerminalName;

TSimHidDeviceConfig TerminalConfig();
TSimHidDeviceConfig OtherConfig(const std::string& name, uint16_t pid = 0x0100);

// Polls pred every millisecond from the test's thread, without running the
// main-thread queue; false when it still fails after `ms`.
bool WaitFor(const std::function<bool()>& pred, int ms = 5000);

// A report of `length` bytes: report ID, then `fill`.
std::vector<uint8_t> Report(uint8_t id, std::size_t length, uint8_t fill = 0xA5);

class HidTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Pumps the main-thread queue until pred holds (or `ms` elapse).
  bool PumpUntil(const std::function<bool()>& pred, int ms = 3000);
  // Runs what is waiting, for a short while.
  void PumpFor(int ms);

  // The controller on the bus; `dev`, when set, is released at the end.
  void Make() { ctl = std::make_unique<THidDeviceController>(bus, *queue); }

  std::unique_ptr<THidCallQueue> queue;
  std::shared_ptr<TSimHidBus> bus;
  std::unique_ptr<THidDeviceController> ctl;
  THidDevice* dev = nullptr;
};

// Records what a device delivers.
struct TRecorder {
  struct TReport {
    THidDevice* Dev;
    uint8_t Id;
    std::vector<uint8_t> Data;
  };
  std::vector<TReport> Reports;
  std::vector<uint32_t> Errors;
  std::vector<THidDevice*> Unplugs;

  void Data(THidDevice* d, uint8_t id, const uint8_t* data, uint16_t size) {
    Reports.push_back({d, id, std::vector<uint8_t>(data, data + size)});
  }
  void Error(THidDevice*, uint32_t e) { Errors.push_back(e); }
  void Unplug(THidDevice* d) { Unplugs.push_back(d); }

  THidDataEvent DataEvent() { return THidDataEvent(this, &TRecorder::Data); }
  THidDataErrorEvent ErrorEvent() { return THidDataErrorEvent(this, &TRecorder::Error); }
  THidUnplugEvent UnplugEvent() { return THidUnplugEvent(this, &TRecorder::Unplug); }
};
