// Linux backend: hidraw nodes through hidapi, report lengths from the report
// descriptor in sysfs, change notices from a udev monitor on "hidraw".
//
// Identification (attributes, product string, capabilities) comes from the
// enumeration and sysfs: an open without access does not touch the node, so
// a terminal whose node refuses the user (no udev rule yet) is still listed
// and recognised, with ReadWriteAccess false; its opens with access fail
// with kHidErrorAccessDenied.
//
// Error codes: a read or flush that fails on an open node (the node vanished:
// ENODEV/EIO from read, POLLHUP/POLLERR/POLLNVAL from poll; hidapi reports
// them all as -1) gives kHidErrorDeviceNotConnected, as does an open of a
// node that is not there.
#include <fcntl.h>
#include <hidapi/hidapi.h>
#include <libudev.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <set>

#include "HidLinux.h"
#include "HidReportDescriptor.h"
#include "HidSystem.h"

namespace {

// hidapi keeps global state (its error text, its udev context): every call
// that is not on an open device goes through this lock.
std::mutex& HidapiMutex() {
  static std::mutex m;
  return m;
}

int gHidapiUsers = 0;

std::u16string WideToUtf16(const wchar_t* w) {
  std::u16string out;
  if (w == nullptr) return out;
  for (; *w != 0; ++w) {
    const auto cp = static_cast<uint32_t>(*w);
    if (cp >= 0x10000 && cp <= 0x10FFFF) {
      out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char16_t>(cp));
    } else {
      out.push_back(u'\uFFFD');
    }
  }
  return out;
}

// Stable 32-bit numbers for sysfs paths, for the life of the process.
uint32_t InstanceOf(const std::string& syspath) {
  static std::mutex m;
  static std::map<std::string, uint32_t> table;
  static uint32_t next = 1;
  std::lock_guard<std::mutex> lock(m);
  auto it = table.find(syspath);
  if (it != table.end()) return it->second;
  table.emplace(syspath, next);
  return next++;
}

struct TNodeInfo {
  std::string SysPath;
  uint16_t VendorID = 0;
  uint16_t ProductID = 0;
  uint16_t Release = 0;
  std::u16string Product;
  std::string Manufacturer;
};

std::string BaseName(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The sysfs path of a hidraw node and its report descriptor.
bool SysInfo(udev* u, const std::string& devnode, std::string& syspath, std::vector<uint8_t>* descriptor) {
  if (u == nullptr) return false;
  udev_device* dev = udev_device_new_from_subsystem_sysname(u, "hidraw", BaseName(devnode).c_str());
  if (dev == nullptr) return false;
  const char* sp = udev_device_get_syspath(dev);
  syspath = sp ? sp : "";
  bool ok = !syspath.empty();
  if (ok && descriptor) {
    descriptor->clear();
    udev_device* hid = udev_device_get_parent_with_subsystem_devtype(dev, "hid", nullptr);
    const char* hp = hid ? udev_device_get_syspath(hid) : nullptr;
    if (hp != nullptr) {
      std::ifstream f(std::string(hp) + "/report_descriptor", std::ios::binary);
      if (f) {
        // The kernel caps descriptors at 4096 bytes; read no more than that.
        std::vector<char> buf(4096);
        f.read(buf.data(), static_cast<std::streamsize>(buf.size()));
        descriptor->assign(buf.begin(), buf.begin() + f.gcount());
      }
    }
  }
  udev_device_unref(dev);
  return ok;
}

class TLinuxHandle : public IHidHandle {
 public:
  TLinuxHandle(hid_device* dev, EHidAccess access, TNodeInfo info,
               std::shared_ptr<const THidPreparsedData> pre)
      : FDev(dev), FAccess(access), FInfo(std::move(info)), FPre(std::move(pre)) {}
  ~TLinuxHandle() override {
    if (FDev) hid_close(FDev);
  }

  EHidAccess Access() const override { return FAccess; }

  bool GetAttributes(THidAttributes& out) override {
    out.Size = 12;
    out.VendorID = FInfo.VendorID;
    out.ProductID = FInfo.ProductID;
    out.VersionNumber = FInfo.Release;
    return true;
  }

  bool GetProductString(std::u16string& out) override {
    if (FDev) {
      wchar_t buf[256] = {};
      if (hid_get_product_string(FDev, buf, 255) == 0) {
        out = WideToUtf16(buf);
        return true;
      }
    }
    out = FInfo.Product;
    return !out.empty();
  }

  std::shared_ptr<const THidPreparsedData> GetPreparsedData() override { return FPre; }
  bool SetNumInputBuffers(int32_t) override { return false; }
  bool GetNumInputBuffers(int32_t&) override { return false; }

  // Reads what waits on this handle without waiting; true once nothing is
  // left. A read that fails (the node vanished) fails the flush.
  bool Flush() override {
    if (!FDev || FAccess != EHidAccess::ReadWrite) return false;
    uint8_t buf[4096];
    for (int i = 0; i < 4096; ++i) {
      const int n = hid_read_timeout(FDev, buf, sizeof(buf), 0);
      if (n == 0) return true;  // nothing waiting
      if (n < 0) return false;
    }
    return true;  // still more: the device keeps sending
  }

  bool Write(const uint8_t* data, std::size_t length, std::size_t& written) override {
    written = 0;
    if (!FDev || FAccess != EHidAccess::ReadWrite || data == nullptr || length == 0) return false;
    const int n = hid_write(FDev, data, length);
    if (n < 0) return false;
    written = static_cast<std::size_t>(n);
    return true;
  }

  // hidapi cannot interrupt a read in progress: a cancel ends the read when
  // its slice is over (or at once when it comes first). Every failure of an
  // open node means that it vanished: kHidErrorDeviceNotConnected.
  THidReadResult Read(uint8_t* buffer, std::size_t length, int32_t timeoutMs) override {
    THidReadResult r;
    if (!FDev || FAccess == EHidAccess::None) {
      r.Error = kHidErrorInvalidHandle;
      return r;
    }
    if (FCancel.exchange(false)) {
      r.Status = EHidReadStatus::Cancelled;
      r.Error = kHidErrorOperationAborted;
      return r;
    }
    if (buffer == nullptr || length == 0) {
      r.Error = kHidErrorInvalidHandle;
      return r;
    }
    const bool ids = FPre && FPre->UsesReportIds;
    uint8_t* dst = ids ? buffer : buffer + 1;
    const std::size_t room = ids ? length : length - 1;
    int n = room > 0 ? hid_read_timeout(FDev, dst, room, timeoutMs) : 0;
    if (FCancel.exchange(false)) {
      r.Status = EHidReadStatus::Cancelled;
      r.Error = kHidErrorOperationAborted;
      return r;
    }
    if (n < 0) {
      r.Error = kHidErrorDeviceNotConnected;
      return r;
    }
    if (n == 0) {
      r.Status = EHidReadStatus::TimedOut;
      return r;
    }
    if (!ids) {
      buffer[0] = 0;  // no report IDs: report 0 in front
      ++n;
    }
    r.Status = EHidReadStatus::Completed;
    r.Bytes = static_cast<std::size_t>(n);
    return r;
  }

  void CancelRead() override { FCancel.store(true); }

 private:
  hid_device* FDev;
  EHidAccess FAccess;
  TNodeInfo FInfo;
  std::shared_ptr<const THidPreparsedData> FPre;
  std::atomic<bool> FCancel{false};
};

class TLinuxHidPlatform : public IHidPlatform, public IHidChangeSource {
 public:
  TLinuxHidPlatform() {
    {
      std::lock_guard<std::mutex> lock(HidapiMutex());
      if (gHidapiUsers++ == 0) hid_init();
    }
    FUdev = udev_new();
    if (FUdev) {
      FMonitor = udev_monitor_new_from_netlink(FUdev, "udev");
      if (FMonitor && (udev_monitor_filter_add_match_subsystem_devtype(FMonitor, "hidraw", nullptr) < 0 ||
                       udev_monitor_enable_receiving(FMonitor) < 0)) {
        udev_monitor_unref(FMonitor);
        FMonitor = nullptr;
      }
    }
  }

  ~TLinuxHidPlatform() override {
    if (FMonitor) udev_monitor_unref(FMonitor);
    if (FUdev) udev_unref(FUdev);
    std::lock_guard<std::mutex> lock(HidapiMutex());
    if (--gHidapiUsers == 0) hid_exit();
  }

  bool ListInterfaces(std::vector<THidInterfaceEntry>& out) override {
    out.clear();
    std::map<std::string, TNodeInfo> infos;
    std::lock_guard<std::mutex> lock(HidapiMutex());
    hid_device_info* list = hid_enumerate(0, 0);
    std::set<std::string> seen;
    for (hid_device_info* i = list; i != nullptr; i = i->next) {
      if (i->path == nullptr || !seen.insert(i->path).second) continue;  // one entry per node
      TNodeInfo info;
      if (!SysInfo(FUdev, i->path, info.SysPath, nullptr)) continue;
      info.VendorID = i->vendor_id;
      info.ProductID = i->product_id;
      info.Release = i->release_number;
      info.Product = WideToUtf16(i->product_string);
      const std::u16string mfg = WideToUtf16(i->manufacturer_string);
      info.Manufacturer = HidUtf16ToUtf8(mfg);
      THidInterfaceEntry e;
      e.DeviceInstance = InstanceOf(info.SysPath);
      e.InterfacePath = i->path;
      e.Manufacturer = info.Manufacturer;
      e.Description = HidUtf16ToUtf8(info.Product);
      e.HardwareId = info.SysPath;
      out.push_back(e);
      infos[i->path] = info;
    }
    hid_free_enumeration(list);
    std::lock_guard<std::mutex> ilock(FInfoMutex);
    FInfos = std::move(infos);
    return true;
  }

  std::shared_ptr<IHidHandle> Open(const std::string& path, EHidAccess access, uint32_t* error) override {
    auto fail = [&](uint32_t e) -> std::shared_ptr<IHidHandle> {
      if (error) *error = e;
      return nullptr;
    };
    TNodeInfo info;
    {
      std::lock_guard<std::mutex> ilock(FInfoMutex);
      auto it = FInfos.find(path);
      if (it == FInfos.end()) return fail(kHidErrorDeviceNotConnected);
      info = it->second;
    }
    std::string syspath;
    std::vector<uint8_t> descriptor;
    {
      std::lock_guard<std::mutex> lock(HidapiMutex());
      if (!SysInfo(FUdev, path, syspath, &descriptor) || syspath != info.SysPath)
        return fail(kHidErrorDeviceNotConnected);  // gone, or another device on that node now
    }
    std::shared_ptr<THidPreparsedData> pre;
    THidReportLengths lengths;
    if (ParseHidReportDescriptor(descriptor.data(), descriptor.size(), lengths)) {
      pre = std::make_shared<THidPreparsedData>();
      pre->Caps = HidCapsFromLengths(lengths);
      pre->UsesReportIds = lengths.UsesReportIds;
      pre->ReportDescriptor = descriptor;
    }
    if (access == EHidAccess::None) {
      if (::access(path.c_str(), F_OK) != 0) return fail(kHidErrorDeviceNotConnected);
      return std::make_shared<TLinuxHandle>(nullptr, access, info, pre);
    }
    hid_device* dev;
    {
      std::lock_guard<std::mutex> lock(HidapiMutex());
      dev = hid_open_path(path.c_str());
    }
    if (dev == nullptr) {
      // hidapi keeps no errno: ask the node itself why.
      const uint32_t why = HidLinuxOpenError(path);
      return fail(why == kHidErrorAccessDenied ? why : kHidErrorDeviceNotConnected);
    }
    hid_set_nonblocking(dev, 0);
    return std::make_shared<TLinuxHandle>(dev, access, info, pre);
  }

  IHidChangeSource* ChangeSource() override { return this; }

  void SetListener(TListener) override {}  // notices come through the descriptor

  int NoticeFd() const override { return FMonitor ? udev_monitor_get_fd(FMonitor) : -1; }

  int ConsumeNotices() override {
    if (!FMonitor) return 0;
    int n = 0;
    // The monitor's socket is non-blocking: this takes what is waiting.
    for (;;) {
      udev_device* d = udev_monitor_receive_device(FMonitor);
      if (d == nullptr) break;
      const char* action = udev_device_get_action(d);
      if (action && (std::strcmp(action, "add") == 0 || std::strcmp(action, "remove") == 0)) ++n;
      udev_device_unref(d);
    }
    return n;
  }

 private:
  udev* FUdev = nullptr;
  udev_monitor* FMonitor = nullptr;
  std::mutex FInfoMutex;
  std::map<std::string, TNodeInfo> FInfos;
};

}  // namespace

uint32_t HidLinuxOpenError(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd >= 0) {
    ::close(fd);
    return kHidErrorNone;
  }
  return errno == EACCES || errno == EPERM || errno == EROFS ? kHidErrorAccessDenied
                                                             : kHidErrorDeviceNotConnected;
}

std::shared_ptr<IHidPlatform> CreateSystemHidPlatform() { return std::make_shared<TLinuxHidPlatform>(); }
