#include "ProgramRun.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

TTraceLine ParseTraceLine(const std::string& line) {
  TTraceLine t;
  // Date and time stamp: two fields.
  size_t pos = line.find(' ');
  pos = pos == std::string::npos ? pos : line.find(' ', pos + 1);
  t.Raw = pos == std::string::npos ? line : line.substr(pos + 1);
  std::istringstream in(t.Raw);
  std::string mark;
  in >> mark;
  if (mark == "TERM<" || mark == "TERM>") {
    t.Kind = mark == "TERM<" ? TTraceLine::ToTerminal : TTraceLine::FromTerminal;
    std::string hex;
    while (in >> hex) t.Bytes.push_back(static_cast<uint8_t>(std::stoul(hex, nullptr, 16)));
  } else if (mark == "MSG") {
    t.Kind = TTraceLine::Message;
    in >> t.MsgKind >> t.Key;
    std::getline(in, t.Text);
    if (!t.Text.empty() && t.Text[0] == ' ') t.Text.erase(0, 1);
  }
  return t;
}

// ---- program ------------------------------------------------------------------

TProgramRun::~TProgramRun() { Terminate(); }

bool TProgramRun::Start(const std::string& exe, const std::vector<std::string>& args,
                        const std::map<std::string, std::string>& env, const std::string& logFile,
                        std::string& error) {
  std::vector<std::string> argStore = {exe};
  argStore.insert(argStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::map<std::string, std::string> all;
  for (char** e = environ; *e; ++e) {
    const std::string kv = *e;
    const size_t eq = kv.find('=');
    if (eq != std::string::npos) all[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  for (const auto& kv : env) all[kv.first] = kv.second;
  std::vector<std::string> envStore;
  for (const auto& kv : all) envStore.push_back(kv.first + "=" + kv.second);
  std::vector<char*> envp;
  for (auto& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);
  const int log = open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const pid_t pid = fork();
  if (pid < 0) {
    error = std::string("fork: ") + std::strerror(errno);
    if (log >= 0) close(log);
    return false;
  }
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    if (log >= 0) {
      dup2(log, 1);
      dup2(log, 2);
    }
    execve(exe.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  if (log >= 0) close(log);
  FPid = pid;
  FExit.clear();
  return true;
}

bool TProgramRun::Alive() {
  if (FPid <= 0) return false;
  int status = 0;
  if (waitpid(FPid, &status, WNOHANG) != FPid) return true;
  FPid = -1;
  if (WIFEXITED(status))
    FExit = "exited with code " + std::to_string(WEXITSTATUS(status));
  else if (WIFSIGNALED(status))
    FExit = std::string("killed by signal ") + strsignal(WTERMSIG(status));
  return false;
}

void TProgramRun::Terminate() {
  if (FPid <= 0) return;
  kill(FPid, SIGTERM);
  for (int i = 0; i < 300 && Alive(); ++i) usleep(10000);
  if (FPid > 0) {
    kill(FPid, SIGKILL);
    int status;
    waitpid(FPid, &status, 0);
    FPid = -1;
  }
}

// ---- trace ------------------------------------------------------------------

TTraceFollower::~TTraceFollower() {
  if (FInotify >= 0) close(FInotify);
}

bool TTraceFollower::Open(const std::string& path, std::string& error) {
  FPath = path;
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = "cannot create " + path;
    return false;
  }
  close(fd);
  FInotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (FInotify < 0 || inotify_add_watch(FInotify, path.c_str(), IN_MODIFY) < 0) {
    error = std::string("inotify: ") + std::strerror(errno);
    return false;
  }
  return true;
}

std::vector<TTraceLine> TTraceFollower::Take() {
  std::vector<TTraceLine> out;
  char drain[4096];
  while (FInotify >= 0 && read(FInotify, drain, sizeof drain) > 0) {
  }
  FILE* f = std::fopen(FPath.c_str(), "rb");
  if (!f) return out;
  std::fseek(f, 0, SEEK_END);
  const long size = std::ftell(f);
  if (size < FOffset) {  // truncated when the program opened it
    FOffset = 0;
    FPartial.clear();
  }
  std::fseek(f, FOffset, SEEK_SET);
  std::string chunk(static_cast<size_t>(size - FOffset), '\0');
  const size_t n = std::fread(chunk.data(), 1, chunk.size(), f);
  std::fclose(f);
  FOffset += static_cast<long>(n);
  FPartial += chunk.substr(0, n);
  size_t start = 0;
  for (size_t nl; (nl = FPartial.find('\n', start)) != std::string::npos; start = nl + 1)
    out.push_back(ParseTraceLine(FPartial.substr(start, nl - start)));
  FPartial.erase(0, start);
  return out;
}
