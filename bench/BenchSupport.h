// What the benchmarks share: the one Qt application of the process (made
// on first use, offscreen unless the caller chose a platform) and the
// process's CPU clock.
#pragma once

#include <QApplication>
#include <cstdlib>
#include <ctime>

inline QApplication& BenchApplication() {
  static int argc = 1;
  static char name[] = "kvz_bench";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    return new QApplication(argc, argv);
  }();
  return *app;
}

// CPU time of every thread of the process, in seconds.
inline double ProcessCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}
