// What a person does with the keyboard and the mouse at every state of a
// load: Tab, Space, Enter and Escape in the window in front, the close box of
// the main window and of the window in front, minimising and restoring the
// main window, clicks where the main window's covered buttons lie, and clicks
// on "Précédant", "Charger" and "Quitter". The event comes once the state is
// reached; then the person lets the load end (Return in the boxes, the right
// password, unplug and replug when asked), and the load must have ended as
// the event wants: not busy, no box or dialog left, one upgrade window at
// most, the terminal loaded or asked to leave its boot program, and the main
// window closes.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <tuple>

#include "F_CommonDlg.h"
#include "F_Main.h"
#include "F_VMUpgrade.h"
#include "LoadRig.h"
#include "U_ConstDlg.h"
#include "U_QtShell.h"

namespace {

const char* kPassword = "Secret42";
constexpr int kRefusedBlock = 1;       // the block refused in the leaving states
constexpr int kFlashError = 18;        // its status
constexpr int kStateWithinMs = 15000;  // the state comes within this time

// Where the load stands when the person acts.
#define KVZ_STATES(X)                                                                   \
  X(Identity)      /* the first identity exchange of the load is under way */           \
  X(BootRequest)   /* the wait dialog is up, the boot program does not answer yet */    \
  X(Password)      /* the password dialog is up */                                      \
  X(PasswordCheck) /* the password dialog is up, the password typed is being checked */ \
  X(Comparison)    /* the older-version warning is up */                                \
  X(Transfer)      /* a block exchange is under way */                                  \
  X(Prompts)       /* the "DECONNECTER ..." box is up (USB version 1) */                \
  X(ReplugPrompt)  /* the terminal unplugged, the "RECONNECTER ..." box is up */        \
  X(LeaveRequest)  /* after a refused block: the LeaveLoader exchange is under way */   \
  X(LeaveRetry)    /* after a refused block: LeaveLoader unanswered, its Retry box is up */
// clang-format off
#define KVZ_EVENTS(X)                                                                          \
  X(None) X(Tab) X(Space) X(Enter) X(Escape)                                                   \
  X(TabWalk)         /* Tab then Space, eight times (states without a modal window) */         \
  X(CloseMain)       /* the main window's close box */                                         \
  X(CloseFront)      /* the close box of the window in front (the upgrade window when none) */ \
  X(MinimiseRestore) /* the main window minimised, then restored from the task bar */          \
  X(ClickCovered)    /* clicks where the main window's hidden buttons lie */                   \
  X(ClickBack) X(ClickLoad) X(ClickQuit)
// clang-format on
#define KVZ_ENUM(name) name,
#define KVZ_NAME(name) #name,
enum class TState { KVZ_STATES(KVZ_ENUM) };
enum class TEvent { KVZ_EVENTS(KVZ_ENUM) };
const char* const kStateNames[] = {KVZ_STATES(KVZ_NAME)};
const char* const kEventNames[] = {KVZ_EVENTS(KVZ_NAME)};

// How the load ended.
enum class TOutcome {
  Loaded,     // every block sent, success shown
  Cancelled,  // given up before the boot program was reached; identity reset
  Left,       // failed or given up in the boot program, which the terminal left
  GaveUp,     // leaving the boot program was asked but given up unconfirmed
};

struct TExpected {
  TOutcome Outcome = TOutcome::Loaded;
  std::vector<std::string> Keys;  // what was shown, in order (TLoadRig::Keys)
  int Passwords = 0;              // password frames sent
};

// What the load must come to. Undisturbed, each state ends as a person who
// answers with Return (and types the password, unplugs and replugs when
// asked) lets it end; the events below change that, the others must not.
TExpected ExpectOne(TState s, TEvent e) {
  const std::string flash = StatusText(kFlashError), noAnswer = StatusText(-1);
  TExpected x;
  switch (s) {
    case TState::Password:
    case TState::PasswordCheck: x = {TOutcome::Loaded, {"password", kOk}, 1}; break;
    case TState::Comparison: x.Keys = {"warning", kOk}; break;
    case TState::Prompts:
    case TState::ReplugPrompt: x.Keys = {kUnplug, kReplug, kOk}; break;
    case TState::LeaveRequest: x = {TOutcome::Left, {flash}, 0}; break;
    // Return on the Retry box is its default button, "Annuler": given up,
    // the terminal stays in its boot program (it was asked to leave it).
    case TState::LeaveRetry: x = {TOutcome::GaveUp, {flash, noAnswer}, 0}; break;
    default: x.Keys = {kOk}; break;
  }
  const bool answers =
      e == TEvent::Space || e == TEvent::Enter || e == TEvent::Escape || e == TEvent::CloseFront;
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
      if (e == TEvent::Enter) x = {TOutcome::Loaded, {"password", StatusText(kStatusBadPassword), kOk}, 2};
      // Escape and the close box are Annuler: given up before the boot
      // program.
      if (e == TEvent::Escape || e == TEvent::CloseFront) x = {TOutcome::Cancelled, {"password"}, 0};
      break;
    case TState::Comparison:
      // Escape and the close box are Cancel; Tab takes the focus to
      // "Annuler", which the person's Return then presses. Space and Enter
      // press OK, which has the focus.
      if (e == TEvent::Tab || e == TEvent::Escape || e == TEvent::CloseFront)
        x = {TOutcome::Left, {"warning"}, 0};
      break;
    // The box has OK only: the keys and its close box answer it before the
    // terminal was unplugged (plugged back), and it is asked once more.
    case TState::Prompts:
      if (answers) x.Keys = {kUnplug, kUnplug, kReplug, kOk};
      break;
    case TState::ReplugPrompt:
      if (answers) x.Keys = {kUnplug, kReplug, kReplug, kOk};
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

bool BoxWith(const TProgramFront& f, const QString& text) {
  return f.Kind == TProgramFront::MessageBox && f.Text.contains(text);
}

// The window a state holds up: the person leaves it alone until the event
// has come.
bool HeldByState(TState s, const TProgramFront& f) {
  switch (s) {
    case TState::Password: return f.Kind == TProgramFront::PasswordDialog;
    case TState::Comparison: return BoxWith(f, QTexte("_OldVersion1"));
    case TState::Prompts: return BoxWith(f, QStringLiteral("DECONNECTER"));
    case TState::ReplugPrompt: return BoxWith(f, QStringLiteral("RECONNECTER"));
    case TState::LeaveRetry: return f.Kind == TProgramFront::ErrorDialog && f.RetryOffered;
    default: return false;
  }
}

bool IsLoadState(TState s, const TLoadRig& rig) {
  // A modal box or dialog has come up and taken the keyboard, as a person
  // sees it before acting.
  if (QWidget* modal = QApplication::activeModalWidget(); modal && !modal->isActiveWindow()) return false;
  const TProgramFront f = rig.View.Front();
  const bool busy = rig.Dialogue()->Busy;
  const TVirtualTerminal& t = *rig.Terminal;
  switch (s) {
    case TState::Identity: return t.CommandCount(TTermCommand::Identity) >= 1 && busy;
    case TState::BootRequest:
      return f.Kind == TProgramFront::WaitDialog && t.CommandCount(TTermCommand::EnterLoader) >= 2;
    case TState::PasswordCheck:
      return f.Kind == TProgramFront::PasswordDialog && t.CommandCount(TTermCommand::Password) >= 1 && busy;
    case TState::Transfer: return t.CommandCount(TTermCommand::Block) >= 2 && busy;
    case TState::LeaveRequest: return t.CommandCount(TTermCommand::LeaveLoader) >= 1 && busy;
    default: return HeldByState(s, f);
  }
}

// What the event left right after it.
struct TEventRecord {
  bool Done = false;
  bool UpgradeWindowStayed = true;  // the same upgrade window right after
  bool MainStayed = true;           // the main window still shown right after
  bool FrontStayed = true;          // the box or dialog in front still shown right after
  bool CloseRefused = true;         // a close of the main or upgrade window was refused
  bool LoadButtonDisabled = true;   // "Charger" was disabled when clicked
  bool FrontIsMain = false;
  std::string Focus;  // object name of the focus of the window in front
};

void Perform(TEvent e, TLoadRig& rig, TEventRecord& r) {
  TPerson& person = *rig.Person;
  QWidget* w = rig.View.UpgradeWindow();
  QPointer<QWidget> front = rig.View.Front().Window;
  r.FrontIsMain = !front;
  if (front && front->focusWidget()) r.Focus = front->focusWidget()->objectName().toStdString();
  switch (e) {
    case TEvent::None: break;
    case TEvent::Tab: person.Key(Qt::Key_Tab); break;
    case TEvent::Space: person.Key(Qt::Key_Space); break;
    case TEvent::Enter: person.Key(Qt::Key_Return); break;
    case TEvent::Escape: person.Key(Qt::Key_Escape); break;
    case TEvent::TabWalk:
      // Through every button the keyboard reaches; the main window's covered
      // ones must not be among them.
      for (int i = 0; i < 8; ++i) {
        person.Key(Qt::Key_Tab);
        person.Key(Qt::Key_Space);
      }
      break;
    case TEvent::CloseMain: r.CloseRefused = !person.CloseMain(); break;
    case TEvent::CloseFront:
      if (front)
        person.CloseFront();
      else
        r.CloseRefused = !w->close();
      break;
    case TEvent::MinimiseRestore:
      person.Minimise();
      QApplication::processEvents();
      person.Restore();
      QApplication::processEvents();
      break;
    case TEvent::ClickCovered:
      person.Click(TProgramButton::Load);
      person.Click(TProgramButton::Driver);
      break;
    case TEvent::ClickBack: person.Click(TProgramButton::Back); break;
    case TEvent::ClickLoad:
      r.LoadButtonDisabled = !rig.View.Button(TProgramButton::Charger)->isEnabled();
      person.Click(TProgramButton::Charger);
      break;
    case TEvent::ClickQuit: person.Click(TProgramButton::Quit); break;
  }
  r.FrontStayed = !front || front->isVisible();
  r.UpgradeWindowStayed = rig.View.UpgradeWindow() == w;
  r.MainStayed = rig.Main->isVisible();
  r.Done = true;
}

class PeopleEvents : public testing::TestWithParam<std::tuple<TState, TEvent>> {};

TEST_P(PeopleEvents, LoadEndsAsTheEventWants) {
  const TState state = std::get<0>(GetParam());
  const TEvent event = std::get<1>(GetParam());
  // The ends the load may come to: one, or two where the event leaves the
  // choice open. The password dialog closed while the terminal checks the
  // password it has just been sent: the terminal's acceptance may count (the
  // load goes on) or the close (given up before the boot program).
  std::vector<TExpected> alternatives{ExpectOne(state, event)};
  if (state == TState::PasswordCheck && (event == TEvent::Escape || event == TEvent::CloseFront))
    alternatives.push_back({TOutcome::Cancelled, {"password"}, 1});

  TLoadRig rig;                                             // fv0100 of 15/06/2009, four pages: five blocks
  TVirtualTerminalConfig cfg = TLoadRig::TerminalConfig();  // fv0099 of 14/06/2009, USB 4
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
  TEventRecord record;
  rig.Person->Habits.Password = kPassword;
  rig.Person->Habits.Hold = [&](const TProgramFront& f) { return !record.Done && HeldByState(state, f); };
  // Plugged in before start: the upgrade window opens at once and starts
  // its load 100 ms after it shows, from the event loop.
  rig.Start(cfg);
  ASSERT_NE(rig.Upgrade(), nullptr);
  if (state == TState::BootRequest)
    rig.Terminal->AddFault(TTermCommand::EnterLoader, {TTermFaultKind::NoAnswer, 0, true});
  if (state == TState::LeaveRequest || state == TState::LeaveRetry)
    rig.Terminal->AddBlockFault(kRefusedBlock, {TTermFaultKind::Status, kFlashError, false});
  if (state == TState::LeaveRetry)
    rig.Terminal->AddFault(TTermCommand::LeaveLoader, {TTermFaultKind::NoAnswer, 0, true});

  // Sampled all along the load: the upgrade windows, and "Charger" enabled
  // while the window works (a second load could be started).
  size_t most = 0;
  bool loadEnabledWhileBusy = false;
  auto sample = [&] {
    most = std::max<size_t>(most, rig.Main->findChildren<TfrmVMUpgrade*>().size());
    if (TfrmVMUpgrade* w = rig.Upgrade(); w && w->FBusy() && w->btnLoad->isEnabled())
      loadEnabledWhileBusy = true;
  };
  QTimer sampler;
  QObject::connect(&sampler, &QTimer::timeout, sample);
  sampler.start(5);

  rig.Person->When([&] { return IsLoadState(state, rig); },
                   [&] {
                     sample();
                     Perform(event, rig, record);
                     sample();
                     // The terminal no longer holds the state.
                     rig.Terminal->ClearFaults();
                     for (TTermCommand c : {TTermCommand::Identity, TTermCommand::Password,
                                            TTermCommand::Block, TTermCommand::LeaveLoader})
                       rig.Terminal->SetCommandLatencyMs(c, 0);
                   },
                   kStateWithinMs);
  ASSERT_TRUE(WaitFor([&] { return record.Done; }, kStateWithinMs + 1000)) << "the state was never reached";
  ASSERT_TRUE(rig.WaitLoadEnd()) << "the load did not end; in front: "
                                 << rig.View.Front().Title.toStdString();
  // Then nothing more: once no exchange is under way and no load is armed
  // to start, no frame reaches the terminal and no message comes.
  const size_t framesAtEnd = rig.Terminal->FramesReceived().size();
  const size_t shownAtEnd = rig.Boxes().size();
  ASSERT_TRUE(rig.AtRest());
  EXPECT_EQ(rig.Terminal->FramesReceived().size(), framesAtEnd)
      << "the terminal was addressed after the load";
  EXPECT_EQ(rig.Boxes().size(), shownAtEnd) << "a message came after the load";
  sampler.stop();

  // Right after the event.
  EXPECT_TRUE(record.UpgradeWindowStayed) << "the upgrade window went away during the load";
  EXPECT_TRUE(record.MainStayed) << "the main window closed during the load";
  if (event == TEvent::CloseMain || (event == TEvent::CloseFront && record.FrontIsMain)) {
    EXPECT_TRUE(record.CloseRefused) << "a close was accepted while busy";
  }
  // Events aimed elsewhere leave the box or dialog in front up, for the
  // person to answer (restored with the main window after a minimise).
  if (event == TEvent::Tab || event == TEvent::CloseMain || event == TEvent::MinimiseRestore ||
      event == TEvent::ClickCovered || event == TEvent::ClickBack || event == TEvent::ClickLoad ||
      event == TEvent::ClickQuit) {
    EXPECT_TRUE(record.FrontStayed) << "the window in front went away";
  }
  EXPECT_TRUE(record.LoadButtonDisabled) << "Charger enabled during the load";
  // The Retry box opens with the focus on its first button, as its tab
  // order says: a key then acts on a button, not on the text field.
  if (state == TState::LeaveRetry && event == TEvent::Space) {
    EXPECT_EQ(record.Focus, "bbtnRetry");
  }

  // The end: one window, not busy, nothing left on screen.
  EXPECT_LE(most, 1u) << "a second upgrade window was opened";
  EXPECT_FALSE(loadEnabledWhileBusy) << "Charger was enabled while the load ran";
  ASSERT_NE(rig.Upgrade(), nullptr) << "the upgrade window was closed";
  EXPECT_FALSE(rig.View.Working());
  EXPECT_EQ(rig.View.Front().Window, nullptr) << "a box or dialog was left";
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr) << "the hour-glass was left";
  for (QWidget* tl : QApplication::topLevelWidgets()) {
    if (tl != rig.Main.get() && tl->isVisible())
      ADD_FAILURE() << "a window is left on screen: " << tl->windowTitle().toStdString();
  }

  // The outcome: the expected end that matches what the terminal tells, or
  // the first one (whose checks then say what differs).
  const TVirtualTerminal& t = *rig.Terminal;
  const TOutcome seen = rig.Shown(kOk) || t.ImageComplete() ? TOutcome::Loaded
                        : t.LoaderEntries() == 0            ? TOutcome::Cancelled
                        : t.InLoader()                      ? TOutcome::GaveUp
                                                            : TOutcome::Left;
  TExpected want = alternatives.front();
  for (const TExpected& a : alternatives)
    if (a.Outcome == seen) want = a;
  const bool plugged = rig.Dialogue()->IsConnected();
  const TProgramIdentity id = rig.View.Identity();
  EXPECT_EQ(rig.Keys(), want.Keys);
  EXPECT_EQ(t.CommandCount(TTermCommand::Password), want.Passwords);
  const bool loaded = want.Outcome == TOutcome::Loaded, cancelled = want.Outcome == TOutcome::Cancelled;
  EXPECT_EQ(t.LoaderEntries(), cancelled ? 0 : 1);
  EXPECT_EQ(t.InLoader(), want.Outcome == TOutcome::GaveUp);
  EXPECT_EQ(t.CommandCount(TTermCommand::LeaveLoader) >= 1, !loaded && !cancelled)
      << "the boot program asked to end, or not";
  if (cancelled) {
    EXPECT_EQ(t.CommandCount(TTermCommand::Block), 0);
  }
  if (loaded) {
    EXPECT_TRUE(rig.TerminalHasImage());
    // The gauge went through the five blocks once: 0, then 0, 20, 40, 60,
    // 80 after each, 100, and 0 after the success message.
    EXPECT_EQ(rig.Gauge, (std::vector<int>{0, 0, 20, 40, 60, 80, 100, 0}));
    // The identity after the load is the new application's.
    EXPECT_EQ((QStringList{id.Name, id.Version, id.Date, id.FrameVersion, id.UsbVersion}),
              (QStringList{"Terminal de prog.", "fv0100", "15/06/2009", "2",
                           QString::number(t.Config().UsbVersion)}));
    EXPECT_TRUE(rig.View.Idle());
    EXPECT_EQ(t.CommandCount(TTermCommand::Block), kBlocks) << "the load ran again or not to its end";
    EXPECT_TRUE(plugged);
  } else {
    EXPECT_FALSE(t.ImageComplete());
    EXPECT_GE(t.CommandCount(TTermCommand::Close), 1) << "the identity was not reset";
    EXPECT_TRUE(IdentityUnknown(id));
  }

  // Idle again: the main window closes.
  EXPECT_TRUE(rig.Person->CloseMain()) << "the main window refuses to close after the load";
  EXPECT_FALSE(rig.Main->isVisible());
}

std::string EventCaseName(const testing::TestParamInfo<std::tuple<TState, TEvent>>& info) {
  return std::string(kStateNames[static_cast<int>(std::get<0>(info.param))]) + "_" +
         kEventNames[static_cast<int>(std::get<1>(info.param))];
}

// Every event at every state; the walk through the buttons where no modal
// window holds the keyboard (in a box it would press its buttons in turn).
std::vector<std::tuple<TState, TEvent>> Cases() {
  std::vector<std::tuple<TState, TEvent>> cases;
  for (int s = 0; s <= static_cast<int>(TState::LeaveRetry); ++s) {
    const TState state = static_cast<TState>(s);
    const bool modal = state != TState::Identity && state != TState::BootRequest &&
                       state != TState::Transfer && state != TState::LeaveRequest;
    for (int e = 0; e <= static_cast<int>(TEvent::ClickQuit); ++e)
      if (!(modal && static_cast<TEvent>(e) == TEvent::TabWalk))
        cases.emplace_back(state, static_cast<TEvent>(e));
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(EveryStateEveryEvent, PeopleEvents, testing::ValuesIn(Cases()), EventCaseName);

}  // namespace
