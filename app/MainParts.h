// What the main window needs of the firmware file, the device dialogue,
// the upgrade window and the driver installation, as small interfaces. The
// application gives the window its real parts; tests give it their own.
#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <string>

class QWidget;
class TfrmMain;

// The firmware file object.
class IMainFileMot {
 public:
  virtual ~IMainFileMot() = default;
  // Finds, reads and checks the firmware file beside the executable; shows
  // its own message and returns false when the file is unusable.
  virtual bool Load() = 0;
  // The six-character version name, after a successful Load.
  virtual std::string VersionName() const = 0;
};

// The device dialogue. It tells the window of every change of the
// terminal's presence through TfrmMain::SetConnected (connected by the
// window factory to its own signal).
class IMainDeviceDialogue {
 public:
  virtual ~IMainDeviceDialogue() = default;
  // Whether a terminal device is held.
  virtual bool HasDevice() const = 0;
};

// The upgrade window, shown inside the main window.
class IMainUpgradeWindow {
 public:
  virtual ~IMainUpgradeWindow() = default;
  virtual QWidget* Widget() = 0;
  // True while it works with the terminal.
  virtual bool Busy() const = 0;
  // The main window closes (its close was accepted): nothing new may start.
  virtual void MainClosing() {}
};

struct TMainParts {
  // Creates the firmware file object (Load is called by the window).
  std::function<std::unique_ptr<IMainFileMot>()> CreateFileMot;
  // Creates the device dialogue with the window as owner; it may already
  // call SetConnected during its creation.
  std::function<std::unique_ptr<IMainDeviceDialogue>(TfrmMain*)> CreateCommonDlg;
  // Creates the upgrade window with the window as owner, hands it the
  // dialogue and the file, and shows it inside `parent`.
  std::function<IMainUpgradeWindow*(TfrmMain*, QWidget* parent)> CreateUpgradeWindow;
  // The driver button's click.
  std::function<void(TfrmMain*)> PiloteClick;
};
