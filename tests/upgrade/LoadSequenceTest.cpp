// The load of a firmware file in the real windows against the virtual
// terminal, message boxes answered by the scripted presenter.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "F_CommonDlg.h"
#include "F_Main.h"
#include "F_PasswordFirmware.h"
#include "F_VMUpgrade.h"
#include "F_Wait.h"
#include "Gauge.h"
#include "ModalDriver.h"
#include "UpgradeRig.h"

namespace {

const char* kOk = "_LoadVelmoraOk";

// Types `text` into the password dialog when it shows, then presses OK or
// Annuler.
void AnswerPassword(const QString& text, bool ok = true) {
  WhenShown([](QWidget* w) { return w->objectName() == "frmPasswordFirmware"; },
            [text, ok](QWidget* w) {
              auto* dlg = static_cast<TfrmPasswordFirmware*>(w);
              QTest::keyClicks(dlg->edtPassword, text);
              (ok ? dlg->btnOk : dlg->btnCancel)->click();
            });
}

TEST(LoadSequence, TerminalAtStartIsLoadedWithoutAClickAndWithoutWarning) {
  TUpgradeRig rig;
  rig.Start();
  ASSERT_NE(rig.Upgrade(), nullptr) << "a terminal present at start opens the upgrade window";
  ASSERT_TRUE(rig.WaitLoadEnd());
  EXPECT_EQ(rig.Keys(), std::vector<std::string>{kOk});
  EXPECT_TRUE(rig.TerminalHasImage());
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::LeaveLoader), 0);
  // Five blocks: 0, 20, 40, 60, 80 after the acceptances, 100, then 0.
  EXPECT_EQ(rig.Gauge, (std::vector<int>{0, 0, 20, 40, 60, 80, 100, 0}));
  // The identity after the load is the new application's.
  EXPECT_EQ(rig.Upgrade()->lblNameVers->text(), "fv0100");
  EXPECT_EQ(rig.Upgrade()->lblDateAppli->text(), "15/06/2009");
  EXPECT_EQ(rig.Upgrade()->lblVersUSB->text(), "4");
  EXPECT_TRUE(rig.Upgrade()->btnLoad->isEnabled());
}

TEST(LoadSequence, OlderFileVersionAsksAndOkLoads) {
  TUpgradeRig rig(TFileSpec{"fv0099", "15/06/2009"});
  auto cfg = TUpgradeRig::TerminalConfig();
  cfg.Application.VersionName = "fv0100";
  rig.Start(cfg);
  ASSERT_TRUE(rig.WaitLoadEnd());
  ASSERT_EQ(rig.Presenter.Shown.size(), 2u);
  EXPECT_EQ(rig.Presenter.Shown[0].Kind, TMsgKind::Warning);
  EXPECT_EQ(
      rig.Presenter.Shown[0].Text,
      "Attention vous allez remplacer votre version d'application par une version ant\xC3\xA9rieure.\n\r"
      "Etes-vous s\xC3\xBBr de vouloir remplacer votre version fv0100 par celle-ci version fv0099?");
  EXPECT_EQ(rig.Presenter.Shown[1].Key, kOk);
  EXPECT_TRUE(rig.TerminalHasImage());
}

TEST(LoadSequence, UpperCaseSortsBeforeLowerCase) {
  TUpgradeRig rig(TFileSpec{"FV0100", "15/06/2009"});
  rig.Presenter.Script({TMsgResult::Cancel});
  rig.Start();
  ASSERT_TRUE(rig.WaitLoadEnd());
  ASSERT_FALSE(rig.Presenter.Shown.empty());
  EXPECT_EQ(rig.Presenter.Shown[0].Kind, TMsgKind::Warning);
  EXPECT_FALSE(rig.Shown(kOk));
}

TEST(LoadSequence, OlderDateAsksWithBothDatesAndCancelLeavesTheBootProgram) {
  TUpgradeRig rig(TFileSpec{"fv0100", "13/06/2009"});
  rig.Presenter.Script({TMsgResult::Cancel});
  rig.Start();
  ASSERT_TRUE(rig.WaitLoadEnd());
  ASSERT_EQ(rig.Presenter.Shown.size(), 1u);
  EXPECT_EQ(rig.Presenter.Shown[0].Text,
            "Attention vous allez remplacer votre version d'application par une version dont la date est "
            "ant\xC3\xA9rieure.\r\nEtes-vous s\xC3\xBBr de vouloir remplacer votre version du 14/06/2009 par "
            "celle-ci du 13/06/2009?");
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::Block), 0);
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::LeaveLoader), 1);
  EXPECT_FALSE(rig.Terminal->InLoader());
  // The reset: value labels unknown, the USB pair hidden.
  EXPECT_EQ(rig.Upgrade()->lblNameVers->text(), "<Inconnu>");
  EXPECT_FALSE(rig.Upgrade()->lblVersUSB->isVisibleTo(rig.Upgrade()));
}

TEST(LoadSequence, BothWarningsInTurnThenLoad) {
  TUpgradeRig rig(TFileSpec{"fv0098", "01/01/2009"});
  rig.Start();
  ASSERT_TRUE(rig.WaitLoadEnd());
  ASSERT_EQ(rig.Presenter.Shown.size(), 3u);
  EXPECT_NE(rig.Presenter.Shown[0].Text.find("version fv0099 par celle-ci version fv0098"),
            std::string::npos);
  EXPECT_NE(rig.Presenter.Shown[1].Text.find("du 14/06/2009 par celle-ci du 01/01/2009"), std::string::npos);
  EXPECT_EQ(rig.Presenter.Shown[2].Key, kOk);
  EXPECT_TRUE(rig.TerminalHasImage());
}

TEST(LoadSequence, DifferentApplicationIsRefused) {
  TUpgradeRig rig;
  auto cfg = TUpgradeRig::TerminalConfig();
  cfg.Application.AppType = 14;
  rig.Start(cfg);
  ASSERT_TRUE(rig.WaitLoadEnd());
  EXPECT_EQ(rig.Keys(), std::vector<std::string>{"_AppliDiff"});
  EXPECT_EQ(rig.Presenter.Shown[0].Kind, TMsgKind::Plain);
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::LeaveLoader), 1);
}

TEST(LoadSequence, TerminalInItsBootProgramIsLoadedWithoutComparison) {
  TUpgradeRig rig(TFileSpec{"aa0001", "01/01/2000"});  // older in every way
  auto cfg = TUpgradeRig::TerminalConfig();
  cfg.StartInLoader = true;
  rig.Start(cfg);
  ASSERT_TRUE(rig.WaitLoadEnd());
  EXPECT_EQ(rig.Keys(), std::vector<std::string>{kOk});
  EXPECT_TRUE(rig.TerminalHasImage());
}

TEST(LoadSequence, PasswordAtTheBootProgramRequestAccepted) {
  TUpgradeRig rig;
  auto cfg = TUpgradeRig::TerminalConfig();
  cfg.Password = "Secret42";
  AnswerPassword("Secret42");
  rig.Start(cfg);
  ASSERT_TRUE(rig.WaitLoadEnd());
  EXPECT_EQ(rig.Keys(), std::vector<std::string>{kOk});
  EXPECT_TRUE(rig.TerminalHasImage());
  EXPECT_EQ(frmPasswordFirmware, nullptr);
}

TEST(LoadSequence, PasswordCancelledBeforeTheTransferResetsWithoutLeaving) {
  TUpgradeRig rig;
  auto cfg = TUpgradeRig::TerminalConfig();
  cfg.Password = "Secret42";
  AnswerPassword("", false);
  rig.Start(cfg);
  ASSERT_TRUE(rig.WaitLoadEnd());
  EXPECT_TRUE(rig.Presenter.Shown.empty());
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::LeaveLoader), 0);
  EXPECT_GE(rig.Terminal->CommandCount(TTermCommand::Close), 1) << "the reset closes the dialogue";
  EXPECT_EQ(rig.Upgrade()->lblNameAppli->text(), "<Inconnu>");
}

TEST(LoadSequence, PasswordAskedAtABlockThenGivenResendsTheSameBlock) {
  TUpgradeRig rig;
  auto cfg = TUpgradeRig::TerminalConfig();
  rig.Start(cfg, false);
  rig.Terminal->AddBlockFault(2, TTermFault{TTermFaultKind::Status, 17, false});
  AnswerPassword("x");
  ASSERT_TRUE(rig.PlugAndWait());
  rig.Main->btnLoadClick();
  ASSERT_TRUE(rig.WaitLoadEnd());
  EXPECT_EQ(rig.Keys(), std::vector<std::string>{kOk});
  EXPECT_TRUE(rig.TerminalHasImage());
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::Block), 6);
}

TEST(LoadSequence, PasswordCancelledAtABlockLeavesTheBootProgram) {
  TUpgradeRig rig;
  rig.Start(TUpgradeRig::TerminalConfig(), false);
  rig.Terminal->AddBlockFault(1, TTermFault{TTermFaultKind::Status, 17, false});
  AnswerPassword("", false);
  ASSERT_TRUE(rig.PlugAndWait());
  rig.Main->btnLoadClick();
  ASSERT_TRUE(rig.WaitLoadEnd());
  EXPECT_FALSE(rig.Shown(kOk));
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::LeaveLoader), 1);
  EXPECT_FALSE(rig.Terminal->InLoader());
  ASSERT_FALSE(rig.Gauge.empty());
  EXPECT_EQ(rig.Gauge.back(), 0);
}

TEST(LoadSequence, PasswordAskedWhileLeavingTheBootProgram) {
  TUpgradeRig rig;
  rig.Start(TUpgradeRig::TerminalConfig(), false);
  rig.Terminal->AddBlockFault(0, TTermFault{TTermFaultKind::Status, 12, false});
  rig.Terminal->AddFault(TTermCommand::LeaveLoader, TTermFault{TTermFaultKind::Status, 17, false});
  AnswerPassword("x");
  ASSERT_TRUE(rig.PlugAndWait());
  rig.Main->btnLoadClick();
  ASSERT_TRUE(rig.WaitLoadEnd());
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::LeaveLoader), 2);
  EXPECT_FALSE(rig.Terminal->InLoader());
}

TEST(LoadSequence, WaitDialogCancelledWhileTheBootProgramDoesNotAnswer) {
  TUpgradeRig rig;
  rig.Start(TUpgradeRig::TerminalConfig(), false);
  rig.Terminal->AddFault(TTermCommand::EnterLoader, TTermFault{TTermFaultKind::NoAnswer, 0, true});
  ASSERT_TRUE(rig.PlugAndWait());
  bool clicked = false;
  WhenTrue([&] { return frmWait != nullptr && rig.Terminal->CommandCount(TTermCommand::EnterLoader) >= 3; },
           [&] {
             frmWait->btnCancel->click();
             clicked = true;
           });
  rig.Main->btnLoadClick();
  ASSERT_TRUE(rig.WaitLoadEnd());
  EXPECT_TRUE(clicked);
  EXPECT_EQ(frmWait, nullptr);
  EXPECT_TRUE(rig.Presenter.Shown.empty());
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::Block), 0);
  EXPECT_EQ(rig.Upgrade()->lblNameVers->text(), "<Inconnu>");
}

TEST(LoadSequence, BlockWithoutAnswerRetriedThenLoaded) {
  TUpgradeRig rig;
  rig.Start(TUpgradeRig::TerminalConfig(), false);
  rig.Terminal->AddBlockFault(1, TTermFault{TTermFaultKind::NoAnswer, 0, false});
  rig.Presenter.Script({TMsgResult::Retry});
  ASSERT_TRUE(rig.PlugAndWait());
  std::vector<int> gaugeAtError;
  rig.Presenter.OnMessage = [&](const TMessage&) {
    gaugeAtError.push_back(rig.Upgrade()->Gauge->Progress());
  };
  rig.Main->btnLoadClick();
  rig.Hook();
  ASSERT_TRUE(rig.WaitLoadEnd(30000));
  ASSERT_EQ(rig.Presenter.Shown.size(), 2u);
  EXPECT_EQ(rig.Presenter.Shown[0].Kind, TMsgKind::TransmissionError);
  EXPECT_EQ(rig.Presenter.Shown[0].Text,
            "Pas de r\xC3\xA9ponse. V\xC3\xA9rifier le branchement du mat\xC3\xA9riel.");
  EXPECT_TRUE(rig.Presenter.Shown[0].RetryVisible);
  EXPECT_EQ(gaugeAtError[0], 0) << "the gauge does not move while the block waits";
  EXPECT_EQ(rig.Presenter.Shown[1].Key, kOk);
  EXPECT_TRUE(rig.TerminalHasImage());
  // Block 1 went twice, with the same number and bytes.
  const auto frames = rig.Terminal->FramesReceived();
  std::vector<TTermBytes> blockOnes;
  for (const auto& f : frames)
    if (TVirtualTerminal::CommandOf(f) == TTermCommand::Block && f.size() > 8 && f[7] == 1 && f[8] == 0)
      blockOnes.push_back(f);
  ASSERT_EQ(blockOnes.size(), 2u);
  EXPECT_EQ(blockOnes[0], blockOnes[1]);
}

TEST(LoadSequence, BlockWithoutAnswerGivenUpLeavesTheBootProgram) {
  TUpgradeRig rig;
  rig.Start(TUpgradeRig::TerminalConfig(), false);
  rig.Terminal->AddBlockFault(3, TTermFault{TTermFaultKind::NoAnswer, 0, false});
  rig.Presenter.Script({TMsgResult::Cancel});
  ASSERT_TRUE(rig.PlugAndWait());
  rig.Main->btnLoadClick();
  ASSERT_TRUE(rig.WaitLoadEnd(30000));
  EXPECT_EQ(rig.Keys().size(), 1u);
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::LeaveLoader), 1);
  EXPECT_FALSE(rig.Terminal->ImageComplete());
}

TEST(LoadSequence, BlockRefusedWithAStatusEndsTheLoadWithoutRetry) {
  TUpgradeRig rig;
  rig.Start(TUpgradeRig::TerminalConfig(), false);
  rig.Terminal->AddBlockFault(2, TTermFault{TTermFaultKind::Status, 18, false});
  rig.Presenter.Script({TMsgResult::Retry});  // would be ignored: no Retry offered
  ASSERT_TRUE(rig.PlugAndWait());
  rig.Main->btnLoadClick();
  ASSERT_TRUE(rig.WaitLoadEnd());
  ASSERT_EQ(rig.Presenter.Shown.size(), 1u);
  EXPECT_EQ(rig.Presenter.Shown[0].Text,
            "Erreur d'\xC3\xA9"
            "criture en flash");
  EXPECT_FALSE(rig.Presenter.Shown[0].RetryVisible);
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::Block), 3);
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::LeaveLoader), 1);
}

TEST(LoadSequence, UnplugDuringTheTransferSaysNoAnswerAndEndsCleanly) {
  TUpgradeRig rig;
  rig.Start(TUpgradeRig::TerminalConfig(), false);
  ASSERT_TRUE(rig.PlugAndWait());
  rig.Main->btnLoadClick();
  // Unplugged right after block 1 was accepted, before block 2 goes.
  QObject::connect(rig.Upgrade()->Gauge, &TGauge::ProgressSet, [&](int v) {
    if (v == 20) rig.Terminal->Unplug();
  });
  ASSERT_TRUE(rig.WaitLoadEnd(30000));
  ASSERT_GE(rig.Presenter.Shown.size(), 1u);
  // Not "Gestion correcte de la trame": the load has failed.
  EXPECT_EQ(rig.Presenter.Shown[0].Text,
            "Pas de r\xC3\xA9ponse. V\xC3\xA9rifier le branchement du mat\xC3\xA9riel.");
  EXPECT_FALSE(rig.Presenter.Shown[0].RetryVisible);
  EXPECT_FALSE(rig.Shown(kOk));
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::Block), 2);
  EXPECT_EQ(rig.Upgrade()->lblNameAppli->text(), "<Inconnu>");
  // The window closes afterwards.
  rig.Upgrade()->btnBack->click();
  EXPECT_TRUE(WaitUntil([] { return frmVMUpgrade == nullptr; }, 3000));
}

TEST(LoadSequence, UnplugAndReplugPromptsWhenTheUsbVersionIsNotFour) {
  TUpgradeRig rig;
  auto cfg = TUpgradeRig::TerminalConfig();
  cfg.UsbVersion = 1;
  cfg.RestartOnEndBlock = false;
  rig.Presenter.OnMessage = [&](const TMessage& m) {
    if (m.Key == "_DeconnectUSB") rig.Terminal->Unplug();
    if (m.Key == "_ReconnectUSB") {
      // A real box keeps the message loop turning while it is open.
      rig.Terminal->Replug();
      WaitUntil([&] { return rig.Dialogue()->IsConnected(); }, 5000);
    }
  };
  rig.Start(cfg);
  ASSERT_TRUE(rig.WaitLoadEnd(60000));
  EXPECT_EQ(rig.Keys(), (std::vector<std::string>{"_DeconnectUSB", "_ReconnectUSB", kOk}));
  EXPECT_TRUE(rig.TerminalHasImage() || rig.Terminal->RunningIdentity().VersionName == "fv0100");
  EXPECT_EQ(rig.Upgrade()->lblNameVers->text(), "fv0100");
}

TEST(LoadSequence, AtMostFiveUnplugPromptsForATerminalThatStaysPlugged) {
  TUpgradeRig rig;
  auto cfg = TUpgradeRig::TerminalConfig();
  cfg.UsbVersion = 2;
  rig.Start(cfg);
  ASSERT_TRUE(rig.WaitLoadEnd(60000));
  EXPECT_EQ(rig.CountShown("_DeconnectUSB"), 5);
  EXPECT_EQ(rig.CountShown("_ReconnectUSB"), 0);
  EXPECT_TRUE(rig.Shown(kOk));
}

TEST(LoadSequence, AtMostFiveReplugPromptsForATerminalNeverReplugged) {
  TUpgradeRig rig;
  auto cfg = TUpgradeRig::TerminalConfig();
  cfg.UsbVersion = 2;
  rig.Presenter.OnMessage = [&](const TMessage& m) {
    if (m.Key == "_DeconnectUSB") rig.Terminal->Unplug();
  };
  rig.Start(cfg);
  ASSERT_TRUE(rig.WaitLoadEnd(60000));
  EXPECT_EQ(rig.CountShown("_DeconnectUSB"), 1);
  EXPECT_EQ(rig.CountShown("_ReconnectUSB"), 5);
  // No terminal for the identity read: said so, and success is still shown.
  EXPECT_TRUE(rig.Shown("_NoVelmoraConnect"));
  EXPECT_TRUE(rig.Shown(kOk));
}

TEST(LoadSequence, NoTerminalWhenTheLoadStarts) {
  TUpgradeRig rig;
  rig.Start();
  ASSERT_TRUE(rig.WaitLoadEnd());
  rig.Presenter.Clear();
  rig.Terminal->Unplug();
  ASSERT_TRUE(WaitUntil([&] { return rig.Dialogue()->Device == nullptr; }));
  rig.Upgrade()->btnLoad->click();
  ASSERT_TRUE(WaitUntil([&] { return !rig.Presenter.Shown.empty(); }, 5000));
  ASSERT_TRUE(rig.WaitLoadEnd());
  EXPECT_EQ(rig.Keys(), std::vector<std::string>{"_VerifyUSBConnection"});
  EXPECT_TRUE(rig.Upgrade()->btnLoad->isEnabled());
}

}  // namespace
