// Windows: the device-change notices of the application's windows.
// WM_DEVICECHANGE with DBT_DEVNODES_CHANGED means that some device node was
// added or removed; every other notice is let through untouched, and no
// message is ever marked handled.
//
// The system broadcasts the notice to every top-level window, so one change
// reaches the filter once per top-level window of the application. The
// filter therefore does not run the re-scan inside the window procedure: it
// queues one call onto the GUI thread, and copies that arrive before that
// call has run are part of the same notice. The call runs from the event
// loop, so a re-scan that pumps messages never does so inside a broadcast.
#pragma once

#ifdef _WIN32

#include <QAbstractNativeEventFilter>
#include <QObject>
#include <functional>

class TWinDeviceNotice : public QObject, public QAbstractNativeEventFilter {
 public:
  // Installs itself on the application; `onChange` runs on the GUI thread,
  // once per notice. Removed again when destroyed (with `parent`).
  TWinDeviceNotice(QObject* parent, std::function<void()> onChange);
  ~TWinDeviceNotice() override;

  bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

 private:
  std::function<void()> FOnChange;
  bool FQueued = false;
};

#endif  // _WIN32
