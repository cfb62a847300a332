#include "LoadRig.h"

#include <execinfo.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QFile>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "F_CommonDlg.h"
#include "F_Main.h"
#include "F_VMUpgrade.h"
#include "MotTestUtil.h"
#include "U_Messages.h"
#include "U_Paths.h"

#ifdef __SANITIZE_ADDRESS__  // the ASan build (GCC, like every Qt build here)
#include <sanitizer/common_interface_defs.h>
#endif

namespace {

pthread_t gGuiThread;
std::atomic<bool> gStackPrinted{false};

void PrintStack(int) {
  const char head[] = "--- stack of the GUI thread\n";
  if (write(2, head, sizeof head - 1) < 0) {
  }
#ifdef __SANITIZE_ADDRESS__
  __sanitizer_print_stack_trace();
#else
  void* frames[128];
  backtrace_symbols_fd(frames, backtrace(frames, 128), 2);
#endif
  gStackPrinted = true;
}

}  // namespace

// The GUI thread beats from a timer of its event loop (nested loops
// included); a thread of its own fails the run when the beats stop for the
// freeze limit (the GUI thread is blocked) or the run outlasts its limit (a
// load that turns forever). It is made once the program runs, so that the
// start of the process (fonts, platform) does not count.
class TRigWatchdog {
 public:
  TRigWatchdog(int freezeMs, int limitS, std::function<std::string()> notes) : FNotes(std::move(notes)) {
    if (const testing::TestInfo* t = testing::UnitTest::GetInstance()->current_test_info())
      FName = std::string(t->test_suite_name()) + "." + t->name();
    QObject::connect(&FHeart, &QTimer::timeout, [this] { ++FBeats; });
    FHeart.start(50);
    FThread = std::thread([this, freezeMs, limitS] {
      using Clock = std::chrono::steady_clock;
      const Clock::time_point end = Clock::now() + std::chrono::seconds(limitS);
      uint64_t last = FBeats;
      Clock::time_point since = Clock::now();
      std::unique_lock<std::mutex> lock(FMutex);
      while (!FCond.wait_for(lock, std::chrono::milliseconds(100), [this] { return FStop; })) {
        if (FBeats != last) {
          last = FBeats;
          since = Clock::now();
        }
        if (Clock::now() - since > std::chrono::milliseconds(freezeMs))
          Report("FREEZE: the GUI thread has not turned its event loop for " + std::to_string(freezeMs) +
                 " ms");
        if (Clock::now() > end) Report("HANG: still running after " + std::to_string(limitS) + " s");
      }
    });
  }
  ~TRigWatchdog() {
    {
      std::lock_guard<std::mutex> lock(FMutex);
      FStop = true;
    }
    FCond.notify_all();
    FThread.join();
  }

 private:
  [[noreturn]] void Report(const std::string& what) {
    std::fprintf(stderr, "%s: %s\n--- last acts\n%s", FName.c_str(), what.c_str(), FNotes().c_str());
    std::fflush(stderr);
    pthread_kill(gGuiThread, SIGUSR2);
    for (int i = 0; i < 200 && !gStackPrinted; ++i) usleep(10000);
    std::abort();
  }

  std::function<std::string()> FNotes;
  std::string FName = "the test";
  QTimer FHeart;
  std::atomic<uint64_t> FBeats{0};
  std::mutex FMutex;
  std::condition_variable FCond;
  bool FStop = false;
  std::thread FThread;
};

TLoadRig::TLoadRig(const TFileSpec& file, int freezeMs, int limitS)
    : View(TProgramView::Get()),
      Bus(std::make_shared<TSimHidBus>()),
      Person(std::make_unique<TPerson>(Bus)),
      FFreezeMs(freezeMs),
      FLimitS(limitS) {
  gGuiThread = pthread_self();
  signal(SIGUSR2, PrintStack);
  // Header page, then pages of a recognisable pattern.
  FImage = HeaderPage(true, file.Date, file.AppliType, file.Version, 256);
  const uint8_t mark[] = {0x11, 0x00, 0x00, 0x11};
  if (file.LongWaitMark) std::copy(mark, mark + 4, FImage.begin() + 10);
  for (int p = 1; p < file.Pages; ++p)
    for (int i = 0; i < 256; ++i) FImage.push_back(static_cast<uint8_t>(p * 37 + i * 7));
  QFile f(FDir.filePath(QStringLiteral("firmware.mot")));
  f.open(QIODevice::WriteOnly);
  const std::string text = MotFile(DataLines(FImage, 0x8000, 32));
  f.write(text.data(), static_cast<qint64>(text.size()));
  f.close();
  SetExecutablePathForTesting(FDir.filePath(QStringLiteral("VelmoraUpgrade")).toStdString());
  // A load in a few hundred milliseconds: the pauses short; an answer has
  // four times its time to come on a loaded machine, yet no wait is longer
  // than 1.5 s (a block left unanswered is given up after that, not 5 s).
  TfrmVMUpgrade::Pauses() = TUpgradePauses{20, 20, 20, 20};
  TCommonDlg::TimeoutPercent = 400;
  TCommonDlg::TimeoutCapMs = 1500;
  // The main window is closed by some tests: that must not end the event
  // loops of the next ones.
  QApplication::setQuitOnLastWindowClosed(false);
  QObject::connect(&View, &TProgramView::ProgressSet, Person.get(), [this](int v) { Gauge.push_back(v); });
}

TLoadRig::~TLoadRig() {
  Main.reset();
  if (Terminal) Terminal->Unplug();
  FWatchdog.reset();
  Person.reset();
  SetExecutablePathForTesting(std::string());
  TfrmVMUpgrade::Pauses() = TUpgradePauses();
  TCommonDlg::TimeoutCapMs = 0;
  TCommonDlg::TimeoutPercent = 100;
}

TVirtualTerminalConfig TLoadRig::TerminalConfig() {
  TVirtualTerminalConfig c;
  c.Application = TTermIdentity{2, 9, "fv0099", "14/06/2009"};
  c.UsbVersion = 4;
  c.RestartOnEndBlock = true;
  return c;
}

void TLoadRig::Start(const TVirtualTerminalConfig& cfg, bool plugged, const TAppOptions& options) {
  Terminal = TVirtualTerminal::Create(cfg);
  Person->SetTerminal(Terminal);
  if (plugged) Terminal->Plug(*Bus);
  TMainParts parts = MakeApplicationParts(Bus, options);
  // The installer is not under test and would touch the machine.
  parts.PiloteClick = [](TfrmMain*) { ShowInformation("Installation du pilote (essai)"); };
  Main = std::make_unique<TfrmMain>(std::move(parts));
  Main->show();
  QTimer::singleShot(0, Person.get(), [this] {
    FWatchdog = std::make_unique<TRigWatchdog>(FFreezeMs, FLimitS, [this] { return Person->LastNotes(40); });
  });
}

bool TLoadRig::WaitLoadEnd(int timeoutMs) {
  return WaitFor([this] { return View.UpgradeWindow() && !View.Working(); }, timeoutMs);
}

bool TLoadRig::AtRest() {
  return WaitFor([this] {
    QCoreApplication::processEvents();
    TfrmVMUpgrade* w = Upgrade();
    return !Dialogue()->Busy && (!w || !w->tmrStartLoadAuto->isActive()) && !View.Working();
  });
}

bool TLoadRig::LoadAgain() {
  const int before = Terminal->CommandCount(TTermCommand::Identity);
  Person->Click(TProgramButton::Charger);
  return WaitFor([&] { return Terminal->CommandCount(TTermCommand::Identity) > before; });
}

TfrmVMUpgrade* TLoadRig::Upgrade() const { return frmVMUpgrade; }
TCommonDlg* TLoadRig::Dialogue() const { return MainCommonDlg(); }

bool TLoadRig::TerminalHasImage() const {
  if (!Terminal->ImageComplete()) return false;
  const auto blocks = Terminal->Blocks();
  for (size_t p = 0; p < FImage.size() / 256; ++p) {
    auto it = blocks.find(static_cast<int>(p));
    if (it == blocks.end() ||
        it->second != std::vector<uint8_t>(FImage.begin() + p * 256, FImage.begin() + (p + 1) * 256))
      return false;
  }
  return true;
}

std::vector<std::string> TLoadRig::Keys() const {
  std::vector<std::string> out;
  for (const TPerson::TShown& s : Boxes()) {
    if (s.Password)
      out.push_back("password");
    else if (!s.Msg.Key.empty())
      out.push_back(s.Msg.Key);
    else if (s.Msg.Kind == TMsgKind::Warning)
      out.push_back("warning");
    else
      out.push_back(s.Msg.Text.substr(0, s.Msg.Text.find_first_of("\r\n")));
  }
  return out;
}

bool TLoadRig::Shown(const std::string& key) const {
  const std::vector<std::string> keys = Keys();
  return std::find(keys.begin(), keys.end(), key) != keys.end();
}

bool IdentityUnknown(const TProgramIdentity& id) {
  for (const QString& s : {id.Name, id.Version, id.Date, id.FrameVersion})
    if (s != QStringLiteral("<Inconnu>")) return false;
  return true;
}
