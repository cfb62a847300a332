#include "HidControllerClass.h"

#include <algorithm>

#include "HidInternal.h"

namespace {

THidDeviceController* gInstance = nullptr;

// Keeps the pass-or-walk depth; a notice arriving meanwhile is deferred.
class TBusyScope {
 public:
  explicit TBusyScope(int& depth) : FDepth(depth) { ++FDepth; }
  ~TBusyScope() { --FDepth; }
  TBusyScope(const TBusyScope&) = delete;
  TBusyScope& operator=(const TBusyScope&) = delete;

 private:
  int& FDepth;
};

// Owns the objects of a fresh scan until they are adopted or destroyed.
struct TFreshList {
  std::vector<THidDevice*> Items;
  ~TFreshList() {
    for (THidDevice* d : Items) delete d;
  }
};

}  // namespace

THidDeviceController::THidDeviceController(std::shared_ptr<IHidPlatform> platform, THidCallQueue& mainThread)
    : FQueue(mainThread) {
  if (gInstance != nullptr) throw EControllerError(kHidErrOnlyOneController);
  FPlatform = std::move(platform);
  FHidClassGuid = kHidInterfaceClassGuid;
  if (FPlatform) {
    THidGuid g;
    if (FPlatform->GetHidGuid(g)) FHidClassGuid = g;
  }
  gInstance = this;
  FAlive = std::make_shared<std::atomic<bool>>(true);
  try {
    FDeviceList = BuildDeviceList();
  } catch (...) {
    gInstance = nullptr;
    throw;
  }
  FAvailableCount = Count();

  if (FPlatform && FPlatform->ChangeSource()) {
    std::weak_ptr<std::atomic<bool>> alive = FAlive;
    THidCallQueue* queue = &FQueue;
    THidDeviceController* self = this;
    FPlatform->ChangeSource()->SetListener([alive, queue, self] {
      auto run = [alive, self] {
        auto a = alive.lock();
        if (a && a->load()) self->DeviceChange();
      };
      if (queue->IsMainThread())
        run();
      else
        queue->Post(run);
    });
  }
}

THidDeviceController::~THidDeviceController() {
  if (gInstance == this) gInstance = nullptr;
  FAlive->store(false);
  FAlive.reset();
  FOnDeviceChange = nullptr;
  FOnDeviceUnplug = nullptr;
  FOnEnumerate = nullptr;
  if (FPlatform && FPlatform->ChangeSource()) FPlatform->ChangeSource()->SetListener(nullptr);

  std::vector<THidDevice*> list = std::move(FDeviceList);
  FDeviceList.clear();
  for (THidDevice* d : list) d->CutController();
  for (THidDevice* d : list) {
    if (d->Claimed())
      d->MarkUnplugged();  // left to its owner
    else
      delete d;
  }
  HidReaperCollect();
}

std::vector<THidDevice*> THidDeviceController::BuildDeviceList() {
  TFreshList fresh;
  if (!FPlatform) return {};
  std::vector<THidInterfaceEntry> entries;
  if (!FPlatform->ListInterfaces(entries)) return {};
  for (const THidInterfaceEntry& e : entries) {
    if (e.InterfacePath.empty()) continue;  // no detail: skipped
    try {
      fresh.Items.push_back(nullptr);
      fresh.Items.back() = new THidDevice(std::make_unique<THidPnPInfo>(e), this);
    } catch (const EControllerError&) {
      fresh.Items.pop_back();  // cannot be opened or identified: left out
    }
  }
  std::vector<THidDevice*> out;
  out.swap(fresh.Items);
  return out;
}

int THidDeviceController::IndexOfSerial(uint64_t serial) const {
  for (std::size_t i = 0; i < FDeviceList.size(); ++i)
    if (FDeviceList[i]->FSerial == serial) return static_cast<int>(i);
  return -1;
}

int THidDeviceController::IndexOf(const THidDevice* dev) const {
  auto it = std::find(FDeviceList.begin(), FDeviceList.end(), dev);
  return it == FDeviceList.end() ? -1 : static_cast<int>(it - FDeviceList.begin());
}

void THidDeviceController::NotifyDeviceChange() {
  if (!FQueue.IsMainThread()) {
    std::weak_ptr<std::atomic<bool>> alive = FAlive;
    THidDeviceController* self = this;
    FQueue.Post([alive, self] {
      auto a = alive.lock();
      if (a && a->load()) self->DeviceChange();
    });
    return;
  }
  DeviceChange();
}

int THidDeviceController::NoticeFd() const {
  return FPlatform && FPlatform->ChangeSource() ? FPlatform->ChangeSource()->NoticeFd() : -1;
}

int THidDeviceController::ConsumeNotices() {
  if (!FPlatform || !FPlatform->ChangeSource()) return 0;
  const int n = FPlatform->ChangeSource()->ConsumeNotices();
  for (int i = 0; i < n; ++i) DeviceChange();
  return n;
}

void THidDeviceController::DeviceChange() {
  if (FBusyDepth > 0) {
    ++FDeferred;  // run when the running pass or walk ends
    return;
  }
  RunPass();
  DrainDeferred();
}

void THidDeviceController::DrainDeferred() {
  if (FBusyDepth > 0 || FDraining) return;
  FDraining = true;
  try {
    while (FDeferred > 0) {
      --FDeferred;
      RunPass();
    }
  } catch (...) {
    FDraining = false;
    throw;
  }
  FDraining = false;
}

void THidDeviceController::RunPass() {
  TBusyScope busy(FBusyDepth);
  ++FPassCount;
  TFreshList fresh;
  fresh.Items = BuildDeviceList();
  bool changed = false;

  // Removal, from the last to the first. Handlers may release (and so
  // destroy) devices: each entry is looked up again after every event.
  std::vector<uint64_t> serials;
  serials.reserve(FDeviceList.size());
  for (THidDevice* d : FDeviceList) serials.push_back(d->FSerial);
  for (auto it = serials.rbegin(); it != serials.rend(); ++it) {
    int idx = IndexOfSerial(*it);
    if (idx < 0) continue;
    THidDevice* d = FDeviceList[idx];
    const uint32_t instance = d->PnPInfo().DeviceInstance;
    const bool present =
        d->Plugged() && std::any_of(fresh.Items.begin(), fresh.Items.end(),
                                    [&](THidDevice* n) { return n->PnPInfo().DeviceInstance == instance; });
    if (present) continue;
    d->MarkUnplugged();
    changed = true;
    idx = IndexOfSerial(*it);
    if (idx >= 0 && !FDeviceList[idx]->Claimed()) {
      THidDevice* gone = FDeviceList[idx];
      FDeviceList.erase(FDeviceList.begin() + idx);
      gone->CutController();
      delete gone;
    }
  }

  // Duplicates of listed plugged devices.
  for (THidDevice*& n : fresh.Items) {
    const uint32_t instance = n->PnPInfo().DeviceInstance;
    const bool listed = std::any_of(FDeviceList.begin(), FDeviceList.end(), [&](THidDevice* d) {
      return d->Plugged() && d->PnPInfo().DeviceInstance == instance;
    });
    if (listed) {
      n->CutController();
      delete n;
      n = nullptr;
    }
  }

  // Arrival.
  for (THidDevice*& n : fresh.Items) {
    if (n == nullptr) continue;
    FDeviceList.push_back(n);
    n = nullptr;
    changed = true;
  }
  fresh.Items.clear();

  Recount();

  if (changed || !FChangeReported || FForceReport) {
    FForceReport = false;
    if (FOnDeviceChange.Assigned()) {
      const TNotifyEvent h = FOnDeviceChange;
      h(this);
    }
  }
}

void THidDeviceController::Recount() {
  int32_t notClaimed = 0, unplugged = 0, claimed = 0;
  for (THidDevice* d : FDeviceList) {
    if (d->Claimed())
      ++claimed;
    else
      ++notClaimed;
    if (!d->Plugged()) ++unplugged;
  }
  FAvailableCount = notClaimed;
  FUnpluggedCount = unplugged;
  FClaimedCount = claimed - unplugged;
}

int32_t THidDeviceController::EnumerateDevices() {
  int32_t counter = 0;
  {
    TBusyScope busy(FBusyDepth);
    std::vector<uint64_t> serials;
    serials.reserve(FDeviceList.size());
    for (THidDevice* d : FDeviceList) serials.push_back(d->FSerial);
    for (uint64_t serial : serials) {
      int idx = IndexOfSerial(serial);
      if (idx < 0) continue;
      THidDevice* d = FDeviceList[idx];
      if (!d->Plugged()) continue;
      ++counter;
      bool answer = false;
      if (FOnEnumerate.Assigned()) {
        const THidEnumerateEvent h = FOnEnumerate;
        d->SetEnumerating(true);
        try {
          answer = h(d, idx);
        } catch (...) {
          if (IndexOfSerial(serial) >= 0) {
            d->SetEnumerating(false);
            if (!d->Claimed()) {
              d->CloseIoHandle();
              d->CloseReadHandle();
            }
          }
          throw;
        }
        if (IndexOfSerial(serial) >= 0) {
          d->SetEnumerating(false);
          if (!d->Claimed()) {
            d->CloseIoHandle();
            d->CloseReadHandle();
          }
        }
      }
      if (!answer) break;
    }
  }
  DrainDeferred();
  return counter;
}

bool THidDeviceController::ClaimDeviceAt(THidDevice*& HidDev, int32_t Idx) {
  HidDev = nullptr;
  if (Idx < 0 || Idx >= Count()) return false;
  THidDevice* d = FDeviceList[Idx];
  if (d->Claimed()) return false;
  HidDev = d;
  d->SetClaimed(true);
  ++FClaimedCount;
  --FAvailableCount;
  d->StartReader();
  return true;
}

void THidDeviceController::ReleaseDevice(THidDevice*& HidDev) {
  THidDevice* d = HidDev;
  if (d == nullptr) return;
  // Cleared first, so that a handler run while the reader stops cannot
  // release the same device twice through the same reference.
  HidDev = nullptr;
  const std::shared_ptr<bool> life = d->FLife;
  d->StopReader();
  if (!*life) return;  // freed by a handler that ran while its reader stopped
  d->CloseIoHandle();
  d->CloseReadHandle();
  if (d->Plugged()) {
    if (d->Claimed()) {
      d->SetClaimed(false);
      --FClaimedCount;
      ++FAvailableCount;
    }
  } else {
    delete d;  // takes it out of the list
  }
}

void THidDeviceController::DeviceDestroyed(THidDevice* dev, THidDataEvent onData, THidUnplugEvent onUnplug,
                                           int32_t sleepTime, std::unique_ptr<THidPnPInfo>& info) {
  const int idx = IndexOf(dev);
  if (idx < 0) return;
  if (!dev->Plugged()) {
    FDeviceList.erase(FDeviceList.begin() + idx);
    --FUnpluggedCount;
    return;
  }
  const bool wasClaimed = dev->Claimed();
  THidDevice* fresh = nullptr;
  try {
    fresh = new THidDevice(std::move(info), this);
  } catch (const EControllerError&) {
    // The interface went away meanwhile: the entry goes.
    FDeviceList.erase(FDeviceList.begin() + idx);
    if (wasClaimed)
      --FClaimedCount;
    else
      --FAvailableCount;
    return;
  }
  fresh->SetDataHandler(std::move(onData));
  fresh->SetOnDeviceUnplug(std::move(onUnplug));
  fresh->SetReaderSleepTime(sleepTime);
  FDeviceList[idx] = fresh;
  if (wasClaimed) {
    --FClaimedCount;
    ++FAvailableCount;
  }
}

void THidDeviceController::SetOnDeviceChange(TNotifyEvent h) {
  if (h.SameCode(FOnDeviceChange)) return;
  FOnDeviceChange = std::move(h);
  if (FBusyDepth > 0) {
    FForceReport = true;  // the deferred pass reports
    ++FDeferred;
    FChangeReported = true;
    return;
  }
  RunPass();
  FChangeReported = true;  // before any deferred notice is run
  DrainDeferred();
}

namespace {
template <typename Ev, typename Get, typename Set>
void PushHandler(std::vector<THidDevice*>& list, const Ev& current, const Ev& next, Get get, Set set) {
  std::vector<THidDevice*> snapshot = list;
  for (THidDevice* d : snapshot) {
    if (std::find(list.begin(), list.end(), d) == list.end()) continue;
    if (get(d).SameCode(current)) set(d, next);
  }
}
}  // namespace

void THidDeviceController::SetOnDeviceData(THidDataEvent h) {
  if (h.SameCode(FOnDeviceData)) return;
  PushHandler(
      FDeviceList, FOnDeviceData, h, [](THidDevice* d) { return d->OnDeviceData(); },
      [](THidDevice* d, const THidDataEvent& e) { d->SetDataHandler(e); });
  FOnDeviceData = std::move(h);
}

void THidDeviceController::SetOnDeviceDataError(THidDataErrorEvent h) {
  if (h.SameCode(FOnDeviceDataError)) return;
  PushHandler(
      FDeviceList, FOnDeviceDataError, h, [](THidDevice* d) { return d->OnDeviceDataError(); },
      [](THidDevice* d, const THidDataErrorEvent& e) { d->SetOnDeviceDataError(e); });
  FOnDeviceDataError = std::move(h);
}

void THidDeviceController::SetOnDeviceUnplug(THidUnplugEvent h) {
  if (h.SameCode(FOnDeviceUnplug)) return;
  PushHandler(
      FDeviceList, FOnDeviceUnplug, h, [](THidDevice* d) { return d->OnDeviceUnplug(); },
      [](THidDevice* d, const THidUnplugEvent& e) { d->SetOnDeviceUnplug(e); });
  FOnDeviceUnplug = std::move(h);
}

void THidDeviceController::SetDevThreadSleepTime(int32_t ms) {
  if (ms == FDevThreadSleepTime) return;
  for (THidDevice* d : FDeviceList)
    if (d->ReaderSleepTime() == FDevThreadSleepTime) d->SetReaderSleepTime(ms);
  FDevThreadSleepTime = ms;
}
