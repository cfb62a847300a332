// Every fault of the virtual terminal at the first, a middle and the last
// block of a five-block load (four pages and the end block; the blocks in
// between take the same road): the boxes shown, what reached the terminal,
// the gauge, the boot program left where the terminal can still hear it,
// and the window closing afterwards.
#include <gtest/gtest.h>

#include <tuple>

#include "F_CommonDlg.h"
#include "LoadRig.h"
#include "U_ConstDlg.h"

namespace {

constexpr int kEndBlockNumber = 0xFFFF;

struct TRow {
  std::string Name;
  std::vector<TTermFault> Faults;  // on the block, in order
  std::vector<TMsgResult> Script;
  // The boxes: each a key, or "#" and the status whose text it shows; with
  // or without "Réessayer".
  std::vector<std::pair<std::string, bool>> Boxes;
  bool Loaded;
  int Resent;  // blocks sent again
  int Leaves;  // requests to leave the boot program
};

const char* kNoAnswerStatus = "#-1";
// "No answer", offered with "Réessayer" or without.
const std::pair<std::string, bool> kNoAnswerBox{kNoAnswerStatus, true}, kNoAnswerEnd{kNoAnswerStatus, false};
const TTermFault kSilent{TTermFaultKind::NoAnswer, 0, false}, kNak{TTermFaultKind::Nak, 0, false};
const TTermFault kPasswordAsked{TTermFaultKind::Status, 17, false},
    kUnplugged{TTermFaultKind::Unplug, 0, false};
const TMsgResult kRetry = TMsgResult::Retry;

const std::vector<TRow>& Rows() {
  static const std::vector<TRow> rows = {
      {"NoAnswerThenRetry", {kSilent}, {kRetry}, {kNoAnswerBox, {kOk, false}}, true, 1, 0},
      {"NoAnswerThenGiveUp", {kSilent}, {TMsgResult::Cancel}, {kNoAnswerBox}, false, 0, 1},
      // "Réessayer", and the block sent again gets a NAK.
      {"NoAnswerThenNak", {kSilent, kNak}, {kRetry}, {kNoAnswerBox, {"#255", false}}, false, 1, 1},
      // The terminal unplugged while "Réessayer" is offered, then pressed:
      // the block cannot be sent any more, said as no answer without
      // "Réessayer", then the boot program cannot be left either.
      {"NoAnswerThenUnplugged", {kSilent}, {kRetry}, {kNoAnswerBox, kNoAnswerEnd, kNoAnswerBox}, false, 0, 0},
      {"Nak", {kNak}, {}, {{"#255", false}}, false, 0, 1},
      // No "Réessayer" is offered: the load ends whatever the answer.
      {"RefusedStatus", {{TTermFaultKind::Status, 18, false}}, {kRetry}, {{"#18", false}}, false, 0, 1},
      {"PasswordGiven", {kPasswordAsked}, {}, {{"password", false}, {kOk, false}}, true, 1, 0},
      {"PasswordCancelled", {kPasswordAsked}, {}, {{"password", false}}, false, 0, 1},
      // The terminal unplugged instead of answering: the block waits out its
      // time-out; an unplugged terminal cannot be asked to leave its boot
      // program, which is said too.
      {"Unplug", {kUnplugged}, {}, {kNoAnswerBox, kNoAnswerBox}, false, 0, 0},
  };
  return rows;
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

class FaultMatrix : public testing::TestWithParam<std::tuple<int, size_t>> {};

TEST_P(FaultMatrix, LoadEndsAsDueAndTheWindowCloses) {
  const int k = std::get<0>(GetParam());
  const TRow& row = Rows()[std::get<1>(GetParam())];
  const int number = k == kBlocks - 1 ? kEndBlockNumber : k;
  TLoadRig rig;
  rig.Start();  // the load starts from the event loop, with the faults in place
  for (const TTermFault& f : row.Faults) rig.Terminal->AddBlockFault(number, f);
  TPerson::THabits& h = rig.Person->Habits;
  h.Script.assign(row.Script.begin(), row.Script.end());
  h.Password = "x";
  h.CancelPassword = row.Name == "PasswordCancelled";
  const bool unplugs = row.Name == "NoAnswerThenUnplugged" || row.Name == "Unplug";
  bool unplugged = row.Name != "NoAnswerThenUnplugged";
  h.Hold = [&](const TProgramFront&) { return !unplugged; };
  if (!unplugged)
    rig.Person->When([&] { return rig.View.Front().RetryOffered; },
                     [&] {
                       rig.Person->Unplug();
                       WaitFor([&] { return rig.View.ShowsTerminal(false); });
                       unplugged = true;
                     });
  ASSERT_TRUE(rig.WaitLoadEnd()) << "the load did not end";

  std::vector<std::pair<std::string, bool>> boxes, expected;
  for (size_t i = 0; i < rig.Boxes().size(); ++i)
    boxes.emplace_back(rig.Keys()[i], rig.Boxes()[i].Msg.RetryVisible);
  for (const auto& [what, retry] : row.Boxes)
    expected.emplace_back(what[0] == '#' ? StatusText(std::stoi(what.substr(1))) : what, retry);
  EXPECT_EQ(boxes, expected);
  EXPECT_EQ(rig.View.Front().Window, nullptr) << "a box or dialog of the load is left";
  const int blocksSent = rig.Terminal->CommandCount(TTermCommand::Block);
  EXPECT_EQ(blocksSent, (row.Loaded ? kBlocks : k + 1) + row.Resent) << "sent after the block that failed";
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::LeaveLoader), row.Leaves);
  EXPECT_EQ(rig.Terminal->CommandCount(TTermCommand::Password), row.Name == "PasswordGiven");
  EXPECT_EQ(rig.TerminalHasImage(), row.Loaded);
  EXPECT_EQ(rig.Gauge, GaugeOf(row.Loaded ? kBlocks : k, row.Loaded));
  if (!row.Loaded) {
    EXPECT_FALSE(rig.Terminal->ImageComplete());
    EXPECT_TRUE(IdentityUnknown(rig.View.Identity()));
  }
  if (row.Leaves) {
    EXPECT_FALSE(rig.Terminal->InLoader()) << "left in its boot program while still on the bus";
  }
  if (row.Name == "NoAnswerThenRetry") {
    // Sent again with the same number and bytes.
    std::vector<TTermBytes> frames;
    for (const TTermBytes& f : rig.Terminal->FramesReceived())
      if (TVirtualTerminal::CommandOf(f) == TTermCommand::Block && f.size() > 8 &&
          (f[7] | f[8] << 8) == number)
        frames.push_back(f);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], frames[1]);
  }
  if (unplugs) {
    EXPECT_TRUE(rig.View.ShowsTerminal(false));
  }

  // The window closes afterwards.
  rig.Person->Click(TProgramButton::Back);
  EXPECT_TRUE(WaitFor([&] { return !rig.View.UpgradeWindow(); })) << "the upgrade window stays open";
}

std::string FaultCaseName(const testing::TestParamInfo<std::tuple<int, size_t>>& info) {
  const int k = std::get<0>(info.param);
  return std::string(k == kBlocks - 1 ? "EndBlock" : "Block" + std::to_string(k)) + "_" +
         Rows()[std::get<1>(info.param)].Name;
}

INSTANTIATE_TEST_SUITE_P(FirstMiddleLastBlock, FaultMatrix,
                         testing::Combine(testing::Values(0, 2, kBlocks - 1),
                                          testing::Range<size_t>(0, Rows().size())),
                         FaultCaseName);

}  // namespace
