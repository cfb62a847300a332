// The support trace of the real program (`--trace FILE`): one line per
// frame exchanged with the terminal and one per message shown, each with a
// time stamp, so that a technician can send it when a terminal misbehaves.
//
//   2026-12-09 10:15:02.123 TERM< 55 80 FF 07 00 01 2C
//   2026-12-09 10:15:02.141 TERM> 55 81 FF 19 00 01 02 09 ...
//   2026-12-09 10:15:09.870 MSG Plain _LoadVelmoraOk Chargement du terminal ...
//
// "TERM<" is a frame the terminal received, "TERM>" one it sent (the same
// marks as the demo's trace). A message line gives the kind of box, the
// catalogue key ("-" when the text has none) and the text, line breaks
// written \r and \n. Lines are flushed as they are written.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "U_Messages.h"

class TAppTrace {
 public:
  TAppTrace() = default;
  ~TAppTrace();
  TAppTrace(const TAppTrace&) = delete;
  TAppTrace& operator=(const TAppTrace&) = delete;

  // Creates (or empties) the file; false when it cannot be created.
  bool Open(const std::string& path);
  bool IsOpen() const { return FFile != nullptr; }
  const std::string& Path() const { return FPath; }

  void Frame(bool toTerminal, const std::vector<uint8_t>& frame);
  void Message(const TMessage& msg);

  // The line without its time stamp (tests).
  static std::string FrameText(bool toTerminal, const std::vector<uint8_t>& frame);
  static std::string MessageText(const TMessage& msg);

 private:
  void Line(const std::string& text);

  std::FILE* FFile = nullptr;
  std::string FPath;
};

// Writes every message to the trace, then hands it to the presenter that
// shows it.
class TTracingPresenter : public IMessagePresenter {
 public:
  TTracingPresenter(IMessagePresenter& inner, TAppTrace& trace) : FInner(inner), FTrace(trace) {}
  TMsgResult Present(const TMessage& msg) override;

 private:
  IMessagePresenter& FInner;
  TAppTrace& FTrace;
};

// The real program's command line.
struct TAppCommandLine {
  std::string FirmwareFile;  // empty: the one .mot beside the executable
  std::string TraceFile;     // empty: no trace
  bool Help = false;
};

// Reads the arguments after the program name. False with a French
// explanation in `error` for an unknown option, a missing value or a second
// file.
bool ParseAppCommandLine(const std::vector<std::string>& args, TAppCommandLine& out, std::string& error);
// The French help text.
std::string AppUsage();
