// The wait dialog: an always-on-top box asking the user to wait during a
// long exchange. Its Cancel button only records the request; the owner
// polls `Cancelled` and ends the dialog.
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

 private slots:
  void btnCancelClick();

 private:
  void FormCreate();
  void FormDestroy();
  std::unique_ptr<Ui::TfrmWait> ui;
};

// The wait dialog currently shown, or none.
extern TfrmWait* frmWait;
