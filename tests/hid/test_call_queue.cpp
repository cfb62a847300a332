#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "HidCallQueue.h"

using namespace std::chrono_literals;

TEST(HidCallQueue, InvokeFromAnotherThreadWaitsUntilTheMainThreadRanTheCall) {
  std::atomic<int> wakeUps{0};
  THidCallQueue q([&] { ++wakeUps; });
  std::atomic<bool> returned{false};
  int ranOn = 0;                   // main-thread state, written by the call
  bool callerWaitedForIt = false;  // the caller had not returned when the call ran
  std::thread t([&] {
    q.Invoke([&] {
      ranOn = q.IsMainThread() ? 1 : 2;
      callerWaitedForIt = !returned;
    });
    returned = true;
  });
  while (q.PendingCount() == 0) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(1u, q.RunPending());
  t.join();
  EXPECT_TRUE(callerWaitedForIt);
  EXPECT_EQ(1, ranOn);
  EXPECT_EQ(1, wakeUps.load());
}

// RunUntil runs the hand-overs while it waits and ends on Notify; an
// exception of an invoked call goes back to the caller.
TEST(HidCallQueue, RunUntilRunsHandOversWhileItWaitsAndEndsOnNotify) {
  THidCallQueue q;
  std::atomic<bool> finished{false}, caught{false};
  int delivered = 0;
  std::thread t([&] {
    for (int i = 0; i < 3; ++i) q.Invoke([&] { ++delivered; });
    try {
      q.Invoke([] { throw std::runtime_error("handler failed"); });
    } catch (const std::runtime_error& e) {
      caught = std::string(e.what()) == "handler failed";
    }
    q.Notify([&] { finished = true; });
  });
  q.RunUntil([&] { return finished.load(); });
  t.join();
  EXPECT_EQ(3, delivered);
  EXPECT_TRUE(caught.load());
}

TEST(HidCallQueue, PumpTimesOutWithoutCallsAndReportsThePredicate) {
  THidCallQueue q;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(q.Pump(30ms, [] { return false; }));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 25ms);
  EXPECT_TRUE(q.Pump(1000ms, [] { return true; }));
  EXPECT_FALSE(q.Pump(5ms));  // nothing ran
}

TEST(HidCallQueue, PostedCallsRunInOrderCallsMayPumpAgainAndInvokeRunsAtOnce) {
  THidCallQueue q;
  std::vector<int> order;
  q.Post([&] {
    order.push_back(1);
    q.RunPending();  // nested processing runs the rest
    order.push_back(3);
  });
  q.Post([&] { order.push_back(2); });
  EXPECT_EQ(1u, q.RunPending());  // the second ran inside the first
  EXPECT_EQ((std::vector<int>{1, 2, 3}), order);
  q.Invoke([&] { order.push_back(4); });  // on the main thread: at once
  EXPECT_EQ((std::vector<int>{1, 2, 3, 4}), order);
  EXPECT_EQ(0u, q.PendingCount());
}

TEST(HidCallQueue, DestroyingTheQueueReleasesABlockedCaller) {
  auto q = std::make_unique<THidCallQueue>();
  THidCallQueue* raw = q.get();
  std::atomic<bool> returned{false};
  std::thread t([&returned, raw] {
    raw->Invoke([] {});
    returned = true;
  });
  while (q->PendingCount() == 0) std::this_thread::sleep_for(1ms);
  q.reset();
  t.join();
  EXPECT_TRUE(returned.load());
}
