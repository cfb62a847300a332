#include <algorithm>
#include <cstring>

#include "HidControllerClass.h"
#include "HidInternal.h"

const char* const kHidErrOnlyOneController = "Only one THidDeviceController allowed per program";
const char* const kHidErrCannotBeOpened = "device cannot be opened";
const char* const kHidErrCannotBeIdentified = "device cannot be identified";

namespace {
std::atomic<uint64_t> gNextSerial{1};
}

// ---- shared read state -----------------------------------------------------

std::shared_ptr<IHidHandle> THidDeviceIo::AcquireReadHandle(uint32_t* error) {
  std::lock_guard<std::mutex> lock(Mutex);
  if (!CanAccess()) {
    if (error) *error = Plugged.load() ? kHidErrorNotAccessible : kHidErrorDeviceNotConnected;
    return nullptr;
  }
  if (!ReadHandle) {
    uint32_t err = kHidErrorNone;
    ReadHandle = Platform ? Platform->Open(Path, EHidAccess::Read, &err) : nullptr;
    if (!ReadHandle) {
      if (error) *error = err != kHidErrorNone ? err : kHidErrorDeviceNotConnected;
      return nullptr;
    }
    if (ReadBufferCount != 0) ReadHandle->SetNumInputBuffers(ReadBufferCount);
    int32_t n = 0;
    ReadBufferCount = ReadHandle->GetNumInputBuffers(n) ? n : 0;
  }
  return ReadHandle;
}

void THidDeviceIo::CloseReadHandle() {
  std::shared_ptr<IHidHandle> h;
  {
    std::lock_guard<std::mutex> lock(Mutex);
    h = std::move(ReadHandle);
    ReadHandle = nullptr;
    ReadBufferCount = 0;
  }
  if (h) h->CancelRead();
}

void THidDeviceIo::CancelRead() {
  std::shared_ptr<IHidHandle> h;
  {
    std::lock_guard<std::mutex> lock(Mutex);
    h = ReadHandle;
  }
  if (h) h->CancelRead();
}

bool THidDeviceIo::ReadHandleOpen() const {
  std::lock_guard<std::mutex> lock(Mutex);
  return ReadHandle != nullptr;
}

std::shared_ptr<const THidPreparsedData> THidDeviceIo::GetPreparsed() const {
  std::lock_guard<std::mutex> lock(Mutex);
  return Preparsed;
}

void THidDeviceIo::SetPreparsed(std::shared_ptr<const THidPreparsedData> p) {
  std::lock_guard<std::mutex> lock(Mutex);
  Preparsed = std::move(p);
}

// ---- PnP record ------------------------------------------------------------

THidPnPInfo::THidPnPInfo(const THidInterfaceEntry& entry)
    : DeviceInstance(entry.DeviceInstance),
      InterfacePath(entry.InterfacePath),
      DeviceDescr(entry.Description),
      Mfg(entry.Manufacturer),
      HardwareID(entry.HardwareId) {}

// ---- device ----------------------------------------------------------------

THidDevice::THidDevice(std::unique_ptr<THidPnPInfo> info, THidDeviceController* controller)
    : FController(controller), FPlatform(controller ? controller->Platform() : nullptr) {
  FQueue = controller ? &controller->MainThread() : nullptr;
  if (controller) {
    FOnDeviceData = controller->OnDeviceData();  // not claimed: no reader starts
    FOnDeviceUnplug = controller->OnDeviceUnplug();
  }
  Init(std::move(info));
}

THidDevice::THidDevice(std::unique_ptr<THidPnPInfo> info, std::shared_ptr<IHidPlatform> platform,
                       THidCallQueue& queue)
    : FPlatform(std::move(platform)), FQueue(&queue) {
  Init(std::move(info));
}

void THidDevice::Init(std::unique_ptr<THidPnPInfo> info) {
  FPnPInfo = info ? std::move(info) : std::make_unique<THidPnPInfo>();
  FSerial = gNextSerial.fetch_add(1);
  FIo = std::make_shared<THidDeviceIo>();
  FIo->Platform = FPlatform;
  FIo->Path = FPnPInfo->InterfacePath;

  FIoHandle = OpenWithFallback();
  if (!FIoHandle) throw EControllerError(kHidErrCannotBeOpened);
  THidAttributes attrs;
  attrs.Size = 12;
  if (!FIoHandle->GetAttributes(attrs)) {
    FIoHandle.reset();
    throw EControllerError(kHidErrCannotBeIdentified);
  }
  attrs.Size = 12;
  FAttributes = attrs;
  CloseIoHandle();
}

THidDevice::~THidDevice() {
  *FLife = false;
  // A reader still being stopped further up the stack delivers nothing more.
  for (const auto& s : FStopping) s->Device = nullptr;
  THidDataEvent onData = FOnDeviceData;
  THidUnplugEvent onUnplug = FOnDeviceUnplug;
  const int32_t sleepTime = ReaderSleepTime();

  // Cleared before the reader stops: a pass run during that wait must not
  // release this device a second time through its unplug handler.
  FOnDeviceUnplug = nullptr;
  SetDataHandler(nullptr);
  CloseIoHandle();
  CloseReadHandle();
  FIo->SetPreparsed(nullptr);
  if (FController) {
    THidDeviceController* c = FController;
    FController = nullptr;
    c->DeviceDestroyed(this, std::move(onData), std::move(onUnplug), sleepTime, FPnPInfo);
  }
}

std::shared_ptr<IHidHandle> THidDevice::OpenWithFallback() {
  if (!FPlatform) return nullptr;
  uint32_t err = 0;
  auto h = FPlatform->Open(FPnPInfo->InterfacePath, EHidAccess::ReadWrite, &err);
  FReadWriteAccess = h != nullptr;
  if (!h) h = FPlatform->Open(FPnPInfo->InterfacePath, EHidAccess::None, &err);
  return h;
}

bool THidDevice::Plugged() const { return FIo->Plugged.load(); }
bool THidDevice::Claimed() const { return FIo->Claimed.load(); }
bool THidDevice::Enumerating() const { return FIo->Enumerating.load(); }
bool THidDevice::CanAccess() const { return FIo->CanAccess(); }
bool THidDevice::ReadHandleOpen() const { return FIo->ReadHandleOpen(); }
int32_t THidDevice::ReaderSleepTime() const { return FIo->SleepTime.load(); }
void THidDevice::SetClaimed(bool v) { FIo->Claimed.store(v); }
void THidDevice::SetEnumerating(bool v) { FIo->Enumerating.store(v); }

int32_t THidDevice::ReadBufferCount() const {
  std::lock_guard<std::mutex> lock(FIo->Mutex);
  return FIo->ReadBufferCount;
}

void THidDevice::SetReadBufferCount(int32_t count) {
  std::lock_guard<std::mutex> lock(FIo->Mutex);
  FIo->ReadBufferCount = count;
}

bool THidDevice::OpenIoHandle() {
  if (CanAccess() && !FIoHandle) {
    FIoHandle = OpenWithFallback();
    if (FIoHandle) {
      if (FInputBufferCount != 0) FIoHandle->SetNumInputBuffers(FInputBufferCount);
      int32_t n = 0;
      FInputBufferCount = FIoHandle->GetNumInputBuffers(n) ? n : 0;
    }
  }
  return FIoHandle != nullptr;
}

void THidDevice::CloseIoHandle() {
  FIoHandle.reset();
  FInputBufferCount = 0;
}

bool THidDevice::OpenReadHandle() { return FIo->AcquireReadHandle(nullptr) != nullptr; }

void THidDevice::CloseReadHandle() { FIo->CloseReadHandle(); }

THidCaps THidDevice::QueryCaps() {
  THidCaps caps{};
  auto p = FIo->GetPreparsed();
  if (!p && OpenIoHandle()) {
    p = FIoHandle->GetPreparsedData();
    FIo->SetPreparsed(p);
    CloseIoHandle();
  }
  if (p) caps = p->Caps;
  return caps;
}

std::u16string THidDevice::GetProductString() {
  if (FProductString.empty() && OpenIoHandle()) {
    std::u16string s;
    if (FIoHandle->GetProductString(s)) {
      const auto nul = s.find(u'\0');
      if (nul != std::u16string::npos) s.resize(nul);
      if (s.size() > 254) s.resize(254);
      FProductString = s;
    }
    CloseIoHandle();
  }
  return FProductString;
}

bool THidDevice::FlushInput() { return OpenIoHandle() && FIoHandle->Flush(); }

bool THidDevice::WriteReport(const void* buffer, uint32_t length, uint32_t& bytesWritten) {
  bytesWritten = 0;
  if (buffer == nullptr && length > 0) return false;
  if (!OpenIoHandle()) return false;
  std::size_t written = 0;
  const bool ok = FIoHandle->Write(static_cast<const uint8_t*>(buffer), length, written);
  bytesWritten = static_cast<uint32_t>(written);
  return ok;
}

bool THidDevice::BeginRead(void* buffer, uint32_t length) {
  FLastReadCount = 0;
  if (buffer == nullptr || length == 0) return false;
  auto h = FIo->AcquireReadHandle(nullptr);
  if (!h) return false;
  const THidReadResult r = h->Read(static_cast<uint8_t*>(buffer), length, ReaderSleepTime());
  if (r.Status == EHidReadStatus::Completed)
    FLastReadCount = static_cast<uint32_t>(std::min<std::size_t>(r.Bytes, length));
  return r.Status != EHidReadStatus::Failed;
}

uint32_t THidDevice::ReadCount() const { return ReadHandleOpen() ? FLastReadCount : 0; }

void THidDevice::CancelRead() { FIo->CancelRead(); }

void THidDevice::SetDataHandler(THidDataEvent handler) {
  if (!handler.Assigned()) {
    const std::shared_ptr<bool> life = FLife;
    StopReader();
    if (!*life) return;  // freed while the reader stopped
  }
  FOnDeviceData = std::move(handler);
  StartReader();
}

void THidDevice::StartReader() {
  if (!FOnDeviceData.Assigned() || !Plugged() || !Claimed() || FReader || FQueue == nullptr) return;
  // The read handle is opened here, on the caller's thread, before the reader
  // runs: the platform queues an input report only for the handles open when
  // it arrives, so an answer to a frame written right after this call must
  // find the handle open. When the open fails, the reader reports it.
  FIo->AcquireReadHandle(nullptr);
  const THidCaps caps = QueryCaps();
  FReader.reset(new THidDeviceReadThread(this, FIo, *FQueue, caps.InputReportByteLength));
  FReader->Start();
}

void THidDevice::StopReader() {
  if (!FReader) return;
  // Out of the slot first: hand-overs run while we wait and may come back here.
  std::unique_ptr<THidDeviceReadThread> reader = std::move(FReader);
  const std::shared_ptr<bool> life = FLife;
  FStopping.push_back(reader->FState);
  reader->Terminate();
  reader->WaitForEnd();
  if (!*life) return;  // freed meanwhile: its destruction detached the reader
  FStopping.erase(std::find(FStopping.begin(), FStopping.end(), reader->FState));
}

void THidDevice::SetReaderSleepTime(int32_t ms) {
  if (ms >= 10 && ms <= 10000) FIo->SleepTime.store(ms);
}

void THidDevice::MarkUnplugged() {
  CloseIoHandle();
  FIo->Plugged.store(false);
  FIo->CloseReadHandle();
  if (FOnDeviceUnplug.Assigned()) {
    // Cleared before the call: the handler may destroy the device.
    THidUnplugEvent h = std::move(FOnDeviceUnplug);
    FOnDeviceUnplug = nullptr;
    h(this);
  }
}
