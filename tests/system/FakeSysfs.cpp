#include "FakeSysfs.h"

#include <endian.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

const char* const kRootHub = "/sys/devices/pci0000:00/0000:00:14.0/usb1";
constexpr unsigned kUdevGroup = 2;
constexpr uint32_t kUdevMagic = 0xfeedcafe;

// The header udev puts in front of the properties (network byte order).
struct TUdevHeader {
  char Prefix[8];
  uint32_t Magic;
  uint32_t HeaderSize;
  uint32_t PropertiesOff;
  uint32_t PropertiesLen;
  uint32_t SubsystemHash;
  uint32_t DevtypeHash;
  uint32_t TagBloomHi;
  uint32_t TagBloomLo;
};

std::string Hex4(unsigned v) {
  char b[8];
  std::snprintf(b, sizeof b, "%04X", v & 0xFFFF);
  return b;
}
std::string hex4(unsigned v) {
  char b[8];
  std::snprintf(b, sizeof b, "%04x", v & 0xFFFF);
  return b;
}
std::string Dec3(int v) {
  char b[8];
  std::snprintf(b, sizeof b, "%03d", v);
  return b;
}

bool Put(const std::string& path, const std::string& text, std::string& error) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(text.data(), static_cast<std::streamsize>(text.size()));
  f.close();
  if (!f) error = "writing " + path + " failed";
  return static_cast<bool>(f);
}

bool Link(const std::string& target, const std::string& link, std::string& error) {
  std::error_code ec;
  const fs::path rel = fs::path(target).lexically_relative(fs::path(link).parent_path());
  fs::create_symlink(rel, link, ec);
  if (ec) error = "linking " + link + ": " + ec.message();
  return !ec;
}

std::string Uevent(const std::vector<std::pair<std::string, std::string>>& kv) {
  std::string s;
  for (const auto& p : kv) s += p.first + "=" + p.second + "\n";
  return s;
}

// PRODUCT of a USB uevent: vendor, product and release in bare hexadecimal.
std::string UsbProduct(const TUsbHidIdentity& id) {
  char b[32];
  std::snprintf(b, sizeof b, "%x/%x/%x", id.VendorID, id.ProductID, id.BcdDevice);
  return b;
}

std::string DevPath(const std::string& syspath) { return syspath.substr(4); }  // without "/sys"

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
  if (FSocket < 0) return;
  sockaddr_nl self;
  std::memset(&self, 0, sizeof self);
  self.nl_family = AF_NETLINK;
  if (bind(FSocket, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) {
    close(FSocket);
    FSocket = -1;
  }
}

TUdevAnnouncer::~TUdevAnnouncer() {
  if (FSocket >= 0) close(FSocket);
}

uint32_t TUdevAnnouncer::Hash(const std::string& s) {
  const uint32_t m = 0x5bd1e995;
  const int r = 24;
  const unsigned char* data = reinterpret_cast<const unsigned char*>(s.data());
  size_t len = s.size();
  uint32_t h = static_cast<uint32_t>(len);
  while (len >= 4) {
    uint32_t k;
    std::memcpy(&k, data, 4);
    k *= m;
    k ^= k >> r;
    k *= m;
    h *= m;
    h ^= k;
    data += 4;
    len -= 4;
  }
  switch (len) {
    case 3: h ^= static_cast<uint32_t>(data[2]) << 16; [[fallthrough]];
    case 2: h ^= static_cast<uint32_t>(data[1]) << 8; [[fallthrough]];
    case 1: h ^= data[0]; h *= m;
  }
  h ^= h >> 13;
  h *= m;
  h ^= h >> 15;
  return h;
}

bool TUdevAnnouncer::Send(const std::string& action, const std::map<std::string, std::string>& properties) {
  if (FSocket < 0) return false;
  std::map<std::string, std::string> p = properties;
  p["ACTION"] = action;
  p["SEQNUM"] = std::to_string(++FSeqnum);
  using namespace std::chrono;
  p["USEC_INITIALIZED"] =
      std::to_string(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
  std::string body;
  for (const auto& kv : p) {
    body += kv.first + "=" + kv.second;
    body.push_back('\0');
  }
  TUdevHeader h;
  std::memset(&h, 0, sizeof h);
  std::memcpy(h.Prefix, "libudev", 8);
  h.Magic = htobe32(kUdevMagic);
  h.HeaderSize = sizeof h;
  h.PropertiesOff = sizeof h;
  h.PropertiesLen = static_cast<uint32_t>(body.size());
  h.SubsystemHash = htobe32(Hash(p["SUBSYSTEM"]));
  auto devtype = p.find("DEVTYPE");
  h.DevtypeHash = devtype == p.end() ? 0 : htobe32(Hash(devtype->second));
  iovec iov[2] = {{&h, sizeof h}, {body.data(), body.size()}};
  sockaddr_nl to;
  std::memset(&to, 0, sizeof to);
  to.nl_family = AF_NETLINK;
  to.nl_groups = kUdevGroup;
  msghdr msg;
  std::memset(&msg, 0, sizeof msg);
  msg.msg_name = &to;
  msg.msg_namelen = sizeof to;
  msg.msg_iov = iov;
  msg.msg_iovlen = 2;
  // ECONNREFUSED only says that nobody listens yet.
  return sendmsg(FSocket, &msg, 0) >= 0 || errno == ECONNREFUSED;
}

// ---- sysfs entries --------------------------------------------------------------

std::string TSysfsUsbHidDevice::HidName() const {
  std::string name = FId.Manufacturer;
  if (!FId.Product.empty()) name += (name.empty() ? "" : " ") + FId.Product;
  return name;
}

std::string TSysfsUsbHidDevice::HidPhys() const {
  return "usb-0000:00:14.0-" + std::to_string(FId.Port) + "/input0";
}

bool TSysfsUsbHidDevice::Create(int minor, std::string& error) {
  static int hidSeq = 0;  // the kernel numbers hid devices from its start
  static int devnum = 1;  // and USB addresses on the bus
  FMinor = minor;
  FHidSeq = ++hidSeq;
  FDevnum = ++devnum;
  const std::string port = "1-" + std::to_string(FId.Port);
  FUsb = std::string(kRootHub) + "/" + port;
  FIntf = FUsb + "/" + port + ":1.0";
  FHid = FIntf + "/0003:" + Hex4(FId.VendorID) + ":" + Hex4(FId.ProductID) + "." +
         Hex4(static_cast<unsigned>(FHidSeq));
  FHidraw = FHid + "/hidraw/hidraw" + std::to_string(minor);
  std::error_code ec;
  fs::create_directories(FHidraw, ec);
  if (ec) {
    error = "creating " + FHidraw + ": " + ec.message();
    return false;
  }
  const std::string product = UsbProduct(FId);
  const std::string hidId = "0003:0000" + Hex4(FId.VendorID) + ":0000" + Hex4(FId.ProductID);
  bool ok =
      // USB device
      Put(FUsb + "/uevent",
          Uevent({{"MAJOR", "189"},
                  {"MINOR", std::to_string(FDevnum - 1)},
                  {"DEVNAME", "bus/usb/001/" + Dec3(FDevnum)},
                  {"DEVTYPE", "usb_device"},
                  {"DRIVER", "usb"},
                  {"PRODUCT", product},
                  {"TYPE", "0/0/0"},
                  {"BUSNUM", "001"},
                  {"DEVNUM", Dec3(FDevnum)}}),
          error) &&
      Put(FUsb + "/idVendor", hex4(FId.VendorID) + "\n", error) &&
      Put(FUsb + "/idProduct", hex4(FId.ProductID) + "\n", error) &&
      Put(FUsb + "/bcdDevice", hex4(FId.BcdDevice) + "\n", error) &&
      Put(FUsb + "/manufacturer", FId.Manufacturer + "\n", error) &&
      Put(FUsb + "/product", FId.Product + "\n", error) &&
      (FId.Serial.empty() || Put(FUsb + "/serial", FId.Serial + "\n", error)) &&
      Put(FUsb + "/busnum", "1\n", error) && Put(FUsb + "/devnum", std::to_string(FDevnum) + "\n", error) &&
      Put(FUsb + "/bDeviceClass", "00\n", error) && Put(FUsb + "/speed", "12\n", error) &&
      Put(FUsb + "/bNumInterfaces", " 1\n", error) && Link("/sys/bus/usb", FUsb + "/subsystem", error) &&
      Link("/sys/bus/usb/drivers/usb", FUsb + "/driver", error) &&
      Link(FUsb, "/sys/bus/usb/devices/" + port, error) &&
      // USB interface
      Put(FIntf + "/uevent",
          Uevent({{"DEVTYPE", "usb_interface"},
                  {"DRIVER", "usbhid"},
                  {"PRODUCT", product},
                  {"TYPE", "0/0/0"},
                  {"INTERFACE", "3/0/0"},
                  {"MODALIAS", "usb:v" + Hex4(FId.VendorID) + "p" + Hex4(FId.ProductID) + "d" +
                                   Hex4(FId.BcdDevice) + "dc00dsc00dp00ic03isc00ip00in00"}}),
          error) &&
      Put(FIntf + "/bInterfaceNumber", "00\n", error) && Put(FIntf + "/bInterfaceClass", "03\n", error) &&
      Put(FIntf + "/bAlternateSetting", " 0\n", error) && Put(FIntf + "/bNumEndpoints", "02\n", error) &&
      Link("/sys/bus/usb", FIntf + "/subsystem", error) &&
      Link("/sys/bus/usb/drivers/usbhid", FIntf + "/driver", error) &&
      Link(FIntf, "/sys/bus/usb/devices/" + port + ":1.0", error) &&
      // hid device
      Put(FHid + "/uevent",
          Uevent({{"DRIVER", "hid-generic"},
                  {"HID_ID", hidId},
                  {"HID_NAME", HidName()},
                  {"HID_PHYS", HidPhys()},
                  {"HID_UNIQ", FId.Serial},
                  {"MODALIAS", "hid:b0003g0001v0000" + Hex4(FId.VendorID) + "p0000" + Hex4(FId.ProductID)}}),
          error) &&
      Put(FHid + "/report_descriptor", std::string(FId.ReportDescriptor.begin(), FId.ReportDescriptor.end()),
          error) &&
      Link("/sys/bus/hid", FHid + "/subsystem", error) &&
      Link("/sys/bus/hid/drivers/hid-generic", FHid + "/driver", error) &&
      Link(FHid, "/sys/bus/hid/devices/" + fs::path(FHid).filename().string(), error) &&
      // hidraw node
      Put(FHidraw + "/uevent",
          Uevent({{"MAJOR", std::to_string(kHidrawMajor)},
                  {"MINOR", std::to_string(minor)},
                  {"DEVNAME", "hidraw" + std::to_string(minor)}}),
          error) &&
      Put(FHidraw + "/dev", std::to_string(kHidrawMajor) + ":" + std::to_string(minor) + "\n", error) &&
      Link("/sys/class/hidraw", FHidraw + "/subsystem", error) && Link(FHid, FHidraw + "/device", error) &&
      Link(FHidraw, "/sys/class/hidraw/hidraw" + std::to_string(minor), error) &&
      Link(FHidraw, "/sys/dev/char/" + std::to_string(kHidrawMajor) + ":" + std::to_string(minor), error);
  FPresent = true;
  if (!ok) Remove();
  return ok;
}

void TSysfsUsbHidDevice::Remove() {
  if (!FPresent) return;
  FPresent = false;
  const std::string port = "1-" + std::to_string(FId.Port);
  std::error_code ec;
  for (const std::string& l : {"/sys/dev/char/" + std::to_string(kHidrawMajor) + ":" + std::to_string(FMinor),
                               "/sys/class/hidraw/hidraw" + std::to_string(FMinor),
                               "/sys/bus/hid/devices/" + fs::path(FHid).filename().string(),
                               "/sys/bus/usb/devices/" + port + ":1.0", "/sys/bus/usb/devices/" + port})
    fs::remove(l, ec);
  fs::remove_all(FUsb, ec);
}

bool TSysfsUsbHidDevice::Announce(TUdevAnnouncer& udev, bool add) {
  const std::string product = UsbProduct(FId);
  std::vector<std::map<std::string, std::string>> events = {
      {{"DEVPATH", DevPath(FUsb)},
       {"SUBSYSTEM", "usb"},
       {"DEVTYPE", "usb_device"},
       {"DRIVER", "usb"},
       {"DEVNAME", "/dev/bus/usb/001/" + Dec3(FDevnum)},
       {"MAJOR", "189"},
       {"MINOR", std::to_string(FDevnum - 1)},
       {"PRODUCT", product},
       {"TYPE", "0/0/0"},
       {"BUSNUM", "001"},
       {"DEVNUM", Dec3(FDevnum)},
       {"ID_VENDOR_ID", hex4(FId.VendorID)},
       {"ID_MODEL_ID", hex4(FId.ProductID)},
       {"ID_REVISION", hex4(FId.BcdDevice)}},
      {{"DEVPATH", DevPath(FIntf)},
       {"SUBSYSTEM", "usb"},
       {"DEVTYPE", "usb_interface"},
       {"DRIVER", "usbhid"},
       {"PRODUCT", product},
       {"TYPE", "0/0/0"},
       {"INTERFACE", "3/0/0"}},
      {{"DEVPATH", DevPath(FHid)},
       {"SUBSYSTEM", "hid"},
       {"DRIVER", "hid-generic"},
       {"HID_ID", "0003:0000" + Hex4(FId.VendorID) + ":0000" + Hex4(FId.ProductID)},
       {"HID_NAME", HidName()},
       {"HID_PHYS", HidPhys()},
       {"HID_UNIQ", FId.Serial}},
      {{"DEVPATH", DevPath(FHidraw)},
       {"SUBSYSTEM", "hidraw"},
       {"DEVNAME", DevNode()},
       {"MAJOR", std::to_string(kHidrawMajor)},
       {"MINOR", std::to_string(FMinor)}},
  };
  bool ok = true;
  if (add) {
    for (const auto& e : events) ok = udev.Send("add", e) && ok;
  } else {
    for (auto it = events.rbegin(); it != events.rend(); ++it) ok = udev.Send("remove", *it) && ok;
  }
  return ok;
}
