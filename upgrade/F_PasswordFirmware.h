// The firmware password dialog: the terminal's password is typed (letters
// and digits, at most 16) and sent; the dialog closes as soon as the
// terminal accepts it. A refusal is reported and the dialog stays open.
#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class TfrmPasswordFirmware;
}
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class TCommonDlg;

class TfrmPasswordFirmware : public QDialog {
  Q_OBJECT
 public:
  explicit TfrmPasswordFirmware(QWidget* owner);
  ~TfrmPasswordFirmware() override;

  QFrame* pnlPassword;
  QLabel* lblPwd;
  QLabel* Image1;
  QLineEdit* edtPassword;
  QFrame* pnlBtns;
  QPushButton* btnOk;
  QPushButton* btnCancel;

  bool FAccepted = false;
  TCommonDlg* FCommonDlg = nullptr;

  // Whether the key filter lets the character through: backspace, "0".."9",
  // "A".."Z", "a".."z".
  static bool KeyPasses(QChar ch);
  // `text` with every character the key filter would refuse left out, cut
  // to 16 characters: what any way of entering text (paste, drop, input
  // method) may leave in the field.
  static QString FilteredPassword(const QString& text);

 public slots:
  void btnOkClick();
  void btnCancelClick();

 protected:
  void showEvent(QShowEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void FormCreate();
  void FormShow();
  void FormDestroy();
  void PasswordEdited(const QString& text);
  // The label and the title stay whole whatever the display's font.
  void FitContents();
  std::unique_ptr<Ui::TfrmPasswordFirmware> ui;
  bool FChecking = false;  // a password is being sent
};

// The password dialog that exists, or none.
extern TfrmPasswordFirmware* frmPasswordFirmware;
