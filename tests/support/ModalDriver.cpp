#include "ModalDriver.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPointer>
#include <QTimer>
#include <memory>

void WhenTrue(std::function<bool()> cond, std::function<void()> action, int timeoutMs) {
  auto* timer = new QTimer(qApp);
  auto* clock = new QElapsedTimer;
  clock->start();
  timer->setInterval(5);
  QObject::connect(timer, &QTimer::timeout, timer, [timer, clock, cond, action, timeoutMs]() {
    const bool ready = cond();
    if (ready || clock->elapsed() > timeoutMs) {
      timer->stop();
      timer->deleteLater();
      delete clock;
      if (ready) action();
    }
  });
  timer->start();
}

void WhenShown(std::function<bool(QWidget*)> match, std::function<void(QWidget*)> action, int timeoutMs) {
  auto found = std::make_shared<QPointer<QWidget>>();
  WhenTrue(
      [match, found] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
          if (w->isVisible() && match(w)) {
            *found = w;
            return true;
          }
        }
        return false;
      },
      [action, found] {
        if (*found) action(*found);
      },
      timeoutMs);
}

bool WaitUntil(std::function<bool()> cond, int timeoutMs) {
  QElapsedTimer clock;
  clock.start();
  while (!cond()) {
    if (clock.elapsed() > timeoutMs) return false;
    // Sleep in the event loop until something happens, at most 2 ms.
    QEventLoop loop;
    QTimer::singleShot(2, &loop, &QEventLoop::quit);
    loop.exec();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  return true;
}
