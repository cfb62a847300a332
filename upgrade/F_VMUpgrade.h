// The upgrade window: shows the identity of the program that runs in the
// terminal, runs the load of the firmware file (identity, boot program,
// comparison, transfer, unplug and replug, return), and keeps itself and
// the main window open while it works with the terminal.
//
// Busy rule: `FBusy` is a count, not a flag. Every operation raises it on
// entry and lowers it on exit, so a presence call-back that comes in the
// middle of a load leaves the window busy until the load ends.
//
// A load decides with the identity it read when it started: a presence
// change during the load (another HID device plugged or unplugged, the
// terminal replugged under a confirmation) neither reads the identity again
// nor sends anything. The terminal's unplug clears the labels at once; a
// plug-in is followed by the identity read once the load has ended, unless
// the load itself read the identity after it.
#pragma once

#include <QDate>
#include <QPointer>
#include <QWidget>
#include <memory>
#include <string>

namespace Ui {
class TfrmVMUpgrade;
}
class QFrame;
class QGroupBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;
class TCommonDlg;
class TGauge;
class TObjFileMot;
class TfrmWait;

// The fixed pauses of the load and of the presence call-back, in
// milliseconds. The program keeps the values below; tests that walk many
// loads may shorten them.
struct TUpgradePauses {
  int AfterLastBlockMs = 2000;     // before the unplug and replug prompts
  int AfterUnplugPromptMs = 1000;  // between two unplug prompts
  int AfterLeaveLoaderMs = 2000;   // before the identity is read again
  int PresenceMs = 1000;           // when the terminal comes or goes
};

class TfrmVMUpgrade : public QWidget {
  Q_OBJECT
 public:
  explicit TfrmVMUpgrade(QWidget* owner);
  ~TfrmVMUpgrade() override;

  // Components.
  QFrame* Panel1;
  QLabel* pnlTitle;
  QFrame* Panel8;
  QLabel* imgVigik;
  QFrame* Panel3;
  QGroupBox* gbxLoad;
  TGauge* Gauge;
  QProgressBar* PrgBarLoadFirmware;
  QGroupBox* gbxVersAppli;
  QLabel *lblNameAppliA, *lblNameAppli, *lblNameVersA, *lblNameVers, *lblDateAppliA, *lblDateAppli,
      *lblVersTrameA, *lblVersTrame, *lblVersUsbA, *lblVersUSB;
  QFrame* Panel2;
  QPushButton* btnLoad;
  QPushButton* btnBack;
  QTimer* tmrStartLoadAuto;
  QTimer* TmrSendLoadFirmware;

  // Fields.
  bool FInfoValid = false;
  int FTermAppliType = 0;
  std::string FTermVersionName;  // UTF-8
  QDate FTermAppliDate;
  TCommonDlg* FCommonDlg = nullptr;
  TObjFileMot* FFileMot = nullptr;

  // Hands over the device dialogue and follows the terminal's presence.
  void SetCommonDlg(TCommonDlg* dlg);

  bool FBusy() const { return FBusyCount > 0; }
  void SetBusy(bool value);
  void EnableLoadButton(bool value);
  bool CheckTerminalPresent();
  void ClearTerminalLabels();
  void ShowTerminalInfo();
  void RefreshTerminalInfo();
  bool ReadTerminalInfo(bool showErrors);
  void ResetTerminalInfo();

  // The load sequence.
  void StartLoad();
  bool LoadFirmware();
  int EnterLoaderMode();
  bool LeaveLoaderMode();
  bool AskPassword();

  // The window is closing (or the main window with it): no load or identity
  // read starts any more.
  void Closing();

  // The pauses every upgrade window uses.
  static TUpgradePauses& Pauses();

  // The date the terminal fields hold when no identity was read.
  static QDate NoDate() { return QDate(1978, 11, 3); }
  // Reads a terminal date "DD/MM/YYYY", or its second reading; invalid
  // when neither gives a calendar date.
  static QDate ReadTerminalDate(const std::string& appDate);
  // The answer time-out of a block: 182 ticks for block 0 carrying the
  // long-wait mark, 91 otherwise.
  static int BlockTimeoutTicks(const TObjFileMot& file, int index);

 public slots:
  void btnLoadClick();
  void btnBackClick();
  void tmrStartLoadAutoTimer();
  void TmrSendLoadFirmwareTimer();
  // The device dialogue's presence notice (after the main window's).
  void TerminalPresenceChanged(bool connected);

 protected:
  void showEvent(QShowEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
  // The value column follows the width of its group box.
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  void FormCreate();
  void FormShow();
  bool FormCloseQuery();
  void FormDestroy();
  void WaitPrompts();
  // The status of the last command as the load reads it: a NAK counts as
  // an unknown error, whatever status it left behind.
  int CommandStatus() const;
  // The status to show for a command that failed without a password
  // request: the dialogue's, unless it cannot be this command's own.
  int FailureStatus() const;

  std::unique_ptr<Ui::TfrmVMUpgrade> ui;
  int FBusyCount = 0;
  int FLoadDepth = 0;           // StartLoad is running
  bool FIdentityStale = false;  // plugged in during the load, identity not read since
  bool FShown = false;          // the automatic start happens at the first show only
  bool FClosed = false;         // closed, or closing with the main window
};

// The upgrade window that exists, or none.
extern TfrmVMUpgrade* frmVMUpgrade;
