#ifdef _WIN32

#include "WinDeviceNotice.h"

#include <windows.h>

#include <QCoreApplication>
#include <QMetaObject>

#include "HidWindows.h"

TWinDeviceNotice::TWinDeviceNotice(QObject* parent, std::function<void()> onChange)
    : QObject(parent), FOnChange(std::move(onChange)) {
  QCoreApplication::instance()->installNativeEventFilter(this);
}

TWinDeviceNotice::~TWinDeviceNotice() {
  if (QCoreApplication::instance() != nullptr) QCoreApplication::instance()->removeNativeEventFilter(this);
}

bool TWinDeviceNotice::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
  if (eventType != "windows_generic_MSG" || message == nullptr) return false;
  const MSG* msg = static_cast<const MSG*>(message);
  if (!IsDevNodesChangedMessage(msg->message, msg->wParam) || FQueued) return false;
  FQueued = true;
  // Queued on this object: dropped if it is destroyed first.
  QMetaObject::invokeMethod(
      this,
      [this] {
        FQueued = false;
        if (FOnChange) FOnChange();
      },
      Qt::QueuedConnection);
  return false;
}

#endif  // _WIN32
