// The Qt side of the HID layer's hand-over onto the GUI thread: every call
// queued by a reader thread (or a change notice posted from another thread)
// wakes the GUI thread's event loop, which then runs the waiting calls. So
// hand-overs run in the order of the event loop, inside nested loops too.
//
// The wake-up is an event descriptor watched by a QSocketNotifier (on
// Windows an event object watched by a QWinEventNotifier): the waking thread
// only writes to it (sets it), and everything the call carries passes
// through the call queue's own lock.
//
// Hold() keeps the waiting calls back while a report is being written on the
// writer thread (the device must not be touched meanwhile); Release() runs
// what came in since.
#pragma once

#include <QObject>
#include <atomic>
#include <functional>

#include "HidCallQueue.h"

class QSocketNotifier;
class QWinEventNotifier;

// Wakes the GUI thread from any thread: Poke() makes the event loop call
// OnWake once (pokes before it runs are coalesced).
class TQtWakeUp : public QObject {
  Q_OBJECT
 public:
  explicit TQtWakeUp(std::function<void()> onWake, QObject* parent = nullptr);
  ~TQtWakeUp() override;
  void Poke();

 private:
  void Ready();
#ifdef _WIN32
  void* FEvent = nullptr;  // HANDLE of an auto-reset event
  QWinEventNotifier* FNotifier = nullptr;
#else
  int FRead = -1;
  int FWrite = -1;
  QSocketNotifier* FNotifier = nullptr;
#endif
  std::function<void()> FOnWake;
};

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

  // Wake-ups that reached the event loop (coalesced).
  uint64_t WakeCount() const { return FWakes.load(); }

 private:
  void WakeUp();
  void Run();

  THidCallQueue FQueue;
  TQtWakeUp* FWake = nullptr;
  std::atomic<bool> FPosted{false};
  std::atomic<uint64_t> FWakes{0};
  int FHold = 0;
};
