// The program under test as a child process, and its support trace
// (`--trace FILE`) read line by line as it grows.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct TTraceLine {
  enum EKind { ToTerminal, FromTerminal, Message, Other };
  EKind Kind = Other;
  std::vector<uint8_t> Bytes;  // frames
  std::string MsgKind;         // Plain, Information, Warning, TransmissionError, Error
  std::string Key;             // catalogue key, "-" when none
  std::string Text;
  std::string Raw;  // the line without its time stamp
};

// One line of the trace ("2026-12-09 10:15:02.123 TERM< 55 80 ...").
TTraceLine ParseTraceLine(const std::string& line);

class TProgramRun {
 public:
  TProgramRun() = default;
  ~TProgramRun();
  TProgramRun(const TProgramRun&) = delete;
  TProgramRun& operator=(const TProgramRun&) = delete;

  // Runs `exe` with `args`, the harness's environment plus `env`, its output
  // into `logFile`. It is killed when the harness dies.
  bool Start(const std::string& exe, const std::vector<std::string>& args,
             const std::map<std::string, std::string>& env, const std::string& logFile, std::string& error);
  pid_t Pid() const { return FPid; }
  // False once it has ended (its status is then in ExitText()).
  bool Alive();
  std::string ExitText() const { return FExit; }
  // SIGTERM, then SIGKILL when it does not end.
  void Terminate();

 private:
  pid_t FPid = -1;
  std::string FExit;
};

class TTraceFollower {
 public:
  TTraceFollower() = default;
  ~TTraceFollower();
  TTraceFollower(const TTraceFollower&) = delete;
  TTraceFollower& operator=(const TTraceFollower&) = delete;

  // Creates the (empty) file and watches it.
  bool Open(const std::string& path, std::string& error);
  // Readable when the file changed.
  int Fd() const { return FInotify; }
  // The complete lines written since the last call.
  std::vector<TTraceLine> Take();

 private:
  std::string FPath;
  int FInotify = -1;
  long FOffset = 0;
  std::string FPartial;
};
