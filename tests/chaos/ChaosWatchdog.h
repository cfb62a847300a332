// The freeze watchdog of a chaos run: the GUI thread bumps a counter from a
// 50 ms timer (Beat); a thread of its own checks that the counter moves. When
// it stands still for the limit, the GUI thread no longer turns its event
// loop: the watchdog prints the seed, the run's last actions and the GUI
// thread's stack, then aborts.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class TChaosWatchdog {
 public:
  // `describe` is called on the watchdog's thread once a freeze is seen; it
  // returns what the run knows (its last actions). It must not wait for the
  // GUI thread.
  TChaosWatchdog(uint32_t seed, std::chrono::milliseconds limit, std::function<std::string()> describe);
  ~TChaosWatchdog();

  // GUI thread: the event loop turned.
  void Beat() { FBeats.fetch_add(1, std::memory_order_relaxed); }
  // While suspended (the run itself blocks the GUI thread on purpose, e.g.
  // to print a stack), standing still is not a freeze.
  void Suspend(bool on);
  // The phase named in the report ("chaos", "finish", "quit", "teardown").
  // With a limit, the phase must end (another phase be set) within it, or
  // the run is reported as hanging, with the same report as a freeze: a
  // load that turns the event loop for ever is stuck too.
  void SetPhase(const char* phase, int limitMs = 0);

 private:
  void Body();
  [[noreturn]] void Report(const std::string& headline);

  const uint32_t FSeed;
  const std::chrono::milliseconds FLimit;
  std::function<std::string()> FDescribe;
  std::atomic<uint64_t> FBeats{0};
  std::atomic<bool> FSuspended{false};
  std::atomic<const char*> FPhase{"start"};
  std::atomic<int64_t> FDeadline{0};  // steady clock, ns; 0: none
  std::atomic<int> FPhaseLimitMs{0};
  std::mutex FMutex;
  std::condition_variable FCond;
  bool FStop = false;
  std::thread FThread;
};

// Prints the stack of the process's main (GUI) thread to standard error:
// with gdb when it is installed (attached to this process), otherwise from a
// signal sent to that thread. Any thread may call it; the GUI thread too
// (its stack then starts with this call).
void PrintGuiStack();

// Remembers the GUI thread (call on it, once, before PrintGuiStack) and
// installs the handlers that print the stack of a crash.
void InitGuiStackPrinting();
