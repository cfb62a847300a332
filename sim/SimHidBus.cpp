#include "SimHidBus.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <map>

TSimHidDeviceConfig TSimHidDeviceConfig::Make(uint16_t vid, uint16_t pid, uint16_t version,
                                              const std::string& productUtf8, uint16_t inputLength,
                                              uint16_t outputLength) {
  TSimHidDeviceConfig c;
  c.VendorID = vid;
  c.ProductID = pid;
  c.VersionNumber = version;
  c.ProductString = HidUtf8ToUtf16(productUtf8);
  c.InputReportByteLength = inputLength;
  c.OutputReportByteLength = outputLength;
  return c;
}

// ---- virtual device ---------------------------------------------------------

namespace {
constexpr std::chrono::microseconds kUsbFrame{1000};
}  // namespace

// The input queue of one open handle with read access; guarded by its
// device's mutex.
struct TSimInputQueue {
  struct TEntry {
    std::vector<uint8_t> Report;
    std::chrono::steady_clock::time_point Due;  // when it becomes readable
  };
  std::deque<TEntry> Reports;
  bool Reads = false;  // a read was made on the handle
};

TSimHidDevice::TSimHidDevice(const TSimHidDeviceConfig& config, uint32_t instance, std::string path)
    : FConfig(config),
      FInstance(instance),
      FPath(std::move(path)),
      FWritesFail(config.WritesFail),
      FReadWriteAllowed(config.ReadWriteAllowed) {}

TSimHidDevice::~TSimHidDevice() = default;

bool TSimHidDevice::Plugged() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FPlugged;
}

void TSimHidDevice::SetPlugged(bool plugged) {
  std::lock_guard<std::mutex> lock(FMutex);
  FPlugged = plugged;
  ++FPlugGeneration;  // handles of an earlier plug are dead
  for (auto& q : FQueues) q->Reports.clear();
  FQueues.clear();
  FCond.notify_all();
}

void TSimHidDevice::AttachTimer(std::function<void(std::chrono::milliseconds, std::function<void()>)> timer) {
  std::lock_guard<std::mutex> lock(FMutex);
  FTimer = std::move(timer);
}

void TSimHidDevice::SetModel(std::shared_ptr<ISimHidDeviceModel> model) {
  std::lock_guard<std::mutex> lock(FMutex);
  FModel = std::move(model);
}

std::shared_ptr<ISimHidDeviceModel> TSimHidDevice::Model() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FModel;
}

std::chrono::steady_clock::time_point TSimHidDevice::NextFrameAfter(
    std::chrono::steady_clock::time_point t) const {
  const auto frames = (t - FEpoch) / kUsbFrame + 1;
  return FEpoch + frames * kUsbFrame;
}

bool TSimHidDevice::SendInputReport(std::vector<uint8_t> report) {
  std::lock_guard<std::mutex> lock(FMutex);
  if (!FPlugged) return false;
  auto due = std::chrono::steady_clock::time_point{};
  if (FConfig.UsbFramePaced) {
    due = std::max(NextFrameAfter(std::chrono::steady_clock::now()), FNextInFrame);
    FNextInFrame = due + kUsbFrame;
  }
  // One copy for every handle open now; nobody open, nobody gets it.
  const std::size_t limit = std::max<std::size_t>(FConfig.InputQueueLimit, 1);
  for (std::size_t i = 0; i < FQueues.size(); ++i) {
    std::deque<TSimInputQueue::TEntry>& q = FQueues[i]->Reports;
    if (q.size() >= limit) q.pop_front();  // oldest dropped
    if (i + 1 == FQueues.size())
      q.push_back({std::move(report), due});
    else
      q.push_back({report, due});
  }
  FCond.notify_all();
  return true;
}

bool TSimHidDevice::SendInputReport(const uint8_t* data, std::size_t length) {
  if (data == nullptr && length > 0) return false;
  return SendInputReport(std::vector<uint8_t>(data, data + length));
}

void TSimHidDevice::SendInputReportAfter(std::chrono::milliseconds delay, std::vector<uint8_t> report) {
  std::function<void(std::chrono::milliseconds, std::function<void()>)> timer;
  uint64_t generation;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    timer = FTimer;
    generation = FPlugGeneration;
  }
  if (!timer) return;
  std::weak_ptr<TSimHidDevice> self = weak_from_this();
  timer(delay, [self, generation, report = std::move(report)]() mutable {
    auto d = self.lock();
    if (!d) return;
    {
      std::lock_guard<std::mutex> lock(d->FMutex);
      if (d->FPlugGeneration != generation) return;  // unplugged since
    }
    d->SendInputReport(std::move(report));
  });
}

std::size_t TSimHidDevice::QueuedInputCount() const {
  std::lock_guard<std::mutex> lock(FMutex);
  std::size_t any = 0, reading = 0;
  bool someoneReads = false;
  for (const auto& q : FQueues) {
    any = std::max(any, q->Reports.size());
    if (q->Reads) {
      someoneReads = true;
      reading = std::max(reading, q->Reports.size());
    }
  }
  return someoneReads ? reading : any;
}

std::vector<std::size_t> TSimHidDevice::HandleQueueCounts() const {
  std::lock_guard<std::mutex> lock(FMutex);
  std::vector<std::size_t> counts;
  for (const auto& q : FQueues) counts.push_back(q->Reports.size());
  return counts;
}

std::vector<std::vector<uint8_t>> TSimHidDevice::OutputReports() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FOutput;
}

std::size_t TSimHidDevice::OutputReportCount() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FOutput.size();
}

void TSimHidDevice::ClearOutputReports() {
  std::lock_guard<std::mutex> lock(FMutex);
  FOutput.clear();
}

int TSimHidDevice::OpenHandleCount() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FOpenHandles;
}

int TSimHidDevice::PendingReadCount() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FPendingReads;
}

void TSimHidDevice::SetReadsFail(bool fail) {
  std::lock_guard<std::mutex> lock(FMutex);
  FReadsFail = fail;
  FCond.notify_all();
}

void TSimHidDevice::SetWritesFail(bool fail) {
  std::lock_guard<std::mutex> lock(FMutex);
  FWritesFail = fail;
}

void TSimHidDevice::SetReadWriteAllowed(bool allowed) {
  std::lock_guard<std::mutex> lock(FMutex);
  FReadWriteAllowed = allowed;
}

bool TSimHidDevice::ReadWriteAllowed() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FReadWriteAllowed;
}

// ---- handle -----------------------------------------------------------------

class TSimHidHandle : public IHidHandle {
 public:
  // Made with the device's mutex held, for the current plug.
  TSimHidHandle(std::shared_ptr<TSimHidDevice> dev, EHidAccess access, uint64_t generation)
      : FDev(std::move(dev)), FAccess(access), FGeneration(generation) {
    ++FDev->FOpenHandles;
    if (FAccess != EHidAccess::None) {
      FQueue = std::make_shared<TSimInputQueue>();
      FDev->FQueues.push_back(FQueue);
    }
  }
  ~TSimHidHandle() override {
    std::lock_guard<std::mutex> lock(FDev->FMutex);
    --FDev->FOpenHandles;
    auto& qs = FDev->FQueues;
    qs.erase(std::remove(qs.begin(), qs.end(), FQueue), qs.end());
  }

  EHidAccess Access() const override { return FAccess; }

  bool GetAttributes(THidAttributes& out) override {
    if (!Alive() || !FDev->FConfig.Identifiable) return false;
    out.Size = 12;
    out.VendorID = FDev->FConfig.VendorID;
    out.ProductID = FDev->FConfig.ProductID;
    out.VersionNumber = FDev->FConfig.VersionNumber;
    return true;
  }

  bool GetProductString(std::u16string& out) override {
    if (!Alive() || !FDev->FConfig.HasProductString) return false;
    out = FDev->FConfig.ProductString.substr(0, 254);
    return true;
  }

  std::shared_ptr<const THidPreparsedData> GetPreparsedData() override {
    if (!Alive() || !FDev->FConfig.HasCaps) return nullptr;
    auto p = std::make_shared<THidPreparsedData>();
    p->Caps.Usage = FDev->FConfig.Usage;
    p->Caps.UsagePage = FDev->FConfig.UsagePage;
    p->Caps.InputReportByteLength = FDev->FConfig.InputReportByteLength;
    p->Caps.OutputReportByteLength = FDev->FConfig.OutputReportByteLength;
    p->Caps.FeatureReportByteLength = FDev->FConfig.FeatureReportByteLength;
    return p;
  }

  bool SetNumInputBuffers(int32_t count) override {
    if (count < 2 || count > 512) return false;
    FBuffers = count;
    return true;
  }
  bool GetNumInputBuffers(int32_t& count) override {
    count = FBuffers;
    return true;
  }

  bool Flush() override {
    std::lock_guard<std::mutex> lock(FDev->FMutex);
    if (!AliveLocked() || FAccess == EHidAccess::None) return false;
    FQueue->Reports.clear();
    return true;
  }

  bool Write(const uint8_t* data, std::size_t length, std::size_t& written) override {
    written = 0;
    std::shared_ptr<ISimHidDeviceModel> model;
    if (FDev->FConfig.UsbFramePaced) {
      // The report goes out in the first free frame; the write ends then.
      std::chrono::steady_clock::time_point slot;
      {
        std::lock_guard<std::mutex> lock(FDev->FMutex);
        if (!WritableLocked(data, length)) return false;
        slot = std::max(FDev->NextFrameAfter(std::chrono::steady_clock::now()), FDev->FNextOutFrame);
        FDev->FNextOutFrame = slot + kUsbFrame;
      }
      std::this_thread::sleep_until(slot);
    }
    {
      std::lock_guard<std::mutex> lock(FDev->FMutex);
      if (!WritableLocked(data, length)) return false;
      FDev->FOutput.emplace_back(data, data + length);
      model = FDev->FModel;
    }
    written = length;
    if (model) model->OnOutputReport(*FDev, data, length);
    return true;
  }

  THidReadResult Read(uint8_t* buffer, std::size_t length, int32_t timeoutMs) override {
    THidReadResult r;
    std::unique_lock<std::mutex> lock(FDev->FMutex);
    if (FAccess == EHidAccess::None) {
      r.Error = kHidErrorInvalidHandle;
      return r;
    }
    ++FDev->FPendingReads;
    FQueue->Reads = true;
    std::deque<TSimInputQueue::TEntry>& queue = FQueue->Reports;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    // A queued report is readable once it is due (at once without pacing).
    auto readable = [&] { return !queue.empty() && queue.front().Due <= std::chrono::steady_clock::now(); };
    auto ready = [&] { return FCancel || !AliveLocked() || FDev->FReadsFail || readable(); };
    bool woke = ready();
    while (!woke) {
      auto wake = until;
      if (!queue.empty()) wake = std::min(wake, queue.front().Due);
      const bool last = wake == until;
      FDev->FCond.wait_until(lock, wake);
      woke = ready();
      if (!woke && last && std::chrono::steady_clock::now() >= until) break;
    }
    --FDev->FPendingReads;
    if (FCancel) {
      FCancel = false;
      r.Status = EHidReadStatus::Cancelled;
      r.Error = kHidErrorOperationAborted;
      return r;
    }
    if (!AliveLocked()) {
      r.Error = kHidErrorDeviceNotConnected;
      return r;
    }
    if (FDev->FReadsFail) {
      r.Error = kHidErrorDeviceNotConnected;
      return r;
    }
    if (!woke) {
      r.Status = EHidReadStatus::TimedOut;
      return r;
    }
    std::vector<uint8_t> report = std::move(queue.front().Report);
    queue.pop_front();
    const std::size_t n = std::min(report.size(), length);
    if (n > 0 && buffer != nullptr)
      std::copy(report.begin(), report.begin() + static_cast<std::ptrdiff_t>(n), buffer);
    r.Status = EHidReadStatus::Completed;
    r.Bytes = buffer != nullptr ? n : 0;
    return r;
  }

  void CancelRead() override {
    std::lock_guard<std::mutex> lock(FDev->FMutex);
    FCancel = true;
    FDev->FCond.notify_all();
  }

 private:
  bool Alive() {
    std::lock_guard<std::mutex> lock(FDev->FMutex);
    return AliveLocked();
  }
  bool AliveLocked() const { return FDev->FPlugged && FDev->FPlugGeneration == FGeneration; }
  bool WritableLocked(const uint8_t* data, std::size_t length) const {
    return AliveLocked() && FAccess == EHidAccess::ReadWrite && !FDev->FWritesFail && data != nullptr &&
           length != 0;
  }

  std::shared_ptr<TSimHidDevice> FDev;
  const EHidAccess FAccess;
  const uint64_t FGeneration;
  std::shared_ptr<TSimInputQueue> FQueue;  // null without read access; guarded by the device's mutex
  bool FCancel = false;                    // guarded by the device's mutex
  int32_t FBuffers = 32;
};

// ---- timer ------------------------------------------------------------------

struct TSimTimerState {
  std::mutex Mutex;
  std::condition_variable Cond;
  bool Stop = false;
  uint64_t Seq = 0;
  std::multimap<std::pair<std::chrono::steady_clock::time_point, uint64_t>, std::function<void()>> Due;
};

// ---- bus --------------------------------------------------------------------

TSimHidBus::TSimHidBus() : FTimer(std::make_shared<TSimTimerState>()) {}

TSimHidBus::~TSimHidBus() {
  {
    std::lock_guard<std::mutex> lock(FTimer->Mutex);
    FTimer->Stop = true;
    FTimer->Due.clear();
  }
  FTimer->Cond.notify_all();
  if (FTimerThread.joinable()) FTimerThread.join();
  std::lock_guard<std::mutex> lock(FMutex);
  for (auto& d : FKnown) d->AttachTimer(nullptr);
}

void TSimHidBus::Schedule(std::chrono::milliseconds delay, std::function<void()> fn) {
  std::lock_guard<std::mutex> lock(FTimer->Mutex);
  if (FTimer->Stop) return;
  if (!FTimerThread.joinable()) FTimerThread = std::thread([this] { TimerBody(); });
  FTimer->Due.emplace(std::make_pair(std::chrono::steady_clock::now() + delay, ++FTimer->Seq), std::move(fn));
  FTimer->Cond.notify_all();
}

void TSimHidBus::TimerBody() {
  std::shared_ptr<TSimTimerState> t = FTimer;
  std::unique_lock<std::mutex> lock(t->Mutex);
  while (!t->Stop) {
    if (t->Due.empty()) {
      t->Cond.wait(lock);
      continue;
    }
    const auto at = t->Due.begin()->first.first;
    if (std::chrono::steady_clock::now() < at) {
      t->Cond.wait_until(lock, at);
      continue;
    }
    std::function<void()> fn = std::move(t->Due.begin()->second);
    t->Due.erase(t->Due.begin());
    lock.unlock();
    fn();
    lock.lock();
  }
}

std::shared_ptr<TSimHidDevice> TSimHidBus::Plug(const TSimHidDeviceConfig& config,
                                                std::shared_ptr<ISimHidDeviceModel> model) {
  std::shared_ptr<TSimHidDevice> d;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    const uint32_t instance = FNextInstance++;
    d = std::make_shared<TSimHidDevice>(config, instance, "sim:hid#" + std::to_string(instance));
    d->FModel = std::move(model);
    d->SetPlugged(true);
    d->AttachTimer([this](std::chrono::milliseconds delay, std::function<void()> fn) {
      Schedule(delay, std::move(fn));
    });
    FPlugged.push_back(d);
    FKnown.push_back(d);
  }
  if (auto m = d->Model()) m->OnPlugged(*d);
  Notice();
  return d;
}

bool TSimHidBus::Unplug(const std::shared_ptr<TSimHidDevice>& device) {
  if (!device) return false;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    auto it = std::find(FPlugged.begin(), FPlugged.end(), device);
    if (it == FPlugged.end()) return false;
    FPlugged.erase(it);
    device->SetPlugged(false);
  }
  if (auto m = device->Model()) m->OnUnplugged(*device);
  Notice();
  return true;
}

bool TSimHidBus::Replug(const std::shared_ptr<TSimHidDevice>& device) {
  if (!device) return false;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    if (std::find(FKnown.begin(), FKnown.end(), device) == FKnown.end()) return false;
    if (std::find(FPlugged.begin(), FPlugged.end(), device) != FPlugged.end()) return false;
    device->SetPlugged(true);
    FPlugged.push_back(device);
  }
  if (auto m = device->Model()) m->OnPlugged(*device);
  Notice();
  return true;
}

void TSimHidBus::UnplugAll() {
  for (auto& d : PluggedDevices()) Unplug(d);
}

void TSimHidBus::RaiseNotice() { Notice(); }

std::vector<std::shared_ptr<TSimHidDevice>> TSimHidBus::PluggedDevices() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FPlugged;
}

std::size_t TSimHidBus::PluggedCount() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FPlugged.size();
}

uint64_t TSimHidBus::NoticeCount() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FNotices;
}

void TSimHidBus::SetSnapshotFails(bool fail) {
  std::lock_guard<std::mutex> lock(FMutex);
  FSnapshotFails = fail;
}

void TSimHidBus::SetNoticesEnabled(bool enabled) {
  std::lock_guard<std::mutex> lock(FMutex);
  FNoticesEnabled = enabled;
}

bool TSimHidBus::ListInterfaces(std::vector<THidInterfaceEntry>& out) {
  out.clear();
  std::lock_guard<std::mutex> lock(FMutex);
  if (FSnapshotFails) return false;
  for (const auto& d : FPlugged) {
    THidInterfaceEntry e;
    e.DeviceInstance = d->DeviceInstance();
    e.InterfacePath = d->Path();
    e.Manufacturer = d->Config().Manufacturer;
    e.Description = HidUtf16ToUtf8(d->Config().ProductString);
    out.push_back(std::move(e));
  }
  return true;
}

std::shared_ptr<IHidHandle> TSimHidBus::Open(const std::string& path, EHidAccess access, uint32_t* error) {
  TOpenHook hook;
  {
    std::lock_guard<std::mutex> lock(FListenerMutex);
    hook = FOpenHook;
  }
  if (hook) hook(path, access);
  std::shared_ptr<TSimHidDevice> d;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    for (const auto& p : FPlugged)
      if (p->Path() == path) d = p;
  }
  auto fail = [&](uint32_t e) -> std::shared_ptr<IHidHandle> {
    if (error) *error = e;
    return nullptr;
  };
  if (!d) return fail(kHidErrorDeviceNotConnected);
  if (!d->Config().Openable) return fail(kHidErrorDeviceNotConnected);
  std::lock_guard<std::mutex> lock(d->FMutex);
  if (!d->FPlugged) return fail(kHidErrorDeviceNotConnected);
  if (access != EHidAccess::None && !d->FReadWriteAllowed) return fail(kHidErrorAccessDenied);
  // Made under the device's lock, so that no report slips between the plug
  // check and the handle's queue.
  return std::make_shared<TSimHidHandle>(d, access, d->FPlugGeneration);
}

void TSimHidBus::SetOpenHook(TOpenHook hook) {
  std::lock_guard<std::mutex> lock(FListenerMutex);
  FOpenHook = std::move(hook);
}

void TSimHidBus::SetListener(TListener listener) {
  std::unique_lock<std::mutex> lock(FListenerMutex);
  FListener = std::move(listener);
  // Calls that copied the old listener before this may still be running on
  // other threads: the owner may free what they use once this returns.
  const std::thread::id self = std::this_thread::get_id();
  const auto othersIdle = [&] {
    return std::all_of(FListenerCalls.begin(), FListenerCalls.end(),
                       [&](const std::thread::id& t) { return t == self; });
  };
  if (othersIdle()) return;
  ++FListenerWaits;
  FListenerIdle.wait(lock, othersIdle);
  --FListenerWaits;
}

int TSimHidBus::ListenerClearsWaiting() const {
  std::lock_guard<std::mutex> lock(FListenerMutex);
  return FListenerWaits;
}

void TSimHidBus::Notice() {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    if (!FNoticesEnabled) return;
    ++FNotices;
  }
  TListener l;
  const std::thread::id self = std::this_thread::get_id();
  {
    std::lock_guard<std::mutex> lock(FListenerMutex);
    if (!FListener) return;
    l = FListener;
    FListenerCalls.push_back(self);
  }
  // The call is over (for SetListener) only once the copy is gone too.
  struct TCallEnd {
    TSimHidBus* Bus;
    TListener& Copy;
    std::thread::id Self;
    ~TCallEnd() {
      Copy = nullptr;
      std::lock_guard<std::mutex> lock(Bus->FListenerMutex);
      auto& calls = Bus->FListenerCalls;
      calls.erase(std::find(calls.begin(), calls.end(), Self));
      Bus->FListenerIdle.notify_all();
    }
  } end{this, l, self};
  l();
}
