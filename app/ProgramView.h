// What the program shows, for those who follow it from outside its windows
// (the demo's tours, the tests): the box or dialog in front, whether the
// upgrade window works, the identity it shows and the buttons a person can
// press. It only reads; acting is left to the keyboard and the mouse.
#pragma once

#include <QObject>
#include <QString>

class QAbstractButton;
class QWidget;
class TfrmVMUpgrade;

// The box or dialog in front of the windows: a modal one, else the wait
// dialog.
struct TProgramFront {
  enum TKind { None, MessageBox, ErrorDialog, PasswordDialog, WaitDialog };
  TKind Kind = None;
  QWidget* Window = nullptr;
  QString Title;
  QString Text;               // the box's text, the error dialog's lines, the password field's text
  bool RetryOffered = false;  // the error dialog shows "Réessayer"
  QWidget* Field = nullptr;   // the password dialog's field
};

// The identity the upgrade window shows.
struct TProgramIdentity {
  QString Name, Version, Date, FrameVersion, UsbVersion;
  bool UsbShown = false;
};

// The main window's buttons, the upgrade window's, and those of the box or
// dialog in front (OK, Annuler, Réessayer).
enum class TProgramButton { Load, Driver, Quit, Charger, Back, FrontOk, FrontCancel, FrontRetry };

class TProgramView : public QObject {
  Q_OBJECT
 public:
  static TProgramView& Get();

  QWidget* MainWindow() const;
  QWidget* UpgradeWindow() const;  // none while it is not open
  TProgramFront Front() const;
  // The upgrade window works with the terminal, or a load is under way or
  // about to start ("Charger" disabled).
  bool Working() const;
  // The upgrade window is open, does not work and nothing is in front.
  bool Idle() const;
  // The program holds the terminal (or holds none) and the main window's
  // buttons say so.
  bool ShowsTerminal(bool present) const;
  TProgramIdentity Identity() const;
  QAbstractButton* Button(TProgramButton which) const;  // none when it is not there

  // The program's parts announce each upgrade window they open.
  void Follow(TfrmVMUpgrade* window);

 signals:
  void ProgressSet(int percent);  // every value the load's gauge is set to
  void LoadStarting();            // an upgrade window starts a load
};
