// The support trace of the real program (`--trace FILE`): one line per
// frame exchanged with the terminal and one per message shown, each with a
// time stamp, so that a technician can send it when a terminal misbehaves.
//
//   2026-12-09 10:15:02.123 TERM< 55 80 FF 07 00 01 2C
//   2026-12-09 10:15:02.141 TERM> 55 81 FF 19 00 01 02 09 ...
//   2026-12-09 10:15:09.870 MSG Plain _LoadVelmoraOk Chargement du terminal ...
//
// "TERM<" is a frame the terminal received, "TERM>" one it sent (the same
// marks as the demo's trace). The password frame (55 82) is written with
// its sixteen password bytes as "**": its header and checksum stay. A
// message line gives the kind of box, the catalogue key ("-" when the text
// has none) and the text, line breaks written \r and \n. Lines are flushed
// as they are written.
//
// The file: never a firmware file that the program may load (the one named
// on the command line, any ".mot" beside the executable, compared as files,
// links included, not only by name; nor any file named "*.mot"); never
// reached through a symbolic link; an existing regular file is appended to,
// never emptied; a new one is made readable by its owner only (0600). Each
// opening starts with a line that gives the time, the program and its
// version. The descriptor is not inherited by programs the tool starts.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "U_Messages.h"

// The firmware files a trace must never be.
struct TTraceGuard {
  std::string FirmwareFile;    // named on the command line; empty: none
  std::string FirmwareFolder;  // the folder whose ".mot" files the program loads
};

// Opens `path` for a trace as described above and writes the opening line
// for `program`. Null when it cannot, with `*refused` set when the path is
// (or would become) a firmware file.
std::FILE* OpenTraceFile(const std::string& path, const std::string& program, const TTraceGuard& guard,
                         bool* refused = nullptr);

class TAppTrace {
 public:
  TAppTrace() = default;
  ~TAppTrace();
  TAppTrace(const TAppTrace&) = delete;
  TAppTrace& operator=(const TAppTrace&) = delete;

  // Opens the file (OpenTraceFile); false when it cannot be written.
  bool Open(const std::string& path, const TTraceGuard& guard = TTraceGuard());
  bool IsOpen() const { return FFile != nullptr; }
  // The last Open was refused because the path is a firmware file.
  bool Refused() const { return FRefused; }
  const std::string& Path() const { return FPath; }

  void Frame(bool toTerminal, const std::vector<uint8_t>& frame);
  void Message(const TMessage& msg);

  // The line without its time stamp (tests).
  static std::string FrameText(bool toTerminal, const std::vector<uint8_t>& frame);
  static std::string MessageText(const TMessage& msg);
  // "YYYY-MM-DD HH:MM:SS.mmm", local time.
  static std::string StampText(std::chrono::system_clock::time_point t);

 private:
  void Line(const std::string& text);

  std::FILE* FFile = nullptr;
  std::string FPath;
  bool FRefused = false;
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
