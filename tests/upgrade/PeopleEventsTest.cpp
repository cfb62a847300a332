// What a person does with the keyboard and the mouse at every state of a
// load: Tab, Space, Enter and Escape in the window in front, the close box of
// the main window and of the window in front, minimising and restoring the
// main window, clicks where the main window's covered buttons lie, and clicks
// on "Précédant", "Charger" and "Quitter". Real boxes and dialogs (their
// nested loops run); the event comes from a timer once the state is reached.
// Then the person lets the load end (Return in the boxes, the right
// password, unplug and replug when asked), and the load must have ended as
// the event wants: not busy, no box or dialog left, one upgrade window at
// most, the terminal loaded or asked to leave its boot program, and the main
// window closes. A watchdog turns a freeze into a failure.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <chrono>
#include <string>
#include <tuple>
#include <vector>

#include "F_CommonDlg.h"
#include "F_ErrorDlg.h"
#include "F_Main.h"
#include "F_PasswordFirmware.h"
#include "F_VMUpgrade.h"
#include "F_Wait.h"
#include "ModalDriver.h"
#include "U_ConstDlg.h"
#include "U_QtShell.h"
#include "U_Textes.h"
#include "UpgradeRig.h"
#include "Watchdog.h"

namespace {

const char* kOk = "_LoadVelmoraOk";
const char* kUnplug = "_DeconnectUSB";
const char* kReplug = "_ReconnectUSB";
const char* kWarning = "warning";  // the label of a warning box in Labels()
const char* kPassword = "Secret42";
constexpr int kBlocks = 5;             // four pages and the end block
constexpr int kRefusedBlock = 1;       // the block refused in the leaving states
constexpr int kFlashError = 18;        // its status
constexpr int kStateWithinMs = 15000;  // the state comes within this time

// Where the load stands when the person acts.
enum class TState {
  Identity,       // the first identity exchange of the load is under way
  BootRequest,    // the wait dialog is up, the boot program does not answer yet
  Password,       // the password dialog is up
  PasswordCheck,  // the password dialog is up, the password typed is being checked
  Comparison,     // the older-version warning is up
  Transfer,       // a block exchange is under way
  Prompts,        // the "DECONNECTER ..." box is up (USB version 1)
  ReplugPrompt,   // the terminal unplugged, the "RECONNECTER ..." box is up
  LeaveRequest,   // after a refused block: the LeaveLoader exchange is under way
  LeaveRetry,     // after a refused block: LeaveLoader went unanswered, its Retry box is up
};

enum class TEvent {
  None,  // the control: nothing
  Tab,   // keys go to the focus of the window in front
  Space,
  Enter,
  Escape,
  TabWalk,          // Tab then Space, eight times (states without a modal window)
  CloseMain,        // the main window's close box
  CloseFront,       // the close box of the window in front (the upgrade window when none)
  MinimiseRestore,  // the main window minimised, then restored from the task bar
  ClickCovered,     // clicks where the main window's hidden buttons lie
  ClickBack,        // "Précédant"
  ClickLoad,        // "Charger" (disabled during a load)
  ClickQuit,        // "Quitter"
};

// How the load ended.
enum class TOutcome {
  Loaded,     // every block sent, success shown
  Cancelled,  // given up before the boot program was reached; identity reset
  Left,       // failed or given up in the boot program, which the terminal left
  GaveUp,     // leaving the boot program was asked but given up unconfirmed
};

const char* StateName(TState s) {
  switch (s) {
    case TState::Identity: return "Identity";
    case TState::BootRequest: return "BootRequest";
    case TState::Password: return "Password";
    case TState::PasswordCheck: return "PasswordCheck";
    case TState::Comparison: return "Comparison";
    case TState::Transfer: return "Transfer";
    case TState::Prompts: return "Prompts";
    case TState::ReplugPrompt: return "ReplugPrompt";
    case TState::LeaveRequest: return "LeaveRequest";
    case TState::LeaveRetry: return "LeaveRetry";
  }
  return "?";
}

const char* EventName(TEvent e) {
  switch (e) {
    case TEvent::None: return "None";
    case TEvent::Tab: return "Tab";
    case TEvent::Space: return "Space";
    case TEvent::Enter: return "Enter";
    case TEvent::Escape: return "Escape";
    case TEvent::TabWalk: return "TabWalk";
    case TEvent::CloseMain: return "CloseMain";
    case TEvent::CloseFront: return "CloseFront";
    case TEvent::MinimiseRestore: return "MinimiseRestore";
    case TEvent::ClickCovered: return "ClickCovered";
    case TEvent::ClickBack: return "ClickBack";
    case TEvent::ClickLoad: return "ClickLoad";
    case TEvent::ClickQuit: return "ClickQuit";
  }
  return "?";
}

const char* OutcomeName(TOutcome o) {
  switch (o) {
    case TOutcome::Loaded: return "loaded";
    case TOutcome::Cancelled: return "cancelled before the boot program";
    case TOutcome::Left: return "boot program left";
    case TOutcome::GaveUp: return "leaving given up";
  }
  return "?";
}

struct TExpected {
  TOutcome Outcome = TOutcome::Loaded;
  std::vector<std::string> Labels;  // the messages shown, in order (Labels())
  int Passwords = 0;                // password frames sent
};

// What the load must come to. Undisturbed, each state ends as a person who
// answers with Return (and types the password, unplugs and replugs when
// asked) lets it end; the events below change that, the others must not.
TExpected ExpectOne(TState s, TEvent e) {
  const std::string flash = StatusText(kFlashError), noAnswer = StatusText(-1);
  TExpected x;
  switch (s) {
    case TState::Identity:
    case TState::BootRequest:
    case TState::Transfer: x.Labels = {kOk}; break;
    case TState::Password:
    case TState::PasswordCheck:
      x.Labels = {kOk};
      x.Passwords = 1;
      break;
    case TState::Comparison: x.Labels = {kWarning, kOk}; break;
    case TState::Prompts:
    case TState::ReplugPrompt: x.Labels = {kUnplug, kReplug, kOk}; break;
    case TState::LeaveRequest: x = {TOutcome::Left, {flash}, 0}; break;
    // Return on the Retry box is its default button, "Annuler": given up,
    // the terminal stays in its boot program (it was asked to leave it).
    case TState::LeaveRetry: x = {TOutcome::GaveUp, {flash, noAnswer}, 0}; break;
  }
  switch (s) {
    case TState::BootRequest:
      // The wait dialog is in front, its one button "Annuler" has the focus:
      // Space presses it; Escape and its close box cancel as well. It is no
      // default button: Enter does nothing.
      if (e == TEvent::Space || e == TEvent::TabWalk || e == TEvent::Escape || e == TEvent::CloseFront)
        x = {TOutcome::Cancelled, {}, 0};
      break;
    case TState::Password:
      // Enter is OK with the field still empty: refused, said, tried again.
      if (e == TEvent::Enter) {
        x.Labels = {StatusText(kStatusBadPassword), kOk};
        x.Passwords = 2;
      }
      // Escape and the close box are Annuler: given up before the boot
      // program.
      if (e == TEvent::Escape || e == TEvent::CloseFront) x = {TOutcome::Cancelled, {}, 0};
      break;
    case TState::Comparison:
      // Escape and the close box are Cancel; Tab takes the focus to
      // "Annuler", which the person's Return then presses. Space and Enter
      // press OK, which has the focus.
      if (e == TEvent::Tab || e == TEvent::Escape || e == TEvent::CloseFront)
        x = {TOutcome::Left, {kWarning}, 0};
      break;
    case TState::Prompts:
      // The box has OK only: Space, Enter, Escape and its close box answer it
      // before the terminal was unplugged, and it is asked once more.
      if (e == TEvent::Space || e == TEvent::Enter || e == TEvent::Escape || e == TEvent::CloseFront)
        x.Labels = {kUnplug, kUnplug, kReplug, kOk};
      break;
    case TState::ReplugPrompt:
      // The same before the terminal was plugged back.
      if (e == TEvent::Space || e == TEvent::Enter || e == TEvent::Escape || e == TEvent::CloseFront)
        x.Labels = {kUnplug, kReplug, kReplug, kOk};
      break;
    case TState::LeaveRetry:
      // The focus starts on the first button of the dialog's tab order,
      // "Réessayer": Space presses it and the terminal, answering again, is
      // asked once more and leaves its boot program.
      if (e == TEvent::Space) x.Outcome = TOutcome::Left;
      break;
    default: break;
  }
  return x;
}

// The ends the load may come to: one, or two where the event leaves the
// choice open.
std::vector<TExpected> Expect(TState s, TEvent e) {
  std::vector<TExpected> alternatives{ExpectOne(s, e)};
  // The password dialog closed while the terminal checks the password it
  // has just been sent: the terminal's acceptance may count (the load goes
  // on) or the close (given up before the boot program).
  if (s == TState::PasswordCheck && (e == TEvent::Escape || e == TEvent::CloseFront))
    alternatives.push_back({TOutcome::Cancelled, {}, 1});
  return alternatives;
}

// How the load ended, as the terminal tells.
TOutcome Seen(const TUpgradeRig& rig) {
  const TVirtualTerminal& t = *rig.Terminal;
  if (rig.Shown(kOk) || t.ImageComplete()) return TOutcome::Loaded;
  if (t.LoaderEntries() == 0) return TOutcome::Cancelled;
  return t.InLoader() ? TOutcome::GaveUp : TOutcome::Left;
}

// The messages shown, each as its key, "warning" for a warning box, or the
// first line of its text.
std::vector<std::string> Labels(const TUpgradeRig& rig) {
  std::vector<std::string> out;
  for (const TMessage& m : rig.Presenter.Shown) {
    if (!m.Key.empty())
      out.push_back(m.Key);
    else if (m.Kind == TMsgKind::Warning)
      out.push_back(kWarning);
    else
      out.push_back(m.Text.substr(0, m.Text.find_first_of("\r\n")));
  }
  return out;
}

std::string Join(const std::vector<std::string>& v) {
  std::string s;
  for (const std::string& t : v) s += (s.empty() ? "" : " | ") + t;
  return "[" + s + "]";
}

int UpgradeWindows(const TUpgradeRig& rig) {
  return static_cast<int>(rig.Main->findChildren<TfrmVMUpgrade*>().size());
}

bool LabelsUnknown(TfrmVMUpgrade* w) {
  return w->lblNameAppli->text() == "<Inconnu>" && w->lblNameVers->text() == "<Inconnu>" &&
         w->lblDateAppli->text() == "<Inconnu>" && w->lblVersTrame->text() == "<Inconnu>";
}

// An object name, or the class name when it has none.
std::string Name(const QWidget* w) {
  return w->objectName().isEmpty() ? w->metaObject()->className() : w->objectName().toStdString();
}

// The window a person has in front: the modal box or dialog, else the wait
// dialog (always on top), else the main window.
QWidget* Front(const TUpgradeRig& rig) {
  if (QWidget* m = TopModal()) return m;
  if (frmWait && frmWait->isVisible()) return frmWait;
  return rig.Main.get();
}

// A key as the keyboard gives it to the window in front: to its focus.
void KeyToFront(const TUpgradeRig& rig, Qt::Key key) {
  QWidget* front = Front(rig);
  QWidget* target = front->focusWidget() ? front->focusWidget() : front;
  QTest::keyClick(target, key);
}

// A mouse click at `pos` of the main window as the window system gives it:
// to the widget that lies there, and to none while a modal window blocks the
// main window. (A click sent to a widget directly would get through.)
void ClickMainAt(const TUpgradeRig& rig, QPoint pos) {
  QWindow* window = rig.Main->windowHandle();
  ASSERT_NE(window, nullptr);
  QTest::mouseClick(window, Qt::LeftButton, {}, pos);
}

// A click in the middle of `w`, a widget of the main window.
void ClickOn(const TUpgradeRig& rig, QWidget* w) {
  ClickMainAt(rig, w->mapTo(rig.Main.get(), w->rect().center()));
}

bool IsLoadState(TState s, const TUpgradeRig& rig) {
  // A modal box or dialog has come up and taken the keyboard, as a person
  // sees it before acting. (Other windows need not be active: keys go to
  // their focus as if the person had clicked them first.)
  if (QWidget* modal = TopModal(); modal && !modal->isActiveWindow()) return false;
  TCommonDlg* dlg = rig.Dialogue();
  const TVirtualTerminal& t = *rig.Terminal;
  switch (s) {
    case TState::Identity: return t.CommandCount(TTermCommand::Identity) >= 1 && dlg->Busy;
    case TState::BootRequest:
      return frmWait && frmWait->isVisible() && t.CommandCount(TTermCommand::EnterLoader) >= 2;
    case TState::Password:
      return frmPasswordFirmware && frmPasswordFirmware->isVisible() && TopModal() == frmPasswordFirmware;
    case TState::PasswordCheck:
      return frmPasswordFirmware && t.CommandCount(TTermCommand::Password) >= 1 && dlg->Busy;
    case TState::Comparison: return IsBoxWith(TopModal(), QTexte("_OldVersion1"));
    case TState::Transfer: return t.CommandCount(TTermCommand::Block) >= 2 && dlg->Busy;
    case TState::Prompts: return IsBoxWith(TopModal(), QStringLiteral("DECONNECTER"));
    case TState::ReplugPrompt: return IsBoxWith(TopModal(), QStringLiteral("RECONNECTER"));
    case TState::LeaveRequest: return t.CommandCount(TTermCommand::LeaveLoader) >= 1 && dlg->Busy;
    case TState::LeaveRetry:
      return frmErrorDlg && TopModal() == frmErrorDlg && frmErrorDlg->bbtnRetry->isVisible();
  }
  return false;
}

// The window a state holds up: the person leaves it alone until the event
// has come.
bool HeldByState(TState s, QWidget* w) {
  switch (s) {
    case TState::Password: return w == frmPasswordFirmware;
    case TState::Comparison: return IsBoxWith(w, QTexte("_OldVersion1"));
    case TState::Prompts: return IsBoxWith(w, QStringLiteral("DECONNECTER"));
    case TState::ReplugPrompt: return IsBoxWith(w, QStringLiteral("RECONNECTER"));
    case TState::LeaveRetry: return w == frmErrorDlg && frmErrorDlg->bbtnRetry->isVisible();
    default: return false;
  }
}

// The person at the workstation: Return in every box (after unplugging or
// replugging the terminal when the box asks for it), the right password
// typed into the password dialog and confirmed with Return; the window that
// holds the state is left alone until the event is over (boxes that come up
// during the event are answered).
class TPerson {
 public:
  TPerson(TUpgradeRig& rig, TState state, const bool& eventDone)
      : FRig(rig), FState(state), FEventDone(eventDone) {
    FTimer.setInterval(20);
    QObject::connect(&FTimer, &QTimer::timeout, [this] { Step(); });
    FTimer.start();
  }
  void Stop() { FTimer.stop(); }

 private:
  // Each answer runs from a timer of its own: one that runs a nested loop
  // (the password's check) leaves the person free to answer the box that
  // comes up meanwhile.
  void Step() {
    QPointer<QWidget> top = TopModal();
    if (!top || (!FEventDone && HeldByState(FState, top))) return;
    if (std::find(FActing.begin(), FActing.end(), top.data()) != FActing.end()) return;
    QWidget* key = top.data();
    FActing.push_back(key);
    QTimer::singleShot(0, &FTimer, [this, top, key] {
      if (top) Answer(top);
      FActing.erase(std::find(FActing.begin(), FActing.end(), key));
    });
  }
  void Answer(QPointer<QWidget> top) {
    TCommonDlg* dlg = FRig.Dialogue();
    if (auto* box = qobject_cast<QMessageBox*>(top.data())) {
      if (box->text().contains(QStringLiteral("DECONNECTER")) && dlg->IsConnected()) {
        FRig.Terminal->Unplug();
        WaitUntil([dlg] { return !dlg->IsConnected(); }, 5000);
      } else if (box->text().contains(QStringLiteral("RECONNECTER")) && !dlg->IsConnected()) {
        FRig.Terminal->Replug();
        WaitUntil([dlg] { return dlg->IsConnected(); }, 5000);
      }
      if (top && top == TopModal()) Return(top);
    } else if (top == frmErrorDlg) {
      Return(top);
    } else if (top == frmPasswordFirmware && !dlg->Busy) {
      QLineEdit* edit = frmPasswordFirmware->edtPassword;
      edit->setFocus();
      edit->clear();
      QTest::keyClicks(edit, QString::fromLatin1(kPassword));
      Return(top);
    }
  }
  static void Return(QWidget* w) {
    QWidget* target = w->focusWidget() ? w->focusWidget() : w;
    QTest::keyClick(target, Qt::Key_Return);
  }

  TUpgradeRig& FRig;
  const TState FState;
  const bool& FEventDone;
  QTimer FTimer;
  std::vector<QWidget*> FActing;  // windows whose answer is under way
};

// What the event left right after it.
struct TEventRecord {
  bool Started = false;  // the event is under way (it may run nested loops)
  bool Done = false;
  bool UpgradeWindowStayed = true;  // the same upgrade window right after
  bool MainStayed = true;           // the main window still shown right after
  bool FrontStayed = true;          // the box or dialog in front still shown right after
  bool CloseRefused = true;         // a close of the main or upgrade window was refused
  bool LoadButtonDisabled = true;   // "Charger" was disabled when clicked
  std::string Front;                // object name of the window in front
  std::string Focus;                // object name of its focus widget
};

void Perform(TEvent e, TUpgradeRig& rig, TEventRecord& r) {
  TfrmVMUpgrade* w = rig.Upgrade();
  QWidget* front = Front(rig);
  r.Front = Name(front);
  QPointer<QWidget> frontWindow(front);
  if (QWidget* f = front->focusWidget()) r.Focus = Name(f);
  switch (e) {
    case TEvent::None: break;
    case TEvent::Tab: KeyToFront(rig, Qt::Key_Tab); break;
    case TEvent::Space: KeyToFront(rig, Qt::Key_Space); break;
    case TEvent::Enter: KeyToFront(rig, Qt::Key_Return); break;
    case TEvent::Escape: KeyToFront(rig, Qt::Key_Escape); break;
    case TEvent::TabWalk:
      // Through every button the keyboard reaches; the main window's covered
      // ones must not be among them.
      for (int i = 0; i < 8; ++i) {
        KeyToFront(rig, Qt::Key_Tab);
        KeyToFront(rig, Qt::Key_Space);
      }
      break;
    case TEvent::CloseMain: r.CloseRefused = !rig.Main->close(); break;
    case TEvent::CloseFront:
      if (front == rig.Main.get())
        r.CloseRefused = !w->close();
      else
        front->close();
      break;
    case TEvent::MinimiseRestore:
      rig.Main->showMinimized();
      QApplication::processEvents();
      rig.Main->showNormal();
      QApplication::processEvents();
      break;
    case TEvent::ClickCovered:
      for (QPushButton* b : {rig.Main->btnLoad, rig.Main->btnPilote}) ClickOn(rig, b);
      break;
    case TEvent::ClickBack: ClickOn(rig, w->btnBack); break;
    case TEvent::ClickLoad:
      r.LoadButtonDisabled = !w->btnLoad->isEnabled();
      ClickOn(rig, w->btnLoad);
      break;
    case TEvent::ClickQuit: ClickOn(rig, rig.Main->btnExit); break;
  }
  r.FrontStayed = frontWindow && frontWindow->isVisible();
  r.UpgradeWindowStayed = frmVMUpgrade == w;
  r.MainStayed = rig.Main->isVisible();
  r.Done = true;
}

class PeopleEvents : public testing::TestWithParam<std::tuple<TState, TEvent>> {
 protected:
  void SetUp() override {
    FPauses = TfrmVMUpgrade::Pauses();
    FTimeoutPercent = TCommonDlg::TimeoutPercent;
    FQuitOnLastWindow = QApplication::quitOnLastWindowClosed();
    TUpgradePauses& p = TfrmVMUpgrade::Pauses();
    p.AfterLastBlockMs = 20;
    p.AfterUnplugPromptMs = 20;
    p.AfterLeaveLoaderMs = 20;
    p.PresenceMs = 20;
    // Time-outs four times as long: the terminal's latencies that hold a
    // state stay well inside them on a loaded machine (the boot request's is
    // 222 ms, the leave request's 444 ms).
    TCommonDlg::TimeoutPercent = 400;
    // The main window is closed at the end of each case; that must not end
    // the event loops of the next one.
    QApplication::setQuitOnLastWindowClosed(false);
  }
  void TearDown() override {
    TfrmVMUpgrade::Pauses() = FPauses;
    TCommonDlg::TimeoutPercent = FTimeoutPercent;
    QApplication::setQuitOnLastWindowClosed(FQuitOnLastWindow);
  }

 private:
  TUpgradePauses FPauses;
  int FTimeoutPercent = 100;
  bool FQuitOnLastWindow = true;
};

TEST_P(PeopleEvents, LoadEndsAsTheEventWants) {
  const TState state = std::get<0>(GetParam());
  const TEvent event = std::get<1>(GetParam());
  const std::vector<TExpected> alternatives = Expect(state, event);
  TWatchdog watchdog(testing::UnitTest::GetInstance()->current_test_info()->name(), std::chrono::seconds(45));

  TUpgradeRig rig;  // fv0100 of 15/06/2009, four pages: five blocks
  TQtMessagePresenter realBoxes;
  rig.Presenter.Forward = &realBoxes;
  TVirtualTerminalConfig cfg = TUpgradeRig::TerminalConfig();  // fv0099 of 14/06/2009, USB 4
  switch (state) {
    case TState::Identity: cfg.CommandLatencyMs[TTermCommand::Identity] = 300; break;
    case TState::Password: cfg.Password = kPassword; break;
    case TState::PasswordCheck:
      cfg.Password = kPassword;
      cfg.CommandLatencyMs[TTermCommand::Password] = 300;
      break;
    case TState::Comparison: cfg.Application.VersionName = "fv0101"; break;
    case TState::Transfer: cfg.CommandLatencyMs[TTermCommand::Block] = 150; break;
    case TState::Prompts:
    case TState::ReplugPrompt:
      cfg.UsbVersion = 1;
      cfg.RestartOnEndBlock = false;
      break;
    case TState::LeaveRequest: cfg.CommandLatencyMs[TTermCommand::LeaveLoader] = 200; break;
    default: break;
  }
  // Plugged in before start: the upgrade window opens at once and starts
  // its load 100 ms after it shows, from the event loop.
  rig.Start(cfg);
  ASSERT_NE(rig.Upgrade(), nullptr);
  switch (state) {
    case TState::BootRequest:
      rig.Terminal->AddFault(TTermCommand::EnterLoader, {TTermFaultKind::NoAnswer, 0, true});
      break;
    case TState::LeaveRequest:
    case TState::LeaveRetry:
      rig.Terminal->AddBlockFault(kRefusedBlock, {TTermFaultKind::Status, kFlashError, false});
      if (state == TState::LeaveRetry)
        rig.Terminal->AddFault(TTermCommand::LeaveLoader, {TTermFaultKind::NoAnswer, 0, true});
      break;
    default: break;
  }

  // Sampled all along the load: the upgrade windows, and "Charger" enabled
  // while the window works (a second load could be started).
  int most = 0;
  bool loadEnabledWhileBusy = false;
  QTimer sampler;
  sampler.setInterval(5);
  QObject::connect(&sampler, &QTimer::timeout, [&] {
    most = std::max(most, UpgradeWindows(rig));
    if (TfrmVMUpgrade* w = rig.Upgrade(); w && w->FBusy() && w->btnLoad->isEnabled())
      loadEnabledWhileBusy = true;
  });
  sampler.start();

  TEventRecord record;
  TPerson person(rig, state, record.Done);
  WhenTrue([&] { return IsLoadState(state, rig); },
           [&] {
             most = std::max(most, UpgradeWindows(rig));
             record.Started = true;
             Perform(event, rig, record);
             most = std::max(most, UpgradeWindows(rig));
             // The terminal no longer holds the state.
             rig.Terminal->ClearFaults();
             for (TTermCommand c : {TTermCommand::Identity, TTermCommand::Password, TTermCommand::Block,
                                    TTermCommand::LeaveLoader})
               rig.Terminal->SetCommandLatencyMs(c, 0);
           },
           kStateWithinMs);
  QElapsedTimer clock;
  clock.start();
  const bool ended = WaitUntil(
      [&] {
        // (The state's watcher has given up by then: nothing refers to this case
        // any more once it returns.)
        if (!record.Started) return clock.elapsed() > kStateWithinMs + 1000;
        TfrmVMUpgrade* w = rig.Upgrade();
        return record.Done && (!w || (w->btnLoad->isEnabled() && !w->FBusy()));
      },
      kStateWithinMs + 20000);
  ASSERT_TRUE(record.Done) << "the state was never reached";
  ASSERT_TRUE(ended) << "the load did not end; in front: " << Name(Front(rig));
  // Then nothing more: no frame to the terminal, no message (a load started
  // again by itself would come within the window's 100 ms start delay).
  const size_t framesAtEnd = rig.Terminal->FramesReceived().size();
  const size_t shownAtEnd = rig.Presenter.Shown.size();
  WaitUntil([] { return false; }, 250);
  const bool modalLeft = TopModal() != nullptr;
  EXPECT_EQ(rig.Terminal->FramesReceived().size(), framesAtEnd)
      << "the terminal was addressed after the load";
  EXPECT_EQ(rig.Presenter.Shown.size(), shownAtEnd) << "a message came after the load";
  person.Stop();
  sampler.stop();

  // Right after the event.
  EXPECT_TRUE(record.UpgradeWindowStayed) << "the upgrade window went away during the load";
  EXPECT_TRUE(record.MainStayed) << "the main window closed during the load";
  if (event == TEvent::CloseMain || (event == TEvent::CloseFront && record.Front == "frmMain")) {
    EXPECT_TRUE(record.CloseRefused) << "a close was accepted while busy";
  }
  // Events aimed elsewhere leave the box or dialog in front up, for the
  // person to answer (restored with the main window after a minimise).
  if (event == TEvent::Tab || event == TEvent::CloseMain || event == TEvent::MinimiseRestore ||
      event == TEvent::ClickCovered || event == TEvent::ClickBack || event == TEvent::ClickLoad ||
      event == TEvent::ClickQuit) {
    EXPECT_TRUE(record.FrontStayed) << record.Front << " went away";
  }
  if (event == TEvent::ClickLoad) {
    EXPECT_TRUE(record.LoadButtonDisabled) << "Charger enabled during the load";
  }

  // The Retry box opens with the focus on its first button, as its tab
  // order says: a key then acts on a button, not on the text field.
  if (state == TState::LeaveRetry && event == TEvent::Space) {
    EXPECT_EQ(record.Focus, "bbtnRetry") << "the Retry box opened with the focus on " << record.Focus;
  }

  // The end: one window, not busy, nothing left on screen.
  EXPECT_LE(most, 1) << "a second upgrade window was opened";
  EXPECT_FALSE(loadEnabledWhileBusy) << "Charger was enabled while the load ran";
  TfrmVMUpgrade* w = rig.Upgrade();
  ASSERT_NE(w, nullptr) << "the upgrade window was closed";
  EXPECT_FALSE(w->FBusy());
  EXPECT_FALSE(modalLeft) << "a box or dialog was left: " << (TopModal() ? Name(TopModal()) : "");
  EXPECT_EQ(frmWait, nullptr);
  EXPECT_EQ(frmPasswordFirmware, nullptr);
  EXPECT_EQ(frmErrorDlg, nullptr);
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr) << "the hour-glass was left";
  for (QWidget* tl : QApplication::topLevelWidgets()) {
    if (tl != rig.Main.get() && tl->isVisible()) ADD_FAILURE() << "a window is left on screen: " << Name(tl);
  }

  // The outcome: the expected end that matches what the terminal tells, or
  // the first one (whose checks then say what differs).
  TExpected want = alternatives.front();
  for (const TExpected& a : alternatives)
    if (a.Outcome == Seen(rig)) want = a;
  const TVirtualTerminal& t = *rig.Terminal;
  const bool plugged = rig.Dialogue()->IsConnected();
  EXPECT_EQ(Labels(rig), want.Labels) << "messages shown " << Join(Labels(rig)) << ", expected "
                                      << Join(want.Labels) << " (" << OutcomeName(want.Outcome) << ")";
  EXPECT_EQ(t.CommandCount(TTermCommand::Password), want.Passwords);
  switch (want.Outcome) {
    case TOutcome::Loaded:
      EXPECT_TRUE(rig.TerminalHasImage());
      // The gauge went through the five blocks once: 0, then 0, 20, 40, 60,
      // 80 after each, 100, and 0 after the success message.
      EXPECT_EQ(rig.Gauge, (std::vector<int>{0, 0, 20, 40, 60, 80, 100, 0}));
      EXPECT_EQ(w->lblNameVers->text(), "fv0100") << "the new identity is not shown";
      EXPECT_EQ(t.CommandCount(TTermCommand::Block), kBlocks) << "the load ran again or not to its end";
      EXPECT_EQ(t.CommandCount(TTermCommand::LeaveLoader), 0);
      EXPECT_EQ(t.LoaderEntries(), 1);
      EXPECT_FALSE(t.InLoader());
      EXPECT_TRUE(plugged);
      break;
    case TOutcome::Cancelled:
      EXPECT_EQ(t.LoaderEntries(), 0);
      EXPECT_EQ(t.CommandCount(TTermCommand::Block), 0);
      EXPECT_EQ(t.CommandCount(TTermCommand::LeaveLoader), 0);
      EXPECT_GE(t.CommandCount(TTermCommand::Close), 1) << "the identity was not reset";
      EXPECT_TRUE(LabelsUnknown(w));
      break;
    case TOutcome::Left:
    case TOutcome::GaveUp:
      EXPECT_FALSE(t.ImageComplete());
      EXPECT_EQ(t.LoaderEntries(), 1);
      EXPECT_GE(t.CommandCount(TTermCommand::LeaveLoader), 1) << "the boot program was not asked to end";
      EXPECT_EQ(t.InLoader(), want.Outcome == TOutcome::GaveUp);
      EXPECT_GE(t.CommandCount(TTermCommand::Close), 1) << "the identity was not reset";
      EXPECT_TRUE(LabelsUnknown(w));
      break;
  }
  // Whatever happened: loaded, or asked to leave the boot program it reached.
  if (!rig.TerminalHasImage() && t.LoaderEntries() > 0 && plugged) {
    EXPECT_GE(t.CommandCount(TTermCommand::LeaveLoader), 1);
  }

  // Idle again: the main window closes.
  EXPECT_TRUE(rig.Main->close()) << "the main window refuses to close after the load";
  EXPECT_FALSE(rig.Main->isVisible());
}

std::string CaseName(const testing::TestParamInfo<std::tuple<TState, TEvent>>& info) {
  return std::string(StateName(std::get<0>(info.param))) + "_" + EventName(std::get<1>(info.param));
}

// Every event at every state; the walk through the buttons where no modal
// window holds the keyboard (in a box it would press its buttons in turn).
std::vector<std::tuple<TState, TEvent>> Cases() {
  std::vector<std::tuple<TState, TEvent>> cases;
  for (TState s :
       {TState::Identity, TState::BootRequest, TState::Password, TState::PasswordCheck, TState::Comparison,
        TState::Transfer, TState::Prompts, TState::ReplugPrompt, TState::LeaveRequest, TState::LeaveRetry}) {
    const bool modal = s != TState::Identity && s != TState::BootRequest && s != TState::Transfer &&
                       s != TState::LeaveRequest;
    for (TEvent e : {TEvent::None, TEvent::Tab, TEvent::Space, TEvent::Enter, TEvent::Escape, TEvent::TabWalk,
                     TEvent::CloseMain, TEvent::CloseFront, TEvent::MinimiseRestore, TEvent::ClickCovered,
                     TEvent::ClickBack, TEvent::ClickLoad, TEvent::ClickQuit}) {
      if (e == TEvent::TabWalk && modal) continue;
      cases.emplace_back(s, e);
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(EveryStateEveryEvent, PeopleEvents, testing::ValuesIn(Cases()), CaseName);

}  // namespace
