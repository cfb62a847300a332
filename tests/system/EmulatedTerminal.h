// The programming terminal as the Linux host sees it: a USB HID device with
// its sysfs entries, its hidraw node /dev/hidrawN (a FUSE file) and its udev
// notices, played by the virtual terminal of sim/ on a simulated bus.
//
// Plug() makes the device appear the way the kernel and udev do it: sysfs
// entries, the device node, then the "add" notices. Unplug() makes it go:
// the node's open files fail (queued reports are still read, then EIO;
// writes ENODEV; poll POLLERR|POLLHUP), the node and the sysfs entries
// leave, then the "remove" notices. An unplug decided by the terminal itself
// (one of its faults) takes the same road.
//
// Each report the terminal sends is taken from its simulated device by one
// pump thread and queued for every file open on the node at that moment,
// which is what the kernel does with hidraw's per-file queues. A report sent
// during a write (a terminal answering within the write) is queued before
// write() returns.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "FakeSysfs.h"
#include "HidrawFuse.h"
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

// The one reader of the simulated terminal's reports (see the .cpp).
struct TReportConsumer {
  void Pump(IHidHandle& handle, THidrawNode& node);
  void DrainNow(IHidHandle& handle, THidrawNode& node);
  std::mutex WriteMutex;  // one write at a time on the terminal
  std::mutex ReadMutex;   // one reader of its reports at a time
  std::mutex WaitMutex;
  std::condition_variable Cond;
  int Drainers = 0;
};

struct TEmulatedTerminalConfig {
  TVirtualTerminalConfig Terminal;  // Terminal.UsbVersion is the bcdDevice
  std::string Manufacturer = "KVZ Systemes";
  std::string Serial;
  bool Refusing = false;  // open fails with EACCES (no udev rule for the technician)
};

class TEmulatedTerminal {
 public:
  explicit TEmulatedTerminal(const TEmulatedTerminalConfig& config);
  ~TEmulatedTerminal();  // unplugged
  TEmulatedTerminal(const TEmulatedTerminal&) = delete;
  TEmulatedTerminal& operator=(const TEmulatedTerminal&) = delete;

  // Plug in (again). Returns once the node, sysfs and notices are in place.
  void Plug();
  // Unplug. Returns once the node is gone and the notices are sent.
  void Unplug();
  bool Present() const;

  // "Installing the rule": the node (and every later one) accepts opens.
  void SetRefusing(bool refusing);

  std::shared_ptr<TVirtualTerminal> Terminal() const { return FTerminal; }
  TSimHidBus& Bus() { return *FBus; }
  // /dev/hidrawN of the node present (empty when unplugged).
  std::string DevNode() const;
  std::string Syspath() const;
  std::shared_ptr<THidrawNode> Node() const;
  // Plug and unplug cycles the emulation carried out (both directions).
  int Transitions() const;
  // Faults of the emulation itself (a sysfs file that could not be written,
  // a notice not sent); empty when none.
  std::string Error() const;

 private:
  void Worker();
  void Apply(bool plugged);  // worker thread
  void Request();            // ask the worker to follow the simulated device
  void WaitIdle();

  TEmulatedTerminalConfig FConfig;
  std::shared_ptr<TSimHidBus> FBus;
  std::shared_ptr<TVirtualTerminal> FTerminal;
  std::shared_ptr<TSimHidDevice> FDevice;
  TSysfsUsbHidDevice FSysfs;

  mutable std::mutex FMutex;
  std::condition_variable FCond;
  uint64_t FRequested = 0;  // requests made
  uint64_t FDone = 0;       // requests the worker has followed
  bool FStop = false;
  bool FPresent = false;
  bool FRefusing = false;
  int FTransitions = 0;
  std::string FError;
  std::shared_ptr<THidrawNode> FNode;
  std::shared_ptr<IHidHandle> FHandle;
  std::thread FPumpThread;
  std::thread FWorker;
};

// A firmware image for the tests: a header page (application type 9, the
// version name and the date) and `pages` - 1 pages of a pattern; the .mot
// text of it at 0x8000.
struct TTestFirmware {
  std::vector<uint8_t> Image;
  std::string MotText;
};
TTestFirmware MakeTestFirmware(int pages, const std::string& version = "fv0100",
                               const std::string& date = "15/06/2009");
// The terminal's image holds every page of `image` and its end block.
bool TerminalHasImage(const TVirtualTerminal& terminal, const std::vector<uint8_t>& image, std::string* why);
