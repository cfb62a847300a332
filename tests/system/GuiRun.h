// One run of the real program under an X server of the test's own (Xvfb in
// the private /tmp and network namespace, no window manager), driven the
// way a technician drives it: the harness follows the support trace
// (`--trace FILE`), and when a message box is announced there (the program
// writes its MSG line just before showing it) it waits for the box's
// window, acts (unplugs the terminal, plugs it back...) and answers the box
// with a real key press through the XTEST extension.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// One line of the trace ("2026-12-09 10:15:02.123 TERM< 55 80 ...").
struct TTraceLine {
  enum EKind { ToTerminal, FromTerminal, Message, Other };
  EKind Kind = Other;
  std::vector<uint8_t> Bytes;  // frames
  std::string MsgKind;         // Plain, Information, Warning, TransmissionError, Error
  std::string Key;             // catalogue key, "-" when none
  std::string Text;
  std::string Raw;  // the line without its time stamp
};

// When to answer one box with Return (its default button).
struct TBoxAction {
  // Return is pressed once this holds (evaluated while the run goes on)...
  std::function<bool()> When;
  // ...or once the box has been shown this long.
  std::chrono::milliseconds MaxWait{0};
};

class TGuiRun {
 public:
  // `dir` receives the trace, the program's output and the harness's log.
  explicit TGuiRun(std::string dir);
  ~TGuiRun();

  // Starts the X server and connects to it; empty, or why not.
  std::string StartX();
  // Starts the program with --trace and the firmware file; empty, or why
  // not. `traceName` names the trace file in the directory.
  std::string StartProgram(const std::string& firmware, const std::string& traceName = "trace.txt");
  void StopProgram();
  bool ProgramAlive();

  // Called for each box as its MSG line is read, before it is answered.
  std::function<TBoxAction(const TTraceLine&)> OnBox;
  // Called for every trace line as it is read.
  std::function<void(const TTraceLine&)> OnLine;

  // Runs until `done` holds while no box waits, until the program ends, or
  // for `timeout`; returns whether `done` was reached.
  bool Drive(const std::function<bool()>& done, std::chrono::milliseconds timeout);
  // Runs until nothing has happened (no trace line, no box) for `quiet`.
  bool Settle(std::chrono::milliseconds quiet, std::chrono::milliseconds timeout);
  // Waits for the main window to be mapped.
  bool WaitMainWindow(std::chrono::milliseconds timeout);

  // Presses a load button ("Chargement de la version..." of the main
  // window, or "Charger" of the upgrade window over it) until a load
  // starts: the boot program request is sent or a box is shown. Tries a few
  // times, since the program may not have taken the terminal yet.
  bool PressLoad(std::chrono::milliseconds timeout);

  // Whether a button of the main window's panel ("load" or "driver") is
  // enabled, read from the screen: an enabled button's label is drawn in
  // black, a disabled one's in grey. Valid while the panel is not covered
  // by the upgrade window; -1 when it cannot be told (not painted yet).
  int MainButtonEnabled(const std::string& which);

  // The trace so far.
  const std::vector<TTraceLine>& Lines() const { return FLines; }
  // The catalogue keys (or texts) of the boxes shown, in order, from line
  // `from` on.
  std::vector<std::string> Boxes(size_t from = 0) const;
  // Lines of `kind` from line `from` on that start with `prefix`.
  int CountFrames(TTraceLine::EKind kind, size_t from = 0, const std::vector<uint8_t>& prefix = {}) const;

  // What went wrong on the harness's side of the run (a box that never
  // came, a box that would not close, the program gone): empty when nothing.
  const std::vector<std::string>& Problems() const { return FProblems; }
  std::string Describe(size_t from = 0) const;  // trace and problems, for failure messages
  void Screenshot(const std::string& name);

 private:
  struct TPendingBox;
  struct TSession;  // the X server, its client, the program and its trace
  void Log(const std::string& text);
  void TakeLines();
  void ServeTopBox();
  unsigned long MainWindow();

  std::string FDir;
  std::unique_ptr<TSession> F;
  std::vector<TTraceLine> FLines;
  std::vector<TPendingBox> FPending;  // nested boxes: the last one is on top
  std::vector<std::string> FProblems;
  std::chrono::steady_clock::time_point FLastActivity;
};
