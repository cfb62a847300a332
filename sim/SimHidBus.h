// The simulated HID bus: in-memory virtual HID devices behind the platform
// seam (IHidPlatform), for tests, benchmarks and the demo.
//
// A test plugs virtual devices (each with its attributes, product string,
// report lengths and an optional device model), unplugs and replugs them.
// Plug, Unplug and Replug raise one change notice each through the listener
// (IHidChangeSource), on the calling thread and after the bus's lock has
// been released; a controller turns it into one pass on the main thread.
// Replacing or clearing the listener waits for the calls of the old one that
// other threads have in flight.
//
// Input reports: as the kernel's hidraw and Windows do, every open handle
// with read access (Read or ReadWrite) has its own queue of input reports.
// A report sent by the device is queued to every such handle open at that
// moment; a handle opened later does not see it, and a report sent while no
// handle is open is lost. Each queue is bounded by InputQueueLimit (the
// oldest report of that queue is dropped). SendInputReport queues a report at
// once, from any thread (a model may call it from OnOutputReport);
// SendInputReportAfter queues it later from the bus's timer thread. A read
// takes the reports of its own handle in order; Flush empties only its own
// handle's queue. Reports are kept as given: byte 0 is the report ID (0 when
// the device has none); a read copies at most the length asked for.
// Unplugging empties every queue and ends reads in progress.
//
// Output reports: every report written (Write on a handle with write access)
// is recorded and handed to the model's OnOutputReport on the writer's thread,
// without any bus lock held.
//
// USB pacing (TSimHidDeviceConfig::UsbFramePaced): the device behaves as a
// full-speed interrupt endpoint pair polled every 1 ms frame. Frames are
// counted from the device's creation. At most one report goes each way per
// frame: a write waits for the first frame boundary after it is made that no
// earlier write has taken, and only then is recorded and handed to the
// model; an input report becomes readable at the first frame boundary after
// it is queued that no earlier input report has taken. Without pacing
// (default) both happen at once.
//
// Product strings are UTF-16 (std::u16string); TSimHidDeviceConfig::Make takes
// UTF-8 for convenience.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "HidPlatform.h"

struct TSimHidDeviceConfig {
  uint16_t VendorID = 0;
  uint16_t ProductID = 0;
  uint16_t VersionNumber = 0;
  std::u16string ProductString;  // UTF-16
  // Capability lengths, counting the report-ID byte.
  uint16_t InputReportByteLength = 65;
  uint16_t OutputReportByteLength = 65;
  uint16_t FeatureReportByteLength = 0;
  uint16_t UsagePage = 0xFF00;
  uint16_t Usage = 0x0001;
  std::string Manufacturer;

  // Failure injection.
  bool Openable = true;               // false: every open fails
  bool ReadWriteAllowed = true;       // false: opens with access are refused, those without work
                                      // (a device the system holds, a node without a udev rule)
  bool Identifiable = true;           // false: the attributes cannot be read
  bool HasProductString = true;       // false: the product string cannot be read
  bool HasCaps = true;                // false: no preparsed data
  bool WritesFail = false;            // false: writes succeed
  std::size_t InputQueueLimit = 256;  // reports kept for reading, per handle

  // Timing: one report each way per 1 ms frame (see above).
  bool UsbFramePaced = false;

  static TSimHidDeviceConfig Make(uint16_t vid, uint16_t pid, uint16_t version,
                                  const std::string& productUtf8, uint16_t inputLength = 65,
                                  uint16_t outputLength = 65);
};

class TSimHidDevice;
struct TSimInputQueue;

// The behaviour behind a virtual device. Callbacks may come from any thread
// and must not call back into the bus's Plug/Unplug from OnOutputReport.
class ISimHidDeviceModel {
 public:
  virtual ~ISimHidDeviceModel() = default;
  // One output report written by the host (byte 0 = report ID), on the
  // writer's thread.
  virtual void OnOutputReport(TSimHidDevice& device, const uint8_t* data, std::size_t length) = 0;
  // The device was plugged (also on replug) or unplugged; calling thread.
  virtual void OnPlugged(TSimHidDevice& device) { (void)device; }
  virtual void OnUnplugged(TSimHidDevice& device) { (void)device; }
};

class TSimHidDevice : public std::enable_shared_from_this<TSimHidDevice> {
 public:
  TSimHidDevice(const TSimHidDeviceConfig& config, uint32_t instance, std::string path);
  ~TSimHidDevice();
  TSimHidDevice(const TSimHidDevice&) = delete;
  TSimHidDevice& operator=(const TSimHidDevice&) = delete;

  const TSimHidDeviceConfig& Config() const { return FConfig; }
  uint32_t DeviceInstance() const { return FInstance; }
  const std::string& Path() const { return FPath; }
  bool Plugged() const;

  void SetModel(std::shared_ptr<ISimHidDeviceModel> model);
  std::shared_ptr<ISimHidDeviceModel> Model() const;

  // Any thread. False (and nothing queued) while unplugged.
  bool SendInputReport(std::vector<uint8_t> report);
  bool SendInputReport(const uint8_t* data, std::size_t length);
  // Queued after `delay` by the bus's timer thread (dropped if the device is
  // unplugged by then).
  void SendInputReportAfter(std::chrono::milliseconds delay, std::vector<uint8_t> report);

  // Reports waiting to be read: the longest queue among the open handles on
  // which a read was made (the host's readers), or, while no handle has read
  // yet, among all open handles with read access. 0 when none is open.
  std::size_t QueuedInputCount() const;
  // The queue length of each open handle with read access, in opening order.
  std::vector<std::size_t> HandleQueueCounts() const;
  // Output reports written so far (all of them, in order).
  std::vector<std::vector<uint8_t>> OutputReports() const;
  std::size_t OutputReportCount() const;
  void ClearOutputReports();
  // Handles currently open on the device (any access).
  int OpenHandleCount() const;
  // Reads in progress.
  int PendingReadCount() const;
  // Failure injection at run time: reads end with Failed.
  void SetReadsFail(bool fail);
  void SetWritesFail(bool fail);
  // Run-time access rights (as a node's permissions change when a udev rule
  // is installed): later opens with access are refused or allowed; handles
  // already open keep what they got. Starts as the config's ReadWriteAllowed.
  void SetReadWriteAllowed(bool allowed);
  bool ReadWriteAllowed() const;

 private:
  friend class TSimHidBus;
  friend class TSimHidHandle;
  void SetPlugged(bool plugged);
  void AttachTimer(std::function<void(std::chrono::milliseconds, std::function<void()>)> timer);

  // Pacing: the first frame boundary after `t` (FMutex held).
  std::chrono::steady_clock::time_point NextFrameAfter(std::chrono::steady_clock::time_point t) const;

  const TSimHidDeviceConfig FConfig;
  const uint32_t FInstance;
  const std::string FPath;
  mutable std::mutex FMutex;
  std::condition_variable FCond;
  bool FPlugged = false;
  bool FReadsFail = false;
  bool FWritesFail = false;
  uint64_t FPlugGeneration = 0;
  bool FReadWriteAllowed = true;
  // The input queues of the open handles with read access, in opening order.
  std::vector<std::shared_ptr<TSimInputQueue>> FQueues;
  const std::chrono::steady_clock::time_point FEpoch = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point FNextOutFrame{};  // first frame free for a write
  std::chrono::steady_clock::time_point FNextInFrame{};   // first frame free for an input report
  std::vector<std::vector<uint8_t>> FOutput;
  int FOpenHandles = 0;
  int FPendingReads = 0;
  std::shared_ptr<ISimHidDeviceModel> FModel;
  std::function<void(std::chrono::milliseconds, std::function<void()>)> FTimer;
};

struct TSimTimerState;

class TSimHidBus : public IHidPlatform, public IHidChangeSource {
 public:
  TSimHidBus();
  ~TSimHidBus() override;
  TSimHidBus(const TSimHidBus&) = delete;
  TSimHidBus& operator=(const TSimHidBus&) = delete;

  // A new virtual device with a fresh DeviceInstance and path, appended to the
  // bus's order; raises one notice.
  std::shared_ptr<TSimHidDevice> Plug(const TSimHidDeviceConfig& config,
                                      std::shared_ptr<ISimHidDeviceModel> model = nullptr);
  // Takes the device off the bus (it keeps its identity); raises one notice.
  // False when it was not plugged.
  bool Unplug(const std::shared_ptr<TSimHidDevice>& device);
  // Puts an unplugged device back with the same DeviceInstance and path (a
  // replug into the same port), at the end of the order; raises one notice.
  bool Replug(const std::shared_ptr<TSimHidDevice>& device);
  // Unplugs every device; one notice per device.
  void UnplugAll();
  // A notice without any change.
  void RaiseNotice();

  std::vector<std::shared_ptr<TSimHidDevice>> PluggedDevices() const;
  std::size_t PluggedCount() const;
  uint64_t NoticeCount() const;

  // Failure injection: the next snapshots fail.
  void SetSnapshotFails(bool fail);
  // Called by Open on the opening thread, before anything else and without
  // any lock of the bus held: a test may hold an open back or watch which
  // thread opens what. An empty hook removes it.
  using TOpenHook = std::function<void(const std::string& path, EHidAccess access)>;
  void SetOpenHook(TOpenHook hook);
  // Whether plug/unplug raise notices (default true).
  void SetNoticesEnabled(bool enabled);

  // IHidPlatform
  bool ListInterfaces(std::vector<THidInterfaceEntry>& out) override;
  std::shared_ptr<IHidHandle> Open(const std::string& path, EHidAccess access, uint32_t* error) override;
  IHidChangeSource* ChangeSource() override { return this; }
  // IHidChangeSource. Returns once no other thread is still inside a call
  // of the listener it replaces (a call on the calling thread itself, a
  // listener that clears itself, is not waited for): whatever the old
  // listener uses may go as soon as it returns.
  void SetListener(TListener listener) override;
  // Threads waiting in SetListener for such a call to end (tests).
  int ListenerClearsWaiting() const;

 private:
  void Notice();
  void Schedule(std::chrono::milliseconds delay, std::function<void()> fn);
  void TimerBody();

  mutable std::mutex FMutex;
  std::vector<std::shared_ptr<TSimHidDevice>> FPlugged;  // bus order
  std::vector<std::shared_ptr<TSimHidDevice>> FKnown;    // every device ever plugged
  uint32_t FNextInstance = 0x1000;
  bool FSnapshotFails = false;
  bool FNoticesEnabled = true;
  uint64_t FNotices = 0;
  mutable std::mutex FListenerMutex;
  std::condition_variable FListenerIdle;
  TListener FListener;
  TOpenHook FOpenHook;                          // guarded by FListenerMutex
  std::vector<std::thread::id> FListenerCalls;  // threads in a call, guarded by FListenerMutex
  int FListenerWaits = 0;                       // guarded by FListenerMutex

  // Timer thread for delayed reports (started on first use).
  std::shared_ptr<TSimTimerState> FTimer;
  std::thread FTimerThread;
};
