// Ends the process when a test runs past its bound: a load stuck in a nested
// loop never returns to the test's own wait, so the test could not fail by
// itself; the watchdog makes such a freeze a failure with its name.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

class TWatchdog {
 public:
  TWatchdog(std::string name, std::chrono::seconds limit)
      : FThread([this, name = std::move(name), limit] {
          std::unique_lock<std::mutex> lock(FMutex);
          if (!FCond.wait_for(lock, limit, [this] { return FDone; })) {
            std::fprintf(stderr, "%s: still running after %lld s, stopped (frozen)\n", name.c_str(),
                         static_cast<long long>(limit.count()));
            std::fflush(stderr);
            std::abort();
          }
        }) {}
  ~TWatchdog() {
    {
      std::lock_guard<std::mutex> lock(FMutex);
      FDone = true;
    }
    FCond.notify_all();
    FThread.join();
  }
  TWatchdog(const TWatchdog&) = delete;
  TWatchdog& operator=(const TWatchdog&) = delete;

 private:
  std::mutex FMutex;
  std::condition_variable FCond;
  bool FDone = false;
  std::thread FThread;
};
