// The platform seam of the HID layer: exactly the operations the controller
// and the devices rely on. Implemented by the Linux backend (HidLinux.cpp) and
// by the simulated bus (sim/SimHidBus.h); plain C++17, no Qt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Platform error codes handed to THidDataErrorEvent and kept in LastError.
// The numbers follow the usual Windows codes so that a technician reading one
// recognises it.
enum : uint32_t {
  kHidErrorNone = 0,
  kHidErrorAccessDenied = 5,           // no permission for the requested access
  kHidErrorInvalidHandle = 6,          // the handle is closed or was never opened
  kHidErrorNotAccessible = 31,         // the device is neither claimed nor enumerated, or unplugged
  kHidErrorOperationAborted = 995,     // the read was cancelled
  kHidErrorDeviceNotConnected = 1167,  // the device is gone
};

// 16-byte interface class identifier.
struct THidGuid {
  uint32_t D1 = 0;
  uint16_t D2 = 0;
  uint16_t D3 = 0;
  uint8_t D4[8] = {};
  bool operator==(const THidGuid& o) const;
  bool operator!=(const THidGuid& o) const { return !(*this == o); }
};
// {4D1E55B2-F16F-11CF-88CB-001111000030}
extern const THidGuid kHidInterfaceClassGuid;

// The attributes record: size field (always 12), vendor, product, version.
struct THidAttributes {
  uint32_t Size = 12;
  uint16_t VendorID = 0;
  uint16_t ProductID = 0;
  uint16_t VersionNumber = 0;
};

// The capabilities record (64 bytes, 16-bit fields). Both report lengths
// count the leading report-ID byte; a kind of report the device does not have
// has length 0.
struct THidCaps {
  uint16_t Usage = 0;
  uint16_t UsagePage = 0;
  uint16_t InputReportByteLength = 0;
  uint16_t OutputReportByteLength = 0;
  uint16_t FeatureReportByteLength = 0;
  uint16_t Reserved[17] = {};
  uint16_t NumberLinkCollectionNodes = 0;
  uint16_t NumberInputButtonCaps = 0;
  uint16_t NumberInputValueCaps = 0;
  uint16_t NumberInputDataIndices = 0;
  uint16_t NumberOutputButtonCaps = 0;
  uint16_t NumberOutputValueCaps = 0;
  uint16_t NumberOutputDataIndices = 0;
  uint16_t NumberFeatureButtonCaps = 0;
  uint16_t NumberFeatureValueCaps = 0;
  uint16_t NumberFeatureDataIndices = 0;
};
static_assert(sizeof(THidCaps) == 64, "THidCaps is the 64-byte capability record");

// What the platform knows about an interface once it has been opened: its
// capabilities (cached by the device as its preparsed data). Immutable once
// made, so it may be shared between threads.
struct THidPreparsedData {
  THidCaps Caps;
  bool UsesReportIds = false;
  std::vector<uint8_t> ReportDescriptor;  // when the platform has it
};

enum class EHidAccess {
  None,       // enough for attributes, product string and capabilities
  Read,       // input reports
  ReadWrite,  // input and output reports, flush
};

enum class EHidReadStatus {
  Completed,  // Bytes bytes were read (0 is possible)
  TimedOut,   // nothing arrived within the time slice
  Cancelled,  // CancelRead() ended the wait
  Failed,     // the read failed (device gone, handle without read access...)
};

struct THidReadResult {
  EHidReadStatus Status = EHidReadStatus::Failed;
  std::size_t Bytes = 0;
  uint32_t Error = kHidErrorNone;
};

// One open interface. Closing = destroying the object (the last shared
// reference). Thread rules: one thread at a time uses a handle, except
// CancelRead(), which any thread may call at any time; a handle may be
// destroyed on any thread once no call on it is running.
class IHidHandle {
 public:
  virtual ~IHidHandle() = default;

  virtual EHidAccess Access() const = 0;
  // False when the device does not identify itself.
  virtual bool GetAttributes(THidAttributes& out) = 0;
  // UTF-16, without the terminating NUL, at most 254 characters.
  virtual bool GetProductString(std::u16string& out) = 0;
  // Null when it cannot be had.
  virtual std::shared_ptr<const THidPreparsedData> GetPreparsedData() = 0;
  virtual bool SetNumInputBuffers(int32_t count) = 0;
  virtual bool GetNumInputBuffers(int32_t& count) = 0;
  // Discard the input reports queued for this handle.
  virtual bool Flush() = 0;
  // One output report: byte 0 is the report ID.
  virtual bool Write(const uint8_t* data, std::size_t length, std::size_t& written) = 0;
  // Wait up to timeoutMs for one input report and copy at most `length` bytes
  // of it into buffer, byte 0 being the report ID (0 for a device without
  // report IDs).
  virtual THidReadResult Read(uint8_t* buffer, std::size_t length, int32_t timeoutMs) = 0;
  // Any thread: end a Read() in progress with Cancelled. When no Read() is in
  // progress, the next one returns Cancelled at once (a cancel is never lost).
  virtual void CancelRead() = 0;
};

// One interface present on the machine.
struct THidInterfaceEntry {
  uint32_t DeviceInstance = 0;  // stable identity of the device node
  std::string InterfacePath;    // what Open() takes
  // Informative texts of the device node (may stay empty).
  std::string Manufacturer;
  std::string Description;
  std::string HardwareId;
};

// Source of "the device set changed" notices. Two forms, a platform offers
// one or both:
//   - a listener called on the thread that caused the change (the simulated
//     bus: plug and unplug call it);
//   - a descriptor that becomes readable when notices wait (Linux: the udev
//     monitor); the application watches it (QSocketNotifier) and calls
//     ConsumeNotices(), which returns how many notices were waiting.
class IHidChangeSource {
 public:
  using TListener = std::function<void()>;
  virtual ~IHidChangeSource() = default;
  // One listener at a time; an empty one removes it. Returns only once no
  // other thread is still inside a call of the listener replaced, so that
  // its owner may then free what it uses (the controller's call queue).
  virtual void SetListener(TListener listener) = 0;
  virtual int NoticeFd() const { return -1; }
  virtual int ConsumeNotices() { return 0; }
};

class IHidPlatform {
 public:
  virtual ~IHidPlatform() = default;

  // The interface class listed; false when the platform has none of its own.
  virtual bool GetHidGuid(THidGuid& out) const {
    (void)out;
    return false;
  }
  // A snapshot of the present interfaces, in the platform's order. False when
  // no snapshot could be taken.
  virtual bool ListInterfaces(std::vector<THidInterfaceEntry>& out) = 0;
  // Open an interface. Null on failure, with the reason in *error.
  virtual std::shared_ptr<IHidHandle> Open(const std::string& path, EHidAccess access, uint32_t* error) = 0;
  // Null when the platform reports no changes.
  virtual IHidChangeSource* ChangeSource() = 0;
};

// UTF-16 / UTF-8 conversions for product strings (invalid sequences become
// U+FFFD).
std::u16string HidUtf8ToUtf16(const std::string& s);
std::string HidUtf16ToUtf8(const std::u16string& s);
