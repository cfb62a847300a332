#include "ProgramView.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include "AppParts.h"
#include "F_CommonDlg.h"
#include "F_ErrorDlg.h"
#include "F_Main.h"
#include "F_PasswordFirmware.h"
#include "F_VMUpgrade.h"
#include "F_Wait.h"
#include "Gauge.h"

TProgramView& TProgramView::Get() {
  static TProgramView view;
  return view;
}

QWidget* TProgramView::MainWindow() const { return frmMain; }

QWidget* TProgramView::UpgradeWindow() const { return frmVMUpgrade; }

TProgramFront TProgramView::Front() const {
  TProgramFront f;
  QWidget* m = QApplication::activeModalWidget();
  if (!m && frmWait && frmWait->isVisible()) m = frmWait;
  if (!m) return f;
  f.Window = m;
  f.Title = m->windowTitle();
  f.Kind = TProgramFront::MessageBox;
  if (auto* box = qobject_cast<QMessageBox*>(m)) {
    f.Text = box->text();
  } else if (auto* e = qobject_cast<TfrmErrorDlg*>(m)) {
    f.Kind = TProgramFront::ErrorDialog;
    f.Text = e->mmoError->toPlainText();
    f.RetryOffered = e->bbtnRetry->isVisible();
  } else if (auto* p = qobject_cast<TfrmPasswordFirmware*>(m)) {
    f.Kind = TProgramFront::PasswordDialog;
    f.Text = p->edtPassword->text();
    f.Field = p->edtPassword;
  } else if (m == frmWait) {
    f.Kind = TProgramFront::WaitDialog;
    f.Text = frmWait->lblWait->text();
  }
  return f;
}

bool TProgramView::Working() const {
  const TfrmVMUpgrade* w = frmVMUpgrade;
  return w && (w->FBusy() || !w->btnLoad->isEnabled());
}

bool TProgramView::Idle() const { return frmVMUpgrade && !Working() && Front().Kind == TProgramFront::None; }

bool TProgramView::ShowsTerminal(bool present) const {
  const TCommonDlg* dlg = MainCommonDlg();
  return frmMain && dlg && dlg->IsConnected() == present && frmMain->btnLoad->isEnabled() == present &&
         frmMain->btnPilote->isEnabled() == !present;
}

TProgramIdentity TProgramView::Identity() const {
  TProgramIdentity id;
  if (const TfrmVMUpgrade* w = frmVMUpgrade) {
    id = {w->lblNameAppli->text(), w->lblNameVers->text(), w->lblDateAppli->text(),
          w->lblVersTrame->text(), w->lblVersUSB->text(),  w->lblVersUSB->isVisibleTo(w)};
  }
  return id;
}

QAbstractButton* TProgramView::Button(TProgramButton which) const {
  switch (which) {
    case TProgramButton::Load: return frmMain ? frmMain->btnLoad : nullptr;
    case TProgramButton::Driver: return frmMain ? frmMain->btnPilote : nullptr;
    case TProgramButton::Quit: return frmMain ? frmMain->btnExit : nullptr;
    case TProgramButton::Charger: return frmVMUpgrade ? frmVMUpgrade->btnLoad : nullptr;
    case TProgramButton::Back: return frmVMUpgrade ? frmVMUpgrade->btnBack : nullptr;
    default: break;
  }
  QWidget* front = Front().Window;
  if (auto* box = qobject_cast<QMessageBox*>(front)) {
    for (QAbstractButton* b : box->buttons()) {
      const QMessageBox::ButtonRole role = box->buttonRole(b);
      if ((which == TProgramButton::FrontOk && role == QMessageBox::AcceptRole) ||
          (which == TProgramButton::FrontCancel && role == QMessageBox::RejectRole))
        return b;
    }
  } else if (auto* e = qobject_cast<TfrmErrorDlg*>(front)) {
    if (which == TProgramButton::FrontRetry) return e->bbtnRetry->isVisible() ? e->bbtnRetry : nullptr;
    return e->btnOk;
  } else if (auto* p = qobject_cast<TfrmPasswordFirmware*>(front)) {
    if (which == TProgramButton::FrontOk) return p->btnOk;
    if (which == TProgramButton::FrontCancel) return p->btnCancel;
  } else if (front == frmWait && which == TProgramButton::FrontCancel) {
    return frmWait->btnCancel;
  }
  return nullptr;
}

void TProgramView::Follow(TfrmVMUpgrade* window) {
  connect(window->Gauge, &TGauge::ProgressSet, this, &TProgramView::ProgressSet);
  connect(window->tmrStartLoadAuto, &QTimer::timeout, this, &TProgramView::LoadStarting);
}
