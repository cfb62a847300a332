// Windows backend (see HidWindows.h).
#ifdef _WIN32

#include "HidWindows.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <vector>

#include "HidSystem.h"

static_assert(sizeof(char16_t) == sizeof(WCHAR), "product strings are UTF-16");

namespace {

// The attributes record as the HID service fills it.
struct TWinHidAttributes {
  ULONG Size;
  USHORT VendorID;
  USHORT ProductID;
  USHORT VersionNumber;
};
static_assert(sizeof(TWinHidAttributes) == 12, "the attributes record is 12 bytes");

// Buffer sizes of the device-setup and HID services.
constexpr DWORD kPropertyTextChars = 257;
constexpr DWORD kPropertyListBytes = 16384;
constexpr ULONG kProductStringBytes = 508;  // 254 UTF-16 characters
// Larger detail records than this are not interface details.
constexpr DWORD kMaxDetailBytes = 32768;
// A snapshot never holds more interfaces than this.
constexpr DWORD kMaxInterfaces = 4096;

template <typename T>
bool Lookup(HMODULE m, const char* name, T& fn) {
  FARPROC p = m ? GetProcAddress(m, name) : nullptr;
  // The usual way of turning a looked-up address into a typed entry point.
  fn = reinterpret_cast<T>(reinterpret_cast<void*>(p));
  return p != nullptr;
}

uint32_t OpenError(DWORD e) {
  switch (e) {
    case ERROR_SUCCESS:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEV_NOT_EXIST:
    case 433:  // ERROR_NO_SUCH_DEVICE
      return kHidErrorDeviceNotConnected;
    default:
      return static_cast<uint32_t>(e);
  }
}

// Characters of a text up to its first NUL within `size` bytes; false when
// there is no NUL inside the buffer.
bool BoundedText(const char* p, std::size_t size, std::string& out) {
  const void* nul = std::memchr(p, 0, size);
  if (nul == nullptr) return false;
  out.assign(p, static_cast<const char*>(nul) - p);
  return true;
}

VOID CALLBACK ReadDone(DWORD, DWORD, LPOVERLAPPED) {}

// One overlapped read and its buffer. Lives on the heap so that a read the
// system never gives back can be left to it rather than freed under it.
struct TPendingRead {
  OVERLAPPED Overlap;
  std::vector<uint8_t> Buffer;
  DWORD Thread = 0;  // the thread that started it: its completion goes there
};

class TWinHandle : public IHidHandle {
 public:
  TWinHandle(std::shared_ptr<const THidWinServices> services, HANDLE h, EHidAccess access)
      : FServices(std::move(services)), FHandle(h), FAccess(access) {}

  ~TWinHandle() override {
    Settle();
    CloseHandle(FHandle);
  }

  EHidAccess Access() const override { return FAccess; }

  bool GetAttributes(THidAttributes& out) override {
    TWinHidAttributes a{};
    a.Size = sizeof a;
    if (!Api().HidD_GetAttributes(FHandle, &a)) return false;
    out.Size = 12;
    out.VendorID = a.VendorID;
    out.ProductID = a.ProductID;
    out.VersionNumber = a.VersionNumber;
    return true;
  }

  // The characters up to the first NUL; a string that fills the whole
  // buffer without one is taken as its 254 characters.
  bool GetProductString(std::u16string& out) override {
    WCHAR buf[kProductStringBytes / sizeof(WCHAR)] = {};
    if (!Api().HidD_GetProductString(FHandle, buf, kProductStringBytes)) return false;
    std::size_t n = 0;
    while (n < sizeof buf / sizeof buf[0] && buf[n] != 0) ++n;
    out.assign(reinterpret_cast<const char16_t*>(buf), n);
    return true;
  }

  std::shared_ptr<const THidPreparsedData> GetPreparsedData() override {
    void* pp = nullptr;
    if (!Api().HidD_GetPreparsedData(FHandle, &pp) || pp == nullptr) return nullptr;
    THidCaps caps{};
    const LONG status = Api().HidP_GetCaps(pp, &caps);
    Api().HidD_FreePreparsedData(pp);
    if (status != kHidPStatusSuccess) return nullptr;
    auto p = std::make_shared<THidPreparsedData>();
    p->Caps = caps;
    // Reads always carry the report ID in front (0 without report IDs).
    return p;
  }

  bool SetNumInputBuffers(int32_t count) override {
    return count > 0 && Api().HidD_SetNumInputBuffers(FHandle, static_cast<ULONG>(count));
  }

  bool GetNumInputBuffers(int32_t& count) override {
    ULONG n = 0;
    if (!Api().HidD_GetNumInputBuffers(FHandle, &n)) return false;
    count = static_cast<int32_t>(std::min<ULONG>(n, 0x7FFFFFFF));
    return true;
  }

  bool Flush() override { return FAccess != EHidAccess::None && Api().HidD_FlushQueue(FHandle); }

  bool Write(const uint8_t* data, std::size_t length, std::size_t& written) override {
    written = 0;
    if (FAccess != EHidAccess::ReadWrite || data == nullptr || length == 0 || length > 0xFFFFFFFFu)
      return false;
    DWORD n = 0;
    if (!WriteFile(FHandle, data, static_cast<DWORD>(length), &n, nullptr)) return false;
    written = n;
    return true;
  }

  THidReadResult Read(uint8_t* buffer, std::size_t length, int32_t timeoutMs) override {
    THidReadResult r;
    if (FAccess != EHidAccess::Read) {
      r.Error = kHidErrorInvalidHandle;  // only the overlapped handle reads
      return r;
    }
    if (FCancel.exchange(false)) {
      Settle();
      return Cancelled(r);
    }
    if (buffer == nullptr || length == 0 || length > 0xFFFFFFFFu) {
      r.Error = ERROR_INVALID_USER_BUFFER;
      return r;
    }
    if (!FPending.load()) {
      // Reads take whole reports: the buffer holds at least one.
      if (FInputLength < 0) {
        auto p = GetPreparsedData();
        FInputLength = p ? p->Caps.InputReportByteLength : 0;
      }
      if (!FRead) FRead.reset(new TPendingRead());
      FRead->Buffer.assign(std::max<std::size_t>(length, static_cast<std::size_t>(FInputLength)), 0);
      std::memset(&FRead->Overlap, 0, sizeof FRead->Overlap);
      FRead->Thread = GetCurrentThreadId();
      if (!ReadFileEx(FHandle, FRead->Buffer.data(), static_cast<DWORD>(FRead->Buffer.size()), &FRead->Overlap,
                      ReadDone)) {
        r.Error = static_cast<uint32_t>(GetLastError());
        if (r.Error == kHidErrorNone) r.Error = kHidErrorDeviceNotConnected;
        return r;
      }
      FPending.store(true);
      // A cancel that came while the read was being started.
      if (FCancel.load()) CancelIoEx(FHandle, &FRead->Overlap);
    }

    // Alertable waits: the completion is delivered to the thread that started
    // the read, which wakes at once. Another thread looks in short slices.
    const bool own = FRead->Thread == GetCurrentThreadId();
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(std::max<int32_t>(timeoutMs, 0));
    while (!HasOverlappedIoCompleted(&FRead->Overlap)) {
      const ULONGLONG now = GetTickCount64();
      if (now >= deadline) {
        if (FCancel.load()) {
          SleepEx(1, TRUE);  // the cancelled read completes shortly
          continue;
        }
        r.Status = EHidReadStatus::TimedOut;
        return r;
      }
      const DWORD left = static_cast<DWORD>(deadline - now);
      SleepEx(own ? left : std::min<DWORD>(left, 5), TRUE);
    }

    DWORD n = 0;
    const BOOL ok = GetOverlappedResult(FHandle, &FRead->Overlap, &n, FALSE);
    const DWORD err = ok ? ERROR_SUCCESS : GetLastError();
    FPending.store(false);
    if (FCancel.exchange(false) || (!ok && err == ERROR_OPERATION_ABORTED)) return Cancelled(r);
    if (!ok) {
      r.Error = err == ERROR_SUCCESS ? kHidErrorDeviceNotConnected : static_cast<uint32_t>(err);
      return r;
    }
    const std::size_t got = std::min<std::size_t>({static_cast<std::size_t>(n), length, FRead->Buffer.size()});
    std::memcpy(buffer, FRead->Buffer.data(), got);
    r.Status = EHidReadStatus::Completed;
    r.Bytes = got;
    return r;
  }

  void CancelRead() override {
    FCancel.store(true);
    if (FPending.load()) CancelIoEx(FHandle, &FRead->Overlap);
  }

 private:
  const THidWinApi& Api() const { return FServices->Api(); }

  // Cancels the pending read, if any, and waits until it has completed: the
  // system writes into its buffer until then.
  void Settle() {
    if (!FPending.load()) return;
    CancelIoEx(FHandle, &FRead->Overlap);
    for (int i = 0; i < 5000 && !HasOverlappedIoCompleted(&FRead->Overlap); ++i) SleepEx(1, TRUE);
    if (!HasOverlappedIoCompleted(&FRead->Overlap)) (void)FRead.release();  // left to the system
    FPending.store(false);
  }

  THidReadResult& Cancelled(THidReadResult& r) {
    r.Status = EHidReadStatus::Cancelled;
    r.Error = kHidErrorOperationAborted;
    return r;
  }

  std::shared_ptr<const THidWinServices> FServices;
  HANDLE FHandle;
  EHidAccess FAccess;
  // Read state: touched by the reading thread; CancelRead only looks at
  // FPending and the overlap's address, which stays put while a read pends.
  std::unique_ptr<TPendingRead> FRead;
  std::atomic<bool> FPending{false};
  std::atomic<bool> FCancel{false};
  int32_t FInputLength = -1;  // not asked yet
};

class TWinHidPlatform : public IHidPlatform {
 public:
  explicit TWinHidPlatform(std::shared_ptr<const THidWinServices> s) : FServices(std::move(s)) {}

  bool GetHidGuid(THidGuid& out) const override {
    if (!FServices->Bound()) return false;
    GUID g{};
    FServices->Api().HidD_GetHidGuid(&g);
    out.D1 = g.Data1;
    out.D2 = g.Data2;
    out.D3 = g.Data3;
    std::memcpy(out.D4, g.Data4, sizeof out.D4);
    return true;
  }

  bool ListInterfaces(std::vector<THidInterfaceEntry>& out) override {
    out.clear();
    if (!FServices->Bound()) return false;
    const THidWinApi& api = FServices->Api();
    GUID g{};
    api.HidD_GetHidGuid(&g);
    HDEVINFO set = api.SetupDiGetClassDevsA(&g, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE || set == nullptr) return false;
    for (DWORD i = 0; i < kMaxInterfaces; ++i) {
      SP_DEVICE_INTERFACE_DATA ifd{};
      ifd.cbSize = sizeof ifd;
      if (!api.SetupDiEnumDeviceInterfaces(set, nullptr, &g, i, &ifd)) break;
      THidInterfaceEntry e;
      SP_DEVINFO_DATA node{};
      if (!ReadDetail(api, set, ifd, e, node)) continue;  // skipped
      e.Description = TextProperty(api, set, node, SPDRP_DEVICEDESC);
      e.Manufacturer = TextProperty(api, set, node, SPDRP_MFG);
      e.HardwareId = FirstOfList(api, set, node, SPDRP_HARDWAREID);
      out.push_back(std::move(e));
    }
    api.SetupDiDestroyDeviceInfoList(set);
    return true;
  }

  std::shared_ptr<IHidHandle> Open(const std::string& path, EHidAccess access, uint32_t* error) override {
    auto fail = [&](uint32_t e) -> std::shared_ptr<IHidHandle> {
      if (error) *error = e;
      return nullptr;
    };
    if (!FServices->Bound() || path.empty() || path.find('\0') != std::string::npos)
      return fail(kHidErrorDeviceNotConnected);
    DWORD desired = 0;
    DWORD flags = 0;
    switch (access) {
      case EHidAccess::None: break;
      case EHidAccess::Read:
        desired = GENERIC_READ;
        flags = FILE_FLAG_OVERLAPPED;
        break;
      case EHidAccess::ReadWrite: desired = GENERIC_READ | GENERIC_WRITE; break;
    }
    HANDLE h = CreateFileA(path.c_str(), desired, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) return fail(OpenError(GetLastError()));
    return std::make_shared<TWinHandle>(FServices, h, access);
  }

  IHidChangeSource* ChangeSource() override { return nullptr; }

 private:
  // The interface's path and its device node. The size query must fail with
  // ERROR_INSUFFICIENT_BUFFER and a size that can hold a record; the path
  // must end inside the buffer.
  static bool ReadDetail(const THidWinApi& api, HDEVINFO set, SP_DEVICE_INTERFACE_DATA& ifd,
                         THidInterfaceEntry& e, SP_DEVINFO_DATA& node) {
    constexpr DWORD header = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    DWORD required = 0;
    SetLastError(ERROR_SUCCESS);
    if (api.SetupDiGetDeviceInterfaceDetailA(set, &ifd, nullptr, 0, &required, nullptr)) return false;
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || required <= header || required > kMaxDetailBytes)
      return false;
    // Zero-filled, and never shorter than the record the size field names.
    std::vector<unsigned char> buf(std::max<std::size_t>(required, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)), 0);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buf.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    node = SP_DEVINFO_DATA{};
    node.cbSize = sizeof node;
    DWORD again = 0;
    if (!api.SetupDiGetDeviceInterfaceDetailA(set, &ifd, detail, required, &again, &node)) return false;
    std::string path;
    if (!BoundedText(reinterpret_cast<const char*>(buf.data()) + header, required - header, path) || path.empty())
      return false;
    e.InterfacePath = std::move(path);
    e.DeviceInstance = node.DevInst;
    return true;
  }

  static std::string TextProperty(const THidWinApi& api, HDEVINFO set, SP_DEVINFO_DATA& node, DWORD property) {
    char buf[kPropertyTextChars] = {};
    DWORD type = 0;
    DWORD size = 0;
    if (!api.SetupDiGetDeviceRegistryPropertyA(set, &node, property, &type, reinterpret_cast<PBYTE>(buf),
                                               sizeof buf, &size))
      return {};
    // Up to the first NUL within what was filled in, at most 256 characters.
    const std::size_t filled = std::min<std::size_t>(size, sizeof buf);
    const void* nul = std::memchr(buf, 0, filled);
    const std::size_t n = nul ? static_cast<const char*>(nul) - buf : filled;
    return std::string(buf, std::min<std::size_t>(n, sizeof buf - 1));
  }

  // The first string of a NUL-separated list.
  static std::string FirstOfList(const THidWinApi& api, HDEVINFO set, SP_DEVINFO_DATA& node, DWORD property) {
    std::vector<char> buf(kPropertyListBytes + 1, 0);  // the last byte is never handed over
    DWORD type = 0;
    DWORD size = 0;
    if (!api.SetupDiGetDeviceRegistryPropertyA(set, &node, property, &type, reinterpret_cast<PBYTE>(buf.data()),
                                               kPropertyListBytes, &size))
      return {};
    std::string s;
    BoundedText(buf.data(), buf.size(), s);
    return s;
  }

  std::shared_ptr<const THidWinServices> FServices;
};

}  // namespace

bool THidWinApi::SetupComplete() const {
  return SetupDiGetClassDevsA && SetupDiEnumDeviceInterfaces && SetupDiGetDeviceInterfaceDetailA &&
         SetupDiGetDeviceRegistryPropertyA && SetupDiDestroyDeviceInfoList;
}

bool THidWinApi::HidComplete() const {
  return HidD_GetHidGuid && HidD_GetAttributes && HidD_GetProductString && HidD_GetPreparsedData &&
         HidD_FreePreparsedData && HidP_GetCaps && HidD_FlushQueue && HidD_SetNumInputBuffers &&
         HidD_GetNumInputBuffers;
}

std::shared_ptr<const THidWinServices> THidWinServices::Bind(const char* setupModule, const char* hidModule) {
  std::shared_ptr<THidWinServices> s(new THidWinServices());
  THidWinApi& a = s->FApi;
  s->FSetup = LoadLibraryA(setupModule);
  bool ok = s->FSetup != nullptr;
  ok = Lookup(s->FSetup, "SetupDiGetClassDevsA", a.SetupDiGetClassDevsA) && ok;
  ok = Lookup(s->FSetup, "SetupDiEnumDeviceInterfaces", a.SetupDiEnumDeviceInterfaces) && ok;
  ok = Lookup(s->FSetup, "SetupDiGetDeviceInterfaceDetailA", a.SetupDiGetDeviceInterfaceDetailA) && ok;
  ok = Lookup(s->FSetup, "SetupDiGetDeviceRegistryPropertyA", a.SetupDiGetDeviceRegistryPropertyA) && ok;
  ok = Lookup(s->FSetup, "SetupDiDestroyDeviceInfoList", a.SetupDiDestroyDeviceInfoList) && ok;
  if (ok) {
    // Only with the device-setup service complete is the HID service bound.
    s->FHid = LoadLibraryA(hidModule);
    ok = s->FHid != nullptr;
    ok = Lookup(s->FHid, "HidD_GetHidGuid", a.HidD_GetHidGuid) && ok;
    ok = Lookup(s->FHid, "HidD_GetAttributes", a.HidD_GetAttributes) && ok;
    ok = Lookup(s->FHid, "HidD_GetProductString", a.HidD_GetProductString) && ok;
    ok = Lookup(s->FHid, "HidD_GetPreparsedData", a.HidD_GetPreparsedData) && ok;
    ok = Lookup(s->FHid, "HidD_FreePreparsedData", a.HidD_FreePreparsedData) && ok;
    ok = Lookup(s->FHid, "HidP_GetCaps", a.HidP_GetCaps) && ok;
    ok = Lookup(s->FHid, "HidD_FlushQueue", a.HidD_FlushQueue) && ok;
    ok = Lookup(s->FHid, "HidD_SetNumInputBuffers", a.HidD_SetNumInputBuffers) && ok;
    ok = Lookup(s->FHid, "HidD_GetNumInputBuffers", a.HidD_GetNumInputBuffers) && ok;
  }
  if (!ok) {
    // All entry points or none.
    if (s->FHid) FreeLibrary(s->FHid);
    if (s->FSetup) FreeLibrary(s->FSetup);
    s->FHid = s->FSetup = nullptr;
    s->FApi = THidWinApi{};
  }
  s->FBound = ok;
  return s;
}

std::shared_ptr<const THidWinServices> THidWinServices::FromTable(const THidWinApi& api) {
  std::shared_ptr<THidWinServices> s(new THidWinServices());
  s->FBound = api.Complete();
  if (s->FBound) s->FApi = api;
  return s;
}

THidWinServices::~THidWinServices() {
  if (FHid) FreeLibrary(FHid);
  if (FSetup) FreeLibrary(FSetup);
}

std::shared_ptr<IHidPlatform> CreateWindowsHidPlatform(std::shared_ptr<const THidWinServices> services) {
  if (!services) services = THidWinServices::Bind();
  return std::make_shared<TWinHidPlatform>(std::move(services));
}

bool IsDevNodesChangedMessage(UINT message, WPARAM wParam) {
  return message == 0x0219 /* WM_DEVICECHANGE */ && wParam == 0x0007 /* DBT_DEVNODES_CHANGED */;
}

std::shared_ptr<IHidPlatform> CreateSystemHidPlatform() { return CreateWindowsHidPlatform(); }

#endif  // _WIN32
