// The sysfs view of an emulated USB HID device, as libudev and hidapi walk
// it, and the udev notices of its arrival and removal.
//
//   /sys/devices/pci0000:00/0000:00:14.0/usb1/1-<port>            usb_device
//       .../1-<port>:1.0                                          usb_interface
//       .../1-<port>:1.0/0003:VVVV:PPPP.NNNN                      hid
//       .../0003:VVVV:PPPP.NNNN/hidraw/hidraw<minor>              hidraw
//   /sys/class/hidraw/hidraw<minor>, /sys/dev/char/<major>:<minor>  links
//
// Each directory has its uevent file and its subsystem link; the USB device
// has idVendor, idProduct, bcdDevice, manufacturer, product, serial; the
// hid device has report_descriptor; the hidraw node has dev and its device
// link. NNNN counts the hid devices made since the start, as the kernel's
// does, so a replugged terminal gets a new sysfs path.
//
// Notices are libudev-format netlink messages (the "libudev" header, magic
// 0xfeedcafe, the subsystem and devtype hashes for the monitors' socket
// filters, then the properties), multicast on group 2 ("udev") of the
// process's network namespace, in the order udev sends them.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct TUsbHidIdentity {
  uint16_t VendorID = 0x1072;
  uint16_t ProductID = 0x0003;
  uint16_t BcdDevice = 0x0004;
  std::string Manufacturer = "KVZ Systemes";
  std::string Product = "Terminal KVZ-DORNAVE";
  std::string Serial;
  int Port = 1;  // on root hub usb1
  std::vector<uint8_t> ReportDescriptor;
};

// The report descriptor of a vendor-defined device with one input and one
// output report of `size` bytes and no report IDs.
std::vector<uint8_t> VendorReportDescriptor(int size = 64);

class TUdevAnnouncer {
 public:
  TUdevAnnouncer();
  ~TUdevAnnouncer();
  TUdevAnnouncer(const TUdevAnnouncer&) = delete;
  TUdevAnnouncer& operator=(const TUdevAnnouncer&) = delete;

  bool Ok() const { return FSocket >= 0; }
  // One notice; SEQNUM and USEC_INITIALIZED are added. False when it could
  // not be sent.
  bool Send(const std::string& action, const std::map<std::string, std::string>& properties);
  uint64_t Sent() const { return FSeqnum; }

  // The 32-bit MurmurHash2 (seed 0) that udev puts in the header.
  static uint32_t Hash(const std::string& s);

 private:
  int FSocket = -1;
  uint64_t FSeqnum = 0;
};

class TSysfsUsbHidDevice {
 public:
  static constexpr int kHidrawMajor = 241;

  explicit TSysfsUsbHidDevice(const TUsbHidIdentity& id) : FId(id) {}

  // Creates the entries for hidraw<minor>; false (with the reason) when a
  // file could not be written.
  bool Create(int minor, std::string& error);
  // Removes them.
  void Remove();
  // The notices, in udev's order (add: USB device first; remove: hidraw
  // node first).
  bool Announce(TUdevAnnouncer& udev, bool add);

  bool Present() const { return FPresent; }
  std::string HidrawSyspath() const { return FHidraw; }
  std::string DevNode() const { return "/dev/hidraw" + std::to_string(FMinor); }
  std::string HidName() const;
  std::string HidPhys() const;

 private:
  TUsbHidIdentity FId;
  bool FPresent = false;
  int FMinor = 0;
  int FDevnum = 0;
  int FHidSeq = 0;
  std::string FUsb, FIntf, FHid, FHidraw;  // syspaths
};
