// Entry of the system test. The process restarts itself once with the
// harness's preload library (it goes through hidapi and libudev itself in
// the backend tests), then enters its sandbox while it still has a single
// thread, mounts the emulated device nodes and runs the tests. Where the
// sandbox cannot be had (no root, no FUSE, no namespaces) every test is
// skipped with the reason; in CI (CI=true) the run fails with it instead.
#include <execinfo.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "EmulatedTerminal.h"
#include "Sandbox.h"

namespace {

// A harness that dies with its own FUSE files open would hang in its exit,
// closing them: on a fatal signal the connection is ended first.
void OnFatalSignal(int sig) {
  const char msg[] = "\n[  SYSTEM  ] fatal signal in the harness; stack:\n";
  if (write(2, msg, sizeof msg - 1) < 0) {
  }
  void* frames[64];
  backtrace_symbols_fd(frames, backtrace(frames, 64), 2);
  if (TSystemWorld* world = SystemWorld()) world->Nodes.Abort();
  signal(sig, SIG_DFL);
  raise(sig);
}

// A harness killed from outside (SIGKILL from a test runner's time limit)
// cannot end its connection and would stay stuck in its exit: it ends
// itself first when a run takes far too long.
void StartWatchdog() {
  int seconds = 200;
  if (const char* s = std::getenv("KVZ_SYSTEM_WATCHDOG")) seconds = std::atoi(s);
  if (seconds <= 0) return;
  std::thread([seconds] {
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    std::fprintf(stderr, "\n[  SYSTEM  ] the run took more than %d s: stopped (KVZ_SYSTEM_WATCHDOG)\n",
                 seconds);
    if (TSystemWorld* world = SystemWorld()) world->Nodes.Abort();
    _exit(3);
  }).detach();
}

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv("KVZ_SYSTEM_STAGE") == nullptr) {
    setenv("KVZ_SYSTEM_STAGE", "1", 1);
    setenv("KVZ_HIDRAW_DIR", kSandboxFuseDir, 1);
    setenv("KVZ_HIDRAW_MAJOR", std::to_string(kHidrawMajor).c_str(), 1);
    const char* old = std::getenv("LD_PRELOAD");
    setenv("LD_PRELOAD", (std::string(KVZ_SYSTEM_SHIM) + (old && *old ? ":" + std::string(old) : "")).c_str(),
           1);
    execv("/proc/self/exe", argv);
    std::perror("restarting with the preload library");
    return 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  char cwd[4096];
  std::vector<std::string> keep{KVZ_SYSTEM_SHIM, KVZ_SYSTEM_PROGRAM, KVZ_SYSTEM_ARTIFACTS};
  if (getcwd(cwd, sizeof cwd) != nullptr) keep.emplace_back(cwd);
  std::string reason = EnterSandbox(keep);
  if (reason.empty()) reason = StartSystemWorld();
  for (int sig : {SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL, SIGTERM, SIGINT}) signal(sig, OnFatalSignal);
  StartWatchdog();
  SandboxSkipReason() = reason;
  // In CI a missing prerequisite is a failure, with its reason.
  const char* ci = std::getenv("CI");
  if (!reason.empty() && ci && std::string(ci) == "true") {
    std::printf("[  SYSTEM  ] cannot run here: %s\n", reason.c_str());
    std::fflush(stdout);
    _exit(1);
  }
  if (!reason.empty()) std::printf("[  SYSTEM  ] every test is skipped: %s\n", reason.c_str());
  const int rc = RUN_ALL_TESTS();
  std::fflush(stdout);
  std::fflush(stderr);
  // The FUSE threads are still serving: end their connection, so that
  // closing what is still open does not wait for them, and leave without
  // unwinding them.
  if (TSystemWorld* world = SystemWorld()) world->Nodes.Abort();
  _exit(rc);
}
