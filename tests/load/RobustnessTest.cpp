// What a technician may do, or the terminal may do, while a load waits: the
// load ends as it must, the window stays usable, nothing runs twice.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>
#include <atomic>
#include <chrono>
#include <thread>

#include "F_CommonDlg.h"
#include "F_Main.h"
#include "F_PasswordFirmware.h"
#include "F_VMUpgrade.h"
#include "F_Wait.h"
#include "Gauge.h"
#include "LoadRig.h"

namespace {

TEST(Robustness, UnplugWhileTheBootProgramIsAwaitedEndsTheLoadAndAReplugLoadsAgain) {
  TLoadRig rig;
  rig.Start();
  rig.Terminal->AddFault(TTermCommand::EnterLoader, {TTermFaultKind::NoAnswer, 0, true});
  rig.Person->When([&] { return rig.Terminal->CommandCount(TTermCommand::EnterLoader) >= 3; },
                   [&] { rig.Person->Unplug(); });
  ASSERT_TRUE(rig.WaitLoadEnd()) << "the request loop must end without a terminal";
  EXPECT_EQ(frmWait, nullptr);
  EXPECT_EQ(rig.Keys(), std::vector<std::string>{"_NoVelmoraConnect"});
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::Block), 0);
  EXPECT_TRUE(WaitFor([&] { return IdentityUnknown(rig.View.Identity()); }));
  // Plugged back, the same window loads it from "Charger", through its
  // timer, the button disabled during the load.
  TfrmVMUpgrade* w = rig.Upgrade();
  rig.Terminal->ClearFaults();
  rig.Person->Plug();
  ASSERT_TRUE(WaitFor([&] { return rig.View.ShowsTerminal(true) && !rig.View.Working(); }));
  rig.Person->ClearShown();
  rig.Terminal->ClearHistory();
  rig.Person->Click(TProgramButton::Charger);
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::Identity), 0) << "the load starts through the timer";
  bool disabledDuringLoad = false;
  rig.Person->When([&] { return rig.Terminal->CommandCount(TTermCommand::Block) > 0; },
                   [&] { disabledDuringLoad = !rig.View.Button(TProgramButton::Charger)->isEnabled(); });
  ASSERT_TRUE(WaitFor([&] { return rig.Terminal->CommandCount(TTermCommand::Identity) > 0; }));
  ASSERT_TRUE(rig.WaitLoadEnd());
  EXPECT_TRUE(disabledDuringLoad) << "a second load cannot be started from the button";
  EXPECT_EQ(rig.Upgrade(), w);
  EXPECT_EQ(rig.Keys(), std::vector<std::string>{kOk});
  EXPECT_TRUE(rig.TerminalHasImage());
}

TEST(Robustness, AnnulerOfTheWaitDialogCancelsTheBootRequest) {
  TLoadRig rig;
  rig.Start();
  rig.Terminal->AddFault(TTermCommand::EnterLoader, {TTermFaultKind::NoAnswer, 0, true});
  rig.Person->When(
      [&] {
        return rig.View.Front().Kind == TProgramFront::WaitDialog &&
               rig.Terminal->CommandCount(TTermCommand::EnterLoader) >= 2;
      },
      [&] { rig.Person->Click(TProgramButton::FrontCancel); });
  ASSERT_TRUE(rig.WaitLoadEnd());
  EXPECT_EQ(frmWait, nullptr);
  const int requests = rig.Terminal->CommandCount(TTermCommand::EnterLoader);
  ASSERT_TRUE(rig.AtRest());
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::EnterLoader), requests) << "requests go on";
  EXPECT_TRUE(rig.Boxes().empty());
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::Block), 0);
  EXPECT_GE(rig.Terminal->CommandCount(TTermCommand::Close), 1) << "the reset";
  EXPECT_TRUE(IdentityUnknown(rig.View.Identity()));
}

TEST(Robustness, AnotherDevicePluggedDuringTheBootRequestLeavesTheIdentityAlone) {
  TLoadRig rig;
  rig.Start();
  for (int i = 0; i < 5; ++i)
    rig.Terminal->AddFault(TTermCommand::EnterLoader, {TTermFaultKind::NoAnswer, 0, false});
  rig.Person->When([&] { return rig.Terminal->CommandCount(TTermCommand::EnterLoader) >= 1; },
                   [&] { rig.Person->PlugOther(); });
  ASSERT_TRUE(rig.WaitLoadEnd());
  EXPECT_EQ(rig.Keys(), std::vector<std::string>{kOk});
  EXPECT_TRUE(rig.TerminalHasImage());
}

// A NAK carries no status: whatever the exchange before it left (a success,
// a password request already answered, a time-out), it is an unknown error
// of its own, and it leaves nothing behind for the next load.
TEST(Robustness, NakToTheBootRequestIsAnUnknownErrorEvenAfterAnUnansweredAttempt) {
  for (const bool unansweredFirst : {false, true}) {
    SCOPED_TRACE(unansweredFirst ? "after a time-out" : "after the identity");
    TLoadRig rig;
    rig.Start();
    if (unansweredFirst)
      rig.Terminal->AddFault(TTermCommand::EnterLoader, {TTermFaultKind::NoAnswer, 0, false});
    rig.Terminal->AddFault(TTermCommand::EnterLoader, {TTermFaultKind::Nak, 0, false});
    ASSERT_TRUE(rig.WaitLoadEnd());
    ASSERT_EQ(rig.Boxes().size(), 1u);
    EXPECT_EQ(rig.Boxes()[0].Msg.Kind, TMsgKind::TransmissionError);
    EXPECT_EQ(rig.Boxes()[0].Msg.Text, "Erreur inconnue");
    EXPECT_FALSE(rig.Boxes()[0].Msg.RetryVisible);
    EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::EnterLoader), unansweredFirst ? 2 : 1);
    EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::Block), 0);

    // The next load, whose terminal asks for its password, asks for it.
    auto cfg = rig.Terminal->Config();
    cfg.Password = "AB12";
    rig.Terminal->SetConfig(cfg);
    rig.Person->Habits.Password = "AB12";
    rig.Person->ClearShown();
    ASSERT_TRUE(rig.LoadAgain());
    ASSERT_TRUE(rig.WaitLoadEnd());
    EXPECT_EQ(rig.Keys(), (std::vector<std::string>{"password", kOk}));
    EXPECT_TRUE(rig.TerminalHasImage());
  }
}

TEST(Robustness, SecondOkWhileThePasswordIsCheckedDoesNothing) {
  TLoadRig rig;
  auto cfg = TLoadRig::TerminalConfig();
  cfg.Password = "Secret42";
  cfg.CommandLatencyMs[TTermCommand::Password] = 300;  // the terminal takes its time over it
  rig.Person->Habits.Password = "Secret42";
  rig.Start(cfg);
  bool secondPressed = false;
  // The terminal is still thinking about the first one: OK and Enter again.
  rig.Person->When(
      [&] { return frmPasswordFirmware && rig.Terminal->CommandCount(TTermCommand::Password) >= 1; },
      [&] {
        rig.Person->Click(TProgramButton::FrontOk);
        rig.Person->Key(Qt::Key_Return);
        secondPressed = frmPasswordFirmware != nullptr;
      });
  ASSERT_TRUE(rig.WaitLoadEnd());
  EXPECT_TRUE(secondPressed);
  EXPECT_EQ(rig.Keys(), (std::vector<std::string>{"password", kOk})) << "no error of an exchange not made";
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::Password), 1);
  EXPECT_TRUE(rig.TerminalHasImage());
}

// Return and the keypad's Enter act as "Précédant" wherever the focus is in
// the upgrade window: nothing while it works, closing it when idle.
TEST(Robustness, ReturnAndKeypadEnterCloseTheUpgradeWindowOnlyWhenIdle) {
  for (const auto& [key, mods] : {std::pair<int, Qt::KeyboardModifiers>{Qt::Key_Return, Qt::NoModifier},
                                  {Qt::Key_Enter, Qt::KeypadModifier}}) {
    SCOPED_TRACE(key == Qt::Key_Return ? "Return" : "keypad Enter");
    TLoadRig rig;
    auto cfg = TLoadRig::TerminalConfig();
    cfg.LatencyMs = 30;
    rig.Start(cfg);
    QWidget* w = rig.View.UpgradeWindow();
    ASSERT_NE(w, nullptr);
    bool stayedWhileBusy = false;
    rig.Person->When([&] { return rig.Terminal->CommandCount(TTermCommand::Block) >= 1; },
                     [&, key = key, mods = mods] {
                       rig.View.Button(TProgramButton::Back)->setFocus();
                       rig.Person->Key(key, mods);
                       stayedWhileBusy = rig.View.UpgradeWindow() == w;
                     });
    ASSERT_TRUE(rig.WaitLoadEnd());
    EXPECT_TRUE(stayedWhileBusy);
    ASSERT_EQ(rig.View.UpgradeWindow(), w);
    // Idle, the focus on "Charger".
    rig.View.Button(TProgramButton::Charger)->setFocus();
    rig.Person->Key(key, mods);
    EXPECT_TRUE(WaitFor([&] { return !rig.View.UpgradeWindow(); }));
    EXPECT_TRUE(rig.View.Button(TProgramButton::Load)->isVisible());
  }
}

// One of the few tests about a real pause: the GUI thread sleeps through
// it, so the gauge is looked at from another thread.
TEST(Robustness, GaugeShowsAHundredDuringThePauseAfterTheLastBlock) {
  TLoadRig rig;
  TfrmVMUpgrade::Pauses().AfterLastBlockMs = 1500;
  rig.Start();
  ASSERT_NE(rig.Upgrade(), nullptr);
  TGauge* gauge = rig.Upgrade()->Gauge;
  std::atomic<int> painted{-2};
  std::thread look([&] {
    for (int i = 0; i < 6000 && !rig.Terminal->ImageComplete(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    painted = gauge->PaintedProgress();
  });
  const bool ended = rig.WaitLoadEnd();
  look.join();
  ASSERT_TRUE(ended);
  EXPECT_EQ(painted.load(), 100);
}

TEST(Robustness, BoxesAreCentredOnTheMainWindowWhicheverWindowIsActive) {
  TLoadRig rig;
  rig.Start(TLoadRig::TerminalConfig(), false);
  QWidget other;
  other.setWindowTitle(QStringLiteral("Autre fenêtre"));
  other.setGeometry(0, 0, 200, 100);
  other.show();
  other.activateWindow();
  QApplication::setActiveWindow(&other);
  QWidget* parent = nullptr;
  bool centred = false;
  rig.Person->When([&] { return rig.View.Front().Kind == TProgramFront::MessageBox; },
                   [&] {
                     QWidget* w = rig.View.Front().Window;
                     parent = w->parentWidget();
                     const QPoint c = w->frameGeometry().center(), m = rig.Main->frameGeometry().center();
                     centred = std::abs(c.x() - m.x()) <= 20 && std::abs(c.y() - m.y()) <= 20;
                   });
  rig.Main->btnLoadClick();  // no terminal (the button is disabled): "Aucun terminal ..."
  ASSERT_TRUE(WaitFor([&] { return parent && rig.View.Front().Kind == TProgramFront::None; }));
  EXPECT_EQ(rig.Keys(), std::vector<std::string>{"_Err_NoVelmora"});
  EXPECT_EQ(rig.Boxes()[0].Msg.Kind, TMsgKind::Information);
  EXPECT_EQ(rig.View.UpgradeWindow(), nullptr) << "no upgrade window without a terminal";
  EXPECT_EQ(parent, rig.Main.get());
  EXPECT_TRUE(centred);
}

TEST(Robustness, IdleMinimiseStartsNoLoadAndPrecedantInThePresencePauseKeepsTheWindow) {
  TLoadRig rig;
  TfrmVMUpgrade::Pauses().PresenceMs = 200;
  rig.Start();
  ASSERT_TRUE(rig.WaitLoadEnd());
  // Minimised and restored while idle: no load starts.
  rig.Terminal->ClearHistory();
  int starts = 0;
  QObject::connect(&rig.View, &TProgramView::LoadStarting, rig.Person.get(), [&] { ++starts; });
  rig.Person->Minimise();
  ASSERT_TRUE(rig.AtRest());
  rig.Person->Restore();
  ASSERT_TRUE(rig.AtRest());
  EXPECT_EQ(starts, 0);
  EXPECT_TRUE(rig.Terminal->FramesReceived().empty());
  QWidget* w = rig.View.UpgradeWindow();
  // Another HID device: the window's presence call-back pauses, then reads
  // the identity. "Précédant" in the pause must not close the window that
  // the call-back is about to use.
  bool clicked = false, closedInPause = true;
  rig.Person->When([&] { return rig.View.Working(); },
                   [&] {
                     clicked = true;
                     rig.Person->Click(TProgramButton::Back);
                     closedInPause = rig.View.UpgradeWindow() != w;
                   });
  rig.Person->PlugOther();
  ASSERT_TRUE(WaitFor([&] { return clicked && !rig.View.Working(); }));
  EXPECT_FALSE(closedInPause);
  EXPECT_EQ(rig.View.UpgradeWindow(), w);
  EXPECT_EQ(rig.View.Identity().Version, "fv0100");
  // Afterwards it closes.
  rig.Person->Click(TProgramButton::Back);
  EXPECT_TRUE(WaitFor([&] { return !rig.View.UpgradeWindow(); }));
}

TEST(Robustness, QuitBeforeTheAutomaticStartStartsNothing) {
  TLoadRig rig;
  rig.Start();
  TfrmVMUpgrade* w = rig.Upgrade();
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->parentWidget(), rig.Main->pnlDatas) << "the upgrade window covers the main window's panel";
  // "Quitter" within the tenth of a second before the load starts by
  // itself: the window closes, and no load follows it once the start timer
  // is over.
  EXPECT_TRUE(rig.Person->CloseMain());
  ASSERT_TRUE(WaitFor([&] { return !w->tmrStartLoadAuto->isActive(); }));
  QCoreApplication::processEvents();
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::Identity), 0);
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::EnterLoader), 0);
  EXPECT_TRUE(rig.Boxes().empty());
  // The main window destroys the upgrade window with itself.
  rig.Main.reset();
  EXPECT_EQ(frmMain, nullptr);
  EXPECT_EQ(frmVMUpgradePart, nullptr);
  EXPECT_EQ(rig.Upgrade(), nullptr);
}

}  // namespace
