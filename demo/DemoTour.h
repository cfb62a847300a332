// The demo's tours: one road of the program walked by itself on the virtual
// terminal, as a technician would walk it, by the person of the tests
// (Person.h), who knows the program only by what it shows (ProgramView.h). A road (DemoScenarios.cpp) is a
// list of steps: wait for a box or a state, answer a box, type into the
// password dialog, press a button of the control window "Terminal virtuel"
// (in its own process, through the control server), take pictures. Every
// box the program shows is recorded; a box no step expects is answered
// with its default button and fails the tour.
//
// The tour writes into its folder a PNG of the windows at each stage (every
// box over the main window, and alone as "...-boite.png"), the protocol
// trace (trace.txt, written by the caller) and its verdict (resultat.txt),
// and ends the message loop with 0 exactly when the road ended as expected.
#pragma once

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "Person.h"
#include "VirtualTerminal.h"

class QWidget;
class TControlServer;
class TObjFileMot;

// The box or dialog the program shows now, in one line, for the control
// window; empty when none.
QString ProgramShowsText();

// A box or dialog the program showed.
using TShownBox = TPerson::TShown;

// Which box a step waits for, with its French description.
struct TBoxMatch {
  QString What;
  std::function<bool(const TShownBox&)> Matches;

  static TBoxMatch Key(TMsgKind kind, const char* key);       // a catalogue message of that kind
  static TBoxMatch Starting(TMsgKind kind, const char* key);  // a text starting with that key's text
  static TBoxMatch Status(int status, bool retryVisible);     // the transmission error dialog of a status
  static TBoxMatch PasswordDialog();
};

class TDemoTour : public QObject {
  Q_OBJECT
 public:
  enum class TAnswer { Default, Ok, Cancel, Retry };

  // `terminal` is not plugged yet: the tour follows its frames from here.
  TDemoTour(const QString& dir, const QString& scenario, std::shared_ptr<TVirtualTerminal> terminal,
            int limitSeconds, bool fast);
  ~TDemoTour() override;

  // The program's message presenter during the tour: the person.
  IMessagePresenter& Presenter() { return FPerson; }
  // The control window's server; none: steps that need it fail.
  void SetControl(TControlServer* control);
  // Starts once the main window is shown; ends the message loop with the
  // verdict.
  void Start(QWidget* mainWindow);

  // Whether the terminal received every block of `file`, byte for byte,
  // and its end block.
  static bool TerminalHasFile(const TVirtualTerminal& terminal, const TObjFileMot& file);

  int AnswerDelayMs() const { return FFast ? 150 : 600; }
  // The verdict: 0 when the road ended as expected. A tour that ends
  // normally then closes the demo as a user would: "Quitter" in the main
  // window, or the control window's close box (EndThroughControlWindow).
  int ExitCode() const { return FExitCode; }
  void EndThroughControlWindow() { FQuitThroughControl = true; }
  const std::vector<TShownBox>& Log() const { return FPerson.Shown(); }
  const TVirtualTerminal& Terminal() const { return *FTerminal; }

  // ---- Steps of a road, in order.
  // Waits until that box is up (for the answer delay), saves its pictures.
  void ExpectBox(const TBoxMatch& box, const QString& picture);
  // Presses a button of the last box taken by ExpectBox that is still up.
  void Answer(TAnswer answer);
  // Replaces the password dialog's text, typing key by key.
  void TypePassword(const QString& text);
  // Asks the control window to press one of its buttons, as a user would,
  // and waits for its answer.
  void PressOnControl(const QString& buttonName, const QString& what);
  // A picture of the control window.
  void CaptureControl(const QString& picture);
  // The main window (with the box that is up) and the control window
  // beside it, in one picture.
  void ShotWithControl(const QString& picture);
  void Shot(const QString& picture);
  // The main window with the wait dialog and the boxes that are up.
  void ShotBoxes(const QString& picture);
  void WaitUntil(const QString& what, std::function<bool()> condition);
  void Do(const QString& what, std::function<void()> action);
  // Presses "Charger" in the upgrade window.
  void ClickLoad();

  // ---- What the road must have shown and left behind.
  void ExpectLog(std::vector<TBoxMatch> boxes);
  void Check(const QString& what, std::function<bool()> condition);

  // ---- Conditions.
  // The program holds the terminal (or holds none) and its buttons say so.
  static bool SeesTerminal(bool present) { return TProgramView::Get().ShowsTerminal(present); }
  // The upgrade window is there, "Charger" is enabled, nothing is busy and
  // no box is up.
  static bool Idle() { return TProgramView::Get().Idle(); }
  // The version name the upgrade window shows; empty without one.
  static QString ShownVersionName() { return TProgramView::Get().Identity().Version; }
  static QString UnknownText();
  static bool PasswordDialogUp();
  // What the password dialog's field holds; empty without the dialog.
  static QString PasswordText();

 private:
  // A window that came up in front: a box, a dialog or the wait dialog.
  struct TFrontWindow {
    QPointer<QWidget> Window;
    TShownBox Box;
    bool IsBox = false;  // not the wait dialog
    qint64 Since = 0;
    bool Claimed = false;
  };
  struct TStep {
    QString What;
    std::function<bool()> Ready;
    std::function<void()> Act;
    const TBoxMatch* Box = nullptr;  // for ExpectBox steps
  };

  void AddStep(const QString& what, std::function<bool()> ready, std::function<void()> act);
  // The box in front, taken into the list the first time it is seen.
  TFrontWindow* Top();
  void HandleStray();
  void Poll();
  void Fail(const QString& reason);
  void Finish();
  void End(int code, const QString& report);
  // What is shown over the main window: the wait dialog, then the boxes.
  std::vector<QWidget*> Layers() const;
  void Save(const QString& name, QWidget* widget, const std::vector<QWidget*>& layers = {});
  // A click from the event loop, not from inside the poll: it may open a
  // modal loop of its own (the password dialog's OK sends the password).
  void Click(TProgramButton button);
  void ControlReply(const QJsonObject& reply);
  // The control window's answer to request `id`; null until it comes.
  const QJsonObject* Reply(int id) const;
  qint64 Now() const;

  QString FDir;
  QString FScenario;
  std::shared_ptr<TVirtualTerminal> FTerminal;
  TPerson FPerson;
  TControlServer* FControl = nullptr;
  QWidget* FMain = nullptr;
  bool FFast;

  std::vector<TStep> FSteps;
  std::vector<std::unique_ptr<TBoxMatch>> FMatches;
  size_t FStep = 0;
  qint64 FStepSince = -1;
  std::vector<TFrontWindow> FFronts;
  std::vector<TBoxMatch> FExpectedLog;
  std::vector<std::pair<QString, std::function<bool()>>> FChecks;
  QStringList FFailures;
  int FStray = 0;
  int FNextRequest = 1;
  std::vector<QJsonObject> FReplies;
  int FExitCode = 1;
  bool FQuitThroughControl = false;
  bool FTransferShot = false;
  bool FFinished = false;
  bool FInPoll = false;
  QElapsedTimer FClock;
  std::atomic<bool> FIdentityPosted{false};
  // Shared with the watchdog thread, which may outlive the tour.
  struct TWatch {
    std::atomic<bool> Done{false};
    std::atomic<long long> ForcedExitAt{0};  // steady-clock ms; 0: none
  };
  std::shared_ptr<TWatch> FWatch = std::make_shared<TWatch>();
};
