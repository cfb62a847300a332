// The sysfs view of an emulated USB HID device, as libudev and hidapi walk
// it, and the udev notices of its arrival and removal.
//
//   /sys/devices/pci0000:00/0000:00:14.0/usb1/1-1                 usb_device
//       .../1-1:1.0                                               usb_interface
//       .../1-1:1.0/0003:VVVV:PPPP.NNNN                           hid
//       .../0003:VVVV:PPPP.NNNN/hidraw/hidraw<minor>              hidraw
//   /sys/class/hidraw/hidraw<minor>, /sys/dev/char/<major>:<minor>  links
//
// Each directory has its uevent file and its subsystem link; the USB device
// has idVendor, idProduct, bcdDevice, manufacturer and product; the
// interface bInterfaceNumber; the hid device report_descriptor; the hidraw
// node dev and its device link. NNNN counts the hid devices made since the
// start, as the kernel's does, so a replugged terminal gets a new sysfs path.
//
// Notices are libudev-format netlink messages (the "libudev" header, magic
// 0xfeedcafe, the subsystem and devtype hashes for the monitors' socket
// filters, then the properties of the uevent file with DEVPATH and
// SUBSYSTEM), multicast on group 2 ("udev") of the process's network
// namespace, in the order udev sends them.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "VirtualTerminal.h"

constexpr int kHidrawMajor = 241;

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
  // One notice; SEQNUM is added. False when it could not be sent.
  bool Send(const std::string& action, std::map<std::string, std::string> properties);

 private:
  int FSocket = -1;
  uint64_t FSeqnum = 0;
};

class TSysfsUsbHidDevice {
 public:
  // The device `id` describes (its USB version is the bcdDevice), made by
  // "KVZ Systemes".
  explicit TSysfsUsbHidDevice(const TVirtualTerminalConfig& id) : FId(id) {}

  // Creates the entries for hidraw<minor>; false (with the reason) when a
  // file could not be written.
  bool Create(int minor, std::string& error);
  void Remove();
  // The notices, in udev's order (add: USB device first; remove: hidraw
  // node first).
  bool Announce(TUdevAnnouncer& udev, bool add);

  std::string DevNode() const { return "/dev/hidraw" + std::to_string(FMinor); }
  std::string HidName() const { return "KVZ Systemes " + FId.ProductString; }
  std::string HidPhys() const { return "usb-0000:00:14.0-1/input0"; }

 private:
  struct TLevel {
    std::string Path;  // syspath
    std::string Subsystem;
    std::map<std::string, std::string> Uevent;
  };
  TVirtualTerminalConfig FId;
  int FMinor = 0;
  std::vector<TLevel> FLevels;  // USB device, interface, hid device, hidraw node
};
