#include "F_Wait.h"

#include <QCloseEvent>
#include <QScreen>

#include "U_QtShell.h"
#include "U_Textes.h"
#include "ui_F_Wait.h"

TfrmWait* frmWait = nullptr;

TfrmWait::TfrmWait(QWidget* owner)
    : QDialog(owner, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      ui(std::make_unique<Ui::TfrmWait>()) {
  ui->setupUi(this);
  Panel1 = ui->Panel1;
  lblWait = ui->lblWait;
  btnCancel = ui->btnCancel;
  connect(btnCancel, &QPushButton::clicked, this, &TfrmWait::btnCancelClick);
  CenterOnScreen(this);
  FormCreate();
}

TfrmWait::~TfrmWait() { FormDestroy(); }

void TfrmWait::FormCreate() {
  Cancelled = false;
  setWindowTitle(QString::fromStdString(GetTexte("_Capt_F_Wait")));
  lblWait->setText(QString::fromStdString(GetTexte("_Capt_lblWait")));
  btnCancel->setText(QString::fromStdString(GetTexte("_Cancel")));
}

void TfrmWait::FormDestroy() {
  if (frmWait == this) frmWait = nullptr;
}

void TfrmWait::btnCancelClick() { Cancelled = true; }

// A dialog's Escape goes through reject(), which would only hide it: the
// owner would go on waiting behind a box the user believes gone.
void TfrmWait::reject() { btnCancelClick(); }

// Closing the dialog (its close box) destroys it; the user wanted out, so it
// counts as a cancel at once, before the destruction comes round.
void TfrmWait::closeEvent(QCloseEvent* e) {
  Cancelled = true;
  e->accept();
  deleteLater();
}
