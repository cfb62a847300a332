// The programming terminal as the Linux host sees it: a USB HID device with
// its sysfs entries, its hidraw node /dev/hidrawN (a FUSE file) and its udev
// notices, played by the virtual terminal of sim/ on a simulated bus.
//
// Plug() makes the device appear the way the kernel and udev do it: sysfs
// entries, the device node, then the "add" notices. Unplug() makes it go:
// the node's open files fail (queued reports are still read, then EIO;
// writes ENODEV; poll POLLERR|POLLHUP), the node and the sysfs entries
// leave, then the "remove" notices. Both are made by the test's thread.
//
// Each report the terminal sends is taken from its simulated device by one
// pump thread and queued for every file open on the node at that moment,
// which is what the kernel does with hidraw's per-file queues. A report sent
// during a write (a terminal answering within the write) is queued before
// write() returns.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "FakeSysfs.h"
#include "Frames.h"
#include "HidrawFuse.h"
#include "Sandbox.h"
#include "SimHidBus.h"
#include "VirtualTerminal.h"

// What the sandbox holds for the whole process: the FUSE file system of the
// device nodes and the udev announcer. Null until the sandbox is up.
struct TSystemWorld {
  THidrawFs Nodes;
  TUdevAnnouncer Udev;
};
TSystemWorld* SystemWorld();
// Mounts the device nodes (after EnterSandbox); the reason when it fails.
std::string StartSystemWorld();

struct TEmulatedTerminalConfig {
  TVirtualTerminalConfig Terminal;  // Terminal.UsbVersion is the bcdDevice
  bool Refusing = false;            // open fails with EACCES (no udev rule for the technician)
};

class TEmulatedTerminal {
 public:
  explicit TEmulatedTerminal(const TEmulatedTerminalConfig& config);
  ~TEmulatedTerminal() { Unplug(); }
  TEmulatedTerminal(const TEmulatedTerminal&) = delete;
  TEmulatedTerminal& operator=(const TEmulatedTerminal&) = delete;

  // Plug in (again). Returns once the node, sysfs and notices are in place.
  void Plug();
  // Unplug. Returns once the node is gone and the notices are sent.
  void Unplug();
  bool Present() const { return FNode != nullptr; }

  // "Installing the rule": the node (and every later one) accepts opens.
  void SetRefusing(bool refusing);

  std::shared_ptr<TVirtualTerminal> Terminal() const { return FTerminal; }
  // /dev/hidrawN of the node present.
  std::string DevNode() const { return FSysfs.DevNode(); }
  std::shared_ptr<THidrawNode> Node() const { return FNode; }
  // Faults of the emulation itself (a sysfs file that could not be written,
  // a notice not sent); empty when none.
  std::string Error() const { return FError; }

 private:
  TEmulatedTerminalConfig FConfig;
  TSimHidBus FBus;
  std::shared_ptr<TVirtualTerminal> FTerminal;
  TSysfsUsbHidDevice FSysfs;
  std::string FError;
  std::shared_ptr<THidrawNode> FNode;
  std::shared_ptr<IHidHandle> FReader;
  std::thread FPump;
};

// The identity request (55 80 FF 07 00 01 2C) as the output report the
// program writes: report ID 0, count, frame, zeros.
const TBytes kIdentityReport = CutIntoReports(BuildFrame(DialoguePayload(true), kCmdDialogue), 65)[0];

// Every system test: skipped, with the reason, where the sandbox could not be
// had; started once the files the last test opened are all released.
class TSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!SandboxSkipReason().empty()) GTEST_SKIP() << SandboxSkipReason();
    ASSERT_TRUE(SystemWorld()->Nodes.WaitAllReleased(5000)) << "files of the last test still open";
  }
  std::unique_ptr<TEmulatedTerminal> Term;
};

// With a terminal of USB version 4 plugged in at the start (/dev/hidraw0),
// answering at once (within the write).
class TPluggedTerminalTest : public TSystemTest {
 protected:
  void SetUp() override {
    TSystemTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    TEmulatedTerminalConfig c;
    c.Terminal.UsbVersion = 4;
    Term = std::make_unique<TEmulatedTerminal>(c);
    Term->Plug();
    ASSERT_EQ("", Term->Error());
    ASSERT_EQ("/dev/hidraw0", Term->DevNode());
  }
};
