// The chaos run of the load: the person of the other load tests, seeded.
// The seed draws the file, the terminal and the program's pauses and
// time-outs, then for a second or so the same acts as anywhere else (keys,
// clicks, close boxes, minimising, the password, plugging the terminal and
// another device, from the GUI thread or from others) and the terminal's
// faults come in random order at random moments, from timers of the event
// loop, so that they land inside the load's nested loops. Then the terminal
// behaves, the person answers what is still up, and once the load has come
// to rest the end is checked: no box or dialog left, nothing busy, the main
// window closes, and the terminal holds the file's image or, reached in its
// boot program and still plugged, was asked to leave it. Throughout: no
// load starts unasked, no success without the image, no failure told with
// the text of success, one upgrade window, no wait dialog hidden while its
// wait goes on. A freeze of 5 s fails the seed with the person's last acts
// and the GUI thread's stack.
//
// One seed per run: KVZ_CHAOS_SEED (default 1); KVZ_CHAOS_VERBOSE=1 prints
// every act as it happens. CTest runs seeds as tests "chaos.<seed>".
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QPushButton>
#include <QThread>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "F_CommonDlg.h"
#include "F_ErrorDlg.h"
#include "F_Main.h"
#include "F_PasswordFirmware.h"
#include "F_VMUpgrade.h"
#include "F_Wait.h"
#include "LoadRig.h"
#include "U_ConstDlg.h"

namespace {

constexpr int kFinishTickMs = 20;
constexpr int kRestLimitMs = 20000;      // after the chaos, the load must come to rest by then
constexpr int kHiddenWaitLimitMs = 500;  // a wait dialog hidden while its wait goes on
constexpr int kMaxActDepth = 6;          // acts nested inside acts' own loops
constexpr int kEndBlock = 0xFFFF;

uintptr_t FrameAddress() { return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)); }

class TChaos : public QObject {
 public:
  explicit TChaos(uint32_t seed) : FSeed(seed), FRng(seed) {}
  void Run() {
    FClock.start();
    TFileSpec file;
    file.Pages = R(2, 6);
    file.LongWaitMark = P(0.3);
    TVirtualTerminalConfig t = TLoadRig::TerminalConfig();
    t.UsbVersion = P(0.5) ? 4 : 1;
    t.RestartOnEndBlock = t.UsbVersion == 4 ? P(0.8) : P(0.2);
    t.Application.VersionName = Pick<std::string>({"fv0099", "fv0099", "fv0100", "fv0101"});
    t.Application.AppDate = Pick<std::string>(
        {"14/06/2009", "14/06/2009", "15/06/2009", "16/06/2009", "  15/06/09", "31/02/2009"});
    t.Application.AppType = P(0.9) ? 9 : 7;
    t.StartInLoader = P(0.15);
    if (P(0.3)) {
      t.Password = "AB12";
      t.PasswordForLoader = P(0.7);
    }
    t.LatencyMs = Pick<int>({0, 0, 0, 1, 5, 20});
    t.ReportChunk = Pick<int>({0, 0, 0, 8, 20});
    t.UsbPaced = P(0.3);
    const bool plugged = P(0.6);
    const int timeoutPercent = Pick<int>({5, 10, 20});
    const TUpgradePauses pauses{Pick<int>({0, 20, 100}), Pick<int>({0, 10, 50}), Pick<int>({0, 20, 100}),
                                Pick<int>({0, 10, 50})};
    FChaosMs = R(400, 1600);
    FMeanGapMs = Pick<int>({3, 10, 25, 60, 120});
    FUnplugRate = Pick<double>({0, 0.5, 1, 2});
    FFaultRate = Pick<double>({0.3, 1, 2});
    FHandRate = Pick<double>({0.5, 1, 2});
    FFinalLoad = P(0.5);

    FRig = std::make_unique<TLoadRig>(file, 5000, 120);
    TPerson& person = Person();
    person.Verbose = std::getenv("KVZ_CHAOS_VERBOSE") != nullptr;
    person.Note("plan: " + std::to_string(file.Pages) + " pages" + (file.LongWaitMark ? " (long wait)" : "") +
                "; terminal " + t.Application.VersionName + " type " + std::to_string(t.Application.AppType) +
                " date \"" + t.Application.AppDate + "\"" + (t.StartInLoader ? " in its boot program" : "") +
                ", USB version " + std::to_string(t.UsbVersion) +
                (t.RestartOnEndBlock ? " restarts by itself" : "") + ", password \"" + t.Password +
                "\", latency " + std::to_string(t.LatencyMs) + " ms, chunk " + std::to_string(t.ReportChunk) +
                (t.UsbPaced ? ", USB paced" : "") + "; " + (plugged ? "plugged" : "unplugged") +
                " at start; time-outs " + std::to_string(timeoutPercent) + "%; chaos " +
                std::to_string(FChaosMs) + " ms, mean gap " + std::to_string(FMeanGapMs) + " ms" +
                (FFinalLoad ? ", a final load" : ""));
    TCommonDlg::TimeoutPercent = timeoutPercent;
    TCommonDlg::TimeoutCapMs = 0;
    TfrmVMUpgrade::Pauses() = pauses;
    FPassword = t.Password;
    person.Habits.Answer = false;  // during the chaos, boxes get what the acts give them
    person.Habits.Password = t.Password;
    person.Habits.Decide = [this](const TProgramFront&) {
      return P(0.5) ? TMsgResult::Ok : TMsgResult::Cancel;
    };
    person.OnShown = [this](const TPerson::TShown& s) {
      if (s.Msg.Kind == TMsgKind::TransmissionError && s.Msg.Text == StatusText(kStatusOk))
        Fail("status-1", "a failure was told with the text of status 1 (success): \"" + s.Msg.Text + "\"");
      if (s.Msg.Key == kOk && !FRig->TerminalHasImage())
        Fail("false-success", "the load was told a success but the terminal does not hold the file's image");
    };
    connect(&FRig->View, &TProgramView::LoadStarting, this, [this] {
      bool& allowed = StartAllowed(FRig->View.UpgradeWindow());
      Person().Note(allowed ? "a load starts" : "a load starts unasked");
      if (!allowed) Fail("unasked-load", "a load started although nobody asked for one");
      allowed = false;
    });

    FRig->Start(t, plugged);
    if (TCommonDlg* dlg = FRig->Dialogue()) {
      dlg->OnFrame = [this](bool toTerminal, const TBytes& frame) { FrameSeen(toTerminal, frame); };
      connect(dlg, &TCommonDlg::ConnectedChanged, this, [this](bool connected) {
        if (!connected && FReached) FUnpluggedSinceReach = true;
      });
    }
    FTicker.setSingleShot(true);
    connect(&FTicker, &QTimer::timeout, this, [this] { Tick(); });
    connect(&FHeart, &QTimer::timeout, this, [this] { Watch(); });
    FHeart.start(50);
    // Single shot, armed again at the start of each tick: an answer may run a
    // nested loop and the next tick must still come inside it. Its first tick
    // comes from the outermost loop: its frame is the mark of "no wait under
    // way".
    FFinisher.setSingleShot(true);
    connect(&FFinisher, &QTimer::timeout, this, [this] { FinishTick(); });
    FFinisher.start(0);
    FChaos = true;
    FTicker.start(R(0, 2 * FMeanGapMs));
    QTimer::singleShot(FChaosMs, this, [this] {
      if (FChaos) StopChaos("time");
    });
    WaitFor([this] { return FDone; }, 1000000);
    FHeart.stop();
    FTicker.stop();
    FFinisher.stop();
    if (TCommonDlg* dlg = FRig->Dialogue()) dlg->OnFrame = nullptr;
    FRig.reset();
  }

 private:
  int R(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(FRng); }
  bool P(double p) { return std::uniform_real_distribution<double>(0.0, 1.0)(FRng) < p; }
  template <typename T>
  T Pick(const std::vector<T>& v) {
    return v[static_cast<size_t>(R(0, static_cast<int>(v.size()) - 1))];
  }
  void Fail(const std::string& key, const std::string& text) {
    if (!FFailKeys.insert(key).second) return;
    FRig->Person->Note("FAIL " + text);
    ADD_FAILURE() << text << "\nreplay: KVZ_CHAOS_SEED=" << FSeed << " KVZ_CHAOS_VERBOSE=1\n"
                  << FRig->Person->LastNotes(30);
  }
  TPerson& Person() { return *FRig->Person; }

  void Tick() {
    if (!FChaos) return;
    // Armed again first: the next act may come inside this one's loops.
    FTicker.start(R(0, 2 * FMeanGapMs));
    if (FActDepth >= kMaxActDepth) return;
    ++FActDepth;
    ++FActions;
    Act();
    --FActDepth;
  }

  void Act() {
    const double u = FUnplugRate, f = FFaultRate, h = FHandRate;
    const std::vector<double> weights = {4 * u,  5,     2 * u,  3, 3 * f, 1, 1 * f, 8 * f, 1,
                                         14 * h, 3 * h, 12 * h, 1, 2 * h, 1, 2,     3};
    const int a = std::discrete_distribution<int>(weights.begin(), weights.end())(FRng);
    TPerson& person = Person();
    TVirtualTerminal& term = *FRig->Terminal;
    std::shared_ptr<TVirtualTerminal> shared = FRig->Terminal;
    std::shared_ptr<TSimHidBus> bus = FRig->Bus;
    switch (a) {
      case 0:  // unplug the terminal, here or from another thread
      case 1:  // plug it
        if (P(0.5)) {
          a == 0 ? person.Unplug() : person.Plug();
        } else {
          const int d = R(0, 15);
          person.Note(std::string(a == 0 ? "unplug" : "plug") + " the terminal from another thread in " +
                      std::to_string(d) + " ms");
          person.Elsewhere(d,
                           [shared, bus, a] { a == 0 ? (void)shared->Unplug() : (void)shared->Plug(*bus); });
        }
        break;
      case 2: {  // unplugged and replugged from another thread
        const int d = R(0, 15), gap = R(0, 5);
        person.Note("unplug and replug the terminal from another thread in " + std::to_string(d) + " ms, " +
                    std::to_string(gap) + " ms apart");
        person.Elsewhere(d, [shared, bus, gap] {
          shared->Unplug();
          std::this_thread::sleep_for(std::chrono::milliseconds(gap));
          shared->Plug(*bus);
        });
        break;
      }
      case 3: {  // another HID device comes or goes, here or from another thread
        const bool plugged = person.OtherPlugged();
        auto toggle = [&person, plugged] { plugged ? person.UnplugOther() : person.PlugOther(); };
        if (P(0.5))
          toggle();
        else
          person.Elsewhere(R(0, 15), toggle);
        break;
      }
      case 4: {
        const int ms = Pick<int>({0, 0, 1, 5, 15, 40, 100, 250});
        person.Note("terminal latency " + std::to_string(ms) + " ms");
        term.SetLatencyMs(ms);
        break;
      }
      case 5: {
        const int c = Pick<int>({0, 0, 4, 16, 40});
        person.Note("terminal report chunk " + std::to_string(c));
        term.SetReportChunk(c);
        break;
      }
      case 6: {
        const bool on = P(0.3);
        person.Note(std::string("terminal switch ") + (on ? "on" : "off"));
        term.SetSwitchActive(on);
        break;
      }
      case 7: ActFault(); break;
      case 8:
        person.Note("terminal faults cleared");
        term.ClearFaults();
        break;
      case 9: ActKey(); break;
      case 10: {  // Tab through the main window, then Space
        QWidget* main = FRig->Main.get();
        if (QApplication::activeModalWidget() || !main->isVisible() || main->isMinimized()) break;
        for (int i = R(1, 6); i > 0 && !QApplication::activeModalWidget(); --i)
          person.Key(Qt::Key_Tab, {}, main);
        if (main->isVisible() && !QApplication::activeModalWidget()) person.Key(Qt::Key_Space, {}, main);
        break;
      }
      case 11: ActClick(); break;
      case 12: person.Click(TProgramButton::Quit); break;
      case 13: {  // a close box
        const std::vector<QWidget*> windows = person.Reachable();
        if (windows.empty()) break;
        QWidget* w = Pick(windows);
        if (w == FRig->Main.get() && P(0.7)) break;  // closing the application ends the run early
        person.Note("close box of " + w->windowTitle().toStdString());
        w == FRig->Main.get() ? (void)person.CloseMain() : (void)w->close();
        break;
      }
      case 14: person.Minimise(); break;
      case 15:
        if (FRig->Main->isMinimized()) person.Restore();
        break;
      case 16: ActPassword(); break;
    }
  }

  void ActFault() {
    TTermCommand cmd = Pick<TTermCommand>(
        {TTermCommand::Identity, TTermCommand::Close, TTermCommand::Password, TTermCommand::EnterLoader,
         TTermCommand::EnterLoader, TTermCommand::LeaveLoader, TTermCommand::Block, TTermCommand::Block});
    using K = TTermFaultKind;
    TTermFault f;
    f.Kind = Pick<K>({K::NoAnswer, K::NoAnswer, K::NoAnswer, K::Nak, K::Nak, K::Ack, K::OtherCode, K::Status,
                      K::Status, K::Status, K::BadChecksum, K::LeadingBytes, K::Overlong, K::Unplug,
                      K::UnplugAfterAnswer, K::UnplugMidFrame});
    // An ACK to a block, like status 1, tells the program the block was taken
    // while the terminal dropped it: the image could not be checked any more.
    if (f.Kind == K::Ack && cmd == TTermCommand::Block) f.Kind = K::Nak;
    if (f.Kind == K::Status) f.Value = Pick<int>({17, 17, 16, 18, 20, 12, 3, 24});
    if (f.Kind == K::OtherCode) f.Value = Pick<int>({0xFF85, 0x1234, 0xFF81});
    if (f.Kind == K::LeadingBytes) f.Value = R(1, 3);
    if (f.Kind == K::Overlong) f.Value = 1500;
    f.Always = P(0.08);
    const std::string what = "fault " + std::to_string(static_cast<int>(f.Kind)) + " (value " +
                             std::to_string(f.Value) + (f.Always ? ", always)" : ", once)");
    if (cmd == TTermCommand::Block && P(0.6)) {
      const int pages = static_cast<int>(FRig->Image().size() / 256);
      const int n = R(0, pages) == pages ? kEndBlock : R(0, pages - 1);
      Person().Note(what + " on block " + std::to_string(n));
      FRig->Terminal->AddBlockFault(n, f);
    } else {
      Person().Note(what + " on command " + std::to_string(static_cast<int>(cmd)));
      FRig->Terminal->AddFault(cmd, f);
    }
  }

  void ActKey() {
    std::vector<QWidget*> windows = Person().Reachable();
    // The wait dialog stays on top, under the person's eyes.
    if (frmWait && frmWait->isVisible() && !QApplication::activeModalWidget() && P(0.5)) windows = {frmWait};
    if (windows.empty()) return;
    Person().Key(
        Pick<int>({Qt::Key_Tab, Qt::Key_Tab, Qt::Key_Backtab, Qt::Key_Space, Qt::Key_Space, Qt::Key_Return,
                   Qt::Key_Enter, Qt::Key_Escape, Qt::Key_Escape, 'a', 'Z', '7', '-'}),
        Qt::NoModifier, Pick(windows));
  }

  void ActClick() {
    // Visible and enabled, covered or not; "Quitter" has an act of its own.
    std::vector<QAbstractButton*> all, named;
    for (QWidget* w : Person().Reachable())
      for (QAbstractButton* b : w->findChildren<QAbstractButton*>()) {
        if (b->window() != w || !b->isVisible() || !b->isEnabled()) continue;
        if (b == FRig->View.Button(TProgramButton::Quit)) continue;
        all.push_back(b);
        if (b == FRig->View.Button(TProgramButton::Charger) || b == FRig->View.Button(TProgramButton::Back) ||
            b == FRig->View.Button(TProgramButton::Load))
          named.push_back(b);
      }
    if (!all.empty()) Person().Click(!named.empty() && P(0.4) ? Pick(named) : Pick(all));
  }

  void ActPassword() {
    const TProgramFront f = FRig->View.Front();
    if (f.Kind != TProgramFront::PasswordDialog || QApplication::activeModalWidget() != f.Window) return;
    TPerson& person = Person();
    person.Key('A', Qt::ControlModifier);
    person.Key(Qt::Key_Backspace);
    person.Type(QString::fromStdString(P(0.6) ? FPassword : Pick<std::string>({"zz9", "", "AB1", "ab12"})));
    if (P(0.7)) person.Key(Qt::Key_Return);
  }

  void Watch() {
    TfrmMain* main = FRig->Main.get();
    if (!main) return;
    if (FChaos && !main->isVisible()) {
      // Closed: the application ends; what still comes up is answered.
      FQuit = true;
      StopChaos("the main window closed");
    }
    int open = 0;
    for (TfrmVMUpgrade* w : main->findChildren<TfrmVMUpgrade*>()) {
      open += !w->isHidden();
      StartAllowed(w);
    }
    if (open > 1) Fail("two-windows", "two upgrade windows are open at once");
    // A wait dialog hidden while its wait goes on can no longer be cancelled.
    // Hidden under a modal box (the password dialog) it could not be used
    // anyway, and once cancelled the wait ends by itself.
    if (frmWait && frmWait->isHidden() && !frmWait->Cancelled && !QApplication::activeModalWidget()) {
      const int asked = FRig->Terminal->CommandCount(TTermCommand::EnterLoader);
      if (FHiddenWaitSince < 0) {
        FHiddenWaitSince = FClock.elapsed();
        FHiddenWaitAsked = asked;
      }
      if (FClock.elapsed() - FHiddenWaitSince > kHiddenWaitLimitMs || asked - FHiddenWaitAsked >= 3)
        Fail("hidden-wait", "the wait dialog was hidden while the wait for the boot program went on");
    } else {
      FHiddenWaitSince = -1;
    }
  }

  // Whether the upgrade window may start a load: once per opening, once per
  // "Charger".
  bool& StartAllowed(QWidget* w) {
    auto [it, added] = FStartAllowed.try_emplace(w, true);
    if (added) {
      connect(w, &QObject::destroyed, this, [this, w] { FStartAllowed.erase(w); });
      if (auto* u = qobject_cast<TfrmVMUpgrade*>(w))
        connect(u->btnLoad, &QPushButton::clicked, this, [this, w] { FStartAllowed[w] = true; });
    }
    return it->second;
  }

  void FrameSeen(bool toTerminal, const TBytes& frame) {
    size_t at = 0;
    while (at < frame.size() && frame[at] != 0x55) ++at;
    if (frame.size() < at + 3) return;
    if (toTerminal) {
      const TTermBytes f(frame.begin() + static_cast<std::ptrdiff_t>(at), frame.end());
      if (TVirtualTerminal::CommandOf(f) == TTermCommand::LeaveLoader && FReached) FAskedLeave = true;
      return;
    }
    // An answer that ended an exchange: the boot program is reached when the
    // program takes it as the success of its request to enter it (the last
    // frame start written to the terminal is that request's).
    const int code = frame[at + 1] | (frame[at + 2] << 8);
    const bool ok = code == 0x0006 || (code == 0xFF89 && frame.size() > at + 5 && frame[at + 5] == 1);
    std::shared_ptr<TSimHidDevice> dev = FRig->Terminal->Device();
    if (!ok || !dev) return;
    const std::vector<std::vector<uint8_t>> reports = dev->OutputReports();
    for (auto it = reports.rbegin(); it != reports.rend(); ++it) {
      if (it->size() <= 2 || (*it)[1] == 0 || (*it)[2] != 0x55) continue;
      if (TVirtualTerminal::CommandOf(TTermBytes(it->begin() + 2, it->end())) == TTermCommand::EnterLoader) {
        Person().Note("program: the terminal runs its boot program");
        FReached = true;
        FAskedLeave = FUnpluggedSinceReach = false;
      }
      break;
    }
  }

  void StopChaos(const char* why) {
    FChaos = false;
    FTicker.stop();
    Person().Note(std::string("chaos stops (") + why + ") after " + std::to_string(FActions) + " acts");
    // The terminal behaves from here on; where it is plugged stays as it is.
    if (!FQuit) {
      FRig->Terminal->ClearFaults();
      FRig->Terminal->SetLatencyMs(0);
      FRig->Terminal->SetSwitchActive(false);
    }
    Person().Habits.Answer = true;
    FFinishing = true;
    FFinishStart = FClock.elapsed();
    FFinisher.start(kFinishTickMs);
  }

  bool Settled(std::string& why) {
    if (QThread::currentThread()->loopLevel() != 1 || FOuterFrame - FrameAddress() > 512) {
      why = "a wait is under way (nested event loop)";
      return false;
    }
    for (TfrmVMUpgrade* w : FRig->Main->findChildren<TfrmVMUpgrade*>()) {
      if (w->FBusy()) {
        why = "the upgrade window is busy";
        return false;
      }
      if (w->tmrStartLoadAuto->isActive()) {
        why = "a load is about to start";
        return false;
      }
    }
    return true;
  }

  __attribute__((noinline)) void FinishTick() {
    if (FOuterFrame == 0) {
      FOuterFrame = FrameAddress();
      return;
    }
    if (!FFinishing) return;
    FFinisher.start(kFinishTickMs);
    const qint64 since = FClock.elapsed() - FFinishStart;
    if (since > kRestLimitMs) {
      Fail("no-rest",
           "HANG: the load did not come to rest within 20 s after the chaos stopped (" + FLastWhy + ")");
      FFinishing = false;
      FDone = true;
      return;
    }
    if (QWidget* modal = QApplication::activeModalWidget()) {
      FStable = 0;
      FLastWhy = "a modal box stays up: " + modal->windowTitle().toStdString();
      return;  // the person answers it
    }
    // A wait that goes on long after the chaos: the person gives up waiting.
    if (frmWait && frmWait->isVisible()) {
      if (FWaitSeenAt < 0) FWaitSeenAt = since;
      if (since - FWaitSeenAt > 1500) {
        FWaitSeenAt = -1;
        Person().Click(TProgramButton::FrontCancel);
        return;
      }
    } else {
      FWaitSeenAt = -1;
    }
    std::string why;
    if (!Settled(why)) {
      FStable = 0;
      FLeftOverTicks = 0;
      FLastWhy = why;
      return;
    }
    // Nothing runs any more: a dialog still there is left behind (given time
    // to go by itself, then it is what the checks report).
    bool leftOver = frmWait != nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
      leftOver = leftOver || (w != FRig->Main.get() && w->isVisible());
    if (leftOver && ++FLeftOverTicks < 2 * 1500 / kFinishTickMs) return;
    if (!leftOver && ++FStable < 5) return;
    if (!leftOver && !FQuit && FFinalLoad && !FFinalLoadAsked) {
      // Once at rest, one more load with a well-behaved terminal: "Charger",
      // or the main window's load button when no upgrade window is open.
      FFinalLoadAsked = true;
      std::shared_ptr<TSimHidDevice> dev = FRig->Terminal->Device();
      if (dev && dev->Plugged() && !FRig->Main->isMinimized()) {
        QAbstractButton* b = FRig->View.Button(TProgramButton::Charger);
        Person().Click(b ? b : FRig->View.Button(TProgramButton::Load));
        FStable = 0;
        return;
      }
    }
    FFinishing = false;
    Person().Note("at rest");
    CheckEnd();
    if (!FQuit && !Person().CloseMain())
      Fail("no-close", "the main window refused to close after the load had ended");
    FDone = true;
  }

  void CheckEnd() {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w != FRig->Main.get() && w->isVisible())
        Fail("dialog-left", "a window is left open: " + w->windowTitle().toStdString());
    if (frmWait) Fail("wait-left", "the wait dialog still exists");
    if (frmErrorDlg) Fail("error-left", "the transmission error dialog still exists");
    if (frmPasswordFirmware) Fail("password-left", "the password dialog still exists");
    for (TfrmVMUpgrade* w : FRig->Main->findChildren<TfrmVMUpgrade*>())
      if (w->FBusy()) Fail("busy-left", "the upgrade window is still busy once everything ended");
    // Reached in its boot program and still plugged: loaded, or asked to
    // leave it.
    std::shared_ptr<TSimHidDevice> dev = FRig->Terminal->Device();
    if (FReached && dev && dev->Plugged() && !FUnpluggedSinceReach && FRig->Terminal->InLoader() &&
        !FRig->TerminalHasImage() && !FAskedLeave)
      Fail("left-in-boot",
           "the terminal stays in its boot program: reached, and neither loaded nor asked to leave it");
  }

  uint32_t FSeed;
  std::mt19937 FRng;
  std::unique_ptr<TLoadRig> FRig;
  std::string FPassword, FLastWhy;
  double FUnplugRate = 1, FFaultRate = 1, FHandRate = 1;
  QTimer FTicker, FHeart, FFinisher;
  bool FChaos = false, FFinishing = false, FQuit = false, FDone = false, FFinalLoad = false,
       FFinalLoadAsked = false;
  int FChaosMs = 0, FMeanGapMs = 0, FActDepth = 0, FActions = 0, FStable = 0, FLeftOverTicks = 0,
      FHiddenWaitAsked = 0;
  qint64 FFinishStart = 0, FWaitSeenAt = -1, FHiddenWaitSince = -1;
  uintptr_t FOuterFrame = 0;
  std::set<std::string> FFailKeys;
  std::map<QWidget*, bool> FStartAllowed;  // a window may start one load per opening or "Charger"
  bool FReached = false, FAskedLeave = false, FUnpluggedSinceReach = false;
  QElapsedTimer FClock;
};

TEST(Chaos, SeededLoad) {
  const char* seed = std::getenv("KVZ_CHAOS_SEED");
  TChaos(seed ? static_cast<uint32_t>(std::strtoul(seed, nullptr, 10)) : 1u).Run();
}

}  // namespace
