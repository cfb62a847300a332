// The hand-over of calls from other threads onto the main (GUI) thread.
//
// Scheme
//   A reader thread hands each input report to the main thread with Invoke():
//   the call is queued, the wake-up callback is told that a call is waiting,
//   and the reader blocks (condition variable, no spinning) until the main
//   thread has run the call. The main thread runs waiting calls when its event
//   loop gets to them: the application's wake-up posts a queued invocation
//   that calls RunPending() (with Qt: QMetaObject::invokeMethod(obj, [q] {
//   q->RunPending(); }, Qt::QueuedConnection)); a test calls RunPending() or
//   Pump() itself.
//
//   While the main thread waits for a reader to end (THidDevice::StopReader)
//   it uses RunUntil(): it sleeps on the same condition variable and, whenever
//   a call is queued meanwhile, runs it, so a reader blocked in a hand-over can
//   finish and no wait can deadlock against a hand-over in flight.
//
//   Post() queues a call without waiting (used for change notices raised off
//   the main thread).
//
// Thread rules: Invoke, Post and Notify may be called from any thread;
// RunPending, Pump and RunUntil only on the main thread, which is the thread
// that created the queue. Calls run one at a time on the main thread and may
// themselves run RunPending again (nested message processing): each call is
// taken out of the queue before it runs. The wake-up callback is invoked on the
// queuing thread without any lock held; it must not block.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class THidCallQueue {
 public:
  using TWakeUp = std::function<void()>;

  explicit THidCallQueue(TWakeUp wakeUp = {});
  ~THidCallQueue();
  THidCallQueue(const THidCallQueue&) = delete;
  THidCallQueue& operator=(const THidCallQueue&) = delete;

  // "A call was queued". Set it before any reader starts.
  void SetWakeUp(TWakeUp wakeUp);

  // Any thread but the main one: queue fn and block until the main thread has
  // run it. Called on the main thread, fn runs at once. Exceptions thrown by
  // fn are handed back to the caller.
  void Invoke(std::function<void()> fn);
  // Any thread: queue fn; the main thread runs it later.
  void Post(std::function<void()> fn);

  // Main thread: run the calls waiting now (and those queued while they run).
  // Returns how many ran.
  std::size_t RunPending();
  // Main thread: wait up to `timeout` for calls and run them until `done`
  // (evaluated under the queue's lock, may be empty) holds or the time is up.
  // Returns done(); without a predicate, whether any call ran.
  bool Pump(std::chrono::milliseconds timeout, const std::function<bool()>& done = {});
  // Main thread: run queued calls until done() holds; no time limit. done()
  // is evaluated under the queue's lock: whatever makes it true from another
  // thread must be published with Notify().
  void RunUntil(const std::function<bool()>& done);
  // Any thread: run `change` under the queue's lock and wake every waiter of
  // Pump/RunUntil so that they evaluate their predicate again.
  void Notify(const std::function<void()>& change = {});

  bool IsMainThread() const { return std::this_thread::get_id() == FMainThread; }
  std::size_t PendingCount() const;

 private:
  struct TCall;
  // Queues the call and wakes the main thread.
  void Enqueue(std::shared_ptr<TCall> call);
  bool RunOne();

  std::thread::id FMainThread;
  mutable std::mutex FMutex;
  std::condition_variable FCond;
  std::deque<std::shared_ptr<TCall>> FCalls;
  TWakeUp FWakeUp;
};
