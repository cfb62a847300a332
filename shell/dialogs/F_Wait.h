// The wait dialog: an always-on-top box asking the user to wait during a
// long exchange. Its Cancel button only records the request; the owner
// polls `Cancelled` and ends the dialog.
//
// While any other box or dialog of the program is up (a message, the
// transmission error dialog, the password dialog) the wait dialog stands
// aside: on top of everything it would cover that box and its buttons. It
// comes back once every such box is gone, if its owner still waits.
#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class TfrmWait;
}
class QFrame;
class QLabel;
class QPushButton;

class TfrmWait : public QDialog {
  Q_OBJECT
 public:
  explicit TfrmWait(QWidget* owner);
  ~TfrmWait() override;

  QFrame* Panel1;
  QLabel* lblWait;
  QPushButton* btnCancel;
  bool Cancelled = false;

 public slots:
  // Escape: the same as "Annuler" (the dialog stays until its owner ends it).
  void reject() override;

 protected:
  void closeEvent(QCloseEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

 private slots:
  void btnCancelClick();

 private:
  void FormCreate();
  void FormDestroy();
  // Whether a box or dialog other than this one is up.
  bool OtherBoxUp() const;
  void ComeBack();
  std::unique_ptr<Ui::TfrmWait> ui;
  bool FAside = false;  // hidden because another box is up
};

// The wait dialog currently shown, or none.
extern TfrmWait* frmWait;
