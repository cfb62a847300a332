// A person at the workstation: the one way the demo's tours and the tests
// drive the program. Keys go to the window in front, clicks to whatever lies
// where the pointer is, close boxes close, the main window is minimised and
// restored, the terminal and another USB device are plugged and unplugged,
// and the boxes and dialogs the program shows are answered the way a
// technician answers them. Every act runs from the event loop (timers), so
// that it lands inside the program's nested loops as a person's would.
//
// The person knows the program only by what it shows (TProgramView) and by
// the boxes of its message presenter, which the person is while it lives:
// each box is recorded, then shown for real.
#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ProgramView.h"
#include "U_QtShell.h"

class QAbstractButton;
class TSimHidBus;
class TSimHidDevice;
class TVirtualTerminal;

// Runs the event loop until `condition` holds or `timeoutMs` passed; true
// when it holds.
bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 10000);

class TPerson : public QObject, public IMessagePresenter {
 public:
  // What the program showed: a box of the message presenter, or the
  // password dialog.
  struct TShown {
    bool Password = false;
    TMessage Msg;
  };

  // How the person answers what comes up in front, once it has been up for
  // a few turns of its loop and at least DelayMs.
  struct THabits {
    bool Answer = true;
    int DelayMs = 0;
    // Answers for the next boxes and error dialogs, in order; then Decide,
    // else OK. OK is Return, Annuler Escape, Réessayer a click on it.
    std::deque<TMsgResult> Script;
    std::function<TMsgResult(const TProgramFront&)> Decide;
    // The password dialog: the field emptied, this typed, then Return; or
    // Escape.
    std::string Password;
    bool CancelPassword = false;
    // Asked to unplug (or plug back) the terminal, the person does so
    // before pressing OK, and waits until the program has seen it.
    bool UnplugWhenAsked = true;
    bool ReplugWhenAsked = true;
    // What is in front is left alone while this holds.
    std::function<bool(const TProgramFront&)> Hold;
  };

  TPerson(std::shared_ptr<TSimHidBus> bus = nullptr, std::shared_ptr<TVirtualTerminal> terminal = nullptr);
  ~TPerson() override;

  THabits Habits;
  void SetTerminal(std::shared_ptr<TVirtualTerminal> terminal) { FTerminal = std::move(terminal); }

  // ---- What the program showed, in order.
  const std::vector<TShown>& Shown() const { return FShown; }
  void ClearShown() { FShown.clear(); }
  std::function<void(const TShown&)> OnShown;
  // The message of the box in front, when it is one of the presenter's.
  const TMessage* FrontMessage() const;
  // What is in front now, as the person sees it: noted when it is new (the
  // password dialog, a box of the presenter).
  TProgramFront Record();
  TMsgResult Present(const TMessage& msg) override;

  // ---- Hands.
  // A key to the focus of `window` (default: the window in front).
  void Key(int key, Qt::KeyboardModifiers mods = Qt::NoModifier, QWidget* window = nullptr);
  // Letters and digits, key by key, to the focus of the window in front.
  void Type(const QString& text);
  // The password dialog's field: clicked into, emptied, `text` typed.
  void Fill(const QString& text);
  // A click where the button lies on screen: it reaches whatever lies on top
  // there, and nothing while a modal box holds the other windows.
  void Click(QAbstractButton* button);
  void Click(TProgramButton button);
  // The box in front answered: OK, Annuler, or a click on "Réessayer".
  void Answer(TMsgResult answer);
  void CloseFront();
  bool CloseMain();  // false: the close was refused
  void Minimise();
  void Restore();
  // The windows a person can reach now: the modal box alone while one is
  // up, else every window shown and not minimised.
  std::vector<QWidget*> Reachable() const;

  // ---- The terminal and another USB device ("Clavier USB").
  void Plug();
  void Unplug();
  void PlugOther();
  void UnplugOther();
  bool OtherPlugged() const;
  // Runs `act` on a thread of its own after `delayMs`: a device comes or
  // goes whenever the system says so.
  void Elsewhere(int delayMs, std::function<void()> act);

  // ---- Timed acts.
  // Runs `act` once, from the event loop, as soon as `condition` holds;
  // gives up after `timeoutMs`.
  void When(std::function<bool()> condition, std::function<void()> act, int timeoutMs = 20000);

  // ---- Notes: one line per act; the last ones, for a failure report.
  void Note(const std::string& line);
  std::string LastNotes(size_t n) const;
  bool Verbose = false;  // every note on standard error as it is made

 private:
  void Look();
  void Act(QPointer<QWidget> front);
  void Send(QWidget* target, int key, Qt::KeyboardModifiers mods);

  std::shared_ptr<TSimHidBus> FBus;
  std::shared_ptr<TVirtualTerminal> FTerminal;
  mutable std::mutex FOtherMutex;  // the other device comes and goes from any thread
  std::shared_ptr<TSimHidDevice> FOther;
  IMessagePresenter* FPrevious;
  TQtMessagePresenter FReal;
  std::vector<TShown> FShown;
  std::vector<std::pair<QPointer<QWidget>, TMessage>> FUp;  // the presenter's boxes up, innermost last
  QTimer FEyes;
  QPointer<QWidget> FFront;     // in front at the last look
  int FFrontTurns = 0;          // looks it has been in front
  qint64 FFrontSince = 0;       // ms
  bool FFrontDone = false;      // answered (or being answered)
  QPointer<QWidget> FPassword;  // the password dialog recorded last
  mutable std::mutex FNotesMutex;
  std::deque<std::string> FNotes;
  std::mutex FThreadsMutex;
  std::vector<std::thread> FThreads;
};
