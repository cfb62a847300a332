#include "AppParts.h"

#include <QGridLayout>
#include <QPointer>
#include <QPushButton>
#include <QWidget>

#include "F_CommonDlg.h"
#include "F_Main.h"
#include "F_VMUpgrade.h"
#include "HidPlatform.h"
#include "U_DecodeFileMot.h"
#include "U_Textes.h"
#include "driver.h"

namespace {

TCommonDlg* gCommonDlg = nullptr;
TObjFileMot* gFileMot = nullptr;

class TFileMotPart : public IMainFileMot {
 public:
  TFileMotPart() { gFileMot = &File; }
  ~TFileMotPart() override {
    if (gFileMot == &File) gFileMot = nullptr;
  }
  bool Load() override { return File.Load(); }
  // The header holds Windows-1252 characters.
  std::string VersionName() const override { return Cp1252ToUtf8(File.VersionName); }
  TObjFileMot File;
};

class TCommonDlgPart : public IMainDeviceDialogue {
 public:
  TCommonDlgPart(TfrmMain* owner, std::shared_ptr<IHidPlatform> platform) {
    // The main window follows the terminal's presence first; it connects
    // before the first scan, which may already find the terminal.
    Dlg = new TCommonDlg(owner, std::move(platform), [owner](TCommonDlg& dlg) {
      QObject::connect(&dlg, &TCommonDlg::ConnectedChanged, owner, &TfrmMain::SetConnected);
    });
    gCommonDlg = Dlg;
  }
  ~TCommonDlgPart() override {
    if (gCommonDlg == Dlg) gCommonDlg = nullptr;
    delete Dlg;
  }
  bool HasDevice() const override { return Dlg->Device != nullptr; }
  TCommonDlg* Dlg;
};

// The upgrade window as the main window sees it. Lives as long as the
// window; tells the main window when the window goes.
class TUpgradePart : public QObject, public IMainUpgradeWindow {
 public:
  explicit TUpgradePart(TfrmVMUpgrade* w) : QObject(w), Window(w) {}
  ~TUpgradePart() override {
    if (frmMain) frmMain->UpgradeWindowGone(this);
  }
  QWidget* Widget() override { return Window; }
  bool Busy() const override { return Window && Window->FBusy(); }
  QPointer<TfrmVMUpgrade> Window;
};

}  // namespace

TCommonDlg* MainCommonDlg() { return gCommonDlg; }
TObjFileMot* MainFileMot() { return gFileMot; }

TMainParts MakeApplicationParts(std::shared_ptr<IHidPlatform> platform) {
  TMainParts p;
  p.CreateFileMot = [] { return std::make_unique<TFileMotPart>(); };
  p.CreateCommonDlg = [platform](TfrmMain* owner) {
    return std::make_unique<TCommonDlgPart>(owner, platform);
  };
  p.CreateUpgradeWindow = [](TfrmMain* owner, QWidget* panel) -> IMainUpgradeWindow* {
    auto* w = new TfrmVMUpgrade(owner);
    frmVMUpgrade = w;
    auto* part = new TUpgradePart(w);
    w->SetCommonDlg(gCommonDlg);
    // The window fills the panel, covering its picture and buttons.
    if (!panel->layout()) {
      auto* lay = new QGridLayout(panel);
      lay->setContentsMargins(0, 0, 0, 0);
    }
    w->setParent(panel);
    panel->layout()->addWidget(w);
    w->raise();
    w->FFileMot = gFileMot;
    w->show();
    return part;
  };
  p.PiloteClick = [](TfrmMain* owner) {
    TDriverHost host;
    host.TerminalHeld = [] { return gCommonDlg && gCommonDlg->Device; };
    host.SetPiloteEnabled = [owner](bool e) { owner->btnPilote->setEnabled(e); };
    PiloteClick(host, DefaultDriverPlatform());
  };
  return p;
}
