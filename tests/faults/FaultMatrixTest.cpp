// Every fault of the virtual terminal at every block of a five-block load
// (four pages and the end block), through the real windows: the load ends
// as it must (loaded, or failed with the boot program left when the
// terminal can still be asked), the window is no longer busy, nothing
// hangs, and the upgrade window closes afterwards.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "F_CommonDlg.h"
#include "F_Main.h"
#include "F_PasswordFirmware.h"
#include "F_VMUpgrade.h"
#include "F_Wait.h"
#include "ModalDriver.h"
#include "UpgradeRig.h"
#include "Watchdog.h"

namespace {

const char* kOk = "_LoadVelmoraOk";
const char* kNoAnswerText = "Pas de r\xC3\xA9ponse. V\xC3\xA9rifier le branchement du mat\xC3\xA9riel.";
const char* kFlashErrorText =
    "Erreur d'\xC3\xA9"
    "criture en flash";
constexpr int kBlocks = 5;  // four pages and the end block
constexpr int kEndBlockNumber = 0xFFFF;

enum class TFault {
  NoAnswerThenRetry,
  NoAnswerThenGiveUp,
  Nak,
  RefusedStatus,
  PasswordGiven,
  PasswordCancelled,
  Unplug,
};

const char* FaultName(TFault f) {
  switch (f) {
    case TFault::NoAnswerThenRetry: return "NoAnswerThenRetry";
    case TFault::NoAnswerThenGiveUp: return "NoAnswerThenGiveUp";
    case TFault::Nak: return "Nak";
    case TFault::RefusedStatus: return "RefusedStatus";
    case TFault::PasswordGiven: return "PasswordGiven";
    case TFault::PasswordCancelled: return "PasswordCancelled";
    case TFault::Unplug: return "Unplug";
  }
  return "?";
}

// Types `text` into the password dialog when it shows, then presses OK or
// Annuler.
void AnswerPassword(const QString& text, bool ok) {
  WhenShown([](QWidget* w) { return w->objectName() == "frmPasswordFirmware"; },
            [text, ok](QWidget* w) {
              auto* dlg = static_cast<TfrmPasswordFirmware*>(w);
              QTest::keyClicks(dlg->edtPassword, text);
              (ok ? dlg->btnOk : dlg->btnCancel)->click();
            },
            30000);
}

// The gauge of a load: 0 at its start, i * 100 / 5 after each accepted block
// i, 100 once all are sent, 0 at its end.
std::vector<int> GaugeOf(int accepted, bool loaded) {
  std::vector<int> g{0};
  for (int i = 0; i < accepted; ++i) g.push_back(i * 100 / kBlocks);
  if (loaded) g.push_back(100);
  g.push_back(0);
  return g;
}

class FaultMatrix : public testing::TestWithParam<std::tuple<int, TFault>> {};

TEST_P(FaultMatrix, LoadEndsAsDueAndTheWindowCloses) {
  const int k = std::get<0>(GetParam());
  const TFault fault = std::get<1>(GetParam());
  const int number = k == kBlocks - 1 ? kEndBlockNumber : k;
  TWatchdog watchdog(testing::UnitTest::GetInstance()->current_test_info()->name(),
                     std::chrono::seconds(120));

  TUpgradeRig rig;  // four pages: five blocks
  rig.Start(TUpgradeRig::TerminalConfig(), false);
  switch (fault) {
    case TFault::NoAnswerThenRetry:
      rig.Terminal->AddBlockFault(number, TTermFault{TTermFaultKind::NoAnswer, 0, false});
      rig.Presenter.Script({TMsgResult::Retry});
      break;
    case TFault::NoAnswerThenGiveUp:
      rig.Terminal->AddBlockFault(number, TTermFault{TTermFaultKind::NoAnswer, 0, false});
      rig.Presenter.Script({TMsgResult::Cancel});
      break;
    case TFault::Nak: rig.Terminal->AddBlockFault(number, TTermFault{TTermFaultKind::Nak, 0, false}); break;
    case TFault::RefusedStatus:
      rig.Terminal->AddBlockFault(number, TTermFault{TTermFaultKind::Status, 18, false});
      rig.Presenter.Script({TMsgResult::Retry});  // no Retry is offered: the load ends anyway
      break;
    case TFault::PasswordGiven:
      rig.Terminal->AddBlockFault(number, TTermFault{TTermFaultKind::Status, 17, false});
      AnswerPassword("x", true);
      break;
    case TFault::PasswordCancelled:
      rig.Terminal->AddBlockFault(number, TTermFault{TTermFaultKind::Status, 17, false});
      AnswerPassword("", false);
      break;
    case TFault::Unplug:
      rig.Terminal->AddBlockFault(number, TTermFault{TTermFaultKind::Unplug, 0, false});
      break;
  }
  ASSERT_TRUE(rig.PlugAndWait());
  rig.Main->btnLoadClick();
  rig.Hook();
  ASSERT_TRUE(rig.WaitLoadEnd(60000)) << "the load did not end";

  // Not busy, no dialog of the load left behind.
  ASSERT_NE(rig.Upgrade(), nullptr);
  EXPECT_FALSE(rig.Upgrade()->FBusy());
  EXPECT_EQ(frmWait, nullptr);
  EXPECT_EQ(frmPasswordFirmware, nullptr);

  const std::vector<TMessage>& shown = rig.Presenter.Shown;
  const int blocksSent = rig.Terminal->CommandCount(TTermCommand::Block);
  const int leaves = rig.Terminal->CommandCount(TTermCommand::LeaveLoader);
  switch (fault) {
    case TFault::NoAnswerThenRetry:
      // The same block again, then the rest: loaded.
      ASSERT_EQ(shown.size(), 2u);
      EXPECT_EQ(shown[0].Kind, TMsgKind::TransmissionError);
      EXPECT_EQ(shown[0].Text, kNoAnswerText);
      EXPECT_TRUE(shown[0].RetryVisible);
      EXPECT_EQ(shown[1].Key, kOk);
      EXPECT_TRUE(rig.TerminalHasImage());
      EXPECT_EQ(blocksSent, kBlocks + 1);
      EXPECT_EQ(leaves, 0);
      EXPECT_EQ(rig.Gauge, GaugeOf(kBlocks, true));
      break;
    case TFault::PasswordGiven:
      EXPECT_EQ(rig.Keys(), std::vector<std::string>{kOk});
      EXPECT_TRUE(rig.TerminalHasImage());
      EXPECT_EQ(blocksSent, kBlocks + 1);
      EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::Password), 1);
      EXPECT_EQ(leaves, 0);
      EXPECT_EQ(rig.Gauge, GaugeOf(kBlocks, true));
      break;
    case TFault::NoAnswerThenGiveUp:
      ASSERT_EQ(shown.size(), 1u);
      EXPECT_EQ(shown[0].Kind, TMsgKind::TransmissionError);
      EXPECT_EQ(shown[0].Text, kNoAnswerText);
      EXPECT_TRUE(shown[0].RetryVisible);
      break;
    case TFault::Nak:
      // A NAK carries no status: the previous exchange's success must not be
      // shown as the reason, the unknown error is, and the load ends.
      ASSERT_EQ(shown.size(), 1u);
      EXPECT_EQ(shown[0].Kind, TMsgKind::TransmissionError);
      EXPECT_EQ(shown[0].Text, "Erreur inconnue");
      EXPECT_FALSE(shown[0].RetryVisible);
      break;
    case TFault::RefusedStatus:
      ASSERT_EQ(shown.size(), 1u);
      EXPECT_EQ(shown[0].Kind, TMsgKind::TransmissionError);
      EXPECT_EQ(shown[0].Text, kFlashErrorText);
      EXPECT_FALSE(shown[0].RetryVisible);
      break;
    case TFault::PasswordCancelled:
      EXPECT_TRUE(shown.empty()) << "the password dialog's cancel says nothing more";
      EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::Password), 0);
      break;
    case TFault::Unplug:
      // The block waits out its time-out (given up); then the terminal
      // cannot be asked to leave its boot program any more, which is said
      // too (given up as well).
      ASSERT_EQ(shown.size(), 2u);
      for (const TMessage& m : shown) {
        EXPECT_EQ(m.Kind, TMsgKind::TransmissionError);
        EXPECT_EQ(m.Text, kNoAnswerText);
        EXPECT_TRUE(m.RetryVisible);
      }
      EXPECT_EQ(rig.Dialogue()->Device, nullptr);
      EXPECT_FALSE(rig.Dialogue()->IsConnected());
      break;
  }

  const bool loaded = fault == TFault::NoAnswerThenRetry || fault == TFault::PasswordGiven;
  if (!loaded) {
    EXPECT_FALSE(rig.Shown(kOk));
    EXPECT_EQ(blocksSent, k + 1) << "nothing is sent after the block that failed";
    EXPECT_FALSE(rig.Terminal->ImageComplete());
    // Left where the terminal can still hear it; an unplugged one cannot.
    EXPECT_EQ(leaves, fault == TFault::Unplug ? 0 : 1);
    EXPECT_EQ(rig.Gauge, GaugeOf(k, false));
    EXPECT_EQ(rig.Upgrade()->lblNameAppli->text(), "<Inconnu>");
    EXPECT_EQ(rig.Upgrade()->lblNameVers->text(), "<Inconnu>");
  }
  if (fault != TFault::Unplug) {
    EXPECT_FALSE(rig.Terminal->InLoader()) << "a terminal still on the bus does not stay in its boot program";
  }
  EXPECT_TRUE(rig.Upgrade()->btnLoad->isEnabled());

  // The window closes afterwards.
  rig.Upgrade()->btnBack->click();
  EXPECT_TRUE(WaitUntil([] { return frmVMUpgrade == nullptr; }, 5000)) << "the upgrade window stays open";
}

std::string CaseName(const testing::TestParamInfo<std::tuple<int, TFault>>& info) {
  const int k = std::get<0>(info.param);
  return std::string(k == kBlocks - 1 ? "EndBlock" : "Block" + std::to_string(k)) + "_" +
         FaultName(std::get<1>(info.param));
}

INSTANTIATE_TEST_SUITE_P(EveryBlockEveryFault, FaultMatrix,
                         testing::Combine(testing::Range(0, kBlocks),
                                          testing::Values(TFault::NoAnswerThenRetry,
                                                          TFault::NoAnswerThenGiveUp, TFault::Nak,
                                                          TFault::RefusedStatus, TFault::PasswordGiven,
                                                          TFault::PasswordCancelled, TFault::Unplug)),
                         CaseName);

}  // namespace
