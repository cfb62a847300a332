// The device dialogue when things happen at awkward moments: a terminal that
// answers within the write, notices during a write, terminals that vanish
// silently, refused terminals, and another thread plugging and unplugging
// while the dialogue goes.
#include <gtest/gtest.h>

#include <QTimer>
#include <atomic>
#include <memory>
#include <thread>

#include "F_CommonDlg.h"
#include "HidQtDispatch.h"
#include "ModalDriver.h"
#include "ScriptedPresenter.h"
#include "SimHidBus.h"
#include "VirtualTerminal.h"

namespace {

TSimHidDeviceConfig Mouse() { return TSimHidDeviceConfig::Make(0x046D, 0xC077, 1, "USB Optical Mouse"); }

// The virtual terminal with a hook around each output report, on the
// writer's thread.
class THookedTerminal : public ISimHidDeviceModel {
 public:
  explicit THookedTerminal(std::shared_ptr<TVirtualTerminal> inner) : Inner(std::move(inner)) {}
  void OnOutputReport(TSimHidDevice& device, const uint8_t* data, std::size_t length) override {
    if (Before) Before();
    Inner->OnOutputReport(device, data, length);
    if (After) After();
  }
  void OnPlugged(TSimHidDevice& d) override { Inner->OnPlugged(d); }
  void OnUnplugged(TSimHidDevice& d) override { Inner->OnUnplugged(d); }
  std::shared_ptr<TVirtualTerminal> Inner;
  std::function<void()> Before, After;
};

class DialogueSafety : public testing::Test {
 protected:
  std::shared_ptr<TSimHidBus> Bus = std::make_shared<TSimHidBus>();
  std::shared_ptr<TVirtualTerminal> Term = TVirtualTerminal::Create();
  std::shared_ptr<THookedTerminal> Hooked = std::make_shared<THookedTerminal>(Term);
  std::unique_ptr<TCommonDlg> D;
  TScriptedPresenter Presenter;

  void Make(bool withTerminal = true) {
    if (withTerminal) {
      Term->Plug(*Bus);
      Term->Device()->SetModel(Hooked);
    }
    D = std::make_unique<TCommonDlg>(nullptr, Bus);
  }
  void TearDown() override { D.reset(); }
};

// The terminal answers within the write of the command's last report, and
// the answer is handed over before the write has returned: the trace still
// reads command, answer, command, answer.
TEST_F(DialogueSafety, TraceOfATerminalAnsweringWithinTheWriteIsInCausalOrder) {
  Make();
  std::vector<std::pair<bool, TBytes>> trace;
  D->OnFrame = [&](bool toTerminal, const TBytes& f) { trace.emplace_back(toTerminal, f); };
  THidCallQueue& queue = D->Dispatcher().Queue();
  std::atomic<size_t> answered{0};
  Hooked->After = [&] {  // an answer sent: its hand-over is queued before the write ends
    if (Term->FramesSent().size() == answered) return;
    answered = Term->FramesSent().size();
    for (int i = 0; i < 2000 && queue.PendingCount() == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  ASSERT_TRUE(D->OpenDialogue(255, false));
  ASSERT_TRUE(D->EnterLoader(false));
  TBytes block{0, 0, 0, 0, 200, 0};
  block.resize(206, 0x5C);  // four reports
  ASSERT_TRUE(D->SendBlock(block, 91, false));
  const auto sent = Term->FramesReceived(), answers = Term->FramesSent();
  ASSERT_EQ(sent.size(), 3u);
  ASSERT_EQ(answers.size(), 3u);
  std::vector<std::pair<bool, TBytes>> expected;
  for (size_t i = 0; i < 3; ++i) {
    expected.emplace_back(true, TBytes(sent[i].begin(), sent[i].end()));
    expected.emplace_back(false, TBytes(answers[i].begin(), answers[i].end()));
  }
  EXPECT_EQ(trace, expected);
}

// A notice from the system (Windows: WM_DEVICECHANGE) that comes while a
// report is being written waits for the write, then runs: another HID
// device plugged meanwhile is listed afterwards, the terminal stays held.
TEST_F(DialogueSafety, HostNoticeDuringAWriteRunsOnceTheWriteIsOver) {
  Make();
  Bus->SetNoticesEnabled(false);  // the only notice is the host's
  std::atomic<bool> inWrite{false}, noticed{false};
  Hooked->Before = [&] {  // the write lasts until the notice came
    inWrite = true;
    for (int i = 0; i < 5000 && !noticed; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  int listedDuringTheWrite = -1;
  WhenTrue([&] { return inWrite.load(); },
           [&] {
             Bus->Plug(Mouse());
             D->HostDeviceNotice();
             listedDuringTheWrite = D->HidCtl->Count();
             noticed = true;
           });
  EXPECT_TRUE(D->OpenDialogue(255, false));
  EXPECT_EQ(listedDuringTheWrite, 1);
  EXPECT_EQ(D->HidCtl->Count(), 2) << "the notice ran once the write was over";
  EXPECT_NE(D->Device, nullptr);
}

// Reads failing on a node that vanished without a notice end in an unplug,
// and again for the terminal plugged back that vanishes the same way.
TEST_F(DialogueSafety, SilentVanishingIsNoticedEveryTime) {
  Make();
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    if (round > 0) {
      Bus->SetNoticesEnabled(true);
      Term->Replug();
      ASSERT_TRUE(WaitUntil([&] { return D->Device != nullptr; }, 3000));
    }
    ASSERT_TRUE(D->OpenDialogue(255, false));  // the reader runs from here
    Bus->SetNoticesEnabled(false);
    Term->Unplug();
    EXPECT_TRUE(WaitUntil([&] { return D->Device == nullptr; }, 3000));
    EXPECT_FALSE(D->IsConnected());
  }
}

// A terminal refused access is told once while it stays plugged, however
// many enumerations other devices force meanwhile.
TEST_F(DialogueSafety, RefusedTerminalIsToldOnceWhileOtherDevicesComeAndGo) {
  auto cfg = Term->DeviceConfig();
  cfg.ReadWriteAllowed = false;
  Bus->Plug(cfg);
  Make(false);
  ASSERT_TRUE(WaitUntil([&] { return !Presenter.Shown.empty(); }, 2000));
  for (int i = 0; i < 3; ++i) Bus->Unplug(Bus->Plug(Mouse()));
  bool settled = false;  // what the walks queued has run before this
  QTimer::singleShot(0, [&] { settled = true; });
  WaitUntil([&] { return settled; }, 5000);
  EXPECT_EQ(Presenter.Shown.size(), 1u);
  EXPECT_EQ(D->AccessRefusedCount(), 1);
  EXPECT_EQ(D->Device, nullptr);
}

// Another thread unplugs and replugs the terminal without a pause while the
// dialogue is destroyed: no change notice may reach the dialogue's call
// queue once it is gone (AddressSanitizer, ThreadSanitizer).
TEST_F(DialogueSafety, DestroyedWhileAnotherThreadUnplugsAndReplugs) {
  Term->Plug(*Bus);
  const auto dev = Term->Device();
  for (int round = 0; round < 10; ++round) {
    Make(false);
    std::atomic<bool> stop{false};
    std::atomic<int> flips{0};
    std::thread hands([&] {
      for (; !stop; ++flips) {
        Bus->Unplug(dev);
        Bus->Replug(dev);
      }
    });
    // The event loop does not run meanwhile: the notices pile up in the
    // dialogue's queue, and more come while it goes.
    while (flips < 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    D.reset();
    stop = true;
    hands.join();
  }
}

}  // namespace
