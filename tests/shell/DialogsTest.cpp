#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTextBlock>

#include "F_ErrorDlg.h"
#include "F_Wait.h"
#include "ModalDriver.h"
#include "U_QtShell.h"
#include "U_Textes.h"

namespace {

// Runs `act` on the transmission error dialog once it is up.
void OnErrorDialog(const std::function<void(TfrmErrorDlg*)>& act) {
  WhenShown([](QWidget* w) { return w->objectName() == "frmErrorDlg"; },
            [act](QWidget* w) { act(static_cast<TfrmErrorDlg*>(w)); });
}

TEST(ErrorDialog, RetryAnnulerAndCloseBoxOutcomes) {
  OnErrorDialog([](TfrmErrorDlg* dlg) { dlg->bbtnRetry->click(); });
  EXPECT_TRUE(RunErrorDialog("Erreur", true));
  OnErrorDialog([](TfrmErrorDlg* dlg) { dlg->btnOk->click(); });
  EXPECT_FALSE(RunErrorDialog("Erreur", true));
  OnErrorDialog([](TfrmErrorDlg* dlg) { dlg->close(); });
  EXPECT_FALSE(RunErrorDialog("Erreur", true));
  EXPECT_EQ(frmErrorDlg, nullptr);
}

TEST(ErrorDialog, KeepsItsOwnCaptionsHidesRetryWhenAskedAndShowsCrLfAsLines) {
  LoadCatalogue("_Cancel=Abandon\r\n");  // a catalogue that would say otherwise
  bool seen = false;
  int blocks = 0;
  QString second;
  OnErrorDialog([&](TfrmErrorDlg* dlg) {
    EXPECT_EQ(frmErrorDlg, dlg);
    EXPECT_EQ(dlg->windowTitle(), "Erreur de transmission");
    EXPECT_EQ(dlg->bbtnRetry->text(), QString::fromUtf8("R\xC3\xA9"
                                                        "essayer"));
    EXPECT_EQ(dlg->btnOk->text(), "Annuler");
    EXPECT_FALSE(dlg->bbtnRetry->isVisible());
    blocks = dlg->mmoError->document()->blockCount();
    second = dlg->mmoError->document()->findBlockByNumber(1).text();
    seen = true;
    dlg->bbtnRetry->click();  // hidden: a scripted click still must not count as shown
    dlg->btnOk->click();
  });
  // Retry hidden: even a click on the hidden button is the caller's
  // business; the operation that hides it never reports Retry.
  RunErrorDialog("Erreur le mot de passe est incorrecte\r\nMot de passe crypt\xC3\xA9 : 'AB01'", false);
  EXPECT_TRUE(seen);
  EXPECT_EQ(blocks, 2);
  EXPECT_EQ(second, QString::fromUtf8("Mot de passe crypt\xC3\xA9 : 'AB01'"));
  ReleaseCatalogue();
}

TEST(ErrorDialog, PresenterRunsTheRealDialogForTransmissionErrors) {
  TQtMessagePresenter presenter;
  IMessagePresenter* old = SetMessagePresenter(&presenter);
  OnErrorDialog([](TfrmErrorDlg* dlg) { dlg->bbtnRetry->click(); });
  bool retry = false;
  ShowErrorDlg(-1, true, retry);
  EXPECT_TRUE(retry);
  QString text;
  OnErrorDialog([&](TfrmErrorDlg* dlg) {
    text = dlg->mmoError->toPlainText();
    EXPECT_FALSE(dlg->bbtnRetry->isVisible());
    dlg->btnOk->click();
  });
  ShowErrorDlg(30, false, retry);
  EXPECT_FALSE(retry);
  EXPECT_EQ(text, "Code erreur inconnue (30)");
  SetMessagePresenter(old);
}

TEST(WaitDialog, CaptionsFromTheCatalogueCancelOnlyRecordsClosingDestroys) {
  QWidget owner;
  QPointer<TfrmWait> w = new TfrmWait(&owner);
  frmWait = w;
  w->show();
  EXPECT_EQ(w->windowTitle(), "Attente");
  EXPECT_EQ(w->lblWait->text(), "Veuillez patienter...");
  EXPECT_EQ(w->btnCancel->text(), "Annuler");
  EXPECT_FALSE(w->Cancelled);
  w->btnCancel->click();
  EXPECT_TRUE(w->Cancelled);
  EXPECT_TRUE(w->isVisible()) << "only the owner ends the wait dialog";
  delete w;
  EXPECT_EQ(frmWait, nullptr);
  // Closing destroys it.
  w = new TfrmWait(&owner);
  w->show();
  w->close();
  EXPECT_TRUE(WaitUntil([&] { return w.isNull(); }, 2000));
}

TEST(MessageBoxes, RealBoxesHaveFrenchCaptionsAndButtons) {
  TQtMessagePresenter presenter;
  IMessagePresenter* old = SetMessagePresenter(&presenter);
  QString title;
  QStringList buttons;
  // The next box's title and buttons are noted, then `press` is pressed.
  auto answer = [&](const char* press) {
    buttons.clear();
    WhenShown([](QWidget* w) { return qobject_cast<QMessageBox*>(w) != nullptr; },
              [&, press](QWidget* w) {
                title = w->windowTitle();
                for (QAbstractButton* b : static_cast<QMessageBox*>(w)->buttons()) buttons << b->text();
                static_cast<QMessageBox*>(w)->buttons().value(buttons.indexOf(press))->click();
              });
  };
  answer("Annuler");
  EXPECT_FALSE(ConfirmWarning("Etes-vous s\xC3\xBBr ?"));
  EXPECT_EQ(title, "Avertissement");
  EXPECT_EQ(buttons, (QStringList{"OK", "Annuler"}));
  answer("OK");
  ShowPlainKey("_LoadVelmoraOk");
  EXPECT_EQ(title, QString::fromStdString(ApplicationTitle()));
  EXPECT_EQ(buttons, QStringList{"OK"});
  answer("OK");
  ShowInformationKey("_Err_NoVelmora");
  EXPECT_EQ(title, "Information");
  SetMessagePresenter(old);
}

TEST(Resources, TitleJpegDecodesWithoutAnImagePluginRawDataIsFoundWhateverTheCaseOfItsName) {
  QFile f(":/images/title.jpg");
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  EXPECT_EQ(DecodeJpeg(f.readAll()).size(), QSize(32, 32));
  EXPECT_TRUE(DecodeJpeg(QByteArray("not a jpeg at all")).isNull());
  EXPECT_TRUE(DecodeJpeg(QByteArray("\xFF\xD8\xFF\xE0", 4)).isNull());  // truncated
  EXPECT_FALSE(ReadRawResource("Txt").isEmpty());
  EXPECT_EQ(ReadRawResource("txt"), ReadRawResource("TXT"));
  EXPECT_TRUE(ReadRawResource("nothing").isEmpty());
}

}  // namespace
