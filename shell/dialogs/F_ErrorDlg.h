// The transmission error dialog: one error text on a yellow field, Annuler
// and, where the caller allows it, Réessayer. Shown modally and destroyed
// within one call; the shell's presenter runs it for ShowErrorDlg and
// ShowErrorText.
#pragma once

#include <QDialog>
#include <memory>
#include <string>

namespace Ui {
class TfrmErrorDlg;
}
class QPlainTextEdit;
class QPushButton;
class QFrame;

class TfrmErrorDlg : public QDialog {
  Q_OBJECT
 public:
  explicit TfrmErrorDlg(QWidget* owner = nullptr);
  ~TfrmErrorDlg() override;

  // Appends `text` as a new line; line breaks in it make several lines.
  void AddErrorLine(const QString& text);
  void SetRetryVisible(bool visible);

  QFrame* Panel1;
  QPlainTextEdit* mmoError;
  QPushButton* bbtnRetry;
  QPushButton* btnOk;
  bool RetryChosen = false;

 protected:
  void showEvent(QShowEvent* e) override;

 private slots:
  void bbtnRetryClick();
  void btnOkClick();

 private:
  void FormCreate();
  void FormDestroy();
  std::unique_ptr<Ui::TfrmErrorDlg> ui;
};

// The dialog currently shown, or none.
extern TfrmErrorDlg* frmErrorDlg;

// Creates the dialog, shows `text` modally, destroys it; returns whether
// Retry was chosen.
bool RunErrorDialog(const std::string& text, bool retryVisible);
