// The real program (build/default/app/VelmoraUpgrade) with its Linux backend,
// under an X server, against the emulated terminal: a technician's sessions,
// each checked on the image the terminal received and on the boxes shown.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>

#include "EmulatedTerminal.h"
#include "GuiRun.h"
#include "Sandbox.h"

namespace {

using namespace std::chrono_literals;
using TBytes = std::vector<uint8_t>;

const TBytes kIdentityRequest = {0x55, 0x80, 0xFF, 0x07, 0x00, 0x01, 0x2C};
const TBytes kBlockAnswer = {0x55, 0x8B, 0xFF};

std::string Join(const std::vector<std::string>& v) {
  std::string s;
  for (const auto& x : v) s += (s.empty() ? "" : ", ") + x;
  return "[" + s + "]";
}

// Answers of the terminal taken by the program that start with `prefix`.
int CountAnswers(const TGuiRun& run, const TBytes& prefix) {
  int n = 0;
  for (const auto& l : run.Lines())
    n += l.Kind == TTraceLine::FromTerminal && l.Bytes.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), l.Bytes.begin());
  return n;
}

class SystemScenario : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!SandboxSkipReason().empty()) GTEST_SKIP() << SandboxSkipReason();
    ASSERT_TRUE(SystemWorld()->Nodes.WaitAllReleased(5000)) << "files of the last program still open";
    const std::string base = KVZ_SYSTEM_ARTIFACTS;
    mkdir(base.c_str(), 0755);
    Dir = base + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::system(("rm -rf '" + Dir + "'").c_str());
    Run = std::make_unique<TGuiRun>(Dir);
    std::string error;
    ASSERT_TRUE(Run->StartX(error)) << error;
  }

  void TearDown() override {
    if (Run && HasFailure()) Run->Screenshot("at-failure");
    Run.reset();
    Term.reset();
  }

  // The terminal of the scenarios: application fv0099 of 14/06/2009, older
  // than the file; it answers `latencyMs` after a command, its reports paced
  // by USB frames unless `paced` is false.
  void MakeTerminal(uint16_t bcdDevice, int latencyMs = 10, bool paced = true, bool refusing = false) {
    TEmulatedTerminalConfig c;
    c.Terminal.Application = TTermIdentity{2, 9, "fv0099", "14/06/2009"};
    c.Terminal.UsbVersion = bcdDevice;
    c.Terminal.RestartOnEndBlock = bcdDevice >= 4;
    c.Terminal.LatencyMs = latencyMs;
    c.Terminal.UsbPaced = paced;
    c.Refusing = refusing;
    Term = std::make_unique<TEmulatedTerminal>(c);
  }

  void WriteFirmware(int pages) {
    Firmware = MakeTestFirmware(pages);
    FirmwarePath = Dir + "/fv0100.mot";
    std::ofstream(FirmwarePath, std::ios::binary) << Firmware.MotText;
  }

  bool HasImage(std::string& why) { return TerminalHasImage(*Term->Terminal(), Firmware.Image, &why); }

  // Every answer the terminal sent from `sentBefore` on ended an exchange
  // of the program (a TERM> line from trace line `from` on).
  void ExpectNoAnswerLost(size_t sentBefore, size_t from) {
    const size_t sent = Term->Terminal()->FramesSent().size() - sentBefore;
    const size_t taken = static_cast<size_t>(Run->CountFrames(TTraceLine::FromTerminal, from));
    EXPECT_EQ(sent, taken) << sent - taken << " answer(s) of the terminal never reached the program\n"
                           << Run->Describe(from);
  }

  // Boxes answered with their default button; the load's success ends the
  // wait.
  bool DriveToSuccess(size_t from, std::chrono::milliseconds timeout) {
    return Run->Drive(
        [&] {
          const auto boxes = Run->Boxes(from);
          return !boxes.empty() && boxes.back() == "_LoadVelmoraOk";
        },
        timeout);
  }

  std::string Dir;
  std::unique_ptr<TGuiRun> Run;
  std::unique_ptr<TEmulatedTerminal> Term;
  TTestFirmware Firmware;
  std::string FirmwarePath;
};

// The terminal is plugged in when the program starts; its USB version 4
// needs no unplug and replug prompts.
TEST_F(SystemScenario, PluggedAtStart) {
  MakeTerminal(4);
  WriteFirmware(6);
  Term->Plug();
  std::string error;
  ASSERT_TRUE(Run->StartProgram(FirmwarePath, error)) << error;
  const bool ended = DriveToSuccess(0, 60s);
  EXPECT_TRUE(ended) << "the load did not end with its success message\n" << Run->Describe();
  EXPECT_EQ(std::vector<std::string>{"_LoadVelmoraOk"}, Run->Boxes()) << Run->Describe();
  std::string why;
  EXPECT_TRUE(HasImage(why)) << why;
  ExpectNoAnswerLost(0, 0);
  EXPECT_EQ("fv0100", Term->Terminal()->RunningIdentity().VersionName);
  EXPECT_TRUE(Run->Problems().empty()) << Run->Describe();
  EXPECT_EQ("", Term->Error());
}

// The program starts without the terminal; the technician plugs it in and
// presses the load button. Its USB version (1) asks for an unplug and a
// replug at the end, which the harness really does before answering.
TEST_F(SystemScenario, HotPlugWithReplugPrompts) {
  MakeTerminal(1);
  WriteFirmware(6);
  std::string error;
  ASSERT_TRUE(Run->StartProgram(FirmwarePath, error)) << error;
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
  bool imageAtUnplug = false;
  std::string why;
  Run->OnBox = [&](const TTraceLine& box) {
    TBoxAction a;
    if (box.Key == "_DeconnectUSB") {
      if (Term->Present()) {
        imageAtUnplug = HasImage(why);
        Term->Unplug();
      }
    } else if (box.Key == "_ReconnectUSB") {
      if (!Term->Present()) Term->Plug();
      // A technician answers once the terminal is back and the program has
      // taken it (it opens the new node to identify it); in the middle of
      // the load it reads the identity only once the prompt is answered.
      a.When = [&] {
        const auto node = Term->Node();
        return node && node->Opened() > 0;
      };
      a.MaxWait = 8s;
    }
    return a;
  };
  ASSERT_TRUE(Run->PressLoad(20s)) << Run->Describe();
  const bool ended = DriveToSuccess(0, 90s);
  EXPECT_TRUE(ended) << Run->Describe();
  EXPECT_EQ((std::vector<std::string>{"_DeconnectUSB", "_ReconnectUSB", "_LoadVelmoraOk"}), Run->Boxes())
      << Run->Describe();
  EXPECT_TRUE(imageAtUnplug) << why;
  EXPECT_TRUE(HasImage(why)) << why;
  ExpectNoAnswerLost(0, 0);
  EXPECT_EQ(2, Term->Transitions() - 1) << "the terminal was not unplugged and replugged exactly once";
  EXPECT_EQ("fv0100", Term->Terminal()->RunningIdentity().VersionName);
  EXPECT_TRUE(Run->Problems().empty()) << Run->Describe();
  EXPECT_EQ("", Term->Error());
}

// The terminal is unplugged in the middle of the transfer: the load ends
// with the transmission error dialogs, the window stays usable, and after a
// replug a second load puts the whole image in.
TEST_F(SystemScenario, UnplugMidTransfer) {
  MakeTerminal(4);
  WriteFirmware(12);
  Term->Plug();
  Run->OnLine = [&](const TTraceLine& l) {
    // The technician pulls the cable once the fourth block is accepted.
    if (l.Kind == TTraceLine::FromTerminal && CountAnswers(*Run, kBlockAnswer) == 4 && Term->Present())
      Term->Unplug();
  };
  std::string error;
  ASSERT_TRUE(Run->StartProgram(FirmwarePath, error)) << error;
  Run->Drive([&] { return !Term->Present(); }, 60s);
  ASSERT_FALSE(Term->Present()) << "the transfer never reached its fourth block\n" << Run->Describe();
  // The load ends by itself (the exchange under way may wait for its
  // time-out first); its boxes are answered with their default button (the
  // error dialog's is "Annuler": no retry).
  auto transmissionErrors = [&] {
    int n = 0;
    for (const auto& l : Run->Lines()) n += l.Kind == TTraceLine::Message && l.MsgKind == "TransmissionError";
    return n;
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
  Run->Settle(2s, 20s);
  const size_t mark = Run->Lines().size();
  const size_t sentBefore = Term->Terminal()->FramesSent().size();
  ASSERT_TRUE(Run->PressLoad(20s)) << Run->Describe(mark);
  const bool ended = DriveToSuccess(mark, 90s);
  EXPECT_TRUE(ended) << Run->Describe(mark);
  EXPECT_EQ(std::vector<std::string>{"_LoadVelmoraOk"}, Run->Boxes(mark)) << Run->Describe(mark);
  std::string why;
  EXPECT_TRUE(HasImage(why)) << why;
  ExpectNoAnswerLost(sentBefore, mark);
  EXPECT_TRUE(Run->Problems().empty()) << Run->Describe();
  EXPECT_EQ("", Term->Error());
}

// The node refuses access (no udev rule for the technician): the program
// must not take the terminal, and says why. Once the rule is installed and
// the terminal replugged, it loads it without being restarted.
TEST_F(SystemScenario, AccessRefusedThenRuleInstalled) {
  MakeTerminal(4, 10, true, /*refusing=*/true);
  WriteFirmware(4);
  Term->Plug();
  std::string error;
  ASSERT_TRUE(Run->StartProgram(FirmwarePath, error)) << error;
  ASSERT_TRUE(Run->WaitMainWindow(20s)) << Run->Describe();
  Run->Settle(3s, 30s);
  const std::vector<std::string> refused = Run->Boxes();
  EXPECT_EQ(std::vector<std::string>{"_Err_AccessRefused"}, refused)
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
  Run->Settle(2s, 20s);
  const size_t mark = Run->Lines().size();
  ASSERT_TRUE(Run->PressLoad(20s)) << Run->Describe(mark);
  const bool ended = DriveToSuccess(mark, 60s);
  EXPECT_TRUE(ended) << Run->Describe(mark);
  EXPECT_EQ(std::vector<std::string>{"_LoadVelmoraOk"}, Run->Boxes(mark)) << Run->Describe(mark);
  std::string why;
  EXPECT_TRUE(HasImage(why)) << why;
  EXPECT_TRUE(Run->Problems().empty()) << Run->Describe();
}

// A terminal that answers within 0.1 ms of the write, program after
// program: no answer may be lost, the first one of each run (the identity,
// the first exchange after the terminal is taken) included.
TEST_F(SystemScenario, FastAnswers) {
  int runs = 50;
  if (const char* n = std::getenv("KVZ_SYSTEM_FAST_RUNS")) runs = std::max(1, std::atoi(n));
  MakeTerminal(4, /*latencyMs=*/0, /*paced=*/false);
  WriteFirmware(2);
  Term->Plug();
  const int blocks = static_cast<int>(Firmware.Image.size() / 256) + 1;
  std::vector<std::string> failures;
  int done = 0;
  for (int run = 1; run <= runs && failures.size() < 3; ++run, ++done) {
    const std::string name = "run-" + std::to_string(run);
    std::string error;
    ASSERT_TRUE(Run->StartProgram(FirmwarePath, error, name + ".trace")) << error;
    const size_t sentBefore = Term->Terminal()->FramesSent().size();
    // Until the end block is answered, or a box (any box is a failure here).
    Run->Drive([&] { return CountAnswers(*Run, kBlockAnswer) >= blocks || !Run->Boxes().empty(); }, 30s);
    // The trace may show a fast answer before its command (a command is
    // traced once written, the answer as soon as it is taken): the answers
    // are counted, not paired.
    std::string what;
    if (Run->FindFrame(TTraceLine::ToTerminal, kIdentityRequest) < 0) what = "no identity request";
    const size_t sent = Term->Terminal()->FramesSent().size() - sentBefore;
    const size_t taken = static_cast<size_t>(Run->CountFrames(TTraceLine::FromTerminal));
    if (sent != taken)
      what += (what.empty() ? "" : "; ") + std::to_string(sent - taken) + " of " + std::to_string(sent) +
              " answers lost";
    if (!Run->Boxes().empty())
      what += (what.empty() ? "" : "; ") + std::string("boxes ") + Join(Run->Boxes());
    std::string why;
    if (what.empty() && !HasImage(why)) what = why;
    if (!what.empty()) failures.push_back(name + ": " + what);
    Run->StopProgram();
  }
  EXPECT_TRUE(failures.empty()) << failures.size() << " of " << done << " runs failed"
                                << (failures.size() >= 3 && done < runs ? " (stopped after 3 failures)" : "")
                                << ":\n  " << Join(failures) << "\nlast run's " << Run->Describe();
}

}  // namespace
