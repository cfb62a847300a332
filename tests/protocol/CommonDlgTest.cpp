// The device dialogue on the simulated bus, against the virtual terminal.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "F_CommonDlg.h"
#include "F_ErrorDlg.h"
#include "HidQtDispatch.h"
#include "ModalDriver.h"
#include "ScriptedPresenter.h"
#include "SimHidBus.h"
#include "U_ConstDlg.h"
#include "U_QtShell.h"
#include "VirtualTerminal.h"

namespace {

// A block: two zero bytes, its number and data length (little-endian), data.
TBytes Block(int number, size_t dataLength, uint8_t fill = 0x5C) {
  TBytes b(6 + dataLength, fill);
  b[0] = b[1] = 0;
  b[2] = number & 0xFF, b[3] = number >> 8, b[4] = dataLength & 0xFF, b[5] = dataLength >> 8;
  return b;
}
const TBytes kEndBlock{0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00};

TSimHidDeviceConfig Mouse() { return TSimHidDeviceConfig::Make(0x046D, 0xC077, 1, "USB Optical Mouse"); }

// The virtual terminal with a hook around each output report, on the
// writer's thread: a hook that waits is a hidraw write blocked by a terminal
// that stops taking reports.
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

class CommonDlg : public testing::Test {
 protected:
  std::shared_ptr<TSimHidBus> Bus = std::make_shared<TSimHidBus>();
  std::shared_ptr<TVirtualTerminal> Term = TVirtualTerminal::Create();
  std::shared_ptr<THookedTerminal> Hooked = std::make_shared<THookedTerminal>(Term);
  std::unique_ptr<TCommonDlg> D;
  TScriptedPresenter Presenter;
  std::vector<bool> Presence;

  void Make() {
    D = std::make_unique<TCommonDlg>(nullptr, Bus, [this](TCommonDlg& d) {
      QObject::connect(&d, &TCommonDlg::ConnectedChanged, [this](bool v) { Presence.push_back(v); });
    });
  }
  void MakeWithTerminal() {
    Term->Plug(*Bus);
    Term->Device()->SetModel(Hooked);
    Make();
    ASSERT_NE(D->Device, nullptr);
  }
  void TearDown() override { D.reset(); }

  // Output reports written to the terminal since the last call.
  std::vector<TTermBytes> Written() {
    auto dev = Term->Device();
    auto r = dev->OutputReports();
    dev->ClearOutputReports();
    return r;
  }
};

// --- Presence ---------------------------------------------------------------

// Devices whose product string is not exactly the terminal's are not
// taken: every command fails at once.
TEST_F(CommonDlg, WithoutTerminalEveryCommandFailsAtOnce) {
  std::vector<std::shared_ptr<TVirtualTerminal>> others;
  auto cfg = Term->Config();
  for (const char* name : {"Terminal KVZ-DORNAVE ", "terminal kvz-dornave"}) {
    cfg.ProductString = name;
    others.push_back(TVirtualTerminal::Create(cfg));
    others.back()->Plug(*Bus);
  }
  Make();
  EXPECT_EQ(D->Device, nullptr);
  EXPECT_TRUE(Presence.empty());
  EXPECT_FALSE(D->IsConnected());
  EXPECT_EQ(D->GetUsbVersion(), 0);
  D->Status = 17;
  QElapsedTimer t;
  t.start();
  EXPECT_FALSE(D->OpenDialogue(255, true));
  EXPECT_FALSE(D->CloseDialogue(true));
  EXPECT_FALSE(D->SendPassword("abc", true));
  EXPECT_FALSE(D->EnterLoader(true));
  EXPECT_FALSE(D->LeaveLoader(true));
  EXPECT_FALSE(D->SendBlock(kEndBlock, 91, true));
  EXPECT_LT(t.elapsed(), 50);
  EXPECT_EQ(D->Status, 17);
  EXPECT_TRUE(Presenter.Shown.empty());
  EXPECT_FALSE(D->Busy);
}

// Held from the creation on; longer output reports get buffers of their own
// length; the dialogue destroyed lets it go, for the next one to take it.
TEST_F(CommonDlg, TerminalPluggedBeforehandIsHeldDuringCreation) {
  auto cfg = Term->Config();
  cfg.UsbVersion = 4;
  cfg.OutputReportLength = 129;
  Term->SetConfig(cfg);
  MakeWithTerminal();
  EXPECT_TRUE(D->IsConnected());
  EXPECT_EQ(Presence, std::vector<bool>{true});
  EXPECT_EQ(D->GetUsbVersion(), 4);
  EXPECT_EQ(D->AppType, -1);
  EXPECT_EQ(D->VersionName, "<Inconnu>");
  EXPECT_EQ(D->TimeOutUSB->isActive(), false);
  EXPECT_EQ(TCommonDlg::Caption(), QString::fromUtf8("Fenêtre de dialogue commune"));
  ASSERT_TRUE(D->OpenDialogue(255, false));
  ASSERT_TRUE(D->EnterLoader(false));
  Written();
  ASSERT_TRUE(D->SendBlock(Block(0, 256), 91, false));
  const auto reports = Written();
  ASSERT_EQ(reports.size(), 5u);
  for (const auto& r : reports) EXPECT_EQ(r.size(), 129u);
  EXPECT_EQ(Term->Blocks().at(0).size(), 256u);
  D.reset();
  EXPECT_EQ(Term->Device()->OpenHandleCount(), 0);
  Make();
  EXPECT_NE(D->Device, nullptr);
  EXPECT_TRUE(D->OpenDialogue(255, false));
}

// The presence follows plugs and unplugs of the terminal; another HID
// device plugged or unplugged reports it again, the terminal still held.
TEST_F(CommonDlg, PlugAndUnplugFollowThePresence) {
  Make();
  EXPECT_EQ(Presence, std::vector<bool>{});
  Term->Plug(*Bus);
  ASSERT_TRUE(WaitUntil([&] { return D->IsConnected(); }, 2000));
  ASSERT_TRUE(D->OpenDialogue(255, false));
  EXPECT_EQ(D->AppType, 9);
  THidDevice* held = D->Device;
  auto mouse = Bus->Plug(Mouse());
  ASSERT_TRUE(WaitUntil([&] { return Presence.size() == 2; }, 2000));
  EXPECT_EQ(D->Device, held);
  Bus->Unplug(mouse);
  ASSERT_TRUE(WaitUntil([&] { return Presence.size() == 3; }, 2000));
  EXPECT_EQ(D->Device, held);
  Term->Unplug();
  ASSERT_TRUE(WaitUntil([&] { return !D->IsConnected(); }, 2000));
  EXPECT_EQ(D->Device, nullptr);
  EXPECT_EQ(D->GetUsbVersion(), 0);
  EXPECT_EQ(Presence, (std::vector<bool>{true, true, true, false}));
  // The identity survives the unplug; only the windows reset what they show.
  EXPECT_EQ(D->AppType, 9);
  EXPECT_EQ(D->VersionName, "V2.04A");
  Term->Replug();
  ASSERT_TRUE(WaitUntil([&] { return D->IsConnected(); }, 2000));
  EXPECT_TRUE(D->OpenDialogue(9, false));
}

TEST_F(CommonDlg, TwoTerminalsOnlyTheFirstIsHeld) {
  Term->Plug(*Bus);
  auto cfg = Term->Config();
  cfg.Application.VersionName = "SECOND";
  auto second = TVirtualTerminal::Create(cfg);
  second->Plug(*Bus);
  Make();
  ASSERT_NE(D->Device, nullptr);
  ASSERT_TRUE(D->OpenDialogue(255, false));
  EXPECT_EQ(D->VersionName, "V2.04A");
  EXPECT_EQ(second->FramesReceived().size(), 0u);

  // The terminal that is not held goes away: the held one stays held.
  THidDevice* held = D->Device;
  second->Unplug();
  ASSERT_TRUE(WaitUntil([&] { return Presence.size() >= 2; }, 2000));
  EXPECT_EQ(D->Device, held);
  EXPECT_EQ(Presence, (std::vector<bool>{true, true}));

  // The held one goes away with the other one back: the other one is taken.
  second->Replug();
  ASSERT_TRUE(WaitUntil([&] { return Presence.size() >= 3; }, 2000));
  Term->Unplug();
  ASSERT_TRUE(WaitUntil([&] { return Presence.size() >= 5; }, 2000));
  EXPECT_EQ(Presence[3], false);
  EXPECT_EQ(Presence[4], true);
  ASSERT_NE(D->Device, nullptr);
  ASSERT_TRUE(D->OpenDialogue(255, false));
  EXPECT_EQ(D->VersionName, "SECOND");
}

// --- Frames on the wire -------------------------------------------------------

// The identity, the application type expected, and each command's frame
// byte for byte.
TEST_F(CommonDlg, IdentityAndCommandFramesByteForByte) {
  MakeWithTerminal();
  EXPECT_TRUE(D->OpenDialogue(9, false));
  EXPECT_EQ(D->Status, 1);
  EXPECT_EQ(D->FrameVersion, 2);
  EXPECT_EQ(D->AppType, 9);
  EXPECT_EQ(D->VersionName, "V2.04A");
  EXPECT_EQ(D->AppDate, "15/06/2009");
  ASSERT_TRUE(D->EnterLoader(false));
  // In the boot program: any type is fine with 255, not with 9; AppType follows.
  EXPECT_FALSE(D->OpenDialogue(9, false));
  EXPECT_EQ(D->AppType, 255);
  EXPECT_EQ(D->Status, 1);
  EXPECT_TRUE(D->OpenDialogue(255, false));
  D->SendBlock(TBytes(), 91, false);  // too short for a block: refused, but sent
  ASSERT_TRUE(D->LeaveLoader(false));
  // The close answer goes through the identity decoding as well.
  EXPECT_TRUE(D->CloseDialogue(false));
  EXPECT_EQ(D->AppType, 9);
  D->SendPassword("abc", false);
  const auto frames = Term->FramesReceived();
  ASSERT_EQ(frames.size(), 8u);
  for (int i : {0, 2, 3}) EXPECT_EQ(HexDump(frames[i]), "55 80 FF 07 00 01 2C");
  EXPECT_EQ(HexDump(frames[1]), "55 88 FF 08 00 88 00 A2");
  EXPECT_EQ(HexDump(frames[4]), "55 8A FF 06 00 26");
  EXPECT_EQ(HexDump(frames[5]), "55 88 FF 08 00 88 01 A3");
  EXPECT_EQ(HexDump(frames[6]), "55 80 FF 07 00 00 2D");
  ASSERT_EQ(frames[7].size(), 22u);
  EXPECT_EQ(HexDump(TTermBytes(frames[7].begin(), frames[7].begin() + 8)), "55 82 FF 16 00 61 62 63");
  EXPECT_EQ(TTermBytes(frames[7].begin() + 8, frames[7].end() - 1), TTermBytes(13, 0));
  EXPECT_EQ(frames[7].back(), 0x5E);  // the checksum
}

// --- Answers --------------------------------------------------------------------

TEST_F(CommonDlg, EnterLoaderWithoutAnswerInTimeEndsAfterOneTick) {
  MakeWithTerminal();
  Term->SetLatencyMs(300);
  QElapsedTimer t;
  t.start();
  EXPECT_FALSE(D->EnterLoader(false));
  const qint64 ms = t.elapsed();
  EXPECT_EQ(D->Status, -1);
  EXPECT_GE(ms, 50);
  EXPECT_LT(ms, 250);
  EXPECT_FALSE(D->Busy);
  EXPECT_FALSE(D->TimeOutUSB->isActive());
  EXPECT_EQ(D->TimeOutUSB->interval(), 56);
  // The late answer of that exchange changes nothing afterwards.
  D->Status = 5;
  QTest::qWait(400);
  EXPECT_EQ(D->Status, 5);
  // The request sent again and again, its late answers coming while the
  // identity is read after it: the identity is still read.
  for (int requests = 0; requests < 40 && !D->EnterLoader(false);) ++requests;
  EXPECT_TRUE(D->OpenDialogue(255, true));
  EXPECT_EQ(D->AppType, 255);
  EXPECT_TRUE(Presenter.Shown.empty());
  Term->SetLatencyMs(20);
  EXPECT_TRUE(D->EnterLoader(false));
}

TEST_F(CommonDlg, NakAckOtherCodesOverlongAnswersAndBadStatuses) {
  MakeWithTerminal();
  Term->AddFault(TTermCommand::EnterLoader, {TTermFaultKind::Status, 17});
  EXPECT_FALSE(D->EnterLoader(false));
  EXPECT_EQ(D->Status, 17);
  Term->AddFault(TTermCommand::EnterLoader, {TTermFaultKind::Nak});
  EXPECT_FALSE(D->EnterLoader(false));
  EXPECT_EQ(D->Status, 17);

  ASSERT_TRUE(D->OpenDialogue(255, false));
  Term->SetApplication({7, 14, "OTHER1", "01/01/2011"});
  Term->AddFault(TTermCommand::Identity, {TTermFaultKind::Ack});
  EXPECT_TRUE(D->OpenDialogue(255, false));
  EXPECT_EQ(D->AppType, 9);  // kept
  EXPECT_EQ(D->VersionName, "V2.04A");

  Term->AddFault(TTermCommand::Identity, {TTermFaultKind::OtherCode, 0xFF8B});
  EXPECT_FALSE(D->OpenDialogue(255, false));
  EXPECT_EQ(D->Status, -1);
  EXPECT_EQ(D->AppType, 9);
  // An answer longer than the buffer ends by the time-out.
  Term->AddFault(TTermCommand::EnterLoader, {TTermFaultKind::Overlong, 3000});
  EXPECT_FALSE(D->EnterLoader(false));
  EXPECT_EQ(D->Status, -1);
  EXPECT_LE(D->Answer->Count, Obj_Reponse::kCapacity);
  EXPECT_TRUE(D->EnterLoader(false));
  // A bad status is shown only when asked.
  Term->AddFault(TTermCommand::Identity, {TTermFaultKind::Status, 30, true});
  EXPECT_FALSE(D->OpenDialogue(255, false));
  EXPECT_EQ(D->Status, 30);
  EXPECT_TRUE(Presenter.Shown.empty());
  EXPECT_FALSE(D->OpenDialogue(255, true));
  ASSERT_EQ(Presenter.Shown.size(), 1u);
  EXPECT_EQ(Presenter.Shown[0].Kind, TMsgKind::TransmissionError);
  EXPECT_EQ(Presenter.Shown[0].Text, "Code erreur inconnue (30)");
  EXPECT_FALSE(Presenter.Shown[0].RetryVisible);
  // Status 0 is a failure too.
  Term->ClearFaults();
  Term->AddFault(TTermCommand::EnterLoader, {TTermFaultKind::Status, 0});
  EXPECT_FALSE(D->EnterLoader(false));
  EXPECT_EQ(D->Status, 0);
}

TEST_F(CommonDlg, GatheringOverSplitReportsLeadingBytesAndBadChecksum) {
  MakeWithTerminal();
  Term->SetReportChunk(10);
  ASSERT_TRUE(D->OpenDialogue(9, false));
  EXPECT_EQ(D->AppDate, "15/06/2009");
  Term->SetReportChunk(1);
  ASSERT_TRUE(D->OpenDialogue(9, false));
  Term->SetReportChunk(0);
  Term->AddFault(TTermCommand::Identity, {TTermFaultKind::LeadingBytes, 5});
  ASSERT_TRUE(D->OpenDialogue(9, false));
  Term->AddFault(TTermCommand::Identity, {TTermFaultKind::BadChecksum});
  Term->SetApplication({3, 14, "NEWVER", "02/02/2012"});
  ASSERT_TRUE(D->OpenDialogue(255, false));
  EXPECT_EQ(D->AppType, 14);
  EXPECT_EQ(D->VersionName, "NEWVER");
}

TEST_F(CommonDlg, PasswordStatuses) {
  auto cfg = Term->Config();
  cfg.Password = "secret";
  Term->SetConfig(cfg);
  MakeWithTerminal();
  EXPECT_FALSE(D->EnterLoader(false));
  EXPECT_EQ(D->Status, 17);
  EXPECT_FALSE(D->SendPassword("wrong", false));
  EXPECT_EQ(D->Status, 16);
  EXPECT_EQ(D->EncryptedPassword, "293F39283F2E5A5A5A5A5A5A5A5A5A5A");  // "secret", zero-padded, XOR 5A
  Term->SetSwitchActive(true);
  EXPECT_FALSE(D->SendPassword("secret", false));
  EXPECT_EQ(D->Status, -4);
  EXPECT_TRUE(Presenter.Shown.empty());
  Term->SetSwitchActive(false);
  EXPECT_TRUE(D->SendPassword("secret", false));
  EXPECT_EQ(D->Status, 1);
  EXPECT_TRUE(D->EnterLoader(false));
}

// --- Exchanges and the event loop ---------------------------------------------

TEST_F(CommonDlg, CommandFromATimerDuringAWaitIsRefused) {
  MakeWithTerminal();
  Term->SetLatencyMs(150);
  bool nested = true;
  int statusSeen = 0;
  size_t framesBefore = 0;
  QTimer::singleShot(40, [&] {
    framesBefore = Term->FramesReceived().size();
    EXPECT_TRUE(D->Busy);
    nested = D->EnterLoader(false);
    statusSeen = D->Status;
    EXPECT_EQ(Term->FramesReceived().size(), framesBefore);
  });
  D->Status = 42;
  EXPECT_TRUE(D->OpenDialogue(255, false));
  EXPECT_FALSE(nested);
  EXPECT_EQ(statusSeen, 42);
  EXPECT_EQ(Term->CommandCount(TTermCommand::EnterLoader), 0);
}

TEST_F(CommonDlg, UnplugAfterABlockFailsTheNextOneAtOnce) {
  MakeWithTerminal();
  ASSERT_TRUE(D->EnterLoader(false));
  Term->UnplugAfterBlock(1);
  EXPECT_TRUE(D->SendBlock(Block(0, 256), 91, false));
  EXPECT_TRUE(D->SendBlock(Block(1, 256), 91, false));
  ASSERT_TRUE(WaitUntil([&] { return !D->IsConnected(); }, 2000));
  QElapsedTimer t;
  t.start();
  EXPECT_FALSE(D->SendBlock(Block(2, 256), 91, false));
  EXPECT_LT(t.elapsed(), 50);
  EXPECT_EQ(D->Status, 1);  // left by the accepted block
}

TEST_F(CommonDlg, ErrorDialogDuringAnExchangeLetsEventsThrough) {
  MakeWithTerminal();
  // The real transmission error dialog, with its own modal loop.
  TQtMessagePresenter boxes;
  Presenter.Forward = &boxes;
  Term->AddFault(TTermCommand::EnterLoader, {TTermFaultKind::Status, 9});
  // A timer armed before the exchange: it can only see the dialog while the
  // dialog's loop turns, since the exchange does not return before the
  // dialog is closed; once it has seen it, it closes it with Escape.
  bool timerRanUnderTheDialog = false;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (timerRanUnderTheDialog || !frmErrorDlg || !frmErrorDlg->isVisible()) return;
    timerRanUnderTheDialog = true;
    QTimer::singleShot(0, [] {
      if (frmErrorDlg) QTest::keyClick(frmErrorDlg, Qt::Key_Escape);
    });
  });
  watch.start(5);
  EXPECT_FALSE(D->EnterLoader(true));
  EXPECT_TRUE(timerRanUnderTheDialog);
  EXPECT_EQ(frmErrorDlg, nullptr);
  EXPECT_EQ(D->Status, 9);
  ASSERT_EQ(Presenter.Shown.size(), 1u);
  EXPECT_EQ(Presenter.Shown[0].Text, "Erreur EFFACEMENT");
}

// A load, with the time-out of each command (ticks of 1/18 s).
TEST_F(CommonDlg, WholeLoadKeepsTheImageAndTakesTheNewIdentity) {
  MakeWithTerminal();
  ASSERT_TRUE(D->EnterLoader(false));
  TBytes b0 = Block(0, 256, 0x00);
  b0[6] = 0xFF;
  b0[7] = 0xFF;  // newer header layout
  b0[6 + 21] = 9;
  const std::string name = "V3.00B", date = "24/12/2021";
  std::copy(name.begin(), name.end(), b0.begin() + 6 + 30);
  std::copy(date.begin(), date.end(), b0.begin() + 6 + 36);
  ASSERT_TRUE(D->SendBlock(b0, 182, false));
  EXPECT_EQ(D->TimeOutUSB->interval(), 10111);
  ASSERT_TRUE(D->SendBlock(Block(1, 256, 0x11), 91, false));
  EXPECT_EQ(D->TimeOutUSB->interval(), 5056);
  ASSERT_TRUE(D->SendBlock(Block(3, 16, 0x33), 91, false));
  // Out of order: refused with NUMBLOC.
  EXPECT_FALSE(D->SendBlock(Block(2, 16), 91, false));
  EXPECT_EQ(D->Status, 12);
  ASSERT_TRUE(D->SendBlock(kEndBlock, 91, false));
  EXPECT_TRUE(Term->ImageComplete());
  EXPECT_EQ(Term->Blocks().size(), 3u);
  const TTermBytes image = Term->Image();
  ASSERT_EQ(image.size(), 3u * 256 + 16);
  EXPECT_EQ(image[256], 0x11);
  EXPECT_EQ(image[2 * 256], 0xFF);  // the gap
  EXPECT_EQ(image[3 * 256], 0x33);
  ASSERT_TRUE(D->OpenDialogue(255, false));
  EXPECT_EQ(D->TimeOutUSB->interval(), 556);
  ASSERT_TRUE(D->LeaveLoader(false));
  EXPECT_EQ(D->TimeOutUSB->interval(), 111);
  ASSERT_TRUE(D->OpenDialogue(9, false));
  EXPECT_EQ(D->VersionName, "V3.00B");
  EXPECT_EQ(D->AppDate, "24/12/2021");
}

// A write that blocks keeps the event loop running; the terminal unplugged
// while a frame is written: its next reports are not written, the command
// ends at its time-out, the terminal let go.
TEST_F(CommonDlg, BlockingWriteKeepsTheEventLoopRunningAndAnUnplugStopsTheWrites) {
  MakeWithTerminal();
  ASSERT_TRUE(D->EnterLoader(false));
  std::atomic<int> writesInFlight{0};
  Hooked->Before = [&] {
    ++writesInFlight;
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
  };
  Hooked->After = [&] { --writesInFlight; };
  int ticks = 0;
  int ticksDuringWrites = 0;
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] {
    ++ticks;
    if (writesInFlight > 0) ++ticksDuringWrites;
  });
  timer.start(20);
  QElapsedTimer t;
  t.start();
  EXPECT_TRUE(D->SendBlock(Block(0, 120), 10, false));  // two reports, 300 ms of writes
  EXPECT_GE(t.elapsed(), 290);
  EXPECT_GE(ticksDuringWrites, 5);
  EXPECT_EQ(Term->Blocks().at(0).size(), 120u);
  Written();
  Term->AddBlockFault(1, {TTermFaultKind::UnplugMidFrame});
  t.restart();
  EXPECT_FALSE(D->SendBlock(Block(1, 256), 10, false));  // five reports
  EXPECT_GE(t.elapsed(), 500);
  EXPECT_EQ(D->Status, -1);
  EXPECT_EQ(D->Device, nullptr);
  EXPECT_EQ(Written().size(), 1u);
  EXPECT_EQ(D->SkippedReports(), 4u);
  ASSERT_FALSE(Presence.empty());
  EXPECT_EQ(Presence.back(), false);
  EXPECT_FALSE(D->Busy);
}

// The application is asked to quit while the first report of a five-report
// frame is being written: every event loop then returns at once, the
// writer's wait included.
TEST_F(CommonDlg, WriteNeverReturnsWhileTheWriterStillUsesTheFrame) {
  MakeWithTerminal();
  ASSERT_TRUE(D->OpenDialogue(255, false));
  ASSERT_TRUE(D->EnterLoader(false));
  Written();
  std::atomic<bool> open{false}, inWrite{false};
  Hooked->Before = [&] {
    inWrite = true;
    for (int i = 0; i < 5000 && !open; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  std::thread opener;
  WhenTrue([&] { return inWrite.load(); },
           [&] {
             QCoreApplication::exit(0);
             opener = std::thread([&] {
               std::this_thread::sleep_for(std::chrono::milliseconds(100));
               open = true;
             });
           });
  const TBytes block = Block(0, 256);
  D->SendBlock(block, 91, false);
  // The application loop clears the quit request when it ends, for the
  // thread's next event loops.
  QTimer::singleShot(0, qApp, &QCoreApplication::quit);
  QCoreApplication::exec();
  if (opener.joinable()) opener.join();
  const auto expected = CutIntoReports(BuildFrame(block, 0xFF8A), 65);
  EXPECT_EQ(Written(), std::vector<TTermBytes>(expected.begin(), expected.end()))
      << "each report once, in order";
  EXPECT_FALSE(D->Busy);
}

// A notice from the system (Windows: WM_DEVICECHANGE) that comes while a
// report is being written waits for the write, then runs: the pass must not
// close the handle under the writer nor delete the device (under
// AddressSanitizer that is a use after free). Another HID device plugged
// meanwhile is listed afterwards, the terminal stays held; the terminal gone
// meanwhile is let go afterwards.
TEST_F(CommonDlg, HostNoticeDuringAWriteRunsOnceTheWriteIsOver) {
  MakeWithTerminal();
  Bus->SetNoticesEnabled(false);  // the only notice is the host's
  for (const bool terminalGoes : {false, true}) {
    SCOPED_TRACE(terminalGoes ? "the terminal goes" : "a mouse comes");
    if (terminalGoes) {
      ASSERT_TRUE(D->EnterLoader(false));
    }
    std::atomic<bool> inWrite{false}, noticed{false};
    Hooked->Before = [&] {  // the write lasts until the notice came
      inWrite = true;
      for (int i = 0; i < 5000 && !noticed; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    int listedDuringTheWrite = -1;
    bool heldDuringTheWrite = false;
    WhenTrue([&] { return inWrite.load(); },
             [&] {
               if (terminalGoes)
                 Bus->Unplug(Term->Device());
               else
                 Bus->Plug(Mouse());
               D->HostDeviceNotice();
               listedDuringTheWrite = D->HidCtl->Count();
               heldDuringTheWrite = D->Device != nullptr;
               noticed = true;
             });
    if (!terminalGoes) {
      EXPECT_TRUE(D->OpenDialogue(255, false));
      EXPECT_EQ(listedDuringTheWrite, 1);
      EXPECT_EQ(D->HidCtl->Count(), 2) << "the notice ran once the write was over";
      EXPECT_NE(D->Device, nullptr);
    } else {
      EXPECT_FALSE(D->SendBlock(Block(0, 256), 2, false));
      EXPECT_TRUE(heldDuringTheWrite);
      EXPECT_EQ(D->Device, nullptr) << "the notice was replayed once the write was over";
      EXPECT_FALSE(D->IsConnected());
    }
    Hooked->Before = nullptr;
  }
}
// A terminal refused access is told once while it stays plugged, however
// many re-scans and enumerations other devices force meanwhile.
TEST_F(CommonDlg, TerminalRefusingAccessIsNotTakenAndToldOnce) {
  auto cfg = Term->DeviceConfig();
  cfg.ReadWriteAllowed = false;
  auto refused = Bus->Plug(cfg);
  Make();
  EXPECT_EQ(D->Device, nullptr);
  EXPECT_FALSE(D->IsConnected());
  EXPECT_EQ(Presence, std::vector<bool>{false});
  // Told from the event loop.
  Bus->RaiseNotice();
  Bus->RaiseNotice();
  ASSERT_TRUE(WaitUntil([&] { return !Presenter.Shown.empty(); }, 2000));
  for (int i = 0; i < 3; ++i) Bus->Unplug(Bus->Plug(Mouse()));
  bool settled = false;  // what the walks queued has run before this
  QTimer::singleShot(0, [&] { settled = true; });
  WaitUntil([&] { return settled; }, 5000);
  ASSERT_EQ(Presenter.Shown.size(), 1u);
  EXPECT_EQ(Presenter.Shown[0].Key, "_Err_AccessRefused");
  EXPECT_EQ(Presenter.Shown[0].Kind, TMsgKind::Information);
  EXPECT_EQ(D->AccessRefusedCount(), 1);
  EXPECT_EQ(D->Device, nullptr);
  // The rule installed, the terminal plugged again: it is taken.
  Bus->Unplug(refused);
  Term->Plug(*Bus);
  EXPECT_NE(D->Device, nullptr);
  EXPECT_TRUE(D->IsConnected());
  EXPECT_TRUE(D->OpenDialogue(255, false));
  EXPECT_EQ(Presenter.Shown.size(), 1u);
}

// The node goes without any notice (no device manager running): the
// terminal's reads fail from then on, which ends in an unplug; and again for
// the terminal plugged back that vanishes the same way.
TEST_F(CommonDlg, SilentVanishingIsNoticedEveryTime) {
  MakeWithTerminal();
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
    ASSERT_FALSE(Presence.empty());
    EXPECT_EQ(Presence.back(), false);
  }
}

// The terminal answers within the write of the command's last report, and
// the answer is handed over before the write has returned: the trace still
// reads command, answer, command, answer. The terminal's own trace sees
// every frame both ways.
TEST_F(CommonDlg, TraceOfATerminalAnsweringWithinTheWriteIsInCausalOrder) {
  std::vector<std::string> termTrace;
  std::mutex m;
  Term->OnFrameReceived = [&](const TTermBytes& f) {
    std::lock_guard<std::mutex> l(m);
    termTrace.push_back("TERM< " + HexDump(f));
  };
  Term->OnFrameSent = [&](const TTermBytes& f) {
    std::lock_guard<std::mutex> l(m);
    termTrace.push_back("TERM> " + HexDump(f));
  };
  MakeWithTerminal();
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
  ASSERT_TRUE(D->SendBlock(Block(0, 200), 91, false));  // four reports
  const auto sent = Term->FramesReceived(), answers = Term->FramesSent();
  ASSERT_EQ(sent.size(), 3u);
  ASSERT_EQ(answers.size(), 3u);
  std::vector<std::pair<bool, TBytes>> expected;
  for (size_t i = 0; i < 3; ++i) {
    expected.emplace_back(true, TBytes(sent[i].begin(), sent[i].end()));
    expected.emplace_back(false, TBytes(answers[i].begin(), answers[i].end()));
  }
  EXPECT_EQ(trace, expected);
  std::lock_guard<std::mutex> l(m);
  ASSERT_EQ(termTrace.size(), 6u);
  EXPECT_EQ(termTrace[2], "TERM< 55 88 FF 08 00 88 00 A2");
  EXPECT_EQ(termTrace[3], "TERM> 55 89 FF 07 00 01 25");
}

// Another thread unplugs and replugs the terminal without a pause while the
// dialogue is destroyed: no change notice may reach the dialogue's call
// queue once it is gone (AddressSanitizer, ThreadSanitizer).
TEST_F(CommonDlg, DestroyedWhileAnotherThreadUnplugsAndReplugs) {
  Term->Plug(*Bus);
  const auto dev = Term->Device();
  for (int round = 0; round < 10; ++round) {
    Make();
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
