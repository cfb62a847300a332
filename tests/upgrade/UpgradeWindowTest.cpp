// The upgrade window itself: identity display and reading, the busy rule,
// the timers, and the presence call-backs.
#include <gtest/gtest.h>

#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include "F_CommonDlg.h"
#include "F_Main.h"
#include "F_VMUpgrade.h"
#include "Gauge.h"
#include "ModalDriver.h"
#include "U_DecodeFileMot.h"
#include "UpgradeRig.h"

namespace {

TEST(TerminalDate, FirstReadingThenTheTwoDigitYearReading) {
  EXPECT_EQ(TfrmVMUpgrade::ReadTerminalDate("15/06/2009"), QDate(2009, 6, 15));
  EXPECT_EQ(TfrmVMUpgrade::ReadTerminalDate("15-06-2009"), QDate(2009, 6, 15));
  EXPECT_EQ(TfrmVMUpgrade::ReadTerminalDate("  15/06/09"), QDate(9, 6, 15));
  EXPECT_FALSE(TfrmVMUpgrade::ReadTerminalDate("15/06/200").isValid());
  EXPECT_FALSE(TfrmVMUpgrade::ReadTerminalDate("31/02/2009").isValid());
  EXPECT_FALSE(TfrmVMUpgrade::ReadTerminalDate("<Inconnu>!").isValid());
}

TEST(BlockTimeout, LongWaitMarkOnBlockZeroOnly) {
  TObjFileMot file;
  auto b0 = std::make_unique<TDatasToSend>(0);
  b0->Buffer[10] = 0x11;
  b0->Buffer[11] = 0x00;
  b0->Buffer[12] = 0x00;
  b0->Buffer[13] = 0x11;
  file.Blocks.Add(std::move(b0));
  file.Blocks.Add(std::make_unique<TDatasToSend>(1));
  EXPECT_EQ(TfrmVMUpgrade::BlockTimeoutTicks(file, 0), 182);
  EXPECT_EQ(TfrmVMUpgrade::BlockTimeoutTicks(file, 1), 91);
  file.Blocks.GetItem(0).Buffer[13] = 0x12;
  EXPECT_EQ(TfrmVMUpgrade::BlockTimeoutTicks(file, 0), 91);
}

TEST(UpgradeWindow, LayoutCaptionsAndTimers) {
  TScriptedPresenter p;
  QWidget owner;
  TfrmVMUpgrade w(&owner);
  EXPECT_EQ(w.size(), QSize(654, 411));
  EXPECT_EQ(w.gbxLoad->title(), "Chargement");
  EXPECT_EQ(w.gbxVersAppli->title(), QString::fromUtf8("Mat\xC3\xA9riel"));
  EXPECT_FALSE(w.gbxVersAppli->isEnabled());
  EXPECT_EQ(w.lblNameVersA->text(), QString::fromUtf8("Num\xC3\xA9ro de version"));
  EXPECT_EQ(w.btnBack->text(), QString::fromUtf8("Pr\xC3\xA9"
                                                 "c\xC3\xA9"
                                                 "dant"));
  EXPECT_EQ(w.btnLoad->text(), "Charger");
  EXPECT_FALSE(w.btnLoad->isEnabled());
  EXPECT_EQ(w.Gauge->geometry(), QRect(118, 56, 150, 150));
  EXPECT_EQ(w.PrgBarLoadFirmware->maximum(), 20);
  EXPECT_EQ(w.tmrStartLoadAuto->interval(), 100);
  EXPECT_EQ(w.TmrSendLoadFirmware->interval(), 500);
  // The small bar starts again from its minimum after its maximum.
  w.PrgBarLoadFirmware->setValue(20);
  w.TmrSendLoadFirmwareTimer();
  EXPECT_EQ(w.PrgBarLoadFirmware->value(), 0);
  // Without a device dialogue nothing is read or shown.
  EXPECT_FALSE(w.ReadTerminalInfo(true));
  EXPECT_TRUE(p.Shown.empty());
}

TEST(UpgradeWindow, IdentityDisplayAfterTheFirstLoadAndUnplugWhileIdle) {
  TUpgradeRig rig;
  rig.Start();
  ASSERT_TRUE(rig.WaitLoadEnd());
  TfrmVMUpgrade* w = rig.Upgrade();
  EXPECT_EQ(w->lblNameAppli->text(), "Terminal de prog.");
  EXPECT_EQ(w->lblVersTrame->text(), "2");
  rig.Dialogue()->FrameVersion = -1;
  rig.Dialogue()->AppType = 255;
  w->ShowTerminalInfo();
  EXPECT_EQ(w->lblVersTrame->text(), "<Inconnu>");
  EXPECT_EQ(w->lblNameAppli->text(), "Programme boot");

  // Unplugged while idle: every value label unknown after the pause.
  rig.Terminal->Unplug();
  ASSERT_TRUE(WaitUntil([&] { return w->lblNameVers->text() == "<Inconnu>"; }, 5000));
  for (QLabel* l : {w->lblVersTrame, w->lblNameAppli, w->lblDateAppli, w->lblNameVers, w->lblVersUSB})
    EXPECT_EQ(l->text(), "<Inconnu>");
  EXPECT_FALSE(rig.Main->btnLoad->isEnabled());
  EXPECT_TRUE(rig.Main->btnPilote->isEnabled());

  // Plugged again: the identity is read again, silently.
  rig.Presenter.Clear();
  rig.Terminal->Replug();
  ASSERT_TRUE(WaitUntil([&] { return w->lblNameVers->text() == "fv0100"; }, 5000));
  EXPECT_TRUE(rig.Presenter.Shown.empty());
  EXPECT_TRUE(rig.Main->btnLoad->isEnabled());
}

TEST(UpgradeWindow, UnusableTerminalDateIsReportedAndTheDialogueClosed) {
  TUpgradeRig rig;
  auto cfg = TUpgradeRig::TerminalConfig();
  cfg.Application.AppDate = "31/02/2009";
  rig.Start(cfg);
  ASSERT_TRUE(rig.WaitLoadEnd());
  EXPECT_EQ(rig.Keys(), std::vector<std::string>{"_BadDateAppliSoft"});
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::Close), 1);
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::EnterLoader), 0);
  TfrmVMUpgrade* w = rig.Upgrade();
  EXPECT_FALSE(w->FInfoValid);
  // The same read without errors shown is silent.
  rig.Presenter.Clear();
  EXPECT_FALSE(w->ReadTerminalInfo(false));
  EXPECT_TRUE(rig.Presenter.Shown.empty());
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::Close), 2);
  EXPECT_EQ(w->FTermAppliType, 9);
  EXPECT_EQ(w->FTermVersionName, "fv0099");
}

TEST(UpgradeWindow, BackAndQuitRefusedWhileBusyAndAcceptedAfter) {
  TUpgradeRig rig;
  auto cfg = TUpgradeRig::TerminalConfig();
  cfg.LatencyMs = 150;  // a transfer long enough to press the buttons in it
  rig.Start(cfg);
  TfrmVMUpgrade* w = rig.Upgrade();
  ASSERT_NE(w, nullptr);
  bool busy = false, mainClosed = true, stillThere = false;
  WhenTrue([&] { return rig.Terminal->CommandCount(TTermCommand::Block) >= 2; },
           [&] {
             busy = w->FBusy();
             w->btnBack->click();
             mainClosed = rig.Main->close();
             stillThere = frmVMUpgrade == w;
           });
  ASSERT_TRUE(rig.WaitLoadEnd());
  EXPECT_TRUE(busy);
  EXPECT_FALSE(mainClosed) << "Quit during a transfer does nothing";
  EXPECT_TRUE(stillThere) << "Précédant during a transfer does nothing";
  EXPECT_EQ(rig.Upgrade(), w);
  EXPECT_EQ(rig.Keys(), std::vector<std::string>{"_LoadVelmoraOk"}) << "a refused close shows nothing";
  EXPECT_TRUE(rig.TerminalHasImage());
  w->btnBack->click();
  ASSERT_TRUE(WaitUntil([] { return frmVMUpgrade == nullptr; }, 3000));
  EXPECT_TRUE(rig.Main->close());
}

TEST(UpgradeWindow, PlugInNoticeDuringALoadKeepsTheWindowBusyAndTheIdentity) {
  TUpgradeRig rig;
  auto cfg = TUpgradeRig::TerminalConfig();
  cfg.LatencyMs = 100;
  rig.Start(cfg);
  TfrmVMUpgrade* w = rig.Upgrade();
  ASSERT_NE(w, nullptr);
  std::shared_ptr<TSimHidDevice> other;
  bool plugging = false;
  int noticesAfterPlug = 0;
  bool busyAfterNotice = false, closedDuringLoad = true;
  int typeAfterNotice = 0;
  std::string nameAfterNotice;
  // Another HID device in the middle of the transfer: the dialogue reports
  // the terminal again and the window's presence call-back runs within the
  // load. This connection comes after the window's, so it sees the state the
  // call-back left.
  QObject::connect(rig.Dialogue(), &TCommonDlg::ConnectedChanged, [&](bool) {
    if (!plugging || noticesAfterPlug++ > 0) return;
    busyAfterNotice = w->FBusy();
    typeAfterNotice = w->FTermAppliType;
    nameAfterNotice = w->FTermVersionName;
    closedDuringLoad = rig.Main->close();
  });
  WhenTrue([&] { return rig.Terminal->CommandCount(TTermCommand::Block) >= 1; },
           [&] {
             plugging = true;
             other = rig.Bus->Plug(TSimHidDeviceConfig::Make(0x046D, 0xC077, 1, "Souris optique"));
           });
  ASSERT_TRUE(rig.WaitLoadEnd());
  ASSERT_GE(noticesAfterPlug, 1);
  EXPECT_TRUE(busyAfterNotice);
  EXPECT_FALSE(closedDuringLoad);
  // The identity read of the call-back could not be made (an exchange was
  // under way): what the load read at its start stays.
  EXPECT_EQ(typeAfterNotice, 9);
  EXPECT_EQ(nameAfterNotice, "fv0099");
  EXPECT_TRUE(rig.Shown("_LoadVelmoraOk"));
  EXPECT_TRUE(rig.TerminalHasImage());
  EXPECT_FALSE(w->FBusy());
  rig.Bus->Unplug(other);
}

TEST(UpgradeWindow, LoadButtonStartsAnotherLoadAfterItsTimer) {
  TUpgradeRig rig;
  rig.Start();
  ASSERT_TRUE(rig.WaitLoadEnd());
  rig.Presenter.Clear();
  rig.Terminal->ClearHistory();
  rig.Upgrade()->btnLoad->click();
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::Identity), 0) << "the load starts through the timer";
  bool disabledDuringLoad = false;
  WhenTrue([&] { return rig.Terminal->CommandCount(TTermCommand::Block) > 0; },
           [&] { disabledDuringLoad = !rig.Upgrade()->btnLoad->isEnabled(); });
  ASSERT_TRUE(WaitUntil([&] { return rig.Terminal->CommandCount(TTermCommand::Identity) > 0; }, 10000));
  ASSERT_TRUE(rig.WaitLoadEnd());
  EXPECT_TRUE(disabledDuringLoad) << "a second load cannot be started from the button";
  EXPECT_EQ(rig.Keys(), std::vector<std::string>{"_LoadVelmoraOk"});
}

}  // namespace
