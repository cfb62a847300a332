#include "FakeSysfs.h"

#include <endian.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

std::string Format(const char* format, unsigned v) {
  char b[16];
  std::snprintf(b, sizeof b, format, v);
  return b;
}

// The 32-bit MurmurHash2 (seed 0) that udev puts in the header.
uint32_t Hash(const std::string& s) {
  const uint32_t m = 0x5bd1e995;
  const unsigned char* data = reinterpret_cast<const unsigned char*>(s.data());
  size_t len = s.size();
  uint32_t h = static_cast<uint32_t>(len);
  for (; len >= 4; data += 4, len -= 4) {
    uint32_t k;
    std::memcpy(&k, data, 4);
    k *= m;
    k ^= k >> 24;
    h = (h * m) ^ (k * m);
  }
  switch (len) {
    case 3: h ^= static_cast<uint32_t>(data[2]) << 16; [[fallthrough]];
    case 2: h ^= static_cast<uint32_t>(data[1]) << 8; [[fallthrough]];
    case 1: h ^= data[0]; h *= m;
  }
  h ^= h >> 13;
  h *= m;
  return h ^ (h >> 15);
}

}  // namespace

std::vector<uint8_t> VendorReportDescriptor(int size) {
  const uint8_t n = static_cast<uint8_t>(size);
  return {0x06, 0x00, 0xFF,        // Usage Page (vendor 0xFF00)
          0x09, 0x01,              // Usage 1
          0xA1, 0x01,              // Collection (Application)
          0x15, 0x00,              //   Logical Minimum 0
          0x26, 0xFF, 0x00,        //   Logical Maximum 255
          0x75, 0x08,              //   Report Size 8
          0x95, n,    0x09, 0x01,  //   Report Count n, Usage 1
          0x81, 0x02,              //   Input (Data, Variable, Absolute)
          0x95, n,    0x09, 0x01,  //   Report Count n, Usage 1
          0x91, 0x02,              //   Output (Data, Variable, Absolute)
          0xC0};                   // End Collection
}

// ---- udev notices -------------------------------------------------------------

TUdevAnnouncer::TUdevAnnouncer() {
  FSocket = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
  sockaddr_nl self{};
  self.nl_family = AF_NETLINK;
  if (FSocket >= 0 && bind(FSocket, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) {
    close(FSocket);
    FSocket = -1;
  }
}

TUdevAnnouncer::~TUdevAnnouncer() {
  if (FSocket >= 0) close(FSocket);
}

bool TUdevAnnouncer::Send(const std::string& action, std::map<std::string, std::string> p) {
  p["ACTION"] = action;
  p["SEQNUM"] = std::to_string(++FSeqnum);
  std::string body;
  for (const auto& kv : p) body += kv.first + "=" + kv.second + '\0';
  // The header udev puts in front of the properties (network byte order).
  struct {
    char Prefix[8] = "libudev";
    uint32_t Magic = htobe32(0xfeedcafe);
    uint32_t HeaderSize, PropertiesOff, PropertiesLen, SubsystemHash, DevtypeHash = 0, TagBloomHi = 0,
                                                                      TagBloomLo = 0;
  } h;
  h.HeaderSize = h.PropertiesOff = sizeof h;
  h.PropertiesLen = static_cast<uint32_t>(body.size());
  h.SubsystemHash = htobe32(Hash(p["SUBSYSTEM"]));
  if (p.count("DEVTYPE")) h.DevtypeHash = htobe32(Hash(p["DEVTYPE"]));
  iovec iov[2] = {{&h, sizeof h}, {body.data(), body.size()}};
  sockaddr_nl to{};
  to.nl_family = AF_NETLINK;
  to.nl_groups = 2;  // udev's
  msghdr msg{};
  msg.msg_name = &to;
  msg.msg_namelen = sizeof to;
  msg.msg_iov = iov;
  msg.msg_iovlen = 2;
  // ECONNREFUSED only says that nobody listens yet.
  return sendmsg(FSocket, &msg, 0) >= 0 || errno == ECONNREFUSED;
}

// ---- sysfs entries --------------------------------------------------------------

bool TSysfsUsbHidDevice::Create(int minor, std::string& error) {
  static unsigned hidSeq = 0;  // the kernel numbers hid devices from its start
  static unsigned devnum = 1;  // and USB addresses on the bus
  FMinor = minor;
  const std::string usb = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1", intf = usb + "/1-1:1.0";
  const std::string ids = Format("%04X", FId.VendorID) + ":" + Format("%04X", FId.ProductID);
  const std::string hid = intf + "/0003:" + ids + "." + Format("%04X", ++hidSeq);
  const std::string hidraw = hid + "/hidraw/hidraw" + std::to_string(minor);
  const std::string product =
      Format("%x", FId.VendorID) + "/" + Format("%x", FId.ProductID) + "/" + Format("%x", FId.UsbVersion);
  const std::vector<uint8_t> descriptor = VendorReportDescriptor(FId.InputReportLength - 1);
  const std::string dev = std::to_string(kHidrawMajor) + ":" + std::to_string(minor);
  ++devnum;
  FLevels = {
      {usb,
       "usb",
       {{"DEVTYPE", "usb_device"},
        {"DRIVER", "usb"},
        {"PRODUCT", product},
        {"TYPE", "0/0/0"},
        {"BUSNUM", "001"},
        {"DEVNUM", Format("%03u", devnum)},
        {"MAJOR", "189"},
        {"MINOR", std::to_string(devnum - 1)},
        {"DEVNAME", "bus/usb/001/" + Format("%03u", devnum)}}},
      {intf,
       "usb",
       {{"DEVTYPE", "usb_interface"}, {"DRIVER", "usbhid"}, {"PRODUCT", product}, {"INTERFACE", "3/0/0"}}},
      {hid,
       "hid",
       {{"DRIVER", "hid-generic"},
        {"HID_ID", "0003:0000" + ids.substr(0, 4) + ":0000" + ids.substr(5)},
        {"HID_NAME", HidName()},
        {"HID_PHYS", HidPhys()},
        {"HID_UNIQ", ""}}},
      {hidraw,
       "hidraw",
       {{"MAJOR", std::to_string(kHidrawMajor)},
        {"MINOR", std::to_string(minor)},
        {"DEVNAME", "hidraw" + std::to_string(minor)}}},
  };
  std::error_code ec;
  fs::create_directories(hidraw, ec);
  auto put = [&](const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
    return fs::file_size(path, ec) == text.size() && !ec;
  };
  // Links are relative, as the kernel's.
  auto link = [&](const std::string& target, const std::string& at) {
    fs::create_symlink(fs::path(target).lexically_relative(fs::path(at).parent_path()), at, ec);
    return !ec;
  };
  bool ok = !ec;
  for (const TLevel& l : FLevels) {
    std::string uevent;
    for (const auto& kv : l.Uevent) uevent += kv.first + "=" + kv.second + "\n";
    const std::string subsystem = l.Subsystem == "hidraw" ? "/sys/class/hidraw" : "/sys/bus/" + l.Subsystem;
    ok = ok && put(l.Path + "/uevent", uevent) && link(subsystem, l.Path + "/subsystem");
  }
  ok = ok && put(usb + "/idVendor", Format("%04x\n", FId.VendorID)) &&
       put(usb + "/idProduct", Format("%04x\n", FId.ProductID)) &&
       put(usb + "/bcdDevice", Format("%04x\n", FId.UsbVersion)) &&
       put(usb + "/manufacturer", "KVZ Systemes\n") && put(usb + "/product", FId.ProductString + "\n") &&
       put(intf + "/bInterfaceNumber", "00\n") &&
       put(hid + "/report_descriptor", std::string(descriptor.begin(), descriptor.end())) &&
       put(hidraw + "/dev", dev + "\n") && link(hid, hidraw + "/device") &&
       link(hidraw, "/sys/class/hidraw/hidraw" + std::to_string(minor)) &&
       link(hidraw, "/sys/dev/char/" + dev);
  if (!ok) {
    error = "creating the sysfs entries of " + hidraw + " failed";
    Remove();
  }
  return ok;
}

void TSysfsUsbHidDevice::Remove() {
  if (FLevels.empty()) return;
  std::error_code ec;
  fs::remove("/sys/dev/char/" + std::to_string(kHidrawMajor) + ":" + std::to_string(FMinor), ec);
  fs::remove("/sys/class/hidraw/hidraw" + std::to_string(FMinor), ec);
  fs::remove_all(FLevels.front().Path, ec);
}

bool TSysfsUsbHidDevice::Announce(TUdevAnnouncer& udev, bool add) {
  bool ok = true;
  for (size_t i = 0; i < FLevels.size(); ++i) {
    const TLevel& l = FLevels[add ? i : FLevels.size() - 1 - i];
    std::map<std::string, std::string> p = l.Uevent;
    p["DEVPATH"] = l.Path.substr(4);  // without "/sys"
    p["SUBSYSTEM"] = l.Subsystem;
    if (p.count("DEVNAME")) p["DEVNAME"] = "/dev/" + p["DEVNAME"];
    ok = udev.Send(add ? "add" : "remove", p) && ok;
  }
  return ok;
}
