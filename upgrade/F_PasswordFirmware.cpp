#include "F_PasswordFirmware.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QScreen>
#include <algorithm>

#include "F_CommonDlg.h"
#include "U_ConstDlg.h"
#include "U_Messages.h"
#include "U_QtShell.h"
#include "U_Textes.h"
#include "ui_F_PasswordFirmware.h"

TfrmPasswordFirmware* frmPasswordFirmware = nullptr;

TfrmPasswordFirmware::TfrmPasswordFirmware(QWidget* owner)
    : QDialog(owner, Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      ui(std::make_unique<Ui::TfrmPasswordFirmware>()) {
  ui->setupUi(this);
  pnlPassword = ui->pnlPassword;
  lblPwd = ui->lblPwd;
  Image1 = ui->Image1;
  edtPassword = ui->edtPassword;
  pnlBtns = ui->pnlBtns;
  btnOk = ui->btnOk;
  btnCancel = ui->btnCancel;
  Image1->setPixmap(QPixmap(QStringLiteral(":/images/password.bmp")));
  edtPassword->installEventFilter(this);
  connect(btnOk, &QPushButton::clicked, this, &TfrmPasswordFirmware::btnOkClick);
  connect(btnCancel, &QPushButton::clicked, this, &TfrmPasswordFirmware::btnCancelClick);
  connect(edtPassword, &QLineEdit::textChanged, this, &TfrmPasswordFirmware::PasswordEdited);
  FormCreate();
  FitContents();
  CenterOnScreen(this);
}

TfrmPasswordFirmware::~TfrmPasswordFirmware() { FormDestroy(); }

void TfrmPasswordFirmware::FormCreate() {
  FAccepted = false;
  setWindowTitle(QTexte("_Capt_F_PassordFirmware"));
  btnCancel->setText(QTexte("_Cancel"));
  btnOk->setText(QTexte("_Ok"));
  lblPwd->setText(QTexte("_Capt_lblPwd"));
}

void TfrmPasswordFirmware::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  FormShow();
}

void TfrmPasswordFirmware::FormShow() { edtPassword->setFocus(); }

void TfrmPasswordFirmware::FormDestroy() {
  if (frmPasswordFirmware == this) frmPasswordFirmware = nullptr;
}

void TfrmPasswordFirmware::FitContents() {
  // The label as wide as its text at the display's font, the dialog (its
  // panels with it) as wide as the label and the title need; the padlock
  // and OK keep their distance to the right edge.
  const int labelExtra = std::max(0, lblPwd->sizeHint().width() - lblPwd->width());
  lblPwd->resize(lblPwd->width() + labelExtra, lblPwd->height());
  WidenFixedLayout(this, std::max(labelExtra, TitleBarExtra(this)), {pnlPassword, pnlBtns}, {Image1, btnOk});
}

QString TfrmPasswordFirmware::FilteredPassword(const QString& text) {
  QString out;
  for (QChar ch : text)
    if (ch.unicode() != 8 && KeyPasses(ch)) out += ch;
  return out.left(16);
}

void TfrmPasswordFirmware::PasswordEdited(const QString& text) {
  const QString clean = FilteredPassword(text);
  if (clean == text) return;
  const int cursor = edtPassword->cursorPosition() - (text.size() - clean.size());
  edtPassword->setText(clean);
  edtPassword->setCursorPosition(qBound(0, cursor, static_cast<int>(clean.size())));
}

bool TfrmPasswordFirmware::KeyPasses(QChar ch) {
  const ushort c = ch.unicode();
  return c == 8 || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// The key filter: a typed character that is not a letter, a digit or
// backspace never reaches the field. Keys without text (arrows, Enter,
// deletion) keep their usual meaning.
bool TfrmPasswordFirmware::eventFilter(QObject* watched, QEvent* event) {
  if (watched == edtPassword && event->type() == QEvent::KeyPress) {
    auto* ke = static_cast<QKeyEvent*>(event);
    const QString text = ke->text();
    if (ke->key() == Qt::Key_Backspace) return false;
    if (!text.isEmpty() && text.at(0).isPrint()) {
      for (QChar ch : text)
        if (!KeyPasses(ch)) return true;
    }
  } else if (watched == edtPassword && event->type() == QEvent::InputMethod) {
    return true;
  }
  return QDialog::eventFilter(watched, event);
}

void TfrmPasswordFirmware::btnOkClick() {
  // A second OK (or Enter) while the first password is being checked would
  // find the dialogue busy and report the previous exchange: it does nothing.
  if (FChecking) return;
  FAccepted = false;
  if (!FCommonDlg) return;
  FChecking = true;
  try {
    // The field only ever holds letters and digits (PasswordEdited).
    if (FCommonDlg->SendPassword(edtPassword->text().toStdString(), false)) FAccepted = true;
  } catch (...) {
    // Reported below from the dialogue's status, like a refusal.
  }
  FChecking = false;
  if (FAccepted) {
    accept();
    return;
  }
  // Closed meanwhile (the terminal was unplugged): nothing more to say.
  if (!isVisible()) return;
  const int status = FCommonDlg->Status;
  if (status == kStatusBadPassword) {
    ShowErrorText(StatusText(kStatusBadPassword) + "\r\n" + GetTexte("_MSG_PWDCrypt") + " '" +
                  FCommonDlg->EncryptedPassword + "'");
  } else {
    bool retry = false;
    ShowErrorDlg(status, false, retry);
  }
}

void TfrmPasswordFirmware::btnCancelClick() { reject(); }
