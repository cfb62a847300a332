// What the benchmarks share: the one Qt application of the process (made
// on first use, offscreen unless the caller chose a platform) and the
// process's CPU clock.
#pragma once

#include <QApplication>
#include <cstddef>
#include <cstdint>
#include <cstdio>
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

// One S2 record (3-byte address) of `count` data bytes, with its checksum
// and CR LF, written into `line` (room for 12 + 2 * count characters);
// returns the characters written.
inline int FormatS2Record(char* line, std::size_t room, std::size_t address, const uint8_t* data,
                          std::size_t count) {
  static const char kDigits[] = "0123456789ABCDEF";
  unsigned sum = static_cast<unsigned>(4 + count) + static_cast<unsigned>((address >> 16) & 0xFF) +
                 static_cast<unsigned>((address >> 8) & 0xFF) + static_cast<unsigned>(address & 0xFF);
  int n = std::snprintf(line, room, "S2%02X%06X", static_cast<unsigned>(4 + count),
                        static_cast<unsigned>(address));
  for (std::size_t i = 0; i < count; ++i) {
    line[n++] = kDigits[data[i] >> 4];
    line[n++] = kDigits[data[i] & 0xF];
    sum += data[i];
  }
  n += std::snprintf(line + n, room - static_cast<std::size_t>(n), "%02X\r\n", ~sum & 0xFF);
  return n;
}
