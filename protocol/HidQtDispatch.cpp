#include "HidQtDispatch.h"

#ifdef _WIN32
#include <windows.h>

#include <QWinEventNotifier>

// Windows has no descriptor a notifier could watch for a pipe: the wake-up is
// an auto-reset event, set by the waking thread and reset by the wait that
// sees it, so pokes before the notifier fires are coalesced.
TQtWakeUp::TQtWakeUp(std::function<void()> onWake, QObject* parent)
    : QObject(parent), FOnWake(std::move(onWake)) {
  FEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  FNotifier = new QWinEventNotifier(FEvent, this);
  connect(FNotifier, &QWinEventNotifier::activated, this, &TQtWakeUp::Ready);
}

TQtWakeUp::~TQtWakeUp() {
  // The notifier waits for its system wait to end before it goes.
  delete FNotifier;
  if (FEvent) CloseHandle(FEvent);
}

void TQtWakeUp::Poke() {
  if (FEvent) SetEvent(FEvent);
}

void TQtWakeUp::Ready() {
  // Run from the event loop, not inside the notifier's signal: the notifier
  // watches the event again only once its signal has returned, and a call
  // may open a nested loop that waits for the next wake-up.
  QMetaObject::invokeMethod(
      this,
      [this] {
        if (FOnWake) FOnWake();
      },
      Qt::QueuedConnection);
}

#else

#include <fcntl.h>
#include <unistd.h>
#include <QSocketNotifier>
#include <cerrno>
#ifdef __linux__
#include <sys/eventfd.h>
#endif

TQtWakeUp::TQtWakeUp(std::function<void()> onWake, QObject* parent)
    : QObject(parent), FOnWake(std::move(onWake)) {
#ifdef __linux__
  FRead = FWrite = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
#else
  int fds[2];
  if (pipe(fds) == 0) {
    FRead = fds[0];
    FWrite = fds[1];
    for (const int fd : fds) {
      fcntl(fd, F_SETFL, O_NONBLOCK);
      fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
  }
#endif
  FNotifier = new QSocketNotifier(FRead, QSocketNotifier::Read, this);
  connect(FNotifier, &QSocketNotifier::activated, this, &TQtWakeUp::Ready);
}

TQtWakeUp::~TQtWakeUp() {
  delete FNotifier;
  if (FRead >= 0) close(FRead);
  if (FWrite >= 0 && FWrite != FRead) close(FWrite);
}

void TQtWakeUp::Poke() {
#ifdef __linux__
  const uint64_t one = 1;
  ssize_t r;
  do r = write(FWrite, &one, sizeof(one));
  while (r < 0 && errno == EINTR);
#else
  const char c = 1;
  ssize_t r;
  do r = write(FWrite, &c, 1);
  while (r < 0 && errno == EINTR);
#endif
  (void)r;  // a full pipe already wakes the loop
}

void TQtWakeUp::Ready() {
  char buf[64];
  while (read(FRead, buf, sizeof(buf)) > 0) {
  }
  if (FOnWake) FOnWake();
}

#endif  // _WIN32

THidQtDispatcher::THidQtDispatcher(QObject* parent) : QObject(parent) {
  FWake = new TQtWakeUp([this] { Run(); }, this);
  FQueue.SetWakeUp([this] { WakeUp(); });
}

THidQtDispatcher::~THidQtDispatcher() { FQueue.SetWakeUp({}); }

void THidQtDispatcher::WakeUp() {
  // One wake-up in flight is enough: it runs every call waiting by then, and
  // the flag is cleared before it does, so a later call wakes again.
  if (FPosted.exchange(true)) return;
  ++FWakes;
  FWake->Poke();
}

void THidQtDispatcher::Run() {
  FPosted.store(false);
  if (FHold > 0) return;  // Release() runs them
  FQueue.RunPending();
}

std::size_t THidQtDispatcher::Release() {
  if (FHold > 0) --FHold;
  if (FHold > 0 || FQueue.PendingCount() == 0) return 0;
  return FQueue.RunPending();
}
