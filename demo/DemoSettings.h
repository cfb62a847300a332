// The demo's settings of the virtual terminal, as the command line and the
// control window give them, and the protocol trace's line format.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdio>
#include <string>
#include <vector>

#include "VirtualTerminal.h"

class QCoreApplication;

// One fault to inject: a command (or one block number) and what goes wrong.
struct TDemoFault {
  TTermCommand Command = TTermCommand::Identity;
  int BlockNumber = -1;  // Block only
  TTermFault Fault;
};

struct TDemoSettings {
  TVirtualTerminalConfig Terminal;
  bool Plugged = true;
  std::vector<TDemoFault> Faults;
  QString TourDir;   // empty: interactive run
  QString Scenario;  // the tour's road (DemoScenarios.h); empty: interactive run
  int TourLimitSeconds = 90;
  bool Fast = false;  // shortened pauses (tests)
};

// The terminal the demo starts with: application 9 "fv0104" of 15/06/2009,
// frame version 2, USB version 4 (restarts by itself after the last block,
// so no unplug prompts), no password, switch off, 20 ms answer latency.
TVirtualTerminalConfig DefaultDemoTerminal();

// Reads the command line into `out`. On a mistake returns false with a
// French explanation in `error`; --help is handled by the parser itself (it
// ends the process). A tour's road gives the terminal its starting settings
// and faults; the terminal options given beside it change them.
//
// Values the program could never meet are refused: a version name that is
// not six printable ASCII characters, a password with anything but letters
// and digits or longer than 16 characters (the password dialog lets no other
// through), a date that is not a calendar date written DD/MM/YYYY.
bool ParseDemoCommandLine(const QStringList& arguments, TDemoSettings& out, QString& error);

// A fault written "CMD:KIND[=VALUE][:toujours]": CMD is identite,
// fermeture, motdepasse, boot, sortieboot or blocN (block N, "blocfin" for
// the end block); KIND is sansreponse, nak, ack, autrecode, statut,
// mauvaiscontrole, octetsentete, troplong, debranche, debrancheapres or
// debranchemilieu.
bool ParseFaultSpec(const QString& spec, TDemoFault& out, QString& error);
QString FaultSpecText(const TDemoFault& fault);

// Refuses a fault on a block that the firmware file of `folder` (the one the
// demo loads) does not have: it could never fire. Without a usable file
// there is nothing to check (the program itself reports the file).
bool CheckFaultBlocks(const std::vector<TDemoFault>& faults, const std::string& folder, QString& error);

// Applies the faults to the terminal.
void AddDemoFaults(TVirtualTerminal& terminal, const std::vector<TDemoFault>& faults);

// French names for the control window's lists, in the enums' order.
QStringList FaultKindNames();
QStringList CommandNames();

// The checks of the values above, each with its French reason.
bool CheckVersionName(const QString& text, QString& error);
bool CheckPassword(const QString& text, QString& error);
bool CheckDate(const QString& text, QString& error);

// "TERM< 55 80 FF 07 00 01 2C": the direction mark, then every byte in
// upper-case hexadecimal, separated by single spaces.
std::string TraceLine(bool received, const TTermBytes& frame);

// Prints every frame the terminal receives and sends to `out` (and to
// `copy` when given), one line each, flushed at once. Set before the
// terminal is plugged.
void InstallTrace(TVirtualTerminal& terminal, std::FILE* out = stdout, std::FILE* copy = nullptr);
