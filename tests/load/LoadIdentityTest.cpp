// A load decides with the identity it read when it started: device changes
// in the middle of it change neither that identity nor the exchanges, and
// the labels catch up once it has ended (at once when the terminal goes).
#include <gtest/gtest.h>

#include <QLabel>

#include "F_VMUpgrade.h"
#include "LoadRig.h"

namespace {

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
