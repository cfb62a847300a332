#include "F_Wait.h"

#include <QApplication>
#include <QCloseEvent>
#include <QScreen>
#include <QTimer>

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
  FormCreate();
  // As wide as the title needs; Annuler stays in the middle.
  WidenFixedLayout(this, TitleBarExtra(this), {Panel1, lblWait}, {}, {btnCancel});
  CenterOnScreen(this);
  qApp->installEventFilter(this);
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

bool TfrmWait::OtherBoxUp() const {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w != this && w->isVisible() && qobject_cast<QDialog*>(w)) return true;
  return false;
}

bool TfrmWait::eventFilter(QObject* watched, QEvent* e) {
  const QEvent::Type type = e->type();
  if ((type == QEvent::Show || type == QEvent::Hide) && watched != this && watched->isWidgetType() &&
      static_cast<QWidget*>(watched)->isWindow() && qobject_cast<QDialog*>(watched)) {
    if (type == QEvent::Show && isVisible()) {
      // Gone before the other box is on screen.
      FAside = true;
      hide();
    } else if (type == QEvent::Hide && FAside) {
      // Back from the event loop: an owner that ends its wait as the box
      // closes destroys this one first, and nothing flickers.
      QTimer::singleShot(0, this, &TfrmWait::ComeBack);
    }
  }
  return QDialog::eventFilter(watched, e);
}

void TfrmWait::ComeBack() {
  if (!FAside || OtherBoxUp()) return;
  FAside = false;
  show();
}

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
