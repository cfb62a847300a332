#include "F_ErrorDlg.h"

#include <QScreen>

#include "U_QtShell.h"
#include "ui_F_ErrorDlg.h"

TfrmErrorDlg* frmErrorDlg = nullptr;

TfrmErrorDlg::TfrmErrorDlg(QWidget* owner)
    : QDialog(owner, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      ui(std::make_unique<Ui::TfrmErrorDlg>()) {
  ui->setupUi(this);
  Panel1 = ui->Panel1;
  mmoError = ui->mmoError;
  bbtnRetry = ui->bbtnRetry;
  btnOk = ui->btnOk;
  connect(bbtnRetry, &QPushButton::clicked, this, &TfrmErrorDlg::bbtnRetryClick);
  connect(btnOk, &QPushButton::clicked, this, &TfrmErrorDlg::btnOkClick);
  // As wide as the title needs; the buttons stay at the right.
  WidenFixedLayout(this, TitleBarExtra(this), {mmoError, Panel1}, {bbtnRetry, btnOk});
  FormCreate();
}

TfrmErrorDlg::~TfrmErrorDlg() { FormDestroy(); }

void TfrmErrorDlg::FormCreate() { RetryChosen = false; }

void TfrmErrorDlg::FormDestroy() {
  if (frmErrorDlg == this) frmErrorDlg = nullptr;
}

void TfrmErrorDlg::AddErrorLine(const QString& text) {
  QString t = text;
  t.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  t.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  mmoError->appendPlainText(t);
}

void TfrmErrorDlg::SetRetryVisible(bool visible) { bbtnRetry->setVisible(visible); }

void TfrmErrorDlg::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  // The focus goes to the first button in tab order, "Réessayer" when it is
  // there: the yellow text is only read, and Space must press a button.
  (bbtnRetry->isVisibleTo(this) ? bbtnRetry : btnOk)->setFocus();
}

void TfrmErrorDlg::bbtnRetryClick() {
  RetryChosen = true;
  accept();
}

void TfrmErrorDlg::btnOkClick() { reject(); }

bool RunErrorDialog(const std::string& text, bool retryVisible) {
  // The dialog is destroyed in every case, also when showing it fails.
  std::unique_ptr<TfrmErrorDlg> dlg(new TfrmErrorDlg(nullptr));
  frmErrorDlg = dlg.get();
  dlg->AddErrorLine(QString::fromStdString(text));
  dlg->SetRetryVisible(retryVisible);
  CenterOnScreen(dlg.get());
  dlg->exec();
  return dlg->RetryChosen;
}
