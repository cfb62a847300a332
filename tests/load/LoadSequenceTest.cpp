// The load of a firmware file in the real windows against the virtual
// terminal, driven by the person: the roads of the sequence, the upgrade
// window's identity display and its presence call-backs.
#include <gtest/gtest.h>

#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include "F_CommonDlg.h"
#include "F_Main.h"
#include "F_VMUpgrade.h"
#include "LoadRig.h"
#include "ScriptedPresenter.h"
#include "U_DecodeFileMot.h"

namespace {

const std::string kNoAnswer = "Pas de r\xC3\xA9ponse. V\xC3\xA9rifier le branchement du mat\xC3\xA9riel.";

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
  const uint8_t mark[] = {0x11, 0x00, 0x00, 0x11};
  std::copy(mark, mark + 4, b0->Buffer.begin() + 10);
  file.Blocks.Add(std::move(b0));
  file.Blocks.Add(std::make_unique<TDatasToSend>(1));
  EXPECT_EQ(TfrmVMUpgrade::BlockTimeoutTicks(file, 0), 182);
  EXPECT_EQ(TfrmVMUpgrade::BlockTimeoutTicks(file, 1), 91);
  file.Blocks.GetItem(0).Buffer[13] = 0x12;
  EXPECT_EQ(TfrmVMUpgrade::BlockTimeoutTicks(file, 0), 91);
}

TEST(UpgradeWindow, CaptionsAndTheSmallBarStartingAgain) {
  TScriptedPresenter p;
  QWidget owner;
  TfrmVMUpgrade w(&owner);
  EXPECT_EQ(
      (QStringList{w.gbxVersAppli->title(), w.lblNameVersA->text(), w.btnBack->text(), w.btnLoad->text()}),
      (QStringList{"Matériel", "Numéro de version", "Précédant", "Charger"}));
  EXPECT_FALSE(w.btnLoad->isEnabled());
  w.PrgBarLoadFirmware->setValue(20);
  w.TmrSendLoadFirmwareTimer();
  EXPECT_EQ(w.PrgBarLoadFirmware->value(), 0);
  // Without a device dialogue nothing is read or shown.
  EXPECT_FALSE(w.ReadTerminalInfo(true));
  EXPECT_TRUE(p.Shown.empty());
}

// The comparison of the file with the terminal's application (fv0099 of
// 14/06/2009): the warnings, their texts, and what each answer leads to.
struct TComparison {
  TFileSpec File;
  std::string TerminalVersion;
  std::vector<TMsgResult> Answers;
  std::vector<std::string> Keys;
  std::vector<std::string> Texts;  // the boxes' texts hold these
  int TerminalType = 9;
  bool InBootProgram = false;  // the terminal runs its boot program: no comparison
  // Below USB version 4 the terminal does not restart by itself: the person
  // is asked to unplug it and plug it back, at most five times each.
  int UsbVersion = 4;
  bool Unplugs = true, Replugs = true;
};

// A terminal of USB version 1 and a person who unplugs and replugs it when
// asked, or not.
TComparison Prompts(bool unplugs, bool replugs, std::vector<std::string> keys) {
  TComparison c{{}, "fv0099", {}, std::move(keys), {}};
  c.UsbVersion = 1;
  c.Unplugs = unplugs;
  c.Replugs = replugs;
  return c;
}

void PrintTo(const TComparison& c, std::ostream* os) {
  *os << c.File.Version << " over " << c.TerminalVersion << ":";
  for (const std::string& k : c.Keys) *os << " " << k;
}

class Comparison : public testing::TestWithParam<TComparison> {};

TEST_P(Comparison, WarnsAndLoadsOrLeaves) {
  const TComparison& c = GetParam();
  TLoadRig rig(c.File);
  TVirtualTerminalConfig cfg = TLoadRig::TerminalConfig();
  cfg.Application.VersionName = c.TerminalVersion;
  cfg.Application.AppType = c.TerminalType;
  cfg.StartInLoader = c.InBootProgram;
  cfg.UsbVersion = c.UsbVersion;
  cfg.RestartOnEndBlock = c.UsbVersion == 4;
  rig.Person->Habits.UnplugWhenAsked = c.Unplugs;
  rig.Person->Habits.ReplugWhenAsked = c.Replugs;
  rig.Person->Habits.Script.assign(c.Answers.begin(), c.Answers.end());
  rig.Start(cfg);
  ASSERT_TRUE(rig.WaitLoadEnd());
  EXPECT_EQ(rig.Keys(), c.Keys);
  for (size_t i = 0; i < c.Texts.size() && i < rig.Boxes().size(); ++i) {
    EXPECT_EQ(rig.Boxes()[i].Msg.Kind, c.Keys[i] == "warning" ? TMsgKind::Warning : TMsgKind::Plain);
    EXPECT_NE(rig.Boxes()[i].Msg.Text.find(c.Texts[i]), std::string::npos) << rig.Boxes()[i].Msg.Text;
  }
  const bool loaded = c.Keys.back() == kOk;
  EXPECT_EQ(rig.TerminalHasImage(), loaded);
  if (loaded && c.Replugs) {
    EXPECT_EQ(rig.View.Identity().Version, QString::fromStdString(c.File.Version));
  }
  if (!loaded) {
    EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::Block), 0);
    EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::LeaveLoader), 1);
    EXPECT_FALSE(rig.Terminal->InLoader());
    // The reset: value labels unknown, the USB pair hidden.
    EXPECT_TRUE(IdentityUnknown(rig.View.Identity()));
    EXPECT_FALSE(rig.View.Identity().UsbShown);
  }
}

const std::string kOlderVersion =
    "Attention vous allez remplacer votre version d'application par une version ant\xC3\xA9rieure.\n\r"
    "Etes-vous s\xC3\xBBr de vouloir remplacer votre version fv0100 par celle-ci version fv0099?";
const std::string kOlderDate =
    "Attention vous allez remplacer votre version d'application par une version dont la date est "
    "ant\xC3\xA9rieure.\r\nEtes-vous s\xC3\xBBr de vouloir remplacer votre version du 14/06/2009 par "
    "celle-ci du 13/06/2009?";

INSTANTIATE_TEST_SUITE_P(
    FileAgainstTerminal, Comparison,
    testing::Values(
        TComparison{{"fv0099", "15/06/2009"}, "fv0100", {TMsgResult::Ok}, {"warning", kOk}, {kOlderVersion}},
        // Upper-case letters sort before lower-case ones.
        TComparison{{"FV0100", "15/06/2009"}, "fv0099", {TMsgResult::Cancel}, {"warning"}, {"FV0100"}},
        TComparison{{"fv0100", "13/06/2009"}, "fv0099", {TMsgResult::Cancel}, {"warning"}, {kOlderDate}},
        TComparison{
            {"fv0098", "01/01/2009"},
            "fv0099",
            {TMsgResult::Ok, TMsgResult::Ok},
            {"warning", "warning", kOk},
            {"version fv0099 par celle-ci version fv0098", "du 14/06/2009 par celle-ci du 01/01/2009"}},
        // Another application is refused; a terminal in its boot program is
        // loaded with a file older in every way.
        TComparison{{}, "fv0099", {}, {"_AppliDiff"}, {"Application diff\xC3\xA9rente"}, 14},
        TComparison{{"aa0001", "01/01/2000"}, "fv0099", {}, {kOk}, {}, 9, true},
        // The unplug and replug prompts: what the person does when asked,
        // and how many prompts come. Never plugged back: no terminal for
        // the identity read, which is said, and the success is still shown.
        Prompts(true, true, {kUnplug, kReplug, kOk}),
        Prompts(false, false, {kUnplug, kUnplug, kUnplug, kUnplug, kUnplug, kOk}),
        Prompts(true, false,
                {kUnplug, kReplug, kReplug, kReplug, kReplug, kReplug, "_NoVelmoraConnect", kOk})));

TEST(LoadSequence, PasswordAskedWhileLeavingTheBootProgram) {
  TLoadRig rig;
  rig.Person->Habits.Password = "x";
  rig.Start();
  rig.Terminal->AddBlockFault(0, TTermFault{TTermFaultKind::Status, 12, false});
  rig.Terminal->AddFault(TTermCommand::LeaveLoader, TTermFault{TTermFaultKind::Status, 17, false});
  ASSERT_TRUE(rig.WaitLoadEnd());
  EXPECT_EQ(rig.Keys(), (std::vector<std::string>{"Erreur NUMBLOC", "password"}));
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::LeaveLoader), 2);
  EXPECT_FALSE(rig.Terminal->InLoader());
}

TEST(LoadSequence, UnplugBetweenTwoBlocksSaysNoAnswerAndEndsCleanly) {
  TLoadRig rig;
  rig.Start();
  // Unplugged right after block 1 was accepted, before block 2 goes.
  QObject::connect(&rig.View, &TProgramView::ProgressSet, rig.Person.get(), [&](int v) {
    if (v == 20) rig.Terminal->Unplug();
  });
  ASSERT_TRUE(rig.WaitLoadEnd());
  ASSERT_GE(rig.Boxes().size(), 1u);
  // Not "Gestion correcte de la trame": the load has failed.
  EXPECT_EQ(rig.Boxes()[0].Msg.Text, kNoAnswer);
  EXPECT_FALSE(rig.Boxes()[0].Msg.RetryVisible);
  EXPECT_FALSE(rig.Shown(kOk));
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::Block), 2);
  EXPECT_TRUE(IdentityUnknown(rig.View.Identity()));
  // The window closes afterwards.
  rig.Person->Click(TProgramButton::Back);
  EXPECT_TRUE(WaitFor([&] { return !rig.View.UpgradeWindow(); }));
}

TEST(UpgradeWindow, IdentityClearedByAnUnplugWhileIdleNoLoadWithoutTerminalReadAgainAtAReplug) {
  TLoadRig rig;
  rig.Start();
  ASSERT_TRUE(rig.WaitLoadEnd());
  TfrmVMUpgrade* w = rig.Upgrade();
  rig.Dialogue()->FrameVersion = -1;
  rig.Dialogue()->AppType = 255;
  w->ShowTerminalInfo();
  EXPECT_EQ(rig.View.Identity().FrameVersion, "<Inconnu>");
  EXPECT_EQ(rig.View.Identity().Name, "Programme boot");

  // Unplugged while idle: every value label unknown after the pause, the
  // main window's buttons swapped.
  rig.Person->Unplug();
  ASSERT_TRUE(WaitFor([&] { return rig.View.Identity().Version == "<Inconnu>"; }));
  EXPECT_TRUE(IdentityUnknown(rig.View.Identity()));
  EXPECT_EQ(rig.View.Identity().UsbVersion, "<Inconnu>");
  EXPECT_TRUE(rig.View.ShowsTerminal(false));
  // A load asked for without a terminal says so.
  rig.Person->ClearShown();
  rig.Person->Click(TProgramButton::Charger);
  ASSERT_TRUE(WaitFor([&] { return !rig.Boxes().empty(); }));
  ASSERT_TRUE(rig.WaitLoadEnd());
  EXPECT_EQ(rig.Keys(), std::vector<std::string>{"_VerifyUSBConnection"});
  EXPECT_TRUE(rig.View.Idle());

  // Plugged again: the identity is read again, silently.
  rig.Person->ClearShown();
  rig.Person->Plug();
  ASSERT_TRUE(WaitFor([&] { return rig.View.Identity().Version == "fv0100"; }));
  EXPECT_TRUE(rig.Boxes().empty());
  EXPECT_TRUE(rig.View.ShowsTerminal(true));

  // One upgrade window at most: the main window's request opens none while
  // it is there; closed, the main window's buttons are back and open a
  // fresh one.
  rig.Main->btnLoadClick();
  EXPECT_EQ(rig.Main->findChildren<TfrmVMUpgrade*>().size(), 1u);
  rig.Person->Click(TProgramButton::Back);
  ASSERT_TRUE(WaitFor([&] { return !rig.View.UpgradeWindow(); }));
  EXPECT_TRUE(rig.View.Button(TProgramButton::Load)->isVisible());
  rig.Person->Click(TProgramButton::Load);
  EXPECT_NE(rig.View.UpgradeWindow(), nullptr);
}

TEST(UpgradeWindow, UnusableTerminalDateIsReportedAndTheDialogueClosed) {
  TLoadRig rig;
  auto cfg = TLoadRig::TerminalConfig();
  cfg.Application.AppDate = "31/02/2009";
  rig.Start(cfg);
  ASSERT_TRUE(rig.WaitLoadEnd());
  EXPECT_EQ(rig.Keys(), std::vector<std::string>{"_BadDateAppliSoft"});
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::Close), 1);
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::EnterLoader), 0);
  TfrmVMUpgrade* w = rig.Upgrade();
  EXPECT_FALSE(w->FInfoValid);
  // The same read without errors shown is silent.
  rig.Person->ClearShown();
  EXPECT_FALSE(w->ReadTerminalInfo(false));
  EXPECT_TRUE(rig.Boxes().empty());
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::Close), 2);
  EXPECT_EQ(w->FTermAppliType, 9);
  EXPECT_EQ(w->FTermVersionName, "fv0099");
}

TEST(UpgradeWindow, PlugInNoticeDuringALoadKeepsTheWindowBusyAndTheIdentity) {
  TLoadRig rig;
  auto cfg = TLoadRig::TerminalConfig();
  cfg.LatencyMs = 100;
  rig.Start(cfg);
  TfrmVMUpgrade* w = rig.Upgrade();
  ASSERT_NE(w, nullptr);
  bool plugging = false, busyAfterNotice = false, closedDuringLoad = true;
  int noticesAfterPlug = 0, typeAfterNotice = 0;
  std::string nameAfterNotice;
  // Another HID device in the middle of the transfer: the dialogue reports
  // the terminal again and the window's presence call-back runs within the
  // load. This connection comes after the window's, so it sees the state the
  // call-back left.
  QObject::connect(rig.Dialogue(), &TCommonDlg::ConnectedChanged, rig.Person.get(), [&](bool) {
    if (!plugging || noticesAfterPlug++ > 0) return;
    busyAfterNotice = w->FBusy();
    typeAfterNotice = w->FTermAppliType;
    nameAfterNotice = w->FTermVersionName;
    closedDuringLoad = rig.Main->close();
  });
  rig.Person->When([&] { return rig.Terminal->CommandCount(TTermCommand::Block) >= 1; },
                   [&] {
                     plugging = true;
                     rig.Person->PlugOther();
                   });
  ASSERT_TRUE(rig.WaitLoadEnd());
  ASSERT_GE(noticesAfterPlug, 1);
  EXPECT_TRUE(busyAfterNotice);
  EXPECT_FALSE(closedDuringLoad);
  // The identity read of the call-back could not be made (an exchange was
  // under way): what the load read at its start stays.
  EXPECT_EQ(typeAfterNotice, 9);
  EXPECT_EQ(nameAfterNotice, "fv0099");
  EXPECT_EQ(rig.Keys(), std::vector<std::string>{kOk});
  EXPECT_TRUE(rig.TerminalHasImage());
}

// A load decides with the identity it read when it started: device changes
// in the middle of it change neither that identity nor the exchanges, and
// the labels catch up once it has ended (at once when the terminal goes).
struct TIdentityCase {
  const char* Name;
  const char* Box;      // the key of the box under which the device changes, "warning", or
                        // "idle": once the load has ended
  bool UnplugTerminal;  // else another HID device is plugged
};

void PrintTo(const TIdentityCase& c, std::ostream* os) { *os << c.Name; }

class LoadIdentity : public testing::TestWithParam<TIdentityCase> {};

TEST_P(LoadIdentity, DeviceChange) {
  const TIdentityCase c = GetParam();
  // Older than the terminal's fv0099 of 14/06/2009 in version and in date;
  // its boot program reports 01/03/2008, older than the file.
  TLoadRig rig(TFileSpec{"fv0098", "01/01/2009"});
  bool acted = false;
  int identitiesBefore = 0, identitiesAfter = 0;
  QString dateBefore, dateAfter;
  const auto act = [&] {
    acted = true;
    identitiesBefore = rig.Terminal->CommandCount(TTermCommand::Identity);
    dateBefore = rig.Upgrade()->lblDateAppli->text();
    if (c.UnplugTerminal) {
      rig.Terminal->Unplug();
    } else {
      rig.Terminal->SetApplication({2, 9, "fv0200", "01/02/2010"});
      rig.Bus->Plug(TSimHidDeviceConfig::Make(0x046D, 0xC077, 1, "USB Optical Mouse"));
    }
    identitiesAfter = rig.Terminal->CommandCount(TTermCommand::Identity);
    dateAfter = rig.Upgrade()->lblDateAppli->text();
  };
  const std::string when = c.Box;
  rig.Person->OnShown = [&](const TPerson::TShown& s) {
    if (!acted && !s.Password && (when == "warning" ? s.Msg.Kind == TMsgKind::Warning : s.Msg.Key == when))
      act();
  };
  rig.Start();
  ASSERT_TRUE(rig.WaitLoadEnd());
  if (when == "idle") {
    // Outside a load the presence call-back reads the identity at once.
    act();
    EXPECT_EQ(identitiesAfter, identitiesBefore + 1);
    EXPECT_EQ(dateAfter, "01/02/2010");
    return;
  }
  ASSERT_TRUE(acted);
  EXPECT_EQ(identitiesAfter, identitiesBefore) << "no identity request in the middle of the load";
  if (c.UnplugTerminal) {
    EXPECT_EQ(dateAfter, "<Inconnu>") << "the labels clear at once";
    return;
  }
  EXPECT_EQ(dateAfter, dateBefore);
  if (when == "warning") {
    // The older date is still asked for: the date compared is the
    // application's that the load read, not the boot program's.
    ASSERT_EQ(rig.Boxes().size(), 3u);
    EXPECT_NE(rig.Boxes()[1].Msg.Text.find("du 14/06/2009 par celle-ci du 01/01/2009"), std::string::npos);
    EXPECT_EQ(rig.Boxes()[2].Msg.Key, kOk);
    EXPECT_TRUE(rig.TerminalHasImage());
  } else {
    // Plugged in under the last box: the labels catch up once the load ended.
    EXPECT_EQ(rig.Upgrade()->lblNameVers->text(), "fv0200");
    EXPECT_EQ(rig.Upgrade()->lblDateAppli->text(), "01/02/2010");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LoadIdentity,
    testing::Values(TIdentityCase{"MouseUnderTheVersionWarning", "warning", false},
                    TIdentityCase{"MouseUnderTheSuccessBox", kOk.c_str(), false},
                    TIdentityCase{"MouseOnceTheLoadEnded", "idle", false},
                    TIdentityCase{"TerminalGoneUnderTheVersionWarning", "warning", true}),
    [](const testing::TestParamInfo<TIdentityCase>& i) { return std::string(i.param.Name); });

}  // namespace
