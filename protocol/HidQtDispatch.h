// The Qt side of the HID layer's hand-over onto the GUI thread: every call
// queued by a reader thread (or a change notice posted from another thread)
// wakes the GUI thread's event loop with a queued invocation, which runs the
// waiting calls. So hand-overs run in the order of the event loop, inside
// nested loops too.
//
// Hold() keeps the waiting calls back while a report is being written on the
// writer thread (the device must not be touched meanwhile); Release() runs
// what came in since.
#pragma once

#include <QObject>
#include <atomic>

#include "HidCallQueue.h"

class THidQtDispatcher : public QObject {
  Q_OBJECT
 public:
  // Made on the GUI thread, which becomes the queue's main thread.
  explicit THidQtDispatcher(QObject* parent = nullptr);
  ~THidQtDispatcher() override;

  THidCallQueue& Queue() { return FQueue; }

  void Hold() { ++FHold; }
  // Runs the calls that waited while held; returns how many ran.
  std::size_t Release();
  bool Held() const { return FHold > 0; }

  // Queued invocations made so far (the wake-ups that reached the event
  // loop, coalesced).
  uint64_t WakeCount() const { return FWakes.load(); }

 private:
  void WakeUp();
  void Run();

  THidCallQueue FQueue;
  std::atomic<bool> FPosted{false};
  std::atomic<uint64_t> FWakes{0};
  int FHold = 0;
};
