#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>

#include "HidControllerClass.h"
#include "HidInternal.h"

namespace {

// Threads of readers that were stopped from inside one of their own
// hand-overs: they end as soon as that hand-over returns.
struct TReaper {
  std::mutex Mutex;
  std::vector<std::pair<std::thread, std::shared_ptr<THidReaderState>>> Threads;

  ~TReaper() {
    std::lock_guard<std::mutex> lock(Mutex);
    for (auto& t : Threads)
      if (t.first.joinable()) t.first.join();
    Threads.clear();
  }
};

TReaper& Reaper() {
  static TReaper r;
  return r;
}

// Hands the report (or the read error) to the main thread and waits until the
// handler ran. False when the reader must end (a handler failed).
bool HandOver(const std::shared_ptr<THidReaderState>& s, bool error) {
  s->Queue->Invoke([s, error] {
    THidDevice* d = s->Device;
    if (d == nullptr) return;  // detached: nobody to tell
    s->InHandOver = true;
    try {
      if (error) {
        const THidDataErrorEvent h = d->OnDeviceDataError();
        if (h.Assigned()) h(d, s->LastError.load());
      } else {
        const THidDataEvent h = d->OnDeviceData();
        const uint32_t n = s->BytesRead.load();
        if (h.Assigned() && n > 0) h(d, s->Buffer[0], s->Buffer.data() + 1, static_cast<uint16_t>(n - 1));
      }
    } catch (...) {
      s->Fatal = std::current_exception();
    }
    s->InHandOver = false;
  });
  return !s->Fatal;
}

// Waits one slice before the next attempt after a failure (a read that could
// not be started or that failed on its handle), so that a device that is gone
// does not make the reader and the main thread spin. A stop request cuts the
// pause short.
void Pause(const std::shared_ptr<THidReaderState>& s) {
  std::unique_lock<std::mutex> lock(s->PauseMutex);
  s->PauseCond.wait_for(lock, std::chrono::milliseconds(s->Io->SleepTime.load()),
                        [&] { return s->Terminated.load(); });
}

}  // namespace

void HidReaderBody(const std::shared_ptr<THidReaderState>& s) {
  while (!s->Terminated.load()) {
    auto p = s->Io->GetPreparsed();
    const std::size_t len = std::min<std::size_t>(p ? p->Caps.InputReportByteLength : 0, s->Buffer.size());
    std::fill(s->Buffer.begin(), s->Buffer.begin() + static_cast<std::ptrdiff_t>(len), 0);

    uint32_t err = kHidErrorNone;
    std::shared_ptr<IHidHandle> h = len > 0 ? s->Io->AcquireReadHandle(&err) : nullptr;
    if (len == 0) err = kHidErrorInvalidBuffer;
    if (!h) {
      // The read could not be started.
      s->LastError.store(err);
      if (!HandOver(s, true)) break;
      Pause(s);
      continue;
    }

    THidReadResult r;
    for (;;) {
      r = h->Read(s->Buffer.data(), len, s->Io->SleepTime.load());
      if (r.Status != EHidReadStatus::TimedOut || s->Terminated.load()) break;
    }
    h.reset();
    // A read that completes after termination was requested is not delivered.
    if (s->Terminated.load()) break;
    if (r.Status == EHidReadStatus::Failed) {
      // Reported like a read that could not be started (a node that vanished
      // without a removal notice fails here, with kHidErrorDeviceNotConnected).
      s->BytesRead.store(0);
      s->LastError.store(r.Error != kHidErrorNone ? r.Error : kHidErrorDeviceNotConnected);
      if (!HandOver(s, true)) break;
      Pause(s);
      continue;
    }
    const uint32_t n =
        r.Status == EHidReadStatus::Completed ? static_cast<uint32_t>(std::min(r.Bytes, len)) : 0;
    s->BytesRead.store(n);
    if (n > 0 && !HandOver(s, false)) break;  // a read of 0 bytes is dropped
  }
  if (s->Detached.load())
    s->Finished.store(true);  // the queue may be gone; the reaper only looks at the flag
  else
    s->Queue->Notify([&] { s->Finished.store(true); });
}

void HidReaperAdd(std::thread t, std::shared_ptr<THidReaderState> s) {
  HidReaperCollect();
  TReaper& r = Reaper();
  std::lock_guard<std::mutex> lock(r.Mutex);
  r.Threads.emplace_back(std::move(t), std::move(s));
}

void HidReaperCollect() {
  TReaper& r = Reaper();
  std::vector<std::thread> done;
  {
    std::lock_guard<std::mutex> lock(r.Mutex);
    for (auto it = r.Threads.begin(); it != r.Threads.end();) {
      if (it->second->Finished.load()) {
        done.push_back(std::move(it->first));
        it = r.Threads.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& t : done)
    if (t.joinable()) t.join();
}

// ---- reader thread object ---------------------------------------------------

THidDeviceReadThread::THidDeviceReadThread(THidDevice* device, std::shared_ptr<THidDeviceIo> io,
                                           THidCallQueue& queue, uint16_t reportLength)
    : FDevice(device), FQueue(queue), FState(std::make_shared<THidReaderState>()) {
  FState->Io = std::move(io);
  FState->Queue = &queue;
  FState->Device = device;
  FState->Buffer.assign(reportLength, 0);
}

THidDeviceReadThread::~THidDeviceReadThread() {
  if (FThread.joinable()) {
    Terminate();
    WaitForEnd();
  }
}

void THidDeviceReadThread::Start() {
  std::shared_ptr<THidReaderState> s = FState;
  FThread = std::thread([s] { HidReaderBody(s); });
}

void THidDeviceReadThread::Terminate() {
  {
    std::lock_guard<std::mutex> lock(FState->PauseMutex);
    FState->Terminated.store(true);
  }
  FState->PauseCond.notify_all();
  FState->Io->CancelRead();
}

bool THidDeviceReadThread::WaitForEnd() {
  if (!FThread.joinable()) return true;
  if (FState->InHandOver) {
    // We are inside one of its hand-overs: it waits for us. Let it go.
    FState->Device = nullptr;
    FState->Detached.store(true);
    HidReaperAdd(std::move(FThread), FState);
    return false;
  }
  std::shared_ptr<THidReaderState> s = FState;
  FQueue.RunUntil([s] { return s->Finished.load(); });
  FThread.join();
  FState->Device = nullptr;
  HidReaperCollect();
  return true;
}

uint32_t THidDeviceReadThread::LastError() const { return FState->LastError.load(); }
uint32_t THidDeviceReadThread::BytesRead() const { return FState->BytesRead.load(); }
const std::vector<uint8_t>& THidDeviceReadThread::ReportBuffer() const { return FState->Buffer; }
bool THidDeviceReadThread::Terminated() const { return FState->Terminated.load(); }
bool THidDeviceReadThread::Finished() const { return FState->Finished.load(); }
std::exception_ptr THidDeviceReadThread::FatalException() const { return FState->Fatal; }
