#include "F_Main.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

#include "U_Messages.h"
#include "U_QtShell.h"
#include "U_Textes.h"
#include "ui_F_Main.h"

TfrmMain* frmMain = nullptr;
IMainUpgradeWindow* frmVMUpgradePart = nullptr;

TfrmMain::TfrmMain(TMainParts parts, QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui::TfrmMain>()), Parts(std::move(parts)) {
  frmMain = this;
  ui->setupUi(this);
  pnlButtons = ui->pnlButtons;
  btnExit = ui->btnExit;
  pnlDatas = ui->pnlDatas;
  btnPilote = ui->btnPilote;
  btnLoad = ui->btnLoad;
  Image1 = ui->Image1;
  Image1->setPixmap(QPixmap(QStringLiteral(":/images/terminal.gif")));
  setWindowIcon(QIcon(QStringLiteral(":/images/app.png")));
  connect(btnExit, &QPushButton::clicked, this, &TfrmMain::btnExitClick);
  connect(btnPilote, &QPushButton::clicked, this, &TfrmMain::btnPiloteClick);
  connect(btnLoad, &QPushButton::clicked, this, &TfrmMain::btnLoadClick);
  CenterOnScreen(this);
  // Message boxes are centred on this window, whichever window is active.
  SetMessageBoxOwner(this);
  // Every button and field of the program shows clearly when it has the
  // keyboard, the message boxes of the file's load included.
  ShowKeyboardFocus();
  FormCreate();
}

TfrmMain::~TfrmMain() {
  FormDestroy();
  if (MessageBoxOwner() == this) SetMessageBoxOwner(nullptr);
}

void TfrmMain::FormCreate() {
  // 1. The catalogue.
  LoadCatalogueFromResource();
  // 2. The firmware file; when it is unusable the user has been told why
  // and the application ends.
  FFileMotObj = Parts.CreateFileMot ? Parts.CreateFileMot() : nullptr;
  if (!FFileMotObj || !FFileMotObj->Load()) {
    FUsable = false;
    QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    return;
  }
  FUsable = true;
  // 3. The device dialogue looks for the terminal at once.
  if (Parts.CreateCommonDlg) FCommonDlgObj = Parts.CreateCommonDlg(this);
  // 4. A terminal plugged in before start leads straight to the upgrade
  // window.
  if (FCommonDlgObj && FCommonDlgObj->HasDevice()) OpenUpgradeWindow();
  // 5.-8. Captions.
  const QString version = QString::fromStdString(FFileMotObj->VersionName());
  setWindowTitle(QStringLiteral("VelmoraUpgrade - ") + version);
  btnExit->setText(QTexte("_Exit"));
  btnPilote->setText(QTexte("_Capt_F_Main_BtnPilote"));
  btnLoad->setText(
      QString::fromStdString(FormatText(GetTexte("_Capt_F_Main_BtnLoad"), {FFileMotObj->VersionName()})));
}

void TfrmMain::FormDestroy() {
  // An upgrade window still open goes with its owner, before the parts it
  // uses.
  if (frmVMUpgradePart) {
    QWidget* w = frmVMUpgradePart->Widget();
    frmVMUpgradePart = nullptr;
    delete w;
  }
  FCommonDlgObj.reset();
  FFileMotObj.reset();
  ReleaseCatalogue();
  frmMain = nullptr;
}

void TfrmMain::SetConnected(bool connected) {
  btnLoad->setEnabled(connected);
  btnPilote->setEnabled(!connected);
}

void TfrmMain::btnLoadClick() { OpenUpgradeWindow(); }

void TfrmMain::OpenUpgradeWindow() {
  // One upgrade window at most: the close check and the presence call-backs
  // know only one, and a second would run a load beside the first.
  if (frmVMUpgradePart) return;
  if (FCommonDlgObj && FCommonDlgObj->HasDevice()) {
    if (Parts.CreateUpgradeWindow) frmVMUpgradePart = Parts.CreateUpgradeWindow(this, pnlDatas);
    CoverPanel(frmVMUpgradePart != nullptr);
  } else {
    ShowInformationKey("_Err_NoVelmora");
  }
}

void TfrmMain::CoverPanel(bool covered) {
  // The picture and the two action buttons lie under the upgrade window:
  // hidden, they can be reached neither by the keyboard nor by the mouse.
  Image1->setVisible(!covered);
  btnPilote->setVisible(!covered);
  btnLoad->setVisible(!covered);
}

void TfrmMain::UpgradeWindowGone(IMainUpgradeWindow* w) {
  if (frmVMUpgradePart != w) return;
  frmVMUpgradePart = nullptr;
  CoverPanel(false);
}

void TfrmMain::btnPiloteClick() {
  // Never under a running upgrade window (the button is covered then).
  if (frmVMUpgradePart) return;
  if (Parts.PiloteClick) Parts.PiloteClick(this);
}

void TfrmMain::btnExitClick() { close(); }

bool TfrmMain::FormCloseQuery() { return frmVMUpgradePart == nullptr || !frmVMUpgradePart->Busy(); }

void TfrmMain::closeEvent(QCloseEvent* e) {
  if (!FormCloseQuery()) {
    e->ignore();
    return;
  }
  e->accept();
  // The application ends with this window: an upgrade window that is idle
  // starts nothing more (a load armed by its timer would open loops of its
  // own, which throw away the quit the toolkit has just posted).
  if (frmVMUpgradePart) frmVMUpgradePart->MainClosing();
}
