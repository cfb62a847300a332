// Answers that come late, to a command whose wait has already ended, must
// not hold the answer buffer against the answer of the next command.
#include <gtest/gtest.h>

#include "F_CommonDlg.h"
#include "ScriptedPresenter.h"
#include "SimHidBus.h"
#include "TestCatalogue.h"
#include "VirtualTerminal.h"

TEST(LateAnswer, AnAnswerToAnotherCommandIsDroppedAndTheAwaitedOneTaken) {
  TCatalogueScope catalogue;
  auto report = [](const TBytes& bytes) {  // after the report id: count byte, bytes, padding
    TBytes r(64, 0);
    r[0] = static_cast<uint8_t>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), r.begin() + 1);
    return r;
  };
  const TBytes late = BuildFrame({1}, kAnsLoader);  // a boot request's
  TBytes overlong = late;
  overlong[3] = 0xFF, overlong[4] = 0x7F;
  const std::vector<std::pair<const char*, std::vector<TBytes>>> cases{
      {"whole in one report", {report(late)}},
      {"two of them", {report(late), report(late)}},
      {"split over two reports",
       {report({late.begin(), late.begin() + 4}), report({late.begin() + 4, late.end()})}},
      // 63 bytes from the first report, 64 from each next: the 17th overflows.
      {"longer than the buffer", std::vector<TBytes>(17, report(overlong))},
  };
  const TBytes identity = report(
      BuildFrame({1, 2, 255, 'B', 'O', 'O', 'T', '1', '0', '0', '1', '/', '0', '3', '/', '2', '0', '0', '8'},
                 kAnsDialogue));
  for (const auto& c : cases) {
    TDialogueCore d;
    d.ExpectedAnswer = kAnsDialogue;
    d.BeginExchange();
    for (const TBytes& r : c.second) d.ReceiveReport(r.data(), r.size());
    EXPECT_TRUE(d.Waiting) << c.first;
    d.ReceiveReport(identity.data(), identity.size());
    EXPECT_TRUE(d.EndExchange()) << c.first;
    EXPECT_EQ(d.AppType, 255) << c.first;
  }
}

// A terminal 300 ms late: the boot request (56 ms) is sent again and again,
// and its late answers come while the identity is read after it.
TEST(LateAnswer, TheIdentityAfterARepeatedBootRequestIsRead) {
  TScriptedPresenter presenter;
  auto bus = std::make_shared<TSimHidBus>();
  auto term = TVirtualTerminal::Create();
  term->Plug(*bus);
  TCommonDlg d(nullptr, bus);
  ASSERT_NE(d.Device, nullptr);
  term->SetLatencyMs(300);
  for (int requests = 0; requests < 40 && !d.EnterLoader(false);) ++requests;
  EXPECT_TRUE(d.OpenDialogue(255, true));
  EXPECT_EQ(d.AppType, 255);
  EXPECT_TRUE(presenter.Shown.empty());
}
