// The HID device controller, the HID device and its reader thread.
//
// Threads
//   Everything here runs on the main thread (the thread that created the
//   THidCallQueue), except the reader body. Each claimed device with a data
//   handler has one reader thread; it hands every report (and every read
//   start failure) to the main thread through THidCallQueue::Invoke and waits
//   until the handler has run, so handlers always run on the main thread, one
//   report at a time, and the report buffer is not overwritten meanwhile.
//
// Starting a reader (StartReader, from SetDataHandler or a claim) opens the
//   read handle on the calling thread before the reader thread runs: the
//   platforms queue an input report only for the handles open when it
//   arrives, so a frame written after the start cannot be answered before
//   the reader can see the answer.
//
// Read failures
//   A read that cannot be started (no handle: access refused, device gone)
//   and a read that fails on its open handle (Linux: a hidraw node that
//   vanished, even without a removal notice) are each reported once per
//   attempt through the device's OnDeviceDataError with the platform code
//   (kHidErrorAccessDenied, kHidErrorDeviceNotConnected, ...); the reader then
//   pauses one ReaderSleepTime slice, cut short by a stop request, and tries
//   again until it is stopped.
//
// Stopping a reader (StopReader, release, SetDataHandler(none), destruction)
//   requests termination, cancels the pending read and waits on the queue's
//   condition variable for the body to end, running waiting hand-overs
//   meanwhile (a report handed over before the request is still delivered). A
//   read that completes after the request is not delivered. A handler run
//   during that wait may free the device (its unplug released it): nothing
//   of that reader reaches the freed device any more, and the stop returns
//   without touching it. Stopping a reader from inside the handler of one of
//   its own reports cannot wait for it (the reader waits for that very
//   handler to return): the reader is then detached, ends as soon as the
//   handler returns and is joined later; no further report of it is
//   delivered.
//
// Unplugged devices
//   MarkUnplugged closes the handles while the reader may be reading: the
//   read handle slot is guarded, the reader works on its own reference, and
//   the close cancels the read in progress; the handle is released when the
//   last user lets go of it. The cut-off read delivers nothing.
//
// Change notices and nested passes
//   Each change notice leads to exactly one DeviceChange pass on the main
//   thread. A notice raised on another thread is posted to the main thread.
//   A notice (or a DeviceChange call) that arrives while a pass or an
//   EnumerateDevices walk is running - because a handler processed messages -
//   is deferred: it is counted, and when the outermost pass or walk ends, one
//   pass per deferred notice runs. So a running pass or walk never sees the
//   list change under it except through releases and direct destruction of
//   devices, which it re-checks after every event.
//
// Ownership
//   The controller owns the listed devices. ReleaseDevice destroys a released
//   device that was unplugged. A device may also be deleted directly: a
//   plugged one is then replaced in the list by a fresh object. When the
//   controller is destroyed, claimed devices are marked unplugged and left to
//   their owners, who delete them. The THidCallQueue must outlive the
//   controller and every device.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "HidCallQueue.h"
#include "HidEvents.h"
#include "HidPlatform.h"

// Raised only when a device object cannot be made and when a second
// controller is created.
class EControllerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

extern const char* const kHidErrOnlyOneController;   // "Only one THidDeviceController allowed per program"
extern const char* const kHidErrCannotBeOpened;      // "device cannot be opened"
extern const char* const kHidErrCannotBeIdentified;  // "device cannot be identified"

class THidDeviceController;
struct THidDeviceIo;
struct THidReaderState;

// The record made for each interface found by a scan; the device made from it
// owns it. The informative texts are whatever the platform could tell.
struct THidPnPInfo {
  uint32_t DeviceInstance = 0;
  std::string InterfacePath;
  std::string Class = "HIDClass";
  std::string ClassGUID;
  std::string DeviceDescr;
  std::string Mfg;
  std::string HardwareID;

  THidPnPInfo() = default;
  explicit THidPnPInfo(const THidInterfaceEntry& entry);
};

class THidDeviceReadThread {
 public:
  ~THidDeviceReadThread();
  THidDeviceReadThread(const THidDeviceReadThread&) = delete;
  THidDeviceReadThread& operator=(const THidDeviceReadThread&) = delete;

  THidDevice* Device() const { return FDevice; }
  // Main thread, between hand-overs (or after the body ended).
  uint32_t LastError() const;
  uint32_t BytesRead() const;
  const std::vector<uint8_t>& ReportBuffer() const;
  bool Terminated() const;
  bool Finished() const;
  // The exception a handler ended with; the reader ended after it.
  std::exception_ptr FatalException() const;

 private:
  friend class THidDevice;
  THidDeviceReadThread(THidDevice* device, std::shared_ptr<THidDeviceIo> io, THidCallQueue& queue,
                       uint16_t reportLength);
  void Start();
  void Terminate();
  // Waits for the body to end, running hand-overs. False when that cannot be
  // done here (called from inside one of its own hand-overs): the thread was
  // detached instead.
  bool WaitForEnd();

  THidDevice* FDevice;
  THidCallQueue& FQueue;
  std::shared_ptr<THidReaderState> FState;
  std::thread FThread;
};

class THidDevice {
 public:
  // Made by the controller's scan (ownership of the record passes); opens and
  // identifies the interface; raises EControllerError.
  THidDevice(std::unique_ptr<THidPnPInfo> info, THidDeviceController* controller);
  // A device outside any controller (identification only, or tests).
  THidDevice(std::unique_ptr<THidPnPInfo> info, std::shared_ptr<IHidPlatform> platform, THidCallQueue& queue);
  ~THidDevice();
  THidDevice(const THidDevice&) = delete;
  THidDevice& operator=(const THidDevice&) = delete;

  THidDeviceController* Controller() const { return FController; }
  bool Plugged() const;
  bool Claimed() const;
  bool Enumerating() const;
  bool CanAccess() const;
  const THidAttributes& HidAttributes() const { return FAttributes; }
  const THidPnPInfo& PnPInfo() const { return *FPnPInfo; }
  bool ReadWriteAccess() const { return FReadWriteAccess; }
  bool IoHandleOpen() const { return FIoHandle != nullptr; }
  bool ReadHandleOpen() const;
  int32_t InputBufferCount() const { return FInputBufferCount; }
  void SetInputBufferCount(int32_t count) { FInputBufferCount = count; }
  int32_t ReadBufferCount() const;
  void SetReadBufferCount(int32_t count);
  int32_t ReaderSleepTime() const;
  THidDeviceReadThread* Reader() const { return FReader.get(); }
  // The cached product string (empty until read).
  const std::u16string& ProductString() const { return FProductString; }

  const THidDataEvent& OnDeviceData() const { return FOnDeviceData; }
  const THidDataErrorEvent& OnDeviceDataError() const { return FOnDeviceDataError; }
  void SetOnDeviceDataError(THidDataErrorEvent h) { FOnDeviceDataError = std::move(h); }
  const THidUnplugEvent& OnDeviceUnplug() const { return FOnDeviceUnplug; }
  void SetOnDeviceUnplug(THidUnplugEvent h) { FOnDeviceUnplug = std::move(h); }

  bool OpenIoHandle();
  void CloseIoHandle();
  bool OpenReadHandle();
  void CloseReadHandle();
  // All zero when the capabilities cannot be had.
  THidCaps QueryCaps();
  // UTF-16, read once and then cached.
  std::u16string GetProductString();
  std::string GetProductStringUtf8() { return HidUtf16ToUtf8(GetProductString()); }
  bool FlushInput();
  bool WriteReport(const void* buffer, uint32_t length, uint32_t& bytesWritten);
  // Main-thread equivalents of the reader's read steps (for tools and tests):
  // BeginRead reads one report within one ReaderSleepTime slice into buffer;
  // ReadCount gives the bytes of that read, 0 on failure.
  bool BeginRead(void* buffer, uint32_t length);
  uint32_t ReadCount() const;
  void CancelRead();

  void SetDataHandler(THidDataEvent handler);
  void StartReader();
  void StopReader();
  // Values outside 10 .. 10000 are ignored.
  void SetReaderSleepTime(int32_t ms);

  // Used by the controller's pass.
  void MarkUnplugged();

 private:
  friend class THidDeviceController;
  friend class THidDeviceReadThread;
  void Init(std::unique_ptr<THidPnPInfo> info);
  std::shared_ptr<IHidHandle> OpenWithFallback();
  void SetClaimed(bool v);
  void SetEnumerating(bool v);
  void CutController() { FController = nullptr; }

  THidDeviceController* FController = nullptr;
  std::shared_ptr<IHidPlatform> FPlatform;
  THidCallQueue* FQueue = nullptr;
  std::shared_ptr<THidDeviceIo> FIo;  // state the reader shares
  std::shared_ptr<IHidHandle> FIoHandle;
  THidAttributes FAttributes;
  std::unique_ptr<THidPnPInfo> FPnPInfo;
  std::u16string FProductString;
  int32_t FInputBufferCount = 0;
  bool FReadWriteAccess = false;
  uint32_t FLastReadCount = 0;
  THidDataEvent FOnDeviceData;
  THidDataErrorEvent FOnDeviceDataError;
  THidUnplugEvent FOnDeviceUnplug;
  std::unique_ptr<THidDeviceReadThread> FReader;
  // Readers being stopped: their wait runs hand-overs, and a handler there
  // may free this device; its destruction cuts them off from it.
  std::vector<std::shared_ptr<THidReaderState>> FStopping;
  // False once the device is being destroyed; held by a stop that must not
  // go on with a device freed during its wait.
  std::shared_ptr<bool> FLife = std::make_shared<bool>(true);
  uint64_t FSerial = 0;
};

class THidDeviceController {
 public:
  // Binds the platform (null: no services, an empty list, no changes ever),
  // lists the devices and listens to the platform's change notices. Raises
  // EControllerError "Only one THidDeviceController allowed per program"
  // while another controller exists.
  THidDeviceController(std::shared_ptr<IHidPlatform> platform, THidCallQueue& mainThread);
  ~THidDeviceController();
  THidDeviceController(const THidDeviceController&) = delete;
  THidDeviceController& operator=(const THidDeviceController&) = delete;

  // One re-scan pass (deferred while a pass or walk runs).
  void DeviceChange();
  // Walks the plugged devices calling OnEnumerate; returns how many were
  // visited (the one that stopped the walk included).
  int32_t EnumerateDevices();
  bool ClaimDeviceAt(THidDevice*& HidDev, int32_t Idx);
  void ReleaseDevice(THidDevice*& HidDev);

  // A change notice from any thread: one pass on the main thread.
  void NotifyDeviceChange();
  // The platform's notice descriptor (-1 when none), for a QSocketNotifier;
  // when it is readable, call ConsumeNotices() on the main thread: it reads
  // the waiting notices and runs one pass for each.
  int NoticeFd() const;
  int ConsumeNotices();

  const TNotifyEvent& OnDeviceChange() const { return FOnDeviceChange; }
  void SetOnDeviceChange(TNotifyEvent h);
  const THidEnumerateEvent& OnEnumerate() const { return FOnEnumerate; }
  void SetOnEnumerate(THidEnumerateEvent h) { FOnEnumerate = std::move(h); }
  const THidDataEvent& OnDeviceData() const { return FOnDeviceData; }
  void SetOnDeviceData(THidDataEvent h);
  const THidDataErrorEvent& OnDeviceDataError() const { return FOnDeviceDataError; }
  void SetOnDeviceDataError(THidDataErrorEvent h);
  const THidUnplugEvent& OnDeviceUnplug() const { return FOnDeviceUnplug; }
  void SetOnDeviceUnplug(THidUnplugEvent h);
  int32_t DevThreadSleepTime() const { return FDevThreadSleepTime; }
  void SetDevThreadSleepTime(int32_t ms);
  std::string Version() const { return "1.0.16"; }
  void SetVersion(const std::string&) {}

  const THidGuid& HidClassGuid() const { return FHidClassGuid; }
  bool HidServicesBound() const { return FPlatform != nullptr; }
  bool ChangeReported() const { return FChangeReported; }
  const std::vector<THidDevice*>& DeviceList() const { return FDeviceList; }
  int32_t Count() const { return static_cast<int32_t>(FDeviceList.size()); }
  int32_t AvailableCount() const { return FAvailableCount; }
  int32_t ClaimedCount() const { return FClaimedCount; }
  int32_t UnpluggedCount() const { return FUnpluggedCount; }
  // Passes run so far (diagnostics and tests).
  uint64_t PassCount() const { return FPassCount; }

  const std::shared_ptr<IHidPlatform>& Platform() const { return FPlatform; }
  THidCallQueue& MainThread() const { return FQueue; }

 private:
  friend class THidDevice;
  std::vector<THidDevice*> BuildDeviceList();
  void RunPass();
  void DrainDeferred();
  void Recount();
  int IndexOfSerial(uint64_t serial) const;
  int IndexOf(const THidDevice* dev) const;
  void DeviceDestroyed(THidDevice* dev, THidDataEvent onData, THidUnplugEvent onUnplug, int32_t sleepTime,
                       std::unique_ptr<THidPnPInfo>& info);

  std::shared_ptr<IHidPlatform> FPlatform;
  THidCallQueue& FQueue;
  THidGuid FHidClassGuid;
  TNotifyEvent FOnDeviceChange;
  THidEnumerateEvent FOnEnumerate;
  THidDataEvent FOnDeviceData;
  THidDataErrorEvent FOnDeviceDataError;
  THidUnplugEvent FOnDeviceUnplug;
  bool FChangeReported = false;
  bool FForceReport = false;
  int32_t FDevThreadSleepTime = 100;
  std::vector<THidDevice*> FDeviceList;
  int32_t FAvailableCount = 0;
  int32_t FClaimedCount = 0;
  int32_t FUnpluggedCount = 0;
  int FBusyDepth = 0;
  int FDeferred = 0;
  bool FDraining = false;
  uint64_t FPassCount = 0;
  std::shared_ptr<std::atomic<bool>> FAlive;
};
