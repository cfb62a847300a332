// The real program (build/default/app/VelmoraUpgrade) with its Linux backend,
// under an X server, against the emulated terminal: a technician's sessions,
// each checked on the image the terminal received and on the boxes shown.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "EmulatedTerminal.h"
#include "GuiRun.h"
#include "MotTestUtil.h"

namespace {

using namespace std::chrono_literals;

const TBytes kIdentityRequest = BuildFrame(DialoguePayload(true), kCmdDialogue);
const TBytes kBlockAnswer = {0x55, 0x8B, 0xFF};

std::string Join(const std::vector<std::string>& v) {
  std::string s;
  for (const auto& x : v) s += (s.empty() ? "" : ", ") + x;
  return "[" + s + "]";
}

class SystemScenario : public TSystemTest {
 protected:
  void SetUp() override {
    TSystemTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    Dir = std::string(KVZ_SYSTEM_ARTIFACTS) + "/" +
          ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::filesystem::remove_all(Dir);
    std::filesystem::create_directories(Dir);
    Run = std::make_unique<TGuiRun>(Dir);
    ASSERT_EQ("", Run->StartX());
  }

  void TearDown() override {
    if (Run && HasFailure()) Run->Screenshot("at-failure");
    Run.reset();
    Term.reset();
  }

  // The terminal of the scenarios: application fv0099 of 14/06/2009, older
  // than the file; it answers `latencyMs` after a command, its reports paced
  // by USB frames unless `paced` is false. The firmware file has `pages`
  // pages: a header page (application type 9, version fv0100 of 15/06/2009)
  // and pages of a pattern, at 0x8000.
  void MakeTerminal(uint16_t bcdDevice, int pages, int latencyMs = 10, bool paced = true,
                    bool refusing = false) {
    TEmulatedTerminalConfig c;
    c.Terminal.Application = TTermIdentity{2, 9, "fv0099", "14/06/2009"};
    c.Terminal.UsbVersion = bcdDevice;
    c.Terminal.RestartOnEndBlock = bcdDevice >= 4;
    c.Terminal.LatencyMs = latencyMs;
    c.Terminal.UsbPaced = paced;
    c.Refusing = refusing;
    Term = std::make_unique<TEmulatedTerminal>(c);
    Image = HeaderPage(true, "15/06/2009", 9, "fv0100", 256);
    for (int p = 1; p < pages; ++p)
      for (int i = 0; i < 256; ++i) Image.push_back(static_cast<uint8_t>(p * 37 + i * 7));
    FirmwarePath = Dir + "/fv0100.mot";
    std::ofstream(FirmwarePath, std::ios::binary) << MotFile(Image, 0x8000, 32);
  }

  // Why the terminal's image is not the file's (with its end block); empty
  // when it is. A block not received reads as 0xFF there.
  std::string Missing() {
    if (!Term->Terminal()->ImageComplete()) return "the terminal did not receive the end block";
    const TBytes got = Term->Terminal()->Image();
    const auto differs = std::mismatch(Image.begin(), Image.end(), got.begin(), got.end()).first;
    return differs == Image.end() ? ""
                                  : "block " + std::to_string((differs - Image.begin()) / 256) + " differs";
  }
  size_t Sent() { return Term->Terminal()->FramesSent().size(); }

  // The load followed from trace line `from` on (the terminal's answers
  // from `sentBefore` on) ends with the success box after `boxes`: the
  // whole image in, the new application running, every answer the terminal
  // sent taken by the program. Boxes are answered with their default button.
  void ExpectLoaded(size_t from, size_t sentBefore, std::chrono::seconds timeout,
                    std::vector<std::string> boxes = {}) {
    const bool ended = Run->Drive(
        [&] { return !Run->Boxes(from).empty() && Run->Boxes(from).back() == "_LoadVelmoraOk"; }, timeout);
    EXPECT_TRUE(ended) << "the load did not end with its success message\n" << Run->Describe(from);
    boxes.push_back("_LoadVelmoraOk");
    EXPECT_EQ(boxes, Run->Boxes(from)) << Run->Describe(from);
    EXPECT_EQ("", Missing());
    const size_t sent = Sent() - sentBefore;
    const size_t taken = static_cast<size_t>(Run->CountFrames(TTraceLine::FromTerminal, from));
    EXPECT_EQ(sent, taken) << sent - taken << " answer(s) of the terminal never reached the program\n"
                           << Run->Describe(from);
    EXPECT_EQ("fv0100", Term->Terminal()->RunningIdentity().VersionName);
    EXPECT_TRUE(Run->Problems().empty()) << Run->Describe();
    EXPECT_EQ("", Term->Error());
  }

  // The technician loads again from the window already open.
  void LoadAgain(std::chrono::seconds timeout) {
    Run->Settle(2s, 20s);
    const size_t mark = Run->Lines().size(), sentBefore = Sent();
    ASSERT_TRUE(Run->PressLoad(20s)) << Run->Describe(mark);
    ExpectLoaded(mark, sentBefore, timeout);
  }

  std::string Dir;
  std::unique_ptr<TGuiRun> Run;
  TBytes Image;
  std::string FirmwarePath;
};

// The terminal is plugged in when the program starts; its USB version 4
// needs no unplug and replug prompts.
TEST_F(SystemScenario, PluggedAtStart) {
  MakeTerminal(4, 6);
  Term->Plug();
  ASSERT_EQ("", Run->StartProgram(FirmwarePath));
  ExpectLoaded(0, 0, 60s);
}

// The program starts without the terminal; the technician plugs it in and
// presses the load button. Its USB version (1) asks for an unplug and a
// replug at the end, which the harness really does before answering.
TEST_F(SystemScenario, HotPlugWithReplugPrompts) {
  MakeTerminal(1, 6);
  ASSERT_EQ("", Run->StartProgram(FirmwarePath));
  ASSERT_TRUE(Run->WaitMainWindow(20s)) << Run->Describe();
  Run->Settle(500ms, 5s);
  Run->Drive([&] { return Run->MainButtonEnabled("load") >= 0 && Run->MainButtonEnabled("driver") >= 0; },
             10s);
  EXPECT_TRUE(Run->Boxes().empty()) << Run->Describe();
  EXPECT_EQ(0, Run->CountFrames(TTraceLine::ToTerminal));
  EXPECT_EQ(0, Run->MainButtonEnabled("load")) << "load button enabled without a terminal";
  EXPECT_EQ(1, Run->MainButtonEnabled("driver")) << "driver button disabled without a terminal";

  Term->Plug();
  Run->Drive([&] { return Run->MainButtonEnabled("load") == 1; }, 10s);
  EXPECT_EQ(1, Run->MainButtonEnabled("load")) << "the plugged terminal did not enable the load button";
  EXPECT_EQ(0, Run->MainButtonEnabled("driver")) << "the driver button stays enabled with a terminal";
  std::string missingAtUnplug = "not unplugged";
  Run->OnBox = [&](const TTraceLine& box) {
    TBoxAction a;
    if (box.Key == "_DeconnectUSB" && Term->Present()) {
      missingAtUnplug = Missing();
      Term->Unplug();
    } else if (box.Key == "_ReconnectUSB") {
      Term->Plug();
      // A technician answers once the terminal is back and the program has
      // taken it (it opens the new node to identify it); in the middle of
      // the load it reads the identity only once the prompt is answered.
      a.When = [&] { return Term->Node() && Term->Node()->Opened() > 0; };
      a.MaxWait = 8s;
    }
    return a;
  };
  ASSERT_TRUE(Run->PressLoad(20s)) << Run->Describe();
  ExpectLoaded(0, 0, 90s, {"_DeconnectUSB", "_ReconnectUSB"});
  EXPECT_EQ("", missingAtUnplug);  // the unplug was made, once (the boxes above: once each)
}

// The terminal is unplugged in the middle of the transfer: the load ends
// with the transmission error dialogs, the window stays usable, and after a
// replug a second load puts the whole image in.
TEST_F(SystemScenario, UnplugMidTransfer) {
  MakeTerminal(4, 12);
  Term->Plug();
  Run->OnLine = [&](const TTraceLine& l) {
    // The technician pulls the cable once the fourth block is accepted.
    if (l.Kind == TTraceLine::FromTerminal &&
        Run->CountFrames(TTraceLine::FromTerminal, 0, kBlockAnswer) == 4)
      Term->Unplug();
  };
  ASSERT_EQ("", Run->StartProgram(FirmwarePath));
  Run->Drive([&] { return !Term->Present(); }, 60s);
  ASSERT_FALSE(Term->Present()) << "the transfer never reached its fourth block\n" << Run->Describe();
  // The load ends by itself (the exchange under way may wait for its
  // time-out first); its boxes are answered with their default button (the
  // error dialog's is "Annuler": no retry).
  auto transmissionErrors = [&] {
    return std::count_if(Run->Lines().begin(), Run->Lines().end(), [](const TTraceLine& l) {
      return l.Kind == TTraceLine::Message && l.MsgKind == "TransmissionError";
    });
  };
  EXPECT_TRUE(Run->Drive([&] { return transmissionErrors() > 0; }, 60s))
      << "the cut-off load showed no transmission error\n"
      << Run->Describe();
  Run->Settle(3s, 60s);
  const std::vector<std::string> first = Run->Boxes();
  EXPECT_TRUE(Run->ProgramAlive()) << Run->Describe();
  EXPECT_EQ(0, std::count(first.begin(), first.end(), "_LoadVelmoraOk")) << Run->Describe();
  EXPECT_FALSE(Term->Terminal()->ImageComplete());

  // Replug and load again from the same window.
  Run->OnLine = nullptr;
  Term->Plug();
  LoadAgain(90s);
}

// The node refuses access (no udev rule for the technician): the program
// must not take the terminal, and says why. Once the rule is installed and
// the terminal replugged, it loads it without being restarted.
TEST_F(SystemScenario, AccessRefusedThenRuleInstalled) {
  MakeTerminal(4, 4, 10, true, /*refusing=*/true);
  Term->Plug();
  ASSERT_EQ("", Run->StartProgram(FirmwarePath));
  ASSERT_TRUE(Run->WaitMainWindow(20s)) << Run->Describe();
  Run->Settle(3s, 30s);
  EXPECT_EQ(std::vector<std::string>{"_Err_AccessRefused"}, Run->Boxes())
      << "a terminal without read/write access must be reported, once\n"
      << Run->Describe();
  EXPECT_EQ(0, Run->CountFrames(TTraceLine::ToTerminal))
      << "the program talked to a terminal it cannot open\n"
      << Run->Describe();
  EXPECT_EQ(1, Run->MainButtonEnabled("driver")) << "the driver button must stay enabled to install the rule";
  EXPECT_EQ(0, Run->MainButtonEnabled("load")) << "a terminal that cannot be opened enables the load button";

  // "Installing the rule", then replugging.
  Term->SetRefusing(false);
  Term->Unplug();
  Term->Plug();
  LoadAgain(60s);
}

// A terminal that answers within 0.1 ms of the write, program after
// program: no answer may be lost, the first one of each run (the identity,
// the first exchange after the terminal is taken) included.
TEST_F(SystemScenario, FastAnswers) {
  int runs = 50;
  if (const char* n = std::getenv("KVZ_SYSTEM_FAST_RUNS")) runs = std::max(1, std::atoi(n));
  MakeTerminal(4, 2, /*latencyMs=*/0, /*paced=*/false);
  Term->Plug();
  const int blocks = static_cast<int>(Image.size() / 256) + 1;
  std::vector<std::string> failures;
  int done = 0;
  for (int run = 1; run <= runs && failures.size() < 3; ++run, ++done) {
    const std::string name = "run-" + std::to_string(run);
    ASSERT_EQ("", Run->StartProgram(FirmwarePath, name + ".trace"));
    const size_t sentBefore = Sent();
    // Until the end block is answered, or a box (any box is a failure here).
    Run->Drive(
        [&] {
          return Run->CountFrames(TTraceLine::FromTerminal, 0, kBlockAnswer) >= blocks ||
                 !Run->Boxes().empty();
        },
        30s);
    // The trace may show a fast answer before its command (a command is
    // traced once written, the answer as soon as it is taken): the answers
    // are counted, not paired.
    std::vector<std::string> what;
    if (Run->CountFrames(TTraceLine::ToTerminal, 0, kIdentityRequest) == 0)
      what.push_back("no identity request");
    const size_t sent = Sent() - sentBefore;
    const size_t taken = static_cast<size_t>(Run->CountFrames(TTraceLine::FromTerminal));
    if (sent != taken)
      what.push_back(std::to_string(sent - taken) + " of " + std::to_string(sent) + " answers lost");
    if (!Run->Boxes().empty()) what.push_back("boxes " + Join(Run->Boxes()));
    if (what.empty() && !Missing().empty()) what.push_back(Missing());
    if (!what.empty()) failures.push_back(name + ": " + Join(what));
    Run->StopProgram();
  }
  EXPECT_TRUE(failures.empty()) << failures.size() << " of " << done << " runs failed"
                                << (failures.size() >= 3 && done < runs ? " (stopped after 3 failures)" : "")
                                << ":\n  " << Join(failures) << "\nlast run's " << Run->Describe();
}

}  // namespace
