#include "HidCallQueue.h"

#include <utility>

struct THidCallQueue::TCall {
  std::function<void()> Fn;
  bool Blocking = false;
  bool Done = false;
  std::exception_ptr Error;
};

THidCallQueue::THidCallQueue(TWakeUp wakeUp)
    : FMainThread(std::this_thread::get_id()), FWakeUp(std::move(wakeUp)) {}

THidCallQueue::~THidCallQueue() {
  // Release any thread still blocked in Invoke: its call will never run.
  std::lock_guard<std::mutex> lock(FMutex);
  for (auto& c : FCalls) c->Done = true;
  FCalls.clear();
  FCond.notify_all();
}

void THidCallQueue::SetWakeUp(TWakeUp wakeUp) {
  std::lock_guard<std::mutex> lock(FMutex);
  FWakeUp = std::move(wakeUp);
}

void THidCallQueue::Invoke(std::function<void()> fn) {
  if (IsMainThread()) {
    fn();
    return;
  }
  auto call = std::make_shared<TCall>();
  call->Fn = std::move(fn);
  call->Blocking = true;
  TWakeUp wake;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FCalls.push_back(call);
    wake = FWakeUp;
    FCond.notify_all();
  }
  if (wake) wake();
  std::exception_ptr error;
  {
    std::unique_lock<std::mutex> lock(FMutex);
    FCond.wait(lock, [&] { return call->Done; });
    error = call->Error;
  }
  if (error) std::rethrow_exception(error);
}

void THidCallQueue::Post(std::function<void()> fn) {
  auto call = std::make_shared<TCall>();
  call->Fn = std::move(fn);
  TWakeUp wake;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FCalls.push_back(call);
    wake = FWakeUp;
    FCond.notify_all();
  }
  if (wake) wake();
}

bool THidCallQueue::RunOne() {
  std::shared_ptr<TCall> call;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    if (FCalls.empty()) return false;
    call = FCalls.front();
    FCalls.pop_front();
  }
  std::exception_ptr error;
  try {
    call->Fn();
  } catch (...) {
    if (!call->Blocking) {
      // A posted call has nobody to hand the error back to: it goes to the
      // main thread's own caller.
      throw;
    }
    error = std::current_exception();
  }
  if (call->Blocking) {
    std::lock_guard<std::mutex> lock(FMutex);
    call->Error = error;
    call->Done = true;
    call->Fn = nullptr;
    FCond.notify_all();
  }
  return true;
}

std::size_t THidCallQueue::RunPending() {
  std::size_t n = 0;
  while (RunOne()) ++n;
  return n;
}

bool THidCallQueue::Pump(std::chrono::milliseconds timeout, const std::function<bool()>& done) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  bool ranAny = false;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(FMutex);
      const auto ready = [&] { return !FCalls.empty() || (done && done()); };
      if (!FCond.wait_until(lock, until, ready)) return done ? done() : ranAny;
      if (done && done()) return true;
    }
    if (RunOne()) ranAny = true;
  }
}

void THidCallQueue::RunUntil(const std::function<bool()>& done) {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(FMutex);
      FCond.wait(lock, [&] { return !FCalls.empty() || done(); });
      if (done()) return;
    }
    RunOne();
  }
}

void THidCallQueue::Notify(const std::function<void()>& change) {
  std::lock_guard<std::mutex> lock(FMutex);
  if (change) change();
  FCond.notify_all();
}

std::size_t THidCallQueue::PendingCount() const {
  std::lock_guard<std::mutex> lock(FMutex);
  return FCalls.size();
}
