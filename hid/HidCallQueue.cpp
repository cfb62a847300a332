#include "HidCallQueue.h"

#include <utility>

// A blocking caller waits on its call's own condition, so that the queue may
// go away while a caller still waits.
struct THidCallQueue::TCall {
  std::function<void()> Fn;
  bool Blocking = false;
  std::mutex Mutex;
  std::condition_variable Cond;
  bool Done = false;  // guarded by Mutex
  std::exception_ptr Error;

  void Finish(std::exception_ptr error) {
    std::lock_guard<std::mutex> lock(Mutex);
    Error = std::move(error);
    Done = true;
    Cond.notify_all();
  }
};

THidCallQueue::THidCallQueue(TWakeUp wakeUp)
    : FMainThread(std::this_thread::get_id()), FWakeUp(std::move(wakeUp)) {}

THidCallQueue::~THidCallQueue() {
  // Release any thread still blocked in Invoke: its call will never run.
  std::deque<std::shared_ptr<TCall>> calls;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    calls.swap(FCalls);
  }
  for (auto& c : calls)
    if (c->Blocking) c->Finish(nullptr);
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
  Enqueue(call);
  std::exception_ptr error;
  {
    std::unique_lock<std::mutex> lock(call->Mutex);
    call->Cond.wait(lock, [&] { return call->Done; });
    error = std::move(call->Error);
    call->Error = nullptr;
  }
  if (error) std::rethrow_exception(error);
}

void THidCallQueue::Post(std::function<void()> fn) {
  auto call = std::make_shared<TCall>();
  call->Fn = std::move(fn);
  Enqueue(std::move(call));
}

void THidCallQueue::Enqueue(std::shared_ptr<TCall> call) {
  TWakeUp wake;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FCalls.push_back(std::move(call));
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
    call->Fn = nullptr;
    call->Finish(std::move(error));
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
