// What a technician may do, or the terminal may do, while a load waits: the
// load ends as it must, the window stays usable, nothing runs twice. Real
// boxes and dialogs where their nested loops matter, answered by key presses
// from timers; a watchdog turns a freeze into a failure.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <atomic>
#include <chrono>
#include <thread>

#include "F_CommonDlg.h"
#include "F_ErrorDlg.h"
#include "F_Main.h"
#include "F_PasswordFirmware.h"
#include "F_VMUpgrade.h"
#include "F_Wait.h"
#include "Gauge.h"
#include "ModalDriver.h"
#include "U_QtShell.h"
#include "UpgradeRig.h"
#include "Watchdog.h"

namespace {

const char* kOk = "_LoadVelmoraOk";

TWatchdog Guard(int seconds = 60) {
  return TWatchdog(testing::UnitTest::GetInstance()->current_test_info()->name(),
                   std::chrono::seconds(seconds));
}

// The rig with the application's real boxes and dialogs.
struct TRealBoxes {
  explicit TRealBoxes(TUpgradeRig& rig) { rig.Presenter.Forward = &Boxes; }
  TQtMessagePresenter Boxes;
};

// Presses Return in every message box that shows, while it lives.
class TAnswerBoxes {
 public:
  TAnswerBoxes() {
    FTimer.setInterval(20);
    QObject::connect(&FTimer, &QTimer::timeout, [] {
      if (auto* box = qobject_cast<QMessageBox*>(TopModal())) QTest::keyClick(box, Qt::Key_Return);
    });
    FTimer.start();
  }

 private:
  QTimer FTimer;
};

// Starts another load with the window's own button and waits until it has
// begun (it may as well have ended by then: it runs inside the wait).
bool LoadAgain(TUpgradeRig& rig) {
  TfrmVMUpgrade* w = rig.Upgrade();
  if (!w) return false;
  const int before = rig.Terminal->CommandCount(TTermCommand::Identity);
  w->btnLoad->click();
  return WaitUntil([&] { return rig.Terminal->CommandCount(TTermCommand::Identity) > before; }, 5000);
}

int UpgradeWindows(TUpgradeRig& rig) {
  return static_cast<int>(rig.Main->findChildren<TfrmVMUpgrade*>().size());
}

bool LabelsUnknown(TfrmVMUpgrade* w) {
  return w->lblNameAppli->text() == "<Inconnu>" && w->lblNameVers->text() == "<Inconnu>" &&
         w->lblDateAppli->text() == "<Inconnu>" && w->lblVersTrame->text() == "<Inconnu>";
}

TEST(Robustness, UnplugWhileTheBootProgramIsAwaitedEndsTheLoadAndAReplugLoadsAgain) {
  auto guard = Guard();
  TUpgradeRig rig;
  TRealBoxes boxes(rig);
  rig.Start(TUpgradeRig::TerminalConfig(), false);
  rig.Terminal->AddFault(TTermCommand::EnterLoader, {TTermFaultKind::NoAnswer, 0, true});
  ASSERT_TRUE(rig.PlugAndWait());
  TAnswerBoxes answers;
  rig.Main->btnLoadClick();
  WhenTrue([&] { return rig.Terminal->CommandCount(TTermCommand::EnterLoader) >= 3; },
           [&] { rig.Terminal->Unplug(); });
  ASSERT_TRUE(rig.WaitLoadEnd(20000)) << "the request loop must end without a terminal";
  TfrmVMUpgrade* w = rig.Upgrade();
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(frmWait, nullptr);
  EXPECT_TRUE(rig.Shown("_NoVelmoraConnect"));
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::Block), 0);
  EXPECT_TRUE(WaitUntil([&] { return LabelsUnknown(w); }, 5000));
  // Plugged back, the same window loads it.
  rig.Terminal->ClearFaults();
  rig.Terminal->Replug();
  ASSERT_TRUE(WaitUntil([&] { return rig.Dialogue()->Device != nullptr; }));
  ASSERT_TRUE(WaitUntil([&] { return !w->FBusy(); }, 5000));
  rig.Presenter.Clear();
  ASSERT_TRUE(LoadAgain(rig));
  ASSERT_TRUE(rig.WaitLoadEnd());
  EXPECT_TRUE(rig.Shown(kOk));
  EXPECT_TRUE(rig.TerminalHasImage());
}

TEST(Robustness, CoveredButtonsCannotOpenASecondUpgradeWindow) {
  auto guard = Guard();
  TUpgradeRig rig;
  auto cfg = TUpgradeRig::TerminalConfig();
  cfg.LatencyMs = 40;
  rig.Start(cfg);
  TfrmVMUpgrade* w = rig.Upgrade();
  ASSERT_NE(w, nullptr);
  int most = 0;
  bool acted = false;
  // In the middle of the transfer, as a person would: Tab from "Précédant"
  // through every button, Space and Enter on each; then clicks where the
  // covered buttons lie.
  WhenTrue([&] { return rig.Terminal->CommandCount(TTermCommand::Block) >= 2; },
           [&] {
             w->btnBack->setFocus();
             for (int i = 0; i < 8; ++i) {
               PressKey(Qt::Key_Tab);
               PressKey(Qt::Key_Space);
               most = std::max(most, UpgradeWindows(rig));
             }
             // As a mouse does: through the window, which sends the click to
             // whatever lies on top at that place.
             for (QPushButton* b : {rig.Main->btnLoad, rig.Main->btnPilote}) {
               const QPoint at = b->mapTo(rig.Main.get(), b->rect().center());
               QTest::mouseClick(rig.Main->windowHandle(), Qt::LeftButton, {}, at);
               most = std::max(most, UpgradeWindows(rig));
             }
             acted = true;
           });
  ASSERT_TRUE(rig.WaitLoadEnd());
  ASSERT_TRUE(acted);
  EXPECT_EQ(most, 1) << "a second upgrade window was opened";
  EXPECT_EQ(UpgradeWindows(rig), 1);
  EXPECT_EQ(rig.Upgrade(), w);
  EXPECT_TRUE(rig.TerminalHasImage());
  // Even a direct request opens none while one is there.
  rig.Main->btnLoadClick();
  EXPECT_EQ(UpgradeWindows(rig), 1);
  // Closed, the buttons are back and open a fresh one.
  w->btnBack->click();
  ASSERT_TRUE(WaitUntil([] { return frmVMUpgrade == nullptr; }, 3000));
  EXPECT_TRUE(rig.Main->btnLoad->isVisible());
  EXPECT_TRUE(rig.Main->btnLoad->isEnabled());
}

TEST(Robustness, RestoringTheMinimisedMainWindowStartsNoLoad) {
  auto guard = Guard();
  TUpgradeRig rig;
  auto cfg = TUpgradeRig::TerminalConfig();
  cfg.LatencyMs = 20;
  rig.Start(cfg);
  bool loadEnabledAfterRestore = true;
  // During the transfer: minimised and restored from the task bar.
  WhenTrue([&] { return rig.Terminal->CommandCount(TTermCommand::Block) >= 1; },
           [&] {
             rig.Main->showMinimized();
             QApplication::processEvents();
             rig.Main->showNormal();
             QApplication::processEvents();
             loadEnabledAfterRestore = rig.Upgrade()->btnLoad->isEnabled();
           });
  ASSERT_TRUE(rig.WaitLoadEnd());
  EXPECT_FALSE(loadEnabledAfterRestore);
  EXPECT_EQ(rig.Keys(), std::vector<std::string>{kOk});
  // Idle: the same does not load the terminal again.
  rig.Terminal->ClearHistory();
  rig.Main->showMinimized();
  WaitUntil([] { return false; }, 150);
  rig.Main->showNormal();
  WaitUntil([] { return false; }, 600);
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::Identity), 0);
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::EnterLoader), 0);
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::Block), 0);
}

// The wait dialog while the boot program does not answer: each way of
// closing it cancels the request, and the load ends as a cancel does.
void ExpectWaitDialogCancel(const std::function<void(TfrmWait*)>& close) {
  auto guard = Guard();
  TUpgradeRig rig;
  rig.Start(TUpgradeRig::TerminalConfig(), false);
  rig.Terminal->AddFault(TTermCommand::EnterLoader, {TTermFaultKind::NoAnswer, 0, true});
  ASSERT_TRUE(rig.PlugAndWait());
  rig.Main->btnLoadClick();
  WhenTrue(
      [&] {
        return frmWait && frmWait->isVisible() && rig.Terminal->CommandCount(TTermCommand::EnterLoader) >= 2;
      },
      [&] { close(frmWait); });
  ASSERT_TRUE(rig.WaitLoadEnd(15000)) << "the request goes on after the wait dialog was closed";
  EXPECT_TRUE(WaitUntil([] { return frmWait == nullptr; }, 2000));
  const int requests = rig.Terminal->CommandCount(TTermCommand::EnterLoader);
  WaitUntil([] { return false; }, 300);
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::EnterLoader), requests) << "requests go on";
  EXPECT_TRUE(rig.Presenter.Shown.empty());
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::Block), 0);
  EXPECT_GE(rig.Terminal->CommandCount(TTermCommand::Close), 1) << "the reset";
  EXPECT_TRUE(LabelsUnknown(rig.Upgrade()));
}

TEST(Robustness, EscapeOnTheWaitDialogCancels) {
  ExpectWaitDialogCancel([](TfrmWait* w) { QTest::keyClick(w, Qt::Key_Escape); });
}

TEST(Robustness, CloseBoxOfTheWaitDialogCancels) {
  ExpectWaitDialogCancel([](TfrmWait* w) { w->close(); });
}

TEST(Robustness, CancelOfTheWaitDialogCancels) {
  ExpectWaitDialogCancel([](TfrmWait* w) { QTest::mouseClick(w->btnCancel, Qt::LeftButton); });
}

TEST(Robustness, AnotherDevicePluggedDuringTheBootRequestLeavesTheIdentityAlone) {
  auto guard = Guard();
  TUpgradeRig rig;
  rig.Start(TUpgradeRig::TerminalConfig(), false);
  for (int i = 0; i < 5; ++i)
    rig.Terminal->AddFault(TTermCommand::EnterLoader, {TTermFaultKind::NoAnswer, 0, false});
  ASSERT_TRUE(rig.PlugAndWait());
  rig.Main->btnLoadClick();
  std::shared_ptr<TSimHidDevice> other;
  WhenTrue([&] { return rig.Terminal->CommandCount(TTermCommand::EnterLoader) >= 1; },
           [&] { other = rig.Bus->Plug(TSimHidDeviceConfig::Make(0x046D, 0xC077, 1, "Clavier USB")); });
  ASSERT_TRUE(rig.WaitLoadEnd());
  EXPECT_FALSE(rig.Shown("_AppliDiff"));
  EXPECT_EQ(rig.Keys(), std::vector<std::string>{kOk});
  EXPECT_TRUE(rig.TerminalHasImage());
  rig.Bus->Unplug(other);
}

TEST(Robustness, NakToTheBootRequestIsAnUnknownError) {
  auto guard = Guard();
  TUpgradeRig rig;
  rig.Start(TUpgradeRig::TerminalConfig(), false);
  rig.Terminal->AddFault(TTermCommand::EnterLoader, {TTermFaultKind::Nak, 0, false});
  ASSERT_TRUE(rig.PlugAndWait());
  rig.Main->btnLoadClick();
  ASSERT_TRUE(rig.WaitLoadEnd());
  ASSERT_EQ(rig.Presenter.Shown.size(), 1u);
  EXPECT_EQ(rig.Presenter.Shown[0].Kind, TMsgKind::TransmissionError);
  EXPECT_EQ(rig.Presenter.Shown[0].Text, "Erreur inconnue") << "not the identity read's success";
  EXPECT_FALSE(rig.Presenter.Shown[0].RetryVisible);
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::Block), 0);
}

TEST(Robustness, SecondOkWhileThePasswordIsCheckedDoesNothing) {
  auto guard = Guard();
  TUpgradeRig rig;
  auto cfg = TUpgradeRig::TerminalConfig();
  cfg.Password = "Secret42";
  rig.Start(cfg, false);
  ASSERT_TRUE(rig.PlugAndWait());
  bool secondPressed = false;
  WhenShown([](QWidget* w) { return w->objectName() == "frmPasswordFirmware"; },
            [&](QWidget* w) {
              auto* dlg = static_cast<TfrmPasswordFirmware*>(w);
              // The terminal takes its time over the password.
              rig.Terminal->SetLatencyMs(300);
              QTest::keyClicks(dlg->edtPassword, "Secret42");
              QTest::keyClick(dlg->edtPassword, Qt::Key_Return);
            });
  // The terminal is still thinking about the first one: OK and Enter again.
  WhenTrue([&] { return frmPasswordFirmware && rig.Terminal->CommandCount(TTermCommand::Password) >= 1; },
           [&] {
             if (!frmPasswordFirmware) return;
             frmPasswordFirmware->btnOk->click();
             QTest::keyClick(frmPasswordFirmware->edtPassword, Qt::Key_Return);
             secondPressed = true;
             rig.Terminal->SetLatencyMs(0);
           });
  rig.Main->btnLoadClick();
  ASSERT_TRUE(rig.WaitLoadEnd());
  EXPECT_TRUE(secondPressed);
  EXPECT_EQ(rig.Keys(), std::vector<std::string>{kOk}) << "no error of an exchange that was not made";
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::Password), 1);
  EXPECT_TRUE(rig.TerminalHasImage());
}

TEST(Robustness, EnterClosesTheUpgradeWindowOnlyWhenIdle) {
  auto guard = Guard();
  TUpgradeRig rig;
  auto cfg = TUpgradeRig::TerminalConfig();
  cfg.LatencyMs = 30;
  rig.Start(cfg);
  TfrmVMUpgrade* w = rig.Upgrade();
  ASSERT_NE(w, nullptr);
  bool stayedWhileBusy = false;
  WhenTrue([&] { return rig.Terminal->CommandCount(TTermCommand::Block) >= 1; },
           [&] {
             w->btnBack->setFocus();
             PressKey(Qt::Key_Return);
             stayedWhileBusy = frmVMUpgrade == w;
           });
  ASSERT_TRUE(rig.WaitLoadEnd());
  EXPECT_TRUE(stayedWhileBusy);
  // Idle, the focus on "Charger": Enter still acts as "Précédant".
  w->btnLoad->setFocus();
  QTest::keyClick(w->btnLoad, Qt::Key_Return);
  EXPECT_TRUE(WaitUntil([] { return frmVMUpgrade == nullptr; }, 3000));
  EXPECT_TRUE(rig.Main->btnLoad->isVisible());
}

TEST(Robustness, PasswordDialogIsWholeAndAboveTheWaitBox) {
  auto guard = Guard();
  TUpgradeRig rig;
  auto cfg = TUpgradeRig::TerminalConfig();
  cfg.Password = "x1";
  bool waitHidden = false, labelWhole = false, labelInside = false, checked = false;
  WhenShown([](QWidget* w) { return w->objectName() == "frmPasswordFirmware"; },
            [&](QWidget* w) {
              auto* dlg = static_cast<TfrmPasswordFirmware*>(w);
              waitHidden = !frmWait || !frmWait->isVisible();
              labelWhole = dlg->lblPwd->width() >= dlg->lblPwd->sizeHint().width();
              labelInside = dlg->lblPwd->geometry().right() < dlg->width();
              checked = true;
              QTest::keyClicks(dlg->edtPassword, "x1");
              QTest::mouseClick(dlg->btnOk, Qt::LeftButton);
            });
  rig.Start(cfg);
  ASSERT_TRUE(rig.WaitLoadEnd());
  ASSERT_TRUE(checked);
  EXPECT_TRUE(waitHidden) << "the always-on-top wait box covers the password dialog";
  EXPECT_TRUE(labelWhole) << "the label is cut";
  EXPECT_TRUE(labelInside);
  EXPECT_EQ(rig.Keys(), std::vector<std::string>{kOk});
}

TEST(Robustness, GaugeShowsAHundredDuringThePauseAfterTheLastBlock) {
  auto guard = Guard();
  const TUpgradePauses saved = TfrmVMUpgrade::Pauses();
  TfrmVMUpgrade::Pauses().AfterLastBlockMs = 1500;
  TUpgradeRig rig;
  rig.Start(TUpgradeRig::TerminalConfig(), false);
  ASSERT_TRUE(rig.PlugAndWait());
  rig.Main->btnLoadClick();
  ASSERT_NE(rig.Upgrade(), nullptr);
  TGauge* gauge = rig.Upgrade()->Gauge;
  std::atomic<int> painted{-2};
  // The GUI thread sleeps through the pause: look from another thread.
  std::thread look([&] {
    for (int i = 0; i < 3000 && !rig.Terminal->ImageComplete(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    painted = gauge->PaintedProgress();
  });
  const bool ended = rig.WaitLoadEnd();
  look.join();
  TfrmVMUpgrade::Pauses() = saved;
  ASSERT_TRUE(ended);
  EXPECT_EQ(painted.load(), 100);
}

TEST(Robustness, BoxesAreCentredOnTheMainWindowWhicheverWindowIsActive) {
  auto guard = Guard();
  TUpgradeRig rig;
  TRealBoxes boxes(rig);
  rig.Start(TUpgradeRig::TerminalConfig(), false);
  QWidget other;
  other.setWindowTitle(QStringLiteral("Autre fenêtre"));
  other.setGeometry(0, 0, 200, 100);
  other.show();
  other.activateWindow();
  QApplication::setActiveWindow(&other);
  QWidget* parent = nullptr;
  bool centred = false;
  WhenShown([](QWidget* w) { return qobject_cast<QMessageBox*>(w) != nullptr; },
            [&](QWidget* w) {
              parent = w->parentWidget();
              const QPoint c = w->frameGeometry().center(), m = rig.Main->frameGeometry().center();
              centred = std::abs(c.x() - m.x()) <= 20 && std::abs(c.y() - m.y()) <= 20;
              QTest::keyClick(w, Qt::Key_Return);
            });
  rig.Main->btnLoadClick();  // no terminal: "Aucun terminal ..."
  EXPECT_EQ(rig.Keys(), std::vector<std::string>{"_Err_NoVelmora"});
  EXPECT_EQ(parent, rig.Main.get());
  EXPECT_TRUE(centred);
}

TEST(Robustness, PrecedantDuringThePresencePauseDoesNotCloseTheWindowUnderIt) {
  auto guard = Guard();
  TUpgradeRig rig;
  rig.Start();
  ASSERT_TRUE(rig.WaitLoadEnd());
  TfrmVMUpgrade* w = rig.Upgrade();
  ASSERT_NE(w, nullptr);
  // Another HID device: the window's presence call-back pauses, then reads
  // the identity. "Précédant" in the pause must not close the window that
  // the call-back is about to use.
  bool plugging = false, clicked = false, closedInPause = true;
  WhenTrue([&] { return plugging; },
           [&] {
             clicked = true;
             QTest::mouseClick(w->btnBack, Qt::LeftButton);
             closedInPause = frmVMUpgrade != w;
           });
  plugging = true;
  auto other = rig.Bus->Plug(TSimHidDeviceConfig::Make(0x046D, 0xC077, 1, "Souris optique"));
  ASSERT_TRUE(WaitUntil([&] { return clicked && !w->FBusy(); }, 5000));
  EXPECT_FALSE(closedInPause);
  EXPECT_EQ(frmVMUpgrade, w);
  EXPECT_EQ(w->lblNameVers->text(), "fv0100");
  // Afterwards it closes.
  QTest::mouseClick(w->btnBack, Qt::LeftButton);
  EXPECT_TRUE(WaitUntil([] { return frmVMUpgrade == nullptr; }, 3000));
  rig.Bus->Unplug(other);
}

TEST(Robustness, QuitBeforeTheAutomaticStartStartsNothing) {
  auto guard = Guard();
  TUpgradeRig rig;
  rig.Start();
  ASSERT_NE(rig.Upgrade(), nullptr);
  // "Quitter" within the tenth of a second before the load starts by
  // itself: the window closes, and no load follows it.
  EXPECT_TRUE(rig.Main->close());
  WaitUntil([] { return false; }, 400);
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::Identity), 0);
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::EnterLoader), 0);
  EXPECT_TRUE(rig.Presenter.Shown.empty());
}

}  // namespace
