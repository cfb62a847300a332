// The firmware password dialog on its own, against the virtual terminal.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QCoreApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "F_CommonDlg.h"
#include "F_PasswordFirmware.h"
#include "ModalDriver.h"
#include "ScriptedPresenter.h"
#include "SimHidBus.h"
#include "VirtualTerminal.h"

namespace {

struct PasswordRig {
  std::shared_ptr<TSimHidBus> bus = std::make_shared<TSimHidBus>();
  std::shared_ptr<TVirtualTerminal> term;
  std::unique_ptr<TCommonDlg> dlg;
  QWidget owner;
  TScriptedPresenter presenter;
  explicit PasswordRig(const std::string& password = "Secret42", bool switchOn = false) {
    TVirtualTerminalConfig c;
    c.Password = password;
    c.SwitchActive = switchOn;
    c.EncryptedPassword = {0xDE, 0xAD, 0x01, 0x7F};
    term = TVirtualTerminal::Create(c);
    term->Plug(*bus);
    dlg = std::make_unique<TCommonDlg>(nullptr, bus);
  }
  ~PasswordRig() {
    dlg.reset();
    term->Unplug();
  }
  std::unique_ptr<TfrmPasswordFirmware> Make() {
    auto d = std::make_unique<TfrmPasswordFirmware>(&owner);
    frmPasswordFirmware = d.get();
    d->FCommonDlg = dlg.get();
    return d;
  }
};

TEST(PasswordDialog, CaptionsAndLayoutAndNothingWithoutADeviceDialogue) {
  PasswordRig rig;
  auto d = rig.Make();
  EXPECT_EQ((QStringList{d->windowTitle(), d->btnOk->text(), d->btnCancel->text(), d->lblPwd->text()}),
            (QStringList{"Saisie mot de passe", "Ok", "Annuler", "Mot de passe terminal de programmation"}));
  EXPECT_EQ(d->edtPassword->echoMode(), QLineEdit::Password);
  EXPECT_FALSE(d->FAccepted);
  // Without a device dialogue OK does nothing.
  d->FCommonDlg = nullptr;
  d->btnOkClick();
  EXPECT_FALSE(d->FAccepted);
  EXPECT_TRUE(rig.presenter.Shown.empty());
  d.reset();
  EXPECT_EQ(frmPasswordFirmware, nullptr);
}

TEST(PasswordDialog, KeyFilterKeepsEveryLetterAndDigitAndTheFieldHoldsSixteen) {
  PasswordRig rig;
  auto d = rig.Make();
  d->show();
  // Typed one character at a time, as a keyboard delivers them.
  for (QChar ch : QString::fromUtf8("a\xC3\xA9-b 1Z")) {
    QKeyEvent press(QEvent::KeyPress,
                    ch.isLetterOrNumber() && ch.unicode() < 128 ? ch.toUpper().unicode() : 0, Qt::NoModifier,
                    QString(ch));
    QCoreApplication::sendEvent(d->edtPassword, &press);
  }
  EXPECT_EQ(d->edtPassword->text(), "ab1Z");
  QTest::keyClick(d->edtPassword, Qt::Key_Backspace);
  EXPECT_EQ(d->edtPassword->text(), "ab1");
  QTest::keyClicks(d->edtPassword, "0123456789ABCDEFG");
  EXPECT_EQ(d->edtPassword->text().size(), 16);
  EXPECT_EQ(d->edtPassword->text(), "ab10123456789ABC");
  // Every letter and digit passes, the ends of each range included.
  for (int c = 0; c < 256; ++c) {
    const bool letterOrDigit = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    EXPECT_EQ(TfrmPasswordFirmware::KeyPasses(QChar(c)), letterOrDigit || c == 8) << c;
  }
  d->edtPassword->clear();
  QTest::keyClicks(d->edtPassword, "/0:9@A[Z`a{z");
  EXPECT_EQ(d->edtPassword->text(), "09AZaz");
}

TEST(PasswordDialog, PasteDropAndInputMethodKeepOnlyLettersAndDigits) {
  PasswordRig rig("ab1");
  auto d = rig.Make();
  d->show();
  // Ctrl+V (and the context menu's "Coller", which calls the same paste).
  QApplication::clipboard()->setText(QString::fromUtf8("ab-c Ã©"));
  d->edtPassword->setFocus();
  QTest::keySequence(d->edtPassword, QKeySequence::Paste);
  EXPECT_EQ(d->edtPassword->text(), "abc");
  // A drop inserts text where the cursor is; so does an input method.
  d->edtPassword->insert(QString::fromUtf8("1Ã¨_2"));
  EXPECT_EQ(d->edtPassword->text(), "abc12");
  QInputMethodEvent im;
  im.setCommitString(
      QString::fromUtf8("Ã§"
                        "3"));
  QCoreApplication::sendEvent(d->edtPassword, &im);
  EXPECT_EQ(d->edtPassword->text().count(QChar(0xE7)), 0);
  // Never more than sixteen, whatever comes in at once: the field takes
  // sixteen characters of it, then keeps their letters and digits.
  d->edtPassword->clear();
  QApplication::clipboard()->setText("0123456789ABCDEFGHIJ");
  d->edtPassword->paste();
  EXPECT_EQ(d->edtPassword->text(), "0123456789ABCDEF");
  d->edtPassword->clear();
  QApplication::clipboard()->setText(QString::fromUtf8("A-B-C-D-E-F-G-H-I-J-K-L-M-N-O-P-Q-R-S"));
  d->edtPassword->paste();
  EXPECT_EQ(d->edtPassword->text(), "ABCDEFGH");
  // What reaches the terminal is what the field shows: letters and digits.
  d->edtPassword->setText(QString::fromUtf8("ab-1 Ã©"));
  EXPECT_EQ(d->edtPassword->text(), "ab1");
  d->btnOk->click();
  EXPECT_TRUE(d->FAccepted);
  EXPECT_TRUE(rig.term->Identified());
}

// A wrong password shows the enciphered text and the dialog stays open;
// the right one, with Enter, closes it at once without a message.
TEST(PasswordDialog, WrongPasswordShowsTheEncipheredTextAcceptedOneClosesAtOnce) {
  PasswordRig rig;
  auto d = rig.Make();
  QString textAfter;
  bool visibleAfter = false, acceptedAfter = true;
  WhenShown([](QWidget* w) { return w->objectName() == "frmPasswordFirmware"; },
            [&](QWidget* w) {
              auto* dlg = static_cast<TfrmPasswordFirmware*>(w);
              QTest::keyClicks(dlg->edtPassword, "wrong");
              dlg->btnOk->click();
              textAfter = dlg->edtPassword->text();
              visibleAfter = dlg->isVisible();
              acceptedAfter = dlg->FAccepted;
              dlg->edtPassword->clear();
              QTest::keyClicks(dlg->edtPassword, "Secret42");
              QTest::keyClick(dlg->edtPassword, Qt::Key_Return);  // Enter acts as OK
            });
  d->exec();
  EXPECT_TRUE(visibleAfter);
  EXPECT_FALSE(acceptedAfter);
  EXPECT_EQ(textAfter, "wrong");
  EXPECT_TRUE(d->FAccepted);
  ASSERT_EQ(rig.presenter.Shown.size(), 1u) << "a message after the accepted password";
  EXPECT_EQ(rig.presenter.Shown[0].Kind, TMsgKind::TransmissionError);
  EXPECT_FALSE(rig.presenter.Shown[0].RetryVisible);
  EXPECT_EQ(rig.presenter.Shown[0].Text,
            "Erreur le mot de passe est incorrecte\r\nMot de passe crypt\xC3\xA9 : 'DEAD017F'");
  EXPECT_TRUE(rig.term->Identified());
}

TEST(PasswordDialog, SwitchActiveAndEmptyPassword) {
  PasswordRig rig("Secret42", true);
  auto d = rig.Make();
  d->show();
  d->btnOkClick();  // empty field: sixteen 0x00 bytes
  EXPECT_FALSE(d->FAccepted);
  ASSERT_EQ(rig.presenter.Shown.size(), 1u);
  EXPECT_EQ(rig.presenter.Shown[0].Text, "Op\xC3\xA9ration impossible switch actif");
  const auto frames = rig.term->FramesReceived();
  ASSERT_FALSE(frames.empty());
  const TTermBytes& f = frames.back();
  ASSERT_EQ(f.size(), 22u);
  for (int i = 5; i < 21; ++i) EXPECT_EQ(f[static_cast<size_t>(i)], 0) << i;
}

}  // namespace
