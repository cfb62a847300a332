// The X side of the system test: an Xvfb server of the test's own (in its
// private /tmp and network namespace, no window manager) and a client that
// follows the top-level windows as they are mapped and unmapped, and sends
// real key presses and clicks through the XTEST extension.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class TXServer {
 public:
  TXServer() = default;
  ~TXServer();
  TXServer(const TXServer&) = delete;
  TXServer& operator=(const TXServer&) = delete;

  // Starts Xvfb on a free display and waits until it accepts clients.
  bool Start(std::string& error);
  const std::string& Display() const { return FDisplay; }

 private:
  pid_t FPid = -1;
  std::string FDisplay;
};

struct TXWindow {
  unsigned long Id = 0;
  uint64_t MapSeq = 0;  // order of mapping
  std::string Title;
};

class TXDriver {
 public:
  TXDriver() = default;
  ~TXDriver();
  TXDriver(const TXDriver&) = delete;
  TXDriver& operator=(const TXDriver&) = delete;

  bool Open(const std::string& display, std::string& error);
  // The connection's descriptor, readable when events wait.
  int Fd() const;
  // Takes the events that wait (window mapped, unmapped, destroyed).
  void Pump();
  // The top-level windows mapped now, oldest first, with their titles.
  std::vector<TXWindow> Mapped();
  bool IsMapped(unsigned long id) const;

  // Gives `window` the keyboard focus and presses and releases the key
  // (an X keysym name: "Return", "Escape", "space").
  bool PressKey(unsigned long window, const std::string& keysym);
  // Moves the pointer to (x, y) of `window` and clicks the left button.
  bool Click(unsigned long window, int x, int y);
  bool Size(unsigned long window, int& width, int& height);
  // Pixels of the rectangle (window coordinates) darker than `level` in all
  // three colours: the text of an enabled button is black, a disabled one's
  // grey. -1 when the rectangle cannot be read.
  long DarkPixels(unsigned long window, int x, int y, int width, int height, int level = 0x50);

 private:
  std::string TitleOf(unsigned long id);
  void* FDisplay = nullptr;  // Display*
  unsigned long FRoot = 0;
  uint64_t FSeq = 0;
  std::map<unsigned long, uint64_t> FMapped;  // window -> map order
};
