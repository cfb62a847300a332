#include "AppParts.h"

#include <filesystem>

#include <QGridLayout>
#include <QPointer>
#include <QPushButton>
#include <QWidget>

#include "AppTrace.h"
#include "F_CommonDlg.h"
#include "F_Main.h"
#include "F_VMUpgrade.h"
#include "HidPlatform.h"
#include "ProgramView.h"
#include "U_DecodeFileMot.h"
#include "U_Messages.h"
#include "U_Textes.h"
#include "driver.h"

namespace {

TCommonDlg* gCommonDlg = nullptr;
TObjFileMot* gFileMot = nullptr;

class TFileMotPart : public IMainFileMot {
 public:
  explicit TFileMotPart(std::string path) : Path(std::move(path)) { gFileMot = &File; }
  ~TFileMotPart() override {
    if (gFileMot == &File) gFileMot = nullptr;
  }
  // The file given on the command line, or the one beside the executable.
  bool Load() override {
    if (Path.empty()) return File.Load();
    std::error_code ec;
    if (!std::filesystem::is_regular_file(std::filesystem::u8path(Path), ec)) {
      ShowInformation(FormatText(GetTexte("_Err_FileMotNotFound"), {Path}), "_Err_FileMotNotFound");
      return false;
    }
    return File.LoadFile(Path);
  }
  // The header holds Windows-1252 characters.
  std::string VersionName() const override { return Cp1252ToUtf8(File.VersionName); }
  std::string Path;
  TObjFileMot File;
};

class TCommonDlgPart : public IMainDeviceDialogue {
 public:
  TCommonDlgPart(TfrmMain* owner, std::shared_ptr<IHidPlatform> platform, TAppTrace* trace) {
    // The main window follows the terminal's presence first; it connects
    // before the first scan, which may already find the terminal. The trace
    // is in place before that scan too.
    Dlg = new TCommonDlg(owner, std::move(platform), [owner, trace](TCommonDlg& dlg) {
      QObject::connect(&dlg, &TCommonDlg::ConnectedChanged, owner, &TfrmMain::SetConnected);
      if (trace && trace->IsOpen())
        dlg.OnFrame = [trace](bool toTerminal, const TBytes& frame) { trace->Frame(toTerminal, frame); };
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
  void MainClosing() override {
    if (Window) Window->Closing();
  }
  QPointer<TfrmVMUpgrade> Window;
};

}  // namespace

TCommonDlg* MainCommonDlg() { return gCommonDlg; }
TObjFileMot* MainFileMot() { return gFileMot; }

TMainParts MakeApplicationParts(std::shared_ptr<IHidPlatform> platform, const TAppOptions& options) {
  TMainParts p;
  const std::string firmware = options.FirmwareFile;
  TAppTrace* trace = options.Trace;
  p.CreateFileMot = [firmware] { return std::make_unique<TFileMotPart>(firmware); };
  p.CreateCommonDlg = [platform, trace](TfrmMain* owner) {
    return std::make_unique<TCommonDlgPart>(owner, platform, trace);
  };
  p.CreateUpgradeWindow = [](TfrmMain* owner, QWidget* panel) -> IMainUpgradeWindow* {
    auto* w = new TfrmVMUpgrade(owner);
    frmVMUpgrade = w;
    auto* part = new TUpgradePart(w);
    TProgramView::Get().Follow(w);
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
