// The chaos run of the load: many seeds, each in a process of its own, so
// that a freeze or a crash of one seed is reported and the others still run.
//
//   kvz_chaos [--seeds N] [--first S] [--jobs J] [--log-dir DIR] [--ms MS]
//       runs seeds S .. S+N-1 (default 10 seeds from 1), J at a time (default:
//       the number of cores), and prints one line "chaos: N seeds, M failed"
//       after what it found; exit status 1 when a seed failed. The output of
//       each failed seed is kept in DIR (default: chaos-logs beside the
//       executable).
//   kvz_chaos --seed N [--verbose] [--ms MS]
//       replays one seed in this process (for a debugger: gdb --args ...);
//       --verbose prints every action as it happens.
//
// --ms sets the length of the chaos (default: drawn from the seed); --avoid
// leaves roads out to look past a fault already known (see ChaosRun.h).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ChaosRun.h"
#include "U_QtShell.h"

extern char** environ;

namespace {

struct TArgs {
  long Seeds = 10;
  long First = 1;
  long Seed = -1;
  int Jobs = 0;
  int Ms = -1;
  int ChildTimeoutS = 120;
  bool Verbose = false;
  bool Child = false;
  bool KeepLogs = false;
  std::string LogDir;
  std::set<std::string> Avoid;
  std::string AvoidArg;
};

void Usage() {
  std::fputs(
      "usage: kvz_chaos [--seeds N] [--first S] [--jobs J] [--log-dir DIR] [--ms MS] [--avoid ROADS]\n"
      "                 [--keep-logs] [--timeout S]\n"
      "       kvz_chaos --seed N [--verbose] [--ms MS] [--avoid ROADS]\n"
      "ROADS: comma-separated among covered, minimise, quit, wait-keys\n",
      stderr);
}

bool ParseArgs(int argc, char** argv, TArgs& a) {
  for (int i = 1; i < argc; ++i) {
    const std::string s = argv[i];
    auto value = [&](long& out) {
      if (i + 1 >= argc) return false;
      char* end = nullptr;
      out = std::strtol(argv[++i], &end, 10);
      return end && *end == '\0';
    };
    long v = 0;
    if (s == "--seeds") {
      if (!value(a.Seeds) || a.Seeds < 0) return false;
    } else if (s == "--first") {
      if (!value(a.First) || a.First < 0) return false;
    } else if (s == "--seed") {
      if (!value(a.Seed) || a.Seed < 0) return false;
    } else if (s == "--jobs") {
      if (!value(v) || v < 1) return false;
      a.Jobs = static_cast<int>(v);
    } else if (s == "--ms") {
      if (!value(v) || v < 0) return false;
      a.Ms = static_cast<int>(v);
    } else if (s == "--timeout") {
      if (!value(v) || v < 1) return false;
      a.ChildTimeoutS = static_cast<int>(v);
    } else if (s == "--log-dir") {
      if (i + 1 >= argc) return false;
      a.LogDir = argv[++i];
    } else if (s == "--avoid") {
      if (i + 1 >= argc) return false;
      a.AvoidArg = argv[++i];
      size_t start = 0;
      while (start <= a.AvoidArg.size()) {
        const size_t comma = a.AvoidArg.find(',', start);
        const std::string road =
            a.AvoidArg.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (road != "covered" && road != "minimise" && road != "quit" && road != "wait-keys") return false;
        a.Avoid.insert(road);
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
    } else if (s == "--verbose") {
      a.Verbose = true;
    } else if (s == "--keep-logs") {
      a.KeepLogs = true;
    } else if (s == "--child") {
      a.Child = true;
    } else {
      return false;
    }
  }
  return true;
}

// One seed in this process.
int RunOne(int argc, char** argv, const TArgs& a) {
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  InstallChaosMessageHandler();
  QApplication app(argc, argv);
  InstallFrenchTranslations();
  TChaosOptions o;
  o.Seed = static_cast<uint32_t>(a.Seed);
  o.ChaosMs = a.Ms;
  o.Verbose = a.Verbose;
  o.Avoid = a.Avoid;
  const int rc = RunChaosSeed(o);
  if (!a.Child) std::fprintf(stderr, "seed %ld: %s\n", a.Seed, rc == 0 ? "passed" : "FAILED");
  return rc;
}

std::string SelfPath() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return std::string();
  buf[n] = '\0';
  return buf;
}

void DefaultEnv(const char* name, const char* value) {
  if (!std::getenv(name)) setenv(name, value, 1);
}

// The sanitizers' options for the children: a use after return on the stack
// is looked for too (the report writer's hand-over lives on the stack).
void ChildEnvironment() {
  DefaultEnv("QT_QPA_PLATFORM", "offscreen");
  const char* asan = std::getenv("ASAN_OPTIONS");
  std::string opts = asan ? asan : "detect_leaks=1:abort_on_error=1";
  if (opts.find("detect_stack_use_after_return") == std::string::npos) {
    if (!opts.empty()) opts += ":";
    opts += "detect_stack_use_after_return=1";
  }
  setenv("ASAN_OPTIONS", opts.c_str(), 1);
  DefaultEnv("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1");
}

struct TChild {
  long Seed = 0;
  pid_t Pid = 0;
  std::string Log;
  std::chrono::steady_clock::time_point Start;
  bool Killed = false;
};

// What a failed seed's output says, shortened for the summary.
void Summarise(const TChild& c, int status, bool killed) {
  std::string why;
  if (killed)
    why = "killed after the time limit";
  else if (WIFSIGNALED(status))
    why = std::string("ended by signal ") + std::to_string(WTERMSIG(status)) + " (" +
          strsignal(WTERMSIG(status)) + ")";
  else
    why = "exit status " + std::to_string(WEXITSTATUS(status));
  std::printf("  seed %ld failed: %s; output in %s\n", c.Seed, why.c_str(), c.Log.c_str());
  std::ifstream in(c.Log);
  std::string line;
  int shown = 0, frames = 0;
  bool inStack = false;
  while (std::getline(in, line) && shown < 60) {
    const bool headline = line.rfind("FAIL:", 0) == 0 || line.rfind("FREEZE:", 0) == 0 ||
                          line.rfind("HANG:", 0) == 0 || line.rfind("CRASH:", 0) == 0 ||
                          line.find("ERROR: AddressSanitizer") != std::string::npos ||
                          line.find("ERROR: LeakSanitizer") != std::string::npos ||
                          line.find("runtime error:") != std::string::npos || line.rfind("SUMMARY:", 0) == 0;
    if (headline) {
      std::printf("    | %s\n", line.c_str());
      ++shown;
      inStack = true;
      frames = 0;
      continue;
    }
    if (line.find("freed by thread") != std::string::npos ||
        line.find("previously allocated by thread") != std::string::npos) {
      frames = 10;  // a few frames of these stacks
      std::printf("    | %s\n", line.c_str());
      ++shown;
      continue;
    }
    if (line.rfind("--- stack", 0) == 0) {
      inStack = true;
      frames = 0;
      std::printf("    | %s\n", line.c_str());
      ++shown;
      continue;
    }
    // The program's own frames of each stack (sources of the project, or
    // exported names without a debugger).
    const bool own =
        (line.find("../../") != std::string::npos && line.find("libsanitizer") == std::string::npos &&
         line.find("/usr/include") == std::string::npos) ||
        line.find("kvz_chaos(_Z") != std::string::npos;
    if (inStack && own && frames++ < 16) {
      std::printf("    | %s\n", line.substr(0, 200).c_str());
      ++shown;
    }
  }
  std::fflush(stdout);
}

int RunMany(const TArgs& a) {
  const std::string self = SelfPath();
  if (self.empty()) {
    std::fprintf(stderr, "kvz_chaos: cannot find its own executable\n");
    return 2;
  }
  std::string dir = a.LogDir;
  if (dir.empty()) dir = self.substr(0, self.rfind('/') + 1) + "chaos-logs";
  ::mkdir(dir.c_str(), 0755);
  ChildEnvironment();
  int jobs = a.Jobs;
  if (jobs <= 0) {
    const unsigned n = std::thread::hardware_concurrency();
    jobs = n == 0 ? 2 : static_cast<int>(n);
  }

  const auto t0 = std::chrono::steady_clock::now();
  std::map<pid_t, TChild> running;
  std::vector<long> failed;
  long next = a.First;
  const long end = a.First + a.Seeds;
  const std::string ms = std::to_string(a.Ms);
  while (next < end || !running.empty()) {
    while (next < end && static_cast<int>(running.size()) < jobs) {
      TChild c;
      c.Seed = next++;
      c.Log = dir + "/seed-" + std::to_string(c.Seed) + ".log";
      const std::string seed = std::to_string(c.Seed);
      // Every action goes to the seed's log as it happens: a crash report
      // then comes after the road that led to it.
      std::vector<const char*> argv = {self.c_str(), "--child", "--verbose", "--seed", seed.c_str()};
      if (a.Ms >= 0) {
        argv.push_back("--ms");
        argv.push_back(ms.c_str());
      }
      if (!a.AvoidArg.empty()) {
        argv.push_back("--avoid");
        argv.push_back(a.AvoidArg.c_str());
      }
      argv.push_back(nullptr);
      posix_spawn_file_actions_t fa;
      posix_spawn_file_actions_init(&fa);
      posix_spawn_file_actions_addopen(&fa, 1, c.Log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      posix_spawn_file_actions_adddup2(&fa, 1, 2);
      posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
      const int err =
          posix_spawn(&c.Pid, self.c_str(), &fa, nullptr, const_cast<char* const*>(argv.data()), environ);
      posix_spawn_file_actions_destroy(&fa);
      if (err != 0) {
        std::printf("  seed %ld failed: cannot start (%s)\n", c.Seed, std::strerror(err));
        failed.push_back(c.Seed);
        continue;
      }
      c.Start = std::chrono::steady_clock::now();
      running[c.Pid] = c;
    }
    int status = 0;
    const pid_t pid = ::waitpid(-1, &status, WNOHANG);
    if (pid > 0) {
      auto it = running.find(pid);
      if (it == running.end()) continue;
      TChild c = it->second;
      running.erase(it);
      const bool ok = !c.Killed && WIFEXITED(status) && WEXITSTATUS(status) == 0;
      if (ok) {
        if (!a.KeepLogs) ::unlink(c.Log.c_str());
      } else {
        failed.push_back(c.Seed);
        Summarise(c, status, c.Killed);
      }
      continue;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const auto now = std::chrono::steady_clock::now();
    for (auto& r : running) {
      if (!r.second.Killed && now - r.second.Start > std::chrono::seconds(a.ChildTimeoutS)) {
        r.second.Killed = true;
        ::kill(r.second.Pid, SIGKILL);
      }
    }
  }
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (!failed.empty()) {
    std::printf("failed seeds:");
    for (long s : failed) std::printf(" %ld", s);
    std::printf("\nreplay one with: %s --seed N --verbose\n", self.c_str());
  }
  std::printf("seeds %ld..%ld in %.1f s, %d at a time\n", a.First, end - 1, secs, jobs);
  std::printf("chaos: %ld seeds, %zu failed\n", a.Seeds, failed.size());
  std::fflush(stdout);
  return failed.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  TArgs a;
  if (!ParseArgs(argc, argv, a)) {
    Usage();
    return 2;
  }
  if (a.Seed >= 0) return RunOne(argc, argv, a);
  return RunMany(a);
}
