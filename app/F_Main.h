// The main window: the driver button, the load button, Quit, and the panel
// that the upgrade window fills.
#pragma once

#include <QWidget>
#include <memory>

#include "MainParts.h"

namespace Ui {
class TfrmMain;
}
class QFrame;
class QLabel;
class QPushButton;

class TfrmMain : public QWidget {
  Q_OBJECT
 public:
  // Runs FormCreate. When the firmware file is unusable, a quit request is
  // queued (the message loop then ends at once) and `Usable()` is false.
  explicit TfrmMain(TMainParts parts, QWidget* parent = nullptr);
  ~TfrmMain() override;

  QFrame* pnlButtons;
  QPushButton* btnExit;
  QFrame* pnlDatas;
  QPushButton* btnPilote;
  QPushButton* btnLoad;
  QLabel* Image1;

  IMainDeviceDialogue* FCommonDlg() const { return FCommonDlgObj.get(); }
  IMainFileMot* FFileMot() const { return FFileMotObj.get(); }
  bool Usable() const { return FUsable; }

  void OpenUpgradeWindow();
  // The upgrade window's own destruction clears it.
  void UpgradeWindowGone(IMainUpgradeWindow* w);

 public slots:
  // The terminal's presence changed: the load button follows it, the
  // driver button its negation.
  void SetConnected(bool connected);
  void btnLoadClick();
  void btnPiloteClick();
  void btnExitClick();

 protected:
  void closeEvent(QCloseEvent* e) override;

 private:
  void FormCreate();
  bool FormCloseQuery();
  void FormDestroy();
  void CoverPanel(bool covered);

  std::unique_ptr<Ui::TfrmMain> ui;
  TMainParts Parts;
  std::unique_ptr<IMainDeviceDialogue> FCommonDlgObj;
  std::unique_ptr<IMainFileMot> FFileMotObj;
  bool FUsable = false;
};

// The main window, set before its creation handler runs and cleared at the
// end of its destruction.
extern TfrmMain* frmMain;
// The upgrade window shown inside it, or none.
extern IMainUpgradeWindow* frmVMUpgradePart;
