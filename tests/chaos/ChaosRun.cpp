#include "ChaosRun.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "AppParts.h"
#include "ChaosWatchdog.h"
#include "F_CommonDlg.h"
#include "F_ErrorDlg.h"
#include "F_Main.h"
#include "F_PasswordFirmware.h"
#include "F_VMUpgrade.h"
#include "F_Wait.h"
#include "U_ConstDlg.h"
#include "U_Messages.h"
#include "U_QtShell.h"
#include "UpgradeRig.h"

namespace {

constexpr int kFreezeLimitMs = 3000;
constexpr int kHeartMs = 50;
constexpr int kFinishTickMs = 20;
constexpr int kRestLimitMs = 20000;      // after the chaos, the load must come to rest by then
constexpr int kHiddenWaitLimitMs = 500;  // a wait dialog hidden while its wait goes on
constexpr int kMaxActDepth = 6;          // actions nested inside actions' own loops
constexpr int kEndBlock = 0xFFFF;

const char* ResultName(TMsgResult r) {
  switch (r) {
    case TMsgResult::Ok: return "OK";
    case TMsgResult::Cancel: return "Cancel";
    case TMsgResult::Retry: return "Retry";
  }
  return "?";
}

const char* CommandName(TTermCommand c) {
  switch (c) {
    case TTermCommand::Identity: return "identity";
    case TTermCommand::Close: return "close";
    case TTermCommand::Password: return "password";
    case TTermCommand::EnterLoader: return "enter-boot";
    case TTermCommand::LeaveLoader: return "leave-boot";
    case TTermCommand::Block: return "block";
    case TTermCommand::Other: return "other";
  }
  return "?";
}

const char* FaultName(TTermFaultKind k) {
  switch (k) {
    case TTermFaultKind::NoAnswer: return "no answer";
    case TTermFaultKind::Nak: return "NAK";
    case TTermFaultKind::Ack: return "ACK";
    case TTermFaultKind::OtherCode: return "other code";
    case TTermFaultKind::Status: return "status";
    case TTermFaultKind::BadChecksum: return "bad checksum";
    case TTermFaultKind::LeadingBytes: return "leading bytes";
    case TTermFaultKind::Overlong: return "overlong";
    case TTermFaultKind::Unplug: return "unplug";
    case TTermFaultKind::UnplugAfterAnswer: return "unplug after answer";
    case TTermFaultKind::UnplugMidFrame: return "unplug mid-frame";
  }
  return "?";
}

std::string KeyName(int key) {
  switch (key) {
    case Qt::Key_Tab: return "Tab";
    case Qt::Key_Backtab: return "Shift+Tab";
    case Qt::Key_Space: return "Space";
    case Qt::Key_Return: return "Return";
    case Qt::Key_Enter: return "Enter";
    case Qt::Key_Escape: return "Escape";
    default:
      if (key >= 0x20 && key < 0x7F) return std::string("'") + static_cast<char>(key) + "'";
      return "key " + std::to_string(key);
  }
}

// How a widget is named in the log: its object name, class, title or text.
std::string Name(const QWidget* w) {
  if (!w) return "(none)";
  std::string s = w->metaObject()->className();
  if (!w->objectName().isEmpty()) s += " " + w->objectName().toStdString();
  if (auto* b = qobject_cast<const QAbstractButton*>(w)) {
    if (!b->text().isEmpty()) s += " \"" + b->text().toStdString() + "\"";
  } else if (w->isWindow() && !w->windowTitle().isEmpty()) {
    s += " \"" + w->windowTitle().toStdString() + "\"";
  }
  return s;
}

// Qt's own warnings go to the run's log (the offscreen platform's remarks
// about window hints are left out).
std::function<void(const std::string&)> gQtNote;

void QtMessages(QtMsgType type, const QMessageLogContext&, const QString& msg) {
  const std::string text = msg.toStdString();
  if (text.find("propagateSizeHints") != std::string::npos ||
      text.find("does not support raise()") != std::string::npos ||
      text.find("XDG_RUNTIME_DIR") != std::string::npos)
    return;
  if (gQtNote) gQtNote("Qt: " + text);
  if (type == QtFatalMsg) {
    std::fprintf(stderr, "Qt fatal: %s\n", text.c_str());
    std::abort();
  }
}

uintptr_t FrameAddress() { return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)); }

// The message presenter of the run: records every message, then shows it
// with the application's real boxes, whose modal loops really run.
class TRecordingPresenter : public IMessagePresenter {
 public:
  std::function<void(const TMessage&)> OnShow;
  std::function<void(const TMessage&, TMsgResult)> OnAnswer;
  int Depth = 0;  // boxes up, one inside the other

  TMsgResult Present(const TMessage& msg) override {
    if (OnShow) OnShow(msg);
    ++Depth;
    const TMsgResult r = FReal.Present(msg);
    --Depth;
    if (OnAnswer) OnAnswer(msg, r);
    return r;
  }

 private:
  TQtMessagePresenter FReal;
};

// What the seed chooses before the run starts.
struct TPlan {
  TFileSpec File;
  TVirtualTerminalConfig Terminal;
  bool PluggedAtStart = true;
  int TimeoutPercent = 10;
  TUpgradePauses Pauses;
  int ChaosMs = 1000;
  int MeanGapMs = 20;
  double UnplugRate = 1, FaultRate = 1, HandRate = 1;
  bool FinalLoad = false;  // once at rest, one more load with a well-behaved terminal
};

class TChaosRun : public QObject {
 public:
  explicit TChaosRun(const TChaosOptions& o)
      : FOpt(o),
        FRng(o.Seed),
        FDog(o.Seed, std::chrono::milliseconds(kFreezeLimitMs), [this] { return Tail(40); }) {
    FClock.start();
  }

  ~TChaosRun() override { JoinThreads(); }

  int Run();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Randomness: every choice comes from the seed.
  int R(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(FRng); }
  bool P(double p) { return std::uniform_real_distribution<double>(0.0, 1.0)(FRng) < p; }
  template <typename T>
  T Pick(const std::vector<T>& v) {
    return v[static_cast<size_t>(R(0, static_cast<int>(v.size()) - 1))];
  }

  TPlan MakePlan();
  void Setup();
  void Note(const std::string& line);
  std::string Tail(size_t n);
  void Fail(const std::string& key, const std::string& text);

  // Chaos.
  void Tick();
  void Act();
  void Spawn(int delayMs, std::function<void()> fn);
  void JoinThreads();
  void ActTerminalPlug(bool plug);
  void ActTerminalBlip();
  void ActOtherDevice();
  void ActFault();
  void ActKey();
  void ActKeyWalk();
  void ActClick();
  void ActQuit();
  void ActClose();
  void ActPassword(bool finishing);
  void PressKey(QWidget* target, int key, Qt::KeyboardModifiers mods = Qt::NoModifier);
  void ClickButton(QAbstractButton* b);
  std::vector<QWidget*> ReachableWindows();
  bool Avoids(const char* road) const { return FOpt.Avoid.count(road) > 0; }
  // A main-window action button under an open upgrade window.
  bool Covered(const QWidget* w) const;
  std::vector<QAbstractButton*> ButtonsOf(QWidget* window) const;

  // Watching.
  void Heartbeat();
  void HookUpgradeWindow(TfrmVMUpgrade* w);
  void LoadStarting(TfrmVMUpgrade* w);
  void FrameSeen(bool toTerminal, const TBytes& frame);
  TTermCommand CommandOnTheWire() const;
  void MessageShown(const TMessage& m);
  std::vector<TfrmVMUpgrade*> UpgradeWindows() const;

  // End.
  void StopChaos(const char* why);
  void FinishTick();
  // Working: something runs or waits; LeftOver: nothing runs but a dialog
  // is still there; AtRest.
  enum class TRest { Working, LeftOver, AtRest };
  TRest Settled(uintptr_t frame, std::string& why) const;
  bool StartFinalLoad();
  void Answer(QWidget* modal);
  void CheckEnd(bool quitDuringChaos);
  void CheckTerminal();
  [[noreturn]] void NoRest(const std::string& why);

  TChaosOptions FOpt;
  std::mt19937 FRng;
  TChaosWatchdog FDog;
  QElapsedTimer FClock;
  TPlan FPlan;
  std::unique_ptr<TUpgradeRig> FRig;
  TRecordingPresenter FBoxes;
  IMessagePresenter* FPrevPresenter = nullptr;
  std::shared_ptr<TSimHidDevice> FOther;

  QTimer FTicker, FHeart, FFinisher;
  bool FChaos = false;
  bool FFinishing = false;
  bool FQuitRequested = false;
  bool FChaosEndedByQuit = false;
  int FActDepth = 0;
  int FActions = 0;
  int FLoads = 0, FReaches = 0, FSuccesses = 0, FBoxCount = 0;
  QElapsedTimer FFinishClock;
  int FStable = 0;
  bool FFinalLoadAsked = false;
  int FLeftOverTicks = 0;
  int FAnswers = 0;
  std::string FLastWhy;
  qint64 FWaitSeenAt = -1;
  uintptr_t FOuterFrame = 0;

  std::mutex FLogMutex;
  std::deque<std::string> FLog;
  std::set<std::string> FFailKeys;
  std::vector<std::string> FFailures;

  std::mutex FThreadsMutex;
  std::vector<std::thread> FThreads;

  // Load starts: a window may start one load per opening or per "Charger".
  std::map<QObject*, bool> FStartAllowed;
  std::map<QObject*, TfrmVMUpgrade*> FTimerOwner;
  qint64 FHiddenWaitSince = -1;
  int FHiddenWaitAsked = 0;

  // The terminal's boot program, as the program saw it.
  bool FReached = false;
  qint64 FReachedAt = 0;
  bool FAskedLeave = false;
  bool FUnpluggedSinceReach = false;
};

TPlan TChaosRun::MakePlan() {
  TPlan p;
  p.File.Pages = R(2, 6);
  p.File.LongWaitMark = P(0.3);
  p.Terminal = TUpgradeRig::TerminalConfig();
  p.Terminal.UsbVersion = P(0.5) ? 4 : 1;
  p.Terminal.RestartOnEndBlock = p.Terminal.UsbVersion == 4 ? P(0.8) : P(0.2);
  p.Terminal.Application.VersionName = Pick<std::string>({"fv0099", "fv0099", "fv0100", "fv0101"});
  p.Terminal.Application.AppDate =
      Pick<std::string>({"14/06/2009", "14/06/2009", "15/06/2009", "16/06/2009", "  15/06/09", "31/02/2009"});
  p.Terminal.Application.AppType = P(0.9) ? 9 : 7;
  p.Terminal.StartInLoader = P(0.15);
  if (P(0.3)) {
    p.Terminal.Password = "AB12";
    p.Terminal.PasswordForLoader = P(0.7);
  }
  p.Terminal.LatencyMs = Pick<int>({0, 0, 0, 1, 5, 20});
  p.Terminal.ReportChunk = Pick<int>({0, 0, 0, 8, 20});
  p.Terminal.UsbPaced = P(0.3);
  p.PluggedAtStart = P(0.6);
  p.TimeoutPercent = Pick<int>({5, 10, 20});
  p.Pauses.PresenceMs = Pick<int>({0, 10, 50});
  p.Pauses.AfterLastBlockMs = Pick<int>({0, 20, 100});
  p.Pauses.AfterUnplugPromptMs = Pick<int>({0, 10, 50});
  p.Pauses.AfterLeaveLoaderMs = Pick<int>({0, 20, 100});
  p.ChaosMs = FOpt.ChaosMs >= 0 ? FOpt.ChaosMs : R(400, 1600);
  p.MeanGapMs = Pick<int>({3, 10, 25, 60, 120});
  p.UnplugRate = Pick<double>({0, 0.5, 1, 2});
  p.FaultRate = Pick<double>({0.3, 1, 2});
  p.HandRate = Pick<double>({0.5, 1, 2});
  p.FinalLoad = P(0.5);
  return p;
}

void TChaosRun::Note(const std::string& line) {
  char head[32];
  std::snprintf(head, sizeof head, "[%6lld ms] ", static_cast<long long>(FClock.elapsed()));
  std::string s = head + line;
  if (FOpt.Verbose) {
    std::fprintf(stderr, "%s\n", s.c_str());
    std::fflush(stderr);
  }
  std::lock_guard<std::mutex> lock(FLogMutex);
  FLog.push_back(std::move(s));
  if (FLog.size() > 400) FLog.pop_front();
}

std::string TChaosRun::Tail(size_t n) {
  std::lock_guard<std::mutex> lock(FLogMutex);
  std::string out = "--- last actions and events\n";
  const size_t from = FLog.size() > n ? FLog.size() - n : 0;
  for (size_t i = from; i < FLog.size(); ++i) out += "  " + FLog[i] + "\n";
  return out;
}

void TChaosRun::Fail(const std::string& key, const std::string& text) {
  if (!FFailKeys.insert(key).second) return;
  FFailures.push_back(text);
  Note("FAIL " + text);
  std::fprintf(stderr, "FAIL: %s\n", text.c_str());
  if (!FOpt.Verbose) std::fputs(Tail(30).c_str(), stderr);
  std::fflush(stderr);
}

// ---------------------------------------------------------------------------
// Setting up

void TChaosRun::Setup() {
  FPlan = MakePlan();
  const TPlan& p = FPlan;
  TCommonDlg::TimeoutPercent = p.TimeoutPercent;
  TfrmVMUpgrade::Pauses() = p.Pauses;
  {
    const auto& t = p.Terminal;
    char line[640];
    std::snprintf(
        line, sizeof line,
        "plan: %d pages%s; terminal %s type %d date \"%s\"%s, USB version %d%s, password \"%s\"%s, "
        "latency %d ms, chunk %d%s; %s at start; time-outs %d%%; pauses %d/%d/%d/%d ms; "
        "chaos %d ms, mean gap %d ms, rates: unplug %.1f, faults %.1f, hands %.1f%s",
        p.File.Pages, p.File.LongWaitMark ? " (long wait)" : "", t.Application.VersionName.c_str(),
        t.Application.AppType, t.Application.AppDate.c_str(), t.StartInLoader ? " in its boot program" : "",
        t.UsbVersion, t.RestartOnEndBlock ? " restarts by itself" : "", t.Password.c_str(),
        t.Password.empty() ? ""
                           : (t.PasswordForLoader ? " for the boot program" : " (not for the boot program)"),
        t.LatencyMs, t.ReportChunk, t.UsbPaced ? ", USB paced" : "",
        p.PluggedAtStart ? "plugged" : "unplugged", p.TimeoutPercent, p.Pauses.PresenceMs,
        p.Pauses.AfterLastBlockMs, p.Pauses.AfterUnplugPromptMs, p.Pauses.AfterLeaveLoaderMs, p.ChaosMs,
        p.MeanGapMs, p.UnplugRate, p.FaultRate, p.HandRate, p.FinalLoad ? ", a final load" : "");
    Note(line);
  }

  FRig = std::make_unique<TUpgradeRig>(p.File);
  // The rig's scripted presenter installed itself; the real boxes go on top.
  FPrevPresenter = SetMessagePresenter(&FBoxes);
  FBoxes.OnShow = [this](const TMessage& m) { MessageShown(m); };
  FBoxes.OnAnswer = [this](const TMessage& m, TMsgResult r) {
    Note(std::string("box answered ") + ResultName(r) + ": \"" + m.Text.substr(0, 60) + "\"");
  };

  FRig->Terminal = TVirtualTerminal::Create(p.Terminal);
  if (p.PluggedAtStart) FRig->Terminal->Plug(*FRig->Bus);
  TMainParts parts = MakeApplicationParts(FRig->Bus);
  // The driver button installs nothing here: the installer is not under
  // test and would touch the machine. It still ends with a box.
  parts.PiloteClick = [this](TfrmMain*) {
    Note("driver installation asked (not run)");
    ShowInformation("Installation du pilote (simulée)");
  };
  FRig->Main = std::make_unique<TfrmMain>(std::move(parts));
  TfrmMain* main = FRig->Main.get();
  main->pnlDatas->installEventFilter(this);
  for (TfrmVMUpgrade* w : main->findChildren<TfrmVMUpgrade*>()) HookUpgradeWindow(w);
  if (TCommonDlg* dlg = MainCommonDlg()) {
    dlg->OnFrame = [this](bool toTerminal, const TBytes& frame) { FrameSeen(toTerminal, frame); };
    connect(dlg, &TCommonDlg::ConnectedChanged, this, [this](bool connected) {
      Note(connected ? "program: terminal present" : "program: terminal gone");
      if (!connected && FReached) FUnpluggedSinceReach = true;
    });
  }
  connect(qApp, &QGuiApplication::lastWindowClosed, this, [this] {
    Note("the main window closed: the application quits");
    FQuitRequested = true;
    if (!FChaos && !FFinishing)
      FDog.SetPhase("quit (the main window closed: the application must end)", 10000);
    if (FChaos) {
      FChaosEndedByQuit = true;
      StopChaos("quit");
    }
  });

  FTicker.setSingleShot(true);
  connect(&FTicker, &QTimer::timeout, this, [this] { Tick(); });
  FHeart.setInterval(kHeartMs);
  connect(&FHeart, &QTimer::timeout, this, [this] { Heartbeat(); });
  // Single shot, armed again at the start of each tick: an answer may run a
  // nested loop (a password sent, an error box) and the next tick must
  // still come inside it.
  FFinisher.setSingleShot(true);
  connect(&FFinisher, &QTimer::timeout, this, [this] { FinishTick(); });
  // The finisher's first tick comes from the outermost loop: its frame is
  // the mark of "no wait under way".
  FFinisher.start(0);

  main->show();
  FChaos = true;
  FDog.SetPhase("chaos", p.ChaosMs + 20000);
  FHeart.start();
  FTicker.start(R(0, 2 * p.MeanGapMs));
  QTimer::singleShot(p.ChaosMs, this, [this] {
    if (FChaos) StopChaos("time");
  });
}

// ---------------------------------------------------------------------------
// Chaos

void TChaosRun::Tick() {
  if (!FChaos) return;
  // Armed again first: the next action may come inside this one's loops.
  FTicker.start(R(0, 2 * FPlan.MeanGapMs));
  if (FActDepth >= kMaxActDepth) return;
  ++FActDepth;
  ++FActions;
  Act();
  --FActDepth;
}

void TChaosRun::Act() {
  enum A {
    TermUnplug,
    TermPlug,
    TermBlip,
    Other,
    Latency,
    Chunk,
    Switch,
    Fault,
    ClearFaults,
    Key,
    KeyWalk,
    Click,
    Quit,
    Close,
    Minimize,
    Restore,
    Password
  };
  // The seed's temper scales the plugging, the faults and the user's hands.
  const double u = FPlan.UnplugRate, f = FPlan.FaultRate, h = FPlan.HandRate;
  const std::vector<std::pair<A, double>> weights = {
      {TermUnplug, 4 * u}, {TermPlug, 5},   {TermBlip, 2 * u}, {Other, 3},       {Latency, 3 * f},
      {Chunk, 1},          {Switch, 1 * f}, {Fault, 8 * f},    {ClearFaults, 1}, {Key, 14 * h},
      {KeyWalk, 3 * h},    {Click, 12 * h}, {Quit, 1},         {Close, 2 * h},   {Minimize, 1},
      {Restore, 2},        {Password, 3}};
  double total = 0;
  for (const auto& w : weights) total += w.second;
  double r = std::uniform_real_distribution<double>(0.0, total)(FRng);
  A a = Password;
  for (const auto& w : weights) {
    if (r < w.second) {
      a = w.first;
      break;
    }
    r -= w.second;
  }
  TVirtualTerminal& term = *FRig->Terminal;
  switch (a) {
    case TermUnplug: ActTerminalPlug(false); break;
    case TermPlug: ActTerminalPlug(true); break;
    case TermBlip: ActTerminalBlip(); break;
    case Other: ActOtherDevice(); break;
    case Latency: {
      const int ms = Pick<int>({0, 0, 1, 5, 15, 40, 100, 250});
      Note("terminal latency " + std::to_string(ms) + " ms");
      term.SetLatencyMs(ms);
      break;
    }
    case Chunk: {
      const int c = Pick<int>({0, 0, 4, 16, 40});
      Note("terminal report chunk " + std::to_string(c));
      term.SetReportChunk(c);
      break;
    }
    case Switch: {
      const bool on = P(0.3);
      Note(std::string("terminal switch ") + (on ? "on" : "off"));
      term.SetSwitchActive(on);
      break;
    }
    case Fault: ActFault(); break;
    case ClearFaults:
      Note("terminal faults cleared");
      term.ClearFaults();
      break;
    case Key: ActKey(); break;
    case KeyWalk: ActKeyWalk(); break;
    case Click: ActClick(); break;
    case Quit: ActQuit(); break;
    case Close: ActClose(); break;
    case Minimize:
      if (Avoids("minimise")) break;
      Note("minimise the main window");
      FRig->Main->showMinimized();
      break;
    case Restore:
      if (FRig->Main->isMinimized()) {
        Note("restore the main window");
        FRig->Main->showNormal();
      }
      break;
    case Password: ActPassword(false); break;
  }
}

void TChaosRun::Spawn(int delayMs, std::function<void()> fn) {
  std::lock_guard<std::mutex> lock(FThreadsMutex);
  FThreads.emplace_back([delayMs, fn = std::move(fn)] {
    if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    fn();
  });
}

void TChaosRun::JoinThreads() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(FThreadsMutex);
    threads.swap(FThreads);
  }
  for (std::thread& t : threads) t.join();
}

void TChaosRun::ActTerminalPlug(bool plug) {
  std::shared_ptr<TVirtualTerminal> term = FRig->Terminal;
  std::shared_ptr<TSimHidBus> bus = FRig->Bus;
  const char* what = plug ? "plug the terminal" : "unplug the terminal";
  auto act = [term, bus, plug] {
    if (plug)
      term->Plug(*bus);
    else
      term->Unplug();
  };
  if (P(0.5)) {
    Note(what);
    act();
  } else {
    const int d = R(0, 15);
    Note(std::string(what) + " from another thread in " + std::to_string(d) + " ms");
    Spawn(d, act);
  }
}

void TChaosRun::ActTerminalBlip() {
  std::shared_ptr<TVirtualTerminal> term = FRig->Terminal;
  std::shared_ptr<TSimHidBus> bus = FRig->Bus;
  const int d = R(0, 15), gap = R(0, 5);
  Note("unplug and replug the terminal from another thread in " + std::to_string(d) + " ms, " +
       std::to_string(gap) + " ms apart");
  Spawn(d, [term, bus, gap] {
    term->Unplug();
    if (gap > 0) std::this_thread::sleep_for(std::chrono::milliseconds(gap));
    term->Plug(*bus);
  });
}

void TChaosRun::ActOtherDevice() {
  std::shared_ptr<TSimHidBus> bus = FRig->Bus;
  if (!FOther) {
    Note("plug another HID device (\"Clavier USB\")");
    FOther = bus->Plug(TSimHidDeviceConfig::Make(0x046D, 0xC31C, 0x0110, "Clavier USB"));
    return;
  }
  std::shared_ptr<TSimHidDevice> other = FOther;
  const bool plugged = other->Plugged();
  auto act = [bus, other, plugged] {
    if (plugged)
      bus->Unplug(other);
    else
      bus->Replug(other);
  };
  const char* what = plugged ? "unplug the other HID device" : "replug the other HID device";
  if (P(0.5)) {
    Note(what);
    act();
  } else {
    const int d = R(0, 15);
    Note(std::string(what) + " from another thread in " + std::to_string(d) + " ms");
    Spawn(d, act);
  }
}

void TChaosRun::ActFault() {
  TTermCommand cmd = Pick<TTermCommand>(
      {TTermCommand::Identity, TTermCommand::Close, TTermCommand::Password, TTermCommand::EnterLoader,
       TTermCommand::EnterLoader, TTermCommand::LeaveLoader, TTermCommand::Block, TTermCommand::Block});
  TTermFault f;
  f.Kind = Pick<TTermFaultKind>(
      {TTermFaultKind::NoAnswer, TTermFaultKind::NoAnswer, TTermFaultKind::NoAnswer, TTermFaultKind::Nak,
       TTermFaultKind::Nak, TTermFaultKind::Ack, TTermFaultKind::OtherCode, TTermFaultKind::Status,
       TTermFaultKind::Status, TTermFaultKind::Status, TTermFaultKind::BadChecksum,
       TTermFaultKind::LeadingBytes, TTermFaultKind::Overlong, TTermFaultKind::Unplug,
       TTermFaultKind::UnplugAfterAnswer, TTermFaultKind::UnplugMidFrame});
  // An ACK to a block, like status 1, tells the program the block was taken
  // while the terminal dropped it: the image could not be checked any more.
  if (f.Kind == TTermFaultKind::Ack && cmd == TTermCommand::Block) f.Kind = TTermFaultKind::Nak;
  switch (f.Kind) {
    case TTermFaultKind::Status: f.Value = Pick<int>({17, 17, 16, 18, 20, 12, 3, 24}); break;
    case TTermFaultKind::OtherCode: f.Value = Pick<int>({0xFF85, 0x1234, 0xFF81}); break;
    case TTermFaultKind::LeadingBytes: f.Value = R(1, 3); break;
    case TTermFaultKind::Overlong: f.Value = 1500; break;
    default: break;
  }
  f.Always = P(0.08);
  std::string what = std::string("fault ") + FaultName(f.Kind);
  if (f.Value) what += " " + std::to_string(f.Value);
  what += f.Always ? " always" : " once";
  if (cmd == TTermCommand::Block && P(0.6)) {
    std::vector<int> numbers;
    for (int i = 0; i < FPlan.File.Pages; ++i) numbers.push_back(i);
    numbers.push_back(kEndBlock);
    const int n = Pick(numbers);
    Note(what + " on block " + (n == kEndBlock ? std::string("end") : std::to_string(n)));
    FRig->Terminal->AddBlockFault(n, f);
  } else {
    Note(what + " on " + CommandName(cmd));
    FRig->Terminal->AddFault(cmd, f);
  }
}

std::vector<QWidget*> TChaosRun::ReachableWindows() {
  // A modal box takes every input; otherwise any window shown (not
  // minimised) can be used, most often the wait dialog when it is up (it
  // stays on top, under the user's eyes).
  if (QWidget* m = QApplication::activeModalWidget()) return {m};
  if (frmWait && frmWait->isVisible() && P(0.5)) return {frmWait};
  std::vector<QWidget*> out;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->isVisible() && !w->isMinimized()) out.push_back(w);
  return out;
}

bool TChaosRun::Covered(const QWidget* w) const {
  if (!w || (w != FRig->Main->btnLoad && w != FRig->Main->btnPilote)) return false;
  for (TfrmVMUpgrade* u : UpgradeWindows())
    if (!u->isHidden()) return true;
  return false;
}

std::vector<QAbstractButton*> TChaosRun::ButtonsOf(QWidget* window) const {
  // Visible and enabled, covered or not: a covered button can still be
  // reached with Tab and pressed with Space.
  std::vector<QAbstractButton*> out;
  for (QAbstractButton* b : window->findChildren<QAbstractButton*>())
    if (b->window() == window && b->isVisible() && b->isEnabled()) out.push_back(b);
  return out;
}

void TChaosRun::PressKey(QWidget* target, int key, Qt::KeyboardModifiers mods) {
  QPointer<QWidget> t(target);
  if (key >= 0x20 && key < 0x7F && key != Qt::Key_Space) {
    const char c = static_cast<char>(key);
    QTest::keyPress(target, c, mods);
    if (t) QTest::keyRelease(t, c, mods);
  } else {
    QTest::keyPress(target, static_cast<Qt::Key>(key), mods);
    if (t) QTest::keyRelease(t, static_cast<Qt::Key>(key), mods);
  }
}

void TChaosRun::ClickButton(QAbstractButton* b) {
  QPointer<QAbstractButton> p(b);
  const QPoint at = b->rect().center();
  QTest::mousePress(b, Qt::LeftButton, Qt::NoModifier, at);
  if (p) QTest::mouseRelease(p, Qt::LeftButton, Qt::NoModifier, at);
}

void TChaosRun::ActKey() {
  const std::vector<QWidget*> windows = ReachableWindows();
  if (windows.empty()) return;
  QWidget* win = Pick(windows);
  QWidget* target = win->focusWidget();
  if (!target || !target->isVisible()) target = win;
  const int key =
      Pick<int>({Qt::Key_Tab, Qt::Key_Tab, Qt::Key_Backtab, Qt::Key_Space, Qt::Key_Space, Qt::Key_Return,
                 Qt::Key_Enter, Qt::Key_Escape, Qt::Key_Escape, 'a', 'Z', '7', '-'});
  if (Avoids("wait-keys") && win == frmWait) return;
  if (Avoids("covered") &&
      (Covered(target) || (win == FRig->Main.get() && (key == Qt::Key_Tab || key == Qt::Key_Backtab) &&
                           Covered(FRig->Main->btnLoad))))
    return;
  Note("key " + KeyName(key) + " to " + Name(target) + " in " + Name(win));
  PressKey(target, key);
}

void TChaosRun::ActKeyWalk() {
  if (QApplication::activeModalWidget()) return;
  TfrmMain* main = FRig->Main.get();
  if (!main->isVisible() || main->isMinimized()) return;
  if (Avoids("covered") && Covered(main->btnLoad)) return;
  const int tabs = R(1, 6);
  Note("Tab x" + std::to_string(tabs) + " then Space in the main window");
  QPointer<QWidget> win(main);
  for (int i = 0; i < tabs && win; ++i) {
    QWidget* target = main->focusWidget() ? main->focusWidget() : main;
    PressKey(target, Qt::Key_Tab);
    if (QApplication::activeModalWidget()) return;
  }
  if (!win || !main->isVisible()) return;
  QWidget* target = main->focusWidget() ? main->focusWidget() : main;
  Note("  Space on " + Name(target));
  PressKey(target, Qt::Key_Space);
}

void TChaosRun::ActClick() {
  const std::vector<QWidget*> windows = ReachableWindows();
  std::vector<QAbstractButton*> all, named;
  for (QWidget* w : windows)
    for (QAbstractButton* b : ButtonsOf(w)) {
      if (b == FRig->Main->btnExit) continue;  // Quitter has an action of its own
      if (Avoids("covered") && Covered(b)) continue;
      all.push_back(b);
      const QString text = b->text();
      if (text == QStringLiteral("Charger") || text.startsWith(QStringLiteral("Pr")) ||
          b == FRig->Main->btnLoad)
        named.push_back(b);
    }
  if (all.empty()) return;
  QAbstractButton* b = !named.empty() && P(0.4) ? Pick(named) : Pick(all);
  Note("click " + Name(b) + " in " + Name(b->window()));
  ClickButton(b);
}

void TChaosRun::ActQuit() {
  if (Avoids("quit")) return;
  TfrmMain* main = FRig->Main.get();
  const std::vector<QWidget*> windows = ReachableWindows();
  bool reachable = false;
  for (QWidget* w : windows) reachable = reachable || w == main;
  if (!reachable || !main->btnExit->isVisible()) return;
  Note("click Quitter");
  ClickButton(main->btnExit);
}

void TChaosRun::ActClose() {
  const std::vector<QWidget*> windows = ReachableWindows();
  if (windows.empty()) return;
  QWidget* w = Pick(windows);
  if (w == FRig->Main.get() && (P(0.7) || Avoids("quit")))
    return;  // closing the application ends the run early
  if (w == frmWait && Avoids("wait-keys")) return;
  Note("close box of " + Name(w));
  w->close();
}

void TChaosRun::ActPassword(bool finishing) {
  TfrmPasswordFirmware* dlg = frmPasswordFirmware;
  if (!dlg || !dlg->isVisible() || QApplication::activeModalWidget() != dlg) return;
  const std::string right = FPlan.Terminal.Password;
  const std::string typed = finishing || P(0.6) ? right : Pick<std::string>({"zz9", "", "AB1", "ab12"});
  const bool enter = finishing || P(0.7);
  Note("type password \"" + typed + "\"" + (enter ? " and Return" : ""));
  QPointer<QLineEdit> edit(dlg->edtPassword);
  PressKey(edit, 'A', Qt::ControlModifier);
  if (edit) PressKey(edit, Qt::Key_Backspace);
  for (char c : typed) {
    if (!edit) return;
    PressKey(edit, c);
  }
  if (enter && edit) PressKey(edit, Qt::Key_Return);
}

// ---------------------------------------------------------------------------
// Watching

std::vector<TfrmVMUpgrade*> TChaosRun::UpgradeWindows() const {
  std::vector<TfrmVMUpgrade*> out;
  if (FRig && FRig->Main)
    for (TfrmVMUpgrade* w : FRig->Main->findChildren<TfrmVMUpgrade*>()) out.push_back(w);
  return out;
}

void TChaosRun::HookUpgradeWindow(TfrmVMUpgrade* w) {
  if (FStartAllowed.count(w)) return;
  Note("upgrade window opened");
  // Its first showing starts one load.
  FStartAllowed[w] = true;
  FTimerOwner[w->tmrStartLoadAuto] = w;
  w->tmrStartLoadAuto->installEventFilter(this);
  connect(w->btnLoad, &QPushButton::clicked, this, [this, w] {
    Note("\"Charger\" pressed");
    FStartAllowed[w] = true;
  });
  QObject* timer = w->tmrStartLoadAuto;
  connect(w, &QObject::destroyed, this, [this, w, timer] {
    FStartAllowed.erase(w);
    FTimerOwner.erase(timer);
  });
}

bool TChaosRun::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::ChildAdded && FRig && watched == FRig->Main->pnlDatas) {
    if (auto* w = qobject_cast<TfrmVMUpgrade*>(static_cast<QChildEvent*>(event)->child()))
      HookUpgradeWindow(w);
  } else if (event->type() == QEvent::Timer) {
    auto it = FTimerOwner.find(watched);
    if (it != FTimerOwner.end()) LoadStarting(it->second);
  }
  return QObject::eventFilter(watched, event);
}

void TChaosRun::LoadStarting(TfrmVMUpgrade* w) {
  bool& allowed = FStartAllowed[w];
  ++FLoads;
  Note(allowed ? "a load starts" : "a load starts unasked");
  if (!allowed)
    Fail("unasked-load",
         "a load started although nobody asked for one (no window opening, no \"Charger\" since the last "
         "load)");
  allowed = false;
}

TTermCommand TChaosRun::CommandOnTheWire() const {
  // The last frame start written to the terminal: the command of the
  // exchange under way (one at a time), as the program sees it. The trace of
  // the command frames comes too late for this: it is written once all the
  // reports are out, and the answer may come in between.
  std::shared_ptr<TSimHidDevice> dev = FRig->Terminal->Device();
  if (!dev) return TTermCommand::Other;
  const std::vector<std::vector<uint8_t>> reports = dev->OutputReports();
  for (auto it = reports.rbegin(); it != reports.rend(); ++it)
    if (it->size() > 2 && (*it)[1] > 0 && (*it)[2] == 0x55)
      return TVirtualTerminal::CommandOf(TTermBytes(it->begin() + 2, it->end()));
  return TTermCommand::Other;
}

void TChaosRun::FrameSeen(bool toTerminal, const TBytes& frame) {
  size_t at = 0;
  while (at < frame.size() && frame[at] != 0x55) ++at;
  if (frame.size() < at + 3) return;
  const int code = frame[at + 1] | (frame[at + 2] << 8);
  if (toTerminal) {
    const TTermCommand cmd =
        TVirtualTerminal::CommandOf(TTermBytes(frame.begin() + static_cast<std::ptrdiff_t>(at), frame.end()));
    if (cmd == TTermCommand::LeaveLoader && FReached) FAskedLeave = true;
    return;
  }
  // An answer that ended an exchange: the boot program is reached when the
  // program takes it as the success of its request to enter it.
  const bool ack = code == 0x0006;
  const bool ok = code == 0xFF89 && frame.size() > at + 5 && frame[at + 5] == 1;
  if ((ack || ok) && CommandOnTheWire() == TTermCommand::EnterLoader) {
    Note("program: the terminal runs its boot program");
    FReached = true;
    ++FReaches;
    FReachedAt = FClock.elapsed();
    FAskedLeave = false;
    FUnpluggedSinceReach = false;
  }
}

void TChaosRun::MessageShown(const TMessage& m) {
  Note(std::string("box shown (") + MsgKindName(m.Kind) + (m.RetryVisible ? ", Retry" : "") + "): \"" +
       m.Text + "\"");
  if (m.Kind == TMsgKind::TransmissionError && m.Text == StatusText(kStatusOk))
    Fail("status-1", "a failure was reported with the text of status 1 (success): \"" + m.Text + "\"");
  ++FBoxCount;
  if (m.Key == "_LoadVelmoraOk") ++FSuccesses;
  if (m.Key == "_LoadVelmoraOk" && !FRig->TerminalHasImage())
    Fail("false-success", "the load was reported a success but the terminal does not hold the file's image");
}

void TChaosRun::Heartbeat() {
  FDog.Beat();
  if (!FRig || !FRig->Main) return;
  int open = 0;
  for (TfrmVMUpgrade* w : UpgradeWindows())
    if (!w->isHidden()) ++open;
  if (open > 1) Fail("two-windows", "two upgrade windows are open at once");
  // A wait dialog that is hidden while its wait goes on can no longer be
  // cancelled: it is gone from the screen, yet the boot program is asked
  // for again and again. Hidden under a modal box (the password dialog) it
  // could not be used anyway, and once cancelled the wait ends by itself.
  if (frmWait && frmWait->isHidden() && !frmWait->Cancelled && !QApplication::activeModalWidget()) {
    const int asked = FRig->Terminal->CommandCount(TTermCommand::EnterLoader);
    if (FHiddenWaitSince < 0) {
      FHiddenWaitSince = FClock.elapsed();
      FHiddenWaitAsked = asked;
    }
    if (FClock.elapsed() - FHiddenWaitSince > kHiddenWaitLimitMs || asked - FHiddenWaitAsked >= 3)
      Fail("hidden-wait",
           "the wait dialog was hidden while the wait for the boot program went on: it can no longer be "
           "cancelled");
  } else {
    FHiddenWaitSince = -1;
  }
}

// ---------------------------------------------------------------------------
// The end

void TChaosRun::StopChaos(const char* why) {
  FChaos = false;
  FTicker.stop();
  Note(std::string("chaos stops (") + why + ") after " + std::to_string(FActions) + " actions");
  if (FChaosEndedByQuit) {
    // The application must end by itself; boxes that still come up are
    // answered meanwhile, as a user would.
    FDog.SetPhase("quit (the main window closed: the application must end)", 10000);
    FFinishing = true;
    FFinishClock.start();
    FFinisher.start(kFinishTickMs);
    return;
  }
  FDog.SetPhase("finish", kRestLimitMs + 10000);
  // The terminal behaves from here on; where it is plugged stays as it is.
  FRig->Terminal->ClearFaults();
  FRig->Terminal->SetLatencyMs(0);
  FRig->Terminal->SetSwitchActive(false);
  FFinishing = true;
  FFinishClock.start();
  FFinisher.start(kFinishTickMs);
}

TChaosRun::TRest TChaosRun::Settled(uintptr_t frame, std::string& why) const {
  if (FBoxes.Depth > 0) {
    why = "a message box is up";
    return TRest::Working;
  }
  if (QThread::currentThread()->loopLevel() != 1 || FOuterFrame - frame > 256) {
    why = "a wait is under way (nested event loop)";
    return TRest::Working;
  }
  for (TfrmVMUpgrade* w : UpgradeWindows()) {
    if (w->FBusy()) {
      why = "the upgrade window is busy";
      return TRest::Working;
    }
    if (w->tmrStartLoadAuto->isActive()) {
      why = "a load is about to start";
      return TRest::Working;
    }
  }
  // Nothing runs any more: a dialog still there is left behind.
  if (frmWait) {
    why = "the wait dialog exists";
    return TRest::LeftOver;
  }
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w != FRig->Main.get() && w->isVisible()) {
      why = "a window is up: " + Name(w);
      return TRest::LeftOver;
    }
  return TRest::AtRest;
}

bool TChaosRun::StartFinalLoad() {
  // "Charger" of the open upgrade window, or the main window's load button
  // when none is open; only with the terminal plugged and the window shown.
  std::shared_ptr<TSimHidDevice> dev = FRig->Terminal->Device();
  TfrmMain* main = FRig->Main.get();
  if (!dev || !dev->Plugged() || main->isMinimized()) return false;
  for (TfrmVMUpgrade* w : UpgradeWindows()) {
    if (w->isHidden()) continue;
    if (!w->btnLoad->isEnabled()) return false;
    Note("final load: click \"Charger\"");
    ClickButton(w->btnLoad);
    return true;
  }
  if (!main->btnLoad->isEnabled()) return false;
  Note("final load: click the main window's load button");
  ClickButton(main->btnLoad);
  return true;
}

void TChaosRun::Answer(QWidget* modal) {
  ++FAnswers;
  if (modal == frmPasswordFirmware && P(0.5)) {
    ActPassword(true);
    return;
  }
  if (FAnswers > 200 && FAnswers % 10 == 0) {
    // Keys have not closed it: the close box.
    Note("close box of " + Name(modal));
    modal->close();
    return;
  }
  QWidget* target = modal->focusWidget();
  if (!target || !target->isVisible()) target = modal;
  const int key = P(0.5) ? Qt::Key_Return : Qt::Key_Escape;
  Note("answer: " + KeyName(key) + " to " + Name(target) + " in " + Name(modal));
  PressKey(target, key);
}

__attribute__((noinline)) void TChaosRun::FinishTick() {
  const uintptr_t frame = FrameAddress();
  if (FOuterFrame == 0) {
    FOuterFrame = frame;
    if (!FFinishing) FFinisher.stop();
    return;
  }
  if (!FFinishing) return;
  FFinisher.start(kFinishTickMs);
  FDog.Beat();
  if (!FChaosEndedByQuit && FFinishClock.elapsed() > kRestLimitMs) NoRest(FLastWhy);
  if (QWidget* modal = QApplication::activeModalWidget()) {
    FStable = 0;
    FLastWhy = "a modal box stays up: " + Name(modal);
    Answer(modal);
    return;
  }
  // A wait that goes on long after the chaos: the user gives up waiting.
  if (frmWait && frmWait->isVisible()) {
    if (FWaitSeenAt < 0) FWaitSeenAt = FFinishClock.elapsed();
    if (FFinishClock.elapsed() - FWaitSeenAt > 1500) {
      Note("answer: click Annuler of the wait dialog");
      FWaitSeenAt = -1;
      ClickButton(frmWait->btnCancel);
      return;
    }
  } else {
    FWaitSeenAt = -1;
  }
  if (FChaosEndedByQuit) return;  // the end is the application's
  std::string why;
  const TRest rest = Settled(frame, why);
  if (rest == TRest::Working) {
    FStable = 0;
    FLeftOverTicks = 0;
    FLastWhy = why;
    return;
  }
  if (rest == TRest::LeftOver) {
    // Given time to go by itself (a wait dialog is answered above); then it
    // is what the checks report.
    FStable = 0;
    FLastWhy = why;
    if (++FLeftOverTicks < 2 * 1500 / kFinishTickMs) return;
  }
  if (rest == TRest::AtRest && ++FStable < 5) return;
  if (rest == TRest::AtRest && FPlan.FinalLoad && !FFinalLoadAsked && StartFinalLoad()) {
    FFinalLoadAsked = true;
    FStable = 0;
    return;
  }
  FFinishing = false;
  FFinisher.stop();
  Note("at rest");
  FDog.SetPhase("closing", 10000);
  CheckEnd(false);
  Note("close the main window");
  if (!FRig->Main->close()) Fail("no-close", "the main window refused to close after the load had ended");
  QCoreApplication::quit();
}

void TChaosRun::NoRest(const std::string& why) {
  Fail("no-rest", "HANG: the load did not come to rest within " + std::to_string(kRestLimitMs / 1000) +
                      " s after the chaos stopped (" + why + ")");
  std::fprintf(stderr, "replay: kvz_chaos --seed %u\n", FOpt.Seed);
  std::fputs(Tail(60).c_str(), stderr);
  FDog.Suspend(true);
  PrintGuiStack();
  std::fflush(stderr);
  std::_Exit(1);
}

void TChaosRun::CheckTerminal() {
  TVirtualTerminal& term = *FRig->Terminal;
  std::shared_ptr<TSimHidDevice> dev = term.Device();
  const bool plugged = dev && dev->Plugged();
  if (!FReached || !plugged || FUnpluggedSinceReach || !term.InLoader() || FRig->TerminalHasImage()) return;
  if (!FAskedLeave)
    Fail("left-in-boot", "the terminal stays in its boot program: the program reached it at " +
                             std::to_string(FReachedAt) +
                             " ms and neither loaded the image nor asked the terminal to leave it");
}

void TChaosRun::CheckEnd(bool quitDuringChaos) {
  Note(quitDuringChaos ? "checks after the application quit" : "checks");
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w != FRig->Main.get() && w->isVisible()) Fail("dialog-left", "a window is left open: " + Name(w));
  if (frmWait) Fail("wait-left", "the wait dialog still exists");
  if (frmErrorDlg) Fail("error-left", "the transmission error dialog still exists");
  if (frmPasswordFirmware) Fail("password-left", "the password dialog still exists");
  for (TfrmVMUpgrade* w : UpgradeWindows())
    if (w->FBusy()) Fail("busy-left", "the upgrade window is still busy (FBusy) once everything ended");
  CheckTerminal();
}

int TChaosRun::Run() {
  gQtNote = [this](const std::string& s) { Note(s); };
  Setup();
  QApplication::exec();
  FDog.SetPhase("teardown", 15000);
  FChaos = false;
  FTicker.stop();
  FHeart.stop();
  FFinisher.stop();
  if (FQuitRequested && FChaosEndedByQuit) CheckEnd(true);
  JoinThreads();
  SetMessagePresenter(FPrevPresenter);
  FBoxes.OnShow = nullptr;
  FBoxes.OnAnswer = nullptr;
  if (TCommonDlg* dlg = MainCommonDlg()) dlg->OnFrame = nullptr;
  FRig.reset();
  FOther.reset();
  TCommonDlg::TimeoutPercent = 100;
  TfrmVMUpgrade::Pauses() = TUpgradePauses();
  gQtNote = nullptr;
  Note("stats: " + std::to_string(FActions) + " actions, " + std::to_string(FLoads) + " loads started, " +
       std::to_string(FReaches) + " boot programs reached, " + std::to_string(FSuccesses) + " successes, " +
       std::to_string(FBoxCount) + " boxes");
  if (!FFailures.empty()) {
    std::fprintf(stderr, "replay: kvz_chaos --seed %u\n", FOpt.Seed);
    return 1;
  }
  return 0;
}

}  // namespace

int RunChaosSeed(const TChaosOptions& options) {
  InitGuiStackPrinting();
  TChaosRun run(options);
  return run.Run();
}

void InstallChaosMessageHandler() { qInstallMessageHandler(QtMessages); }
