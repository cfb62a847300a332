// The Windows backend. Part of it runs on the system's own services (under
// Wine: whatever HID devices Wine offers, possibly none); the rest runs on
// scripted device-setup and HID entry points over real files and pipes, so
// that malformed answers and the overlapped reads can be driven exactly.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "HidSystem.h"
#include "HidWindows.h"
#include "hid.h"

namespace {

using namespace std::chrono;

// ---------------------------------------------------------------------------
// Scripted services

struct TScriptedInterface {
  BOOL SizeQueryResult = FALSE;
  DWORD SizeQueryError = ERROR_INSUFFICIENT_BUFFER;
  DWORD Required = 0;     // 0: header + path + NUL
  std::string PathBytes;  // written after the size field, as is (no NUL added)
  bool Terminate = true;  // append a NUL to PathBytes
  bool DetailFails = false;
  DWORD DevInst = 0;
};

struct TScript {
  bool SnapshotFails = false;
  std::vector<TScriptedInterface> Interfaces;
  int Snapshots = 0;
  int Destroyed = 0;
  // What the backend handed over.
  std::vector<DWORD> DetailCbSizes;
  bool DetailOverrun = false;
  // HID side.
  bool AttributesFail = false;
  USHORT Vid = 0x1072, Pid = 0x0003, Version = 0x0004;
  std::vector<WCHAR> Product;  // copied into the buffer as is, up to its length
  bool ProductFillsBuffer = false;
  ULONG ProductLength = 0;
  USHORT InputLength = 65, OutputLength = 65;
  int Flushes = 0;
};
TScript gScript;
HDEVINFO const kSet = reinterpret_cast<HDEVINFO>(static_cast<intptr_t>(0x5E7));
constexpr DWORD kHeader = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);

HDEVINFO WINAPI FakeGetClassDevs(const GUID*, PCSTR, HWND, DWORD flags) {
  EXPECT_EQ(static_cast<DWORD>(0x12), flags);
  if (gScript.SnapshotFails) return INVALID_HANDLE_VALUE;
  ++gScript.Snapshots;
  return kSet;
}
BOOL WINAPI FakeEnumInterfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID*, DWORD index,
                               PSP_DEVICE_INTERFACE_DATA data) {
  EXPECT_EQ(kSet, set);
  if (index >= gScript.Interfaces.size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  EXPECT_EQ(sizeof(SP_DEVICE_INTERFACE_DATA), data->cbSize);
  data->Reserved = index;
  return TRUE;
}
BOOL WINAPI FakeGetDetail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA data, PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                          DWORD size, PDWORD required, PSP_DEVINFO_DATA node) {
  const TScriptedInterface& i = gScript.Interfaces.at(data->Reserved);
  const std::string bytes = i.PathBytes + (i.Terminate ? std::string(1, '\0') : std::string());
  const DWORD need = i.Required ? i.Required : kHeader + static_cast<DWORD>(bytes.size());
  if (detail == nullptr) {
    EXPECT_EQ(0u, size);
    if (required) *required = need;
    SetLastError(i.SizeQueryError);
    return i.SizeQueryResult;
  }
  gScript.DetailCbSizes.push_back(detail->cbSize);
  if (i.DetailFails) {
    SetLastError(ERROR_DEV_NOT_EXIST);
    return FALSE;
  }
  if (size < need) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  // Fills exactly the buffer it was given: the path, then (when the script
  // says so) nothing that ends it.
  char* out = reinterpret_cast<char*>(detail) + kHeader;
  const std::size_t room = size - kHeader;
  std::memcpy(out, bytes.data(), std::min(room, bytes.size()));
  if (bytes.size() > room) gScript.DetailOverrun = true;
  if (node) {
    EXPECT_EQ(sizeof(SP_DEVINFO_DATA), node->cbSize);
    node->DevInst = i.DevInst;
  }
  return TRUE;
}
BOOL WINAPI FakeGetProperty(HDEVINFO, PSP_DEVINFO_DATA, DWORD property, PDWORD, PBYTE buf, DWORD size,
                            PDWORD required) {
  // A description that fills its buffer without a terminator.
  if (property != SPDRP_DEVICEDESC) return FALSE;
  std::memset(buf, 'D', size);
  if (required) *required = size;
  return TRUE;
}
BOOL WINAPI FakeDestroy(HDEVINFO set) {
  EXPECT_EQ(kSet, set);
  ++gScript.Destroyed;
  return TRUE;
}
void WINAPI FakeGetHidGuid(GUID* g) {
  g->Data1 = kHidInterfaceClassGuid.D1;
  g->Data2 = kHidInterfaceClassGuid.D2;
  g->Data3 = kHidInterfaceClassGuid.D3;
  std::memcpy(g->Data4, kHidInterfaceClassGuid.D4, sizeof g->Data4);
}
BOOLEAN WINAPI FakeGetAttributes(HANDLE, void* a) {
  if (gScript.AttributesFail) return FALSE;
  auto* p = static_cast<unsigned char*>(a);
  ULONG size;
  std::memcpy(&size, p, 4);
  EXPECT_EQ(12u, size);
  std::memcpy(p + 4, &gScript.Vid, 2);
  std::memcpy(p + 6, &gScript.Pid, 2);
  std::memcpy(p + 8, &gScript.Version, 2);
  return TRUE;
}
BOOLEAN WINAPI FakeGetProduct(HANDLE, void* buf, ULONG length) {
  gScript.ProductLength = length;
  if (gScript.ProductFillsBuffer) {
    auto* w = static_cast<WCHAR*>(buf);
    for (ULONG i = 0; i < length / sizeof(WCHAR); ++i) w[i] = L'A';
    return TRUE;
  }
  std::memcpy(buf, gScript.Product.data(),
              std::min<std::size_t>(length, gScript.Product.size() * sizeof(WCHAR)));
  return TRUE;
}
int gPreparsedToken;
LONG WINAPI FakeGetCaps(void* p, void* caps) {
  if (p != &gPreparsedToken) return 0;
  THidCaps c{};
  c.InputReportByteLength = gScript.InputLength;
  c.OutputReportByteLength = gScript.OutputLength;
  std::memcpy(caps, &c, sizeof c);
  return kHidPStatusSuccess;
}

THidWinApi ScriptedApi() {
  THidWinApi a;
  a.SetupDiGetClassDevsA = FakeGetClassDevs;
  a.SetupDiEnumDeviceInterfaces = FakeEnumInterfaces;
  a.SetupDiGetDeviceInterfaceDetailA = FakeGetDetail;
  a.SetupDiGetDeviceRegistryPropertyA = FakeGetProperty;
  a.SetupDiDestroyDeviceInfoList = FakeDestroy;
  a.HidD_GetHidGuid = FakeGetHidGuid;
  a.HidD_GetAttributes = FakeGetAttributes;
  a.HidD_GetProductString = FakeGetProduct;
  // One calling convention on x64: plain lambdas serve as the entry points.
  a.HidD_GetPreparsedData = [](HANDLE, void** p) -> BOOLEAN { return *p = &gPreparsedToken, TRUE; };
  a.HidD_FreePreparsedData = [](void* p) -> BOOLEAN { return p == &gPreparsedToken; };
  a.HidP_GetCaps = FakeGetCaps;
  a.HidD_FlushQueue = [](HANDLE) -> BOOLEAN { return ++gScript.Flushes, TRUE; };
  a.HidD_SetNumInputBuffers = [](HANDLE, ULONG) -> BOOLEAN { return TRUE; };
  a.HidD_GetNumInputBuffers = [](HANDLE, PULONG n) -> BOOLEAN { return *n = 32, TRUE; };
  return a;
}

std::string TempPath(const std::string& name) {
  char dir[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, dir);
  return std::string(dir) + "kvz-hidwin-" + std::to_string(GetCurrentProcessId()) + "-" + name;
}

class HidWindowsScripted : public ::testing::Test {
 protected:
  void SetUp() override {
    gScript = TScript{};
    const std::u16string name = u"Terminal KVZ-DORNAVE";
    gScript.Product.assign(name.begin(), name.end());
    gScript.Product.push_back(0);
    file = TempPath(::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::ofstream(file, std::ios::binary) << '\0' << std::string(64, '\x5A');
    platform = CreateWindowsHidPlatform(THidWinServices::FromTable(ScriptedApi()));
  }
  void TearDown() override { DeleteFileA(file.c_str()); }

  TScriptedInterface Good(DWORD devInst) {
    TScriptedInterface i;
    i.PathBytes = file;
    i.DevInst = devInst;
    return i;
  }

  std::string file;
  std::shared_ptr<IHidPlatform> platform;
};

// ---------------------------------------------------------------------------
// Listing

TEST_F(HidWindowsScripted, ListsGoodInterfacesAndSkipsMalformedDetails) {
  // Each malformed case: a good interface with one thing changed.
  auto add = [&](DWORD devInst, void (*change)(TScriptedInterface&)) {
    TScriptedInterface i = Good(devInst);
    if (change) change(i);
    gScript.Interfaces.push_back(i);
  };
  add(101, nullptr);
  add(102, [](TScriptedInterface& i) { i.SizeQueryResult = TRUE; });  // a size query "succeeds", no size
  add(103, [](TScriptedInterface& i) { i.SizeQueryError = ERROR_INVALID_PARAMETER; });
  add(104, [](TScriptedInterface& i) { i.Required = kHeader; });     // no room for a path
  add(105, [](TScriptedInterface& i) { i.Required = 0x40000000; });  // absurd
  add(106, [](TScriptedInterface& i) { i.Terminate = false; });      // the path runs to the end of the buffer
  add(107, [](TScriptedInterface& i) { i.DetailFails = true; });     // gone between the two calls
  add(108, [](TScriptedInterface& i) { i.PathBytes.clear(); });      // empty path
  add(109, nullptr);

  std::vector<THidInterfaceEntry> entries;
  ASSERT_TRUE(platform->ListInterfaces(entries));
  ASSERT_EQ(2u, entries.size());
  EXPECT_EQ(101u, entries[0].DeviceInstance);
  EXPECT_EQ(file, entries[0].InterfacePath);
  EXPECT_EQ(109u, entries[1].DeviceInstance);
  // A description without terminator is cut at its buffer, never read past.
  EXPECT_EQ(256u, entries[0].Description.size());
  EXPECT_EQ(std::string(256, 'D'), entries[0].Description);
  EXPECT_FALSE(gScript.DetailOverrun);
  for (DWORD cb : gScript.DetailCbSizes) EXPECT_EQ(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A), cb);
  EXPECT_EQ(1, gScript.Snapshots);
  EXPECT_EQ(1, gScript.Destroyed);
}

TEST_F(HidWindowsScripted, SnapshotFailureAndIncompleteServicesListNothing) {
  gScript.Interfaces.push_back(Good(1));
  gScript.SnapshotFails = true;
  std::vector<THidInterfaceEntry> entries(3);
  EXPECT_FALSE(platform->ListInterfaces(entries));
  EXPECT_TRUE(entries.empty());
  EXPECT_EQ(0, gScript.Destroyed);

  // One HID entry point missing: nothing is bound, nothing listed or opened.
  gScript.SnapshotFails = false;
  THidWinApi partial = ScriptedApi();
  partial.HidD_GetNumInputBuffers = nullptr;
  auto unbound = CreateWindowsHidPlatform(THidWinServices::FromTable(partial));
  THidGuid g;
  EXPECT_FALSE(unbound->GetHidGuid(g));
  EXPECT_FALSE(unbound->ListInterfaces(entries));
  uint32_t err = 0;
  EXPECT_EQ(nullptr, unbound->Open(file, EHidAccess::None, &err));
  EXPECT_EQ(0, gScript.Snapshots);
  THidCallQueue queue;
  THidDeviceController ctl(unbound, queue);
  EXPECT_EQ(0, ctl.Count());
}

TEST_F(HidWindowsScripted, ControllerLeavesOutVanishedAndUnidentifiedDevices) {
  gScript.Interfaces.push_back(Good(1));
  TScriptedInterface gone = Good(2);
  gone.PathBytes = TempPath("not-there");  // vanished between listing and opening
  gScript.Interfaces.push_back(gone);
  THidCallQueue queue;
  {
    THidDeviceController ctl(platform, queue);
    ASSERT_EQ(1, ctl.Count());
    THidDevice* d = ctl.DeviceList()[0];
    EXPECT_EQ(1u, d->PnPInfo().DeviceInstance);
    EXPECT_EQ(0x1072, d->HidAttributes().VendorID);
    EXPECT_EQ(0x0004, d->HidAttributes().VersionNumber);
  }
  gScript.AttributesFail = true;
  THidDeviceController ctl(platform, queue);
  EXPECT_EQ(0, ctl.Count());
}

// ---------------------------------------------------------------------------
// Handles over a file

// Identification stays inside its buffers; writes and flushes need
// read-write access.
TEST_F(HidWindowsScripted, IdentificationAndWritesThroughAFileHandle) {
  uint32_t err = 0;
  auto none = platform->Open(file, EHidAccess::None, &err);
  ASSERT_NE(nullptr, none);
  std::u16string s;
  ASSERT_TRUE(none->GetProductString(s));
  EXPECT_EQ(u"Terminal KVZ-DORNAVE", s);
  EXPECT_EQ(508u, gScript.ProductLength);

  gScript.ProductFillsBuffer = true;  // no terminator anywhere
  ASSERT_TRUE(none->GetProductString(s));
  EXPECT_EQ(std::u16string(254, u'A'), s);

  auto p = none->GetPreparsedData();
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(65, p->Caps.InputReportByteLength);
  EXPECT_EQ(65, p->Caps.OutputReportByteLength);

  const std::vector<uint8_t> report(65, 0x33);
  std::size_t written = 7;
  EXPECT_FALSE(none->Write(report.data(), report.size(), written));
  EXPECT_EQ(0u, written);
  EXPECT_FALSE(none->Flush());
  uint8_t buf[65];
  EXPECT_EQ(EHidReadStatus::Failed, none->Read(buf, sizeof buf, 10).Status);

  auto rw = platform->Open(file, EHidAccess::ReadWrite, &err);
  ASSERT_NE(nullptr, rw);
  EXPECT_FALSE(rw->Write(nullptr, 65, written));
  EXPECT_FALSE(rw->Write(report.data(), 0, written));
  ASSERT_TRUE(rw->Write(report.data(), report.size(), written));
  EXPECT_EQ(65u, written);
  EXPECT_TRUE(rw->Flush());
  EXPECT_EQ(1, gScript.Flushes);
  int32_t n = 0;
  EXPECT_TRUE(rw->GetNumInputBuffers(n));
  EXPECT_EQ(32, n);
  EXPECT_FALSE(rw->SetNumInputBuffers(-1));
  rw.reset();
  std::ifstream back(file, std::ios::binary);
  EXPECT_EQ(report, std::vector<uint8_t>(std::istreambuf_iterator<char>(back), {}));

  EXPECT_EQ(nullptr, platform->Open(TempPath("not-there"), EHidAccess::ReadWrite, &err));
  EXPECT_EQ(kHidErrorDeviceNotConnected, err);
  EXPECT_EQ(nullptr, platform->Open(std::string("a\0b", 3), EHidAccess::None, &err));
  EXPECT_EQ(nullptr, platform->Open("", EHidAccess::None, &err));
}

TEST_F(HidWindowsScripted, ReaderDeliversReportsThroughOverlappedReads) {
  gScript.Interfaces.push_back(Good(7));
  THidCallQueue queue;
  THidDeviceController ctl(platform, queue);
  ASSERT_EQ(1, ctl.Count());
  THidDevice* dev = nullptr;
  ASSERT_TRUE(ctl.ClaimDeviceAt(dev, 0));
  std::vector<std::vector<uint8_t>> got;
  std::vector<uint8_t> ids;
  dev->SetDataHandler(THidDataEvent([&](THidDevice*, uint8_t id, const uint8_t* data, uint16_t size) {
    ids.push_back(id);
    got.emplace_back(data, data + size);
  }));
  EXPECT_TRUE(queue.Pump(milliseconds(5000), [&] { return got.size() >= 2; }));
  ctl.ReleaseDevice(dev);
  ASSERT_GE(got.size(), 2u);
  EXPECT_EQ(0, ids[0]);
  EXPECT_EQ(std::vector<uint8_t>(64, 0x5A), got[0]);
}

// ---------------------------------------------------------------------------
// Overlapped reads on a pipe: the report arrives when the test writes it.

class HidWindowsPipe : public HidWindowsScripted {
 protected:
  void SetUp() override {
    HidWindowsScripted::SetUp();
    static int serial = 0;
    pipe =
        "\\\\.\\pipe\\kvz-hidwin-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++serial);
    MakeServer();
    uint32_t err = 0;
    reader = platform->Open(pipe, EHidAccess::Read, &err);
    ASSERT_NE(nullptr, reader) << err;
  }
  void TearDown() override {
    reader.reset();
    if (server != INVALID_HANDLE_VALUE) CloseHandle(server);
    HidWindowsScripted::TearDown();
  }
  void MakeServer() {
    server = CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_MESSAGE | PIPE_WAIT, 1, 4096,
                              4096, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, server);
  }
  void Send(const std::vector<uint8_t>& bytes) {
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(server, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr));
  }

  std::string pipe;
  HANDLE server = INVALID_HANDLE_VALUE;
  std::shared_ptr<IHidHandle> reader;
};

TEST_F(HidWindowsPipe, ReadWaitsItsSliceKeepsThePendingReadAndFillsOnlyTheBuffer) {
  uint8_t buf[65] = {};
  const auto t0 = steady_clock::now();
  EXPECT_EQ(EHidReadStatus::TimedOut, reader->Read(buf, sizeof buf, 50).Status);
  EXPECT_GE(duration_cast<milliseconds>(steady_clock::now() - t0).count(), 40);

  std::vector<uint8_t> report(65, 0x11);
  report[0] = 0;
  Send(report);
  THidReadResult r = reader->Read(buf, sizeof buf, 2000);
  ASSERT_EQ(EHidReadStatus::Completed, r.Status);
  EXPECT_EQ(65u, r.Bytes);
  EXPECT_EQ(0, std::memcmp(report.data(), buf, 65));

  // A report written while a read waits wakes it at once.
  std::thread late([&] {
    std::this_thread::sleep_for(milliseconds(50));
    Send(std::vector<uint8_t>(65, 0x22));
  });
  const auto t1 = steady_clock::now();
  r = reader->Read(buf, sizeof buf, 5000);
  late.join();
  ASSERT_EQ(EHidReadStatus::Completed, r.Status);
  EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - t1).count(), 2000);
  EXPECT_EQ(0x22, buf[64]);

  // A short buffer gets only what fits.
  Send(std::vector<uint8_t>(65, 0x44));
  std::memset(buf, 0xEE, 16);
  r = reader->Read(buf, 8, 2000);
  ASSERT_EQ(EHidReadStatus::Completed, r.Status);
  EXPECT_EQ(8u, r.Bytes);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(0x44, buf[i]);
  for (int i = 8; i < 16; ++i) EXPECT_EQ(0xEE, buf[i]);
  EXPECT_EQ(EHidReadStatus::Failed, reader->Read(nullptr, 65, 10).Status);
}

TEST_F(HidWindowsPipe, CancelEndsAWaitingReadAndIsNeverLost) {
  uint8_t buf[65];
  // Before any read: the next one returns at once.
  reader->CancelRead();
  const auto t0 = steady_clock::now();
  EXPECT_EQ(EHidReadStatus::Cancelled, reader->Read(buf, sizeof buf, 5000).Status);
  EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - t0).count(), 1000);

  // From another thread while the read waits.
  std::thread canceller([&] {
    std::this_thread::sleep_for(milliseconds(100));
    reader->CancelRead();
  });
  const auto t1 = steady_clock::now();
  const THidReadResult r = reader->Read(buf, sizeof buf, 5000);
  canceller.join();
  EXPECT_EQ(EHidReadStatus::Cancelled, r.Status);
  EXPECT_EQ(kHidErrorOperationAborted, r.Error);
  EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - t1).count(), 3000);

  // Between two slices of a pending read: the next read reports it once and
  // the one after reads normally.
  EXPECT_EQ(EHidReadStatus::TimedOut, reader->Read(buf, sizeof buf, 20).Status);
  reader->CancelRead();
  EXPECT_EQ(EHidReadStatus::Cancelled, reader->Read(buf, sizeof buf, 1000).Status);
  Send(std::vector<uint8_t>(65, 0x55));
  EXPECT_EQ(EHidReadStatus::Completed, reader->Read(buf, sizeof buf, 2000).Status);
}

TEST_F(HidWindowsPipe, HandleGoesSafelyWithAReadPendingAndAClosedPeerFailsTheRead) {
  uint8_t buf[65];
  EXPECT_EQ(EHidReadStatus::TimedOut, reader->Read(buf, sizeof buf, 20).Status);
  reader.reset();  // cancels and waits for the pending read
  DWORD n = 0;
  std::vector<uint8_t> late(65, 0x66);
  WriteFile(server, late.data(), 65, &n, nullptr);  // nobody reads it; nothing is written into freed memory

  CloseHandle(server);
  MakeServer();
  uint32_t err = 0;
  reader = platform->Open(pipe, EHidAccess::Read, &err);
  ASSERT_NE(nullptr, reader);
  EXPECT_EQ(EHidReadStatus::TimedOut, reader->Read(buf, sizeof buf, 20).Status);
  CloseHandle(server);
  server = INVALID_HANDLE_VALUE;
  const THidReadResult r = reader->Read(buf, sizeof buf, 2000);
  EXPECT_EQ(EHidReadStatus::Failed, r.Status);
  EXPECT_NE(kHidErrorNone, r.Error);
}

// ---------------------------------------------------------------------------
// The system's own services (Wine's, here)

TEST(HidWindowsSystem, BindsAllEntryPointsOrNone) {
  auto real = THidWinServices::Bind();
  ASSERT_TRUE(real->Bound());
  EXPECT_TRUE(real->Api().Complete());
  auto platform = CreateWindowsHidPlatform(real);
  THidGuid g;
  ASSERT_TRUE(platform->GetHidGuid(g));
  EXPECT_EQ(kHidInterfaceClassGuid, g);

  // A module without the HID entry points: neither service stays bound.
  auto noHid = THidWinServices::Bind("setupapi.dll", "kernel32.dll");
  EXPECT_FALSE(noHid->Bound());
  EXPECT_FALSE(noHid->Api().SetupComplete());
  auto noSetup = THidWinServices::Bind("kvz-no-such-module.dll", "hid.dll");
  EXPECT_FALSE(noSetup->Bound());
  EXPECT_FALSE(noSetup->Api().HidComplete());
  std::vector<THidInterfaceEntry> entries;
  EXPECT_FALSE(CreateWindowsHidPlatform(noHid)->ListInterfaces(entries));
}

TEST(HidWindowsSystem, ListsOpensAndIdentifiesWhatTheSystemOffers) {
  auto platform = CreateSystemHidPlatform();
  std::vector<THidInterfaceEntry> entries;
  ASSERT_TRUE(platform->ListInterfaces(entries));
  int opened = 0;
  for (const THidInterfaceEntry& e : entries) {
    EXPECT_FALSE(e.InterfacePath.empty());
    EXPECT_EQ(std::string::npos, e.InterfacePath.find('\0'));
    uint32_t err = 0;
    auto h = platform->Open(e.InterfacePath, EHidAccess::ReadWrite, &err);
    if (!h) h = platform->Open(e.InterfacePath, EHidAccess::None, &err);
    if (!h) continue;
    ++opened;
    THidAttributes a;
    if (h->GetAttributes(a)) {
      EXPECT_EQ(12u, a.Size);
    }
    std::u16string s;
    if (h->GetProductString(s)) {
      EXPECT_LE(s.size(), 254u);
    }
    h->GetPreparsedData();
  }

  THidCallQueue queue;
  THidDeviceController ctl(platform, queue);
  EXPECT_LE(ctl.Count(), static_cast<int32_t>(entries.size()));
  int visited = 0;
  ctl.SetOnEnumerate(THidEnumerateEvent([&](THidDevice* d, int32_t) {
    ++visited;
    EXPECT_LE(d->GetProductString().size(), 254u);
    d->QueryCaps();
    return true;
  }));
  EXPECT_EQ(ctl.Count(), ctl.EnumerateDevices());
  EXPECT_EQ(ctl.Count(), visited);
  ctl.DeviceChange();  // same devices: nothing leaves, nothing arrives
  EXPECT_EQ(visited, ctl.Count());
  std::printf("[ system   ] %zu HID interfaces listed, %d opened, %d identified by the controller\n",
              entries.size(), opened, static_cast<int>(ctl.Count()));
}

TEST(HidWindowsSystem, DevNodesChangedIsTheOnlyNoticeTaken) {
  EXPECT_TRUE(IsDevNodesChangedMessage(0x0219, 0x0007));
  EXPECT_FALSE(IsDevNodesChangedMessage(0x0219, 0x8000));  // arrival
  EXPECT_FALSE(IsDevNodesChangedMessage(0x0219, 0x8004));  // removal
  EXPECT_FALSE(IsDevNodesChangedMessage(0x0218, 0x0007));
}

}  // namespace
