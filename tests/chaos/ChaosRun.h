// One seeded chaos run of the load, in this process: the real main window on
// the simulated bus with the virtual terminal, real message boxes and
// dialogs, and random actions fired from timers of the event loop, so that
// they land inside the load's nested loops. Then the chaos stops, the boxes
// still up are answered, and the end state is checked.
#pragma once

#include <cstdint>
#include <set>
#include <string>

struct TChaosOptions {
  uint32_t Seed = 1;
  int ChaosMs = -1;      // length of the chaos; -1: drawn from the seed
  bool Verbose = false;  // every action on standard error as it happens
  // Roads left out, to look past a fault already known:
  //   covered    keys and clicks on the main window's buttons while the
  //              upgrade window covers them
  //   minimise   minimising and restoring the main window
  //   quit       "Quitter" and the main window's close box
  //   wait-keys  keys and the close box on the wait dialog
  std::set<std::string> Avoid;
};

// Needs a QApplication. Returns 0 when every check held, 1 otherwise (the
// failures are on standard error). A freeze or a crash ends the process.
int RunChaosSeed(const TChaosOptions& options);

// Sends Qt's messages to the run's log; call before the QApplication is made.
void InstallChaosMessageHandler();
