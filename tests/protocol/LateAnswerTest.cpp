// Answers that come late, to a command whose wait has already ended: they
// must not hold the answer buffer against the answer of the next command.
#include <gtest/gtest.h>

#include "DialogueCore.h"
#include "F_CommonDlg.h"
#include "ScriptedPresenter.h"
#include "SimHidBus.h"
#include "TestCatalogue.h"
#include "U_ConstDlg.h"
#include "VirtualTerminal.h"

namespace {

// An input report after its id: count byte, the bytes, zero padding.
TBytes Report(const TBytes& bytes) {
  TBytes r(64, 0);
  r[0] = static_cast<uint8_t>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), r.begin() + 1);
  return r;
}

}  // namespace

TEST(LateAnswer, AnAnswerToAnotherCommandIsDroppedAndTheAwaitedOneTaken) {
  TCatalogueScope catalogue;
  TScriptedPresenter presenter;
  const TBytes loader = BuildFrame({1}, kAnsLoader);  // the late answer of a boot request
  TBytes overlong = BuildFrame({1}, kAnsLoader);
  overlong[3] = 0xFF, overlong[4] = 0x7F;  // its length beyond the buffer
  struct TCase {
    const char* Name;
    std::vector<TBytes> Late;  // reports before the awaited answer
  };
  const std::vector<TCase> cases{
      {"whole in one report", {Report(loader)}},
      {"two of them", {Report(loader), Report(loader)}},
      {"split over two reports",
       {Report(TBytes(loader.begin(), loader.begin() + 4)),
        Report(TBytes(loader.begin() + 4, loader.end()))}},
      // 63 bytes from the first report, 64 from each next: the 17th overflows.
      {"longer than the buffer", std::vector<TBytes>(17, Report(overlong))},
  };
  for (const TCase& c : cases) {
    TDialogueCore d;
    d.ExpectedAnswer = kAnsDialogue;
    d.BeginExchange();
    for (const TBytes& r : c.Late) d.ReceiveReport(r.data(), r.size());
    EXPECT_TRUE(d.Waiting) << c.Name;
    const TBytes identity = Report(BuildFrame(
        {1, 2, 255, 'B', 'O', 'O', 'T', '1', '0', '0', '1', '/', '0', '3', '/', '2', '0', '0', '8'},
        kAnsDialogue));
    d.ReceiveReport(identity.data(), identity.size());
    EXPECT_FALSE(d.Waiting) << c.Name;
    EXPECT_TRUE(d.EndExchange()) << c.Name;
    EXPECT_EQ(d.AppType, 255) << c.Name;
  }
}

// The terminal answers 300 ms late: the boot request (56 ms) is sent again
// and again, and its late answers come while the identity is read after it.
TEST(LateAnswer, TheIdentityAfterARepeatedBootRequestIsRead) {
  TScriptedPresenter presenter;
  auto bus = std::make_shared<TSimHidBus>();
  auto term = TVirtualTerminal::Create();
  term->Plug(*bus);
  TCommonDlg d(nullptr, bus);
  ASSERT_NE(d.Device, nullptr);
  term->SetLatencyMs(300);
  int requests = 0;
  while (!d.EnterLoader(false) && requests < 40) ++requests;
  ASSERT_GT(requests, 0);
  ASSERT_EQ(d.Status, 1);
  EXPECT_TRUE(d.OpenDialogue(255, true));
  EXPECT_EQ(d.AppType, 255);
  EXPECT_TRUE(presenter.Shown.empty());
}
