#include "ChaosWatchdog.h"

#include <execinfo.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#if defined(__SANITIZE_ADDRESS__)
#define KVZ_CHAOS_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KVZ_CHAOS_ASAN 1
#endif
#endif
#ifdef KVZ_CHAOS_ASAN
#include <sanitizer/common_interface_defs.h>
#endif

extern char** environ;

namespace {

pthread_t gGuiThread;
bool gGuiKnown = false;
std::atomic<bool> gStackPrinted{false};
std::atomic<bool> gDeliberateAbort{false};

void WriteErr(const char* s) {
  const size_t n = std::strlen(s);
  ssize_t w = ::write(2, s, n);
  (void)w;
}

// Async-signal-safe enough for a process that is about to end.
void PrintOwnStack() {
#ifdef KVZ_CHAOS_ASAN
  __sanitizer_print_stack_trace();
#else
  void* frames[128];
  const int n = backtrace(frames, 128);
  backtrace_symbols_fd(frames, n, 2);
#endif
}

void OnStackSignal(int) {
  WriteErr("--- stack of the GUI thread (signal)\n");
  PrintOwnStack();
  gStackPrinted.store(true);
}

#ifdef KVZ_CHAOS_ASAN
// The sanitizer has printed its report and is about to abort: nothing to add.
void OnSanitizerDeath() { gDeliberateAbort.store(true); }
#endif

void OnCrashSignal(int sig) {
  if (!gDeliberateAbort.load()) {
    char line[96];
    std::snprintf(line, sizeof line, "CRASH: signal %d (%s)\n--- stack of the crashing thread\n", sig,
                  strsignal(sig));
    WriteErr(line);
    PrintOwnStack();
  }
  signal(sig, SIG_DFL);
  raise(sig);
}

bool HaveGdb() {
  const char* path = std::getenv("PATH");
  std::string p = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= p.size()) {
    const size_t end = p.find(':', start);
    const std::string dir = p.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!dir.empty() && ::access((dir + "/gdb").c_str(), X_OK) == 0) return true;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return false;
}

bool GdbStack() {
  if (std::getenv("KVZ_CHAOS_NO_GDB") || !HaveGdb()) return false;
  // gdb's own remarks go nowhere; the stack goes to our standard error.
  const std::string cmd =
      "exec timeout 60 gdb -p " + std::to_string(::getpid()) +
      " -batch -nx -q -ex 'set pagination off' -ex 'thread apply 1 bt 120' 1>&2 2>/dev/null";
  const char* argv[] = {"/bin/sh", "-c", cmd.c_str(), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0)
    return false;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

void InitGuiStackPrinting() {
  gGuiThread = pthread_self();
  gGuiKnown = true;
  struct sigaction sa {};
  sa.sa_handler = OnStackSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGUSR2, &sa, nullptr);
  struct sigaction crash {};
  crash.sa_handler = OnCrashSignal;
  sigemptyset(&crash.sa_mask);
  sigaction(SIGABRT, &crash, nullptr);
#ifdef KVZ_CHAOS_ASAN
  __sanitizer_set_death_callback(OnSanitizerDeath);
#else
  // AddressSanitizer reports these itself, with better stacks.
  sigaction(SIGSEGV, &crash, nullptr);
  sigaction(SIGBUS, &crash, nullptr);
  sigaction(SIGFPE, &crash, nullptr);
  sigaction(SIGILL, &crash, nullptr);
#endif
}

void PrintGuiStack() {
  std::fflush(stdout);
  std::fflush(stderr);
  WriteErr("--- stack of the GUI thread (gdb)\n");
  if (GdbStack()) return;
  if (!gGuiKnown) return;
  if (pthread_equal(pthread_self(), gGuiThread)) {
    OnStackSignal(0);
    return;
  }
  gStackPrinted.store(false);
  pthread_kill(gGuiThread, SIGUSR2);
  for (int i = 0; i < 200 && !gStackPrinted.load(); ++i) ::usleep(10000);
}

TChaosWatchdog::TChaosWatchdog(uint32_t seed, std::chrono::milliseconds limit,
                               std::function<std::string()> describe)
    : FSeed(seed), FLimit(limit), FDescribe(std::move(describe)), FThread([this] { Body(); }) {}

TChaosWatchdog::~TChaosWatchdog() {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FStop = true;
  }
  FCond.notify_all();
  FThread.join();
}

void TChaosWatchdog::Suspend(bool on) {
  FSuspended.store(on);
  Beat();
}

void TChaosWatchdog::SetPhase(const char* phase, int limitMs) {
  FPhase.store(phase);
  FPhaseLimitMs.store(limitMs);
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  FDeadline.store(limitMs > 0 ? std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() +
                                    static_cast<int64_t>(limitMs) * 1000000
                              : 0);
}

void TChaosWatchdog::Report(const std::string& headline) {
  std::fprintf(stderr, "%s\nreplay: kvz_chaos --seed %u\n", headline.c_str(), FSeed);
  if (FDescribe) std::fputs(FDescribe().c_str(), stderr);
  std::fflush(stderr);
  PrintGuiStack();
  std::fflush(stderr);
  gDeliberateAbort.store(true);
  std::abort();
}

void TChaosWatchdog::Body() {
  using Clock = std::chrono::steady_clock;
  uint64_t last = FBeats.load();
  Clock::time_point since = Clock::now();
  std::unique_lock<std::mutex> lock(FMutex);
  while (!FCond.wait_for(lock, std::chrono::milliseconds(100), [this] { return FStop; })) {
    const int64_t deadline = FDeadline.load();
    if (deadline != 0 && !FSuspended.load() &&
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count() >
            deadline) {
      lock.unlock();
      Report("HANG: the " + std::string(FPhase.load()) + " phase did not end within " +
             std::to_string(FPhaseLimitMs.load()) + " ms although the event loop turns");
    }
    const uint64_t now = FBeats.load();
    if (now != last || FSuspended.load()) {
      last = now;
      since = Clock::now();
      continue;
    }
    if (Clock::now() - since < FLimit) continue;
    lock.unlock();
    Report("FREEZE: the GUI thread has not turned its event loop for " + std::to_string(FLimit.count()) +
           " ms (" + FPhase.load() + " phase)");
  }
}
