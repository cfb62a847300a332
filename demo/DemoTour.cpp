#include "DemoTour.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "DemoLink.h"
#include "U_ConstDlg.h"
#include "U_DecodeFileMot.h"
#include "U_Textes.h"

namespace {

long long SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The `layers` drawn over `base`, each in the middle and a little lower
// right than the one beneath, each with a caption strip holding its title
// (the boxes have no frame of their own in a picture).
QPixmap Compose(QWidget* base, const std::vector<QWidget*>& layers) {
  const QPixmap b = base->grab();
  if (layers.empty()) return b;
  const int caption = 22, step = 28;
  const int n = static_cast<int>(layers.size());
  std::vector<QPixmap> shots;
  QSize size = b.size();
  for (int i = 0; i < n; ++i) {
    shots.push_back(layers[i]->grab());
    const QSize need(shots.back().width() + 2 + step * (n - 1),
                     shots.back().height() + caption + 2 + step * (n - 1));
    size = size.expandedTo(need);
  }
  QPixmap out(size);
  out.fill(Qt::white);
  QPainter p(&out);
  p.drawPixmap(0, 0, b);
  for (int i = 0; i < n; ++i) {
    const QPixmap& t = shots[i];
    const int shift = step * i - step * (n - 1) / 2;
    const QPoint at((size.width() - t.width()) / 2 + shift,
                    (size.height() - t.height() - caption) / 2 + shift);
    const QRect frame(at.x() - 1, at.y() - 1, t.width() + 1, t.height() + caption + 1);
    p.fillRect(QRect(at.x(), at.y(), t.width(), caption), QColor(0x2F, 0x5D, 0x9B));
    p.setPen(Qt::white);
    p.drawText(QRect(at.x() + 6, at.y(), t.width() - 12, caption), Qt::AlignVCenter | Qt::AlignLeft,
               layers[i]->windowTitle());
    p.drawPixmap(at.x(), at.y() + caption, t);
    p.setPen(Qt::black);
    p.drawRect(frame);
  }
  return out;
}

QString KindName(TMsgKind kind) {
  switch (kind) {
    case TMsgKind::Plain: return QStringLiteral("boîte simple");
    case TMsgKind::Information: return QStringLiteral("information");
    case TMsgKind::Warning: return QStringLiteral("avertissement");
    case TMsgKind::TransmissionError: return QStringLiteral("erreur de transmission");
    case TMsgKind::Error: return QStringLiteral("erreur");
  }
  return QString();
}

QString OneLine(const std::string& text) {
  QString s = QString::fromStdString(text);
  s.replace(QRegularExpression(QStringLiteral("[\\r\\n]+")), QStringLiteral(" / "));
  return s;
}

QString Describe(const TShownBox& b) {
  if (b.Password) return QStringLiteral("dialogue « Saisie mot de passe »");
  QString s = KindName(b.Msg.Kind);
  if (b.Msg.Kind == TMsgKind::TransmissionError && b.Msg.RetryVisible) s += QStringLiteral(" avec Réessayer");
  return s + QStringLiteral(" « %1 »").arg(OneLine(b.Msg.Text));
}

bool StartsWith(const std::string& text, const std::string& head) {
  return !head.empty() && text.compare(0, head.size(), head) == 0;
}

}  // namespace

QString ProgramShowsText() {
  const TProgramFront f = TProgramView::Get().Front();
  if (f.Kind == TProgramFront::None) return QString();
  if (f.Kind != TProgramFront::MessageBox && f.Kind != TProgramFront::ErrorDialog)
    return QStringLiteral("« %1 »").arg(f.Title);
  QString text = f.Text;
  return QStringLiteral("« %1 » %2")
      .arg(f.Title, text.replace(QRegularExpression(QStringLiteral("[\\r\\n]+")), QStringLiteral(" ")));
}

// ---------------------------------------------------------------------------

TBoxMatch TBoxMatch::Key(TMsgKind kind, const char* key) {
  const std::string k = key;
  return {KindName(kind) + QStringLiteral(" « %1 »").arg(OneLine(GetTexte(k))),
          [kind, k](const TShownBox& b) { return !b.Password && b.Msg.Kind == kind && b.Msg.Key == k; }};
}

TBoxMatch TBoxMatch::Starting(TMsgKind kind, const char* key) {
  const std::string k = key;
  return {KindName(kind) + QStringLiteral(" « %1… »").arg(OneLine(GetTexte(k))),
          [kind, k](const TShownBox& b) {
            return !b.Password && b.Msg.Kind == kind && StartsWith(b.Msg.Text, GetTexte(k));
          }};
}

TBoxMatch TBoxMatch::Status(int status, bool retryVisible) {
  return {KindName(TMsgKind::TransmissionError) +
              (retryVisible ? QStringLiteral(" avec Réessayer") : QString()) +
              QStringLiteral(" « %1 »").arg(OneLine(StatusText(status))),
          [status, retryVisible](const TShownBox& b) {
            return !b.Password && b.Msg.Kind == TMsgKind::TransmissionError &&
                   b.Msg.RetryVisible == retryVisible && StartsWith(b.Msg.Text, StatusText(status));
          }};
}

TBoxMatch TBoxMatch::PasswordDialog() {
  return {QStringLiteral("dialogue « Saisie mot de passe »"), [](const TShownBox& b) { return b.Password; }};
}

// ---------------------------------------------------------------------------

TDemoTour::TDemoTour(const QString& dir, const QString& scenario, std::shared_ptr<TVirtualTerminal> terminal,
                     int limitSeconds, bool fast)
    : FDir(dir), FScenario(scenario), FTerminal(std::move(terminal)), FFast(fast) {
  FClock.start();
  QDir().mkpath(FDir);
  // The hard limit: whatever happens, the process ends.
  std::thread([watch = FWatch, limitSeconds] {
    const long long end = SteadyMs() + 1000LL * limitSeconds;
    while (!watch->Done) {
      const long long forced = watch->ForcedExitAt;
      if (SteadyMs() >= end || (forced && SteadyMs() >= forced)) {
        if (!forced) std::fprintf(stderr, "Tour interrompu : délai de %d s dépassé.\n", limitSeconds);
        std::fflush(stderr);
        std::fflush(stdout);
        std::_Exit(forced ? 1 : 124);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }).detach();
  // The identity of the application is on screen when the boot program
  // is asked for: that is the moment of the second picture.
  auto previous = FTerminal->OnFrameReceived;
  FTerminal->OnFrameReceived = [this, previous](const TTermBytes& f) {
    if (previous) previous(f);
    if (TVirtualTerminal::CommandOf(f) == TTermCommand::EnterLoader && !FIdentityPosted.exchange(true))
      QMetaObject::invokeMethod(
          this,
          [this] {
            if (TProgramView::Get().UpgradeWindow() && FMain)
              Save(QStringLiteral("02-identite-terminal"), FMain);
          },
          Qt::QueuedConnection);
  };
  FPerson.Habits.Answer = false;  // the road's steps answer
  FPerson.OnShown = [](const TShownBox& b) {
    if (!b.Password) std::fprintf(stderr, "Message : %s\n", b.Msg.Text.c_str());
  };
  // Well into the transfer, once.
  connect(&TProgramView::Get(), &TProgramView::ProgressSet, this, [this](int v) {
    if (FTransferShot || v < 40 || v >= 100 || !FMain) return;
    FTransferShot = true;
    Save(QStringLiteral("03-transfert"), FMain);
  });
}

TDemoTour::~TDemoTour() { FWatch->Done = true; }

qint64 TDemoTour::Now() const { return FClock.elapsed(); }

void TDemoTour::SetControl(TControlServer* control) {
  FControl = control;
  if (control) connect(control, &TControlServer::ReplyReceived, this, &TDemoTour::ControlReply);
}

void TDemoTour::Start(QWidget* mainWindow) {
  FMain = mainWindow;
  QTimer::singleShot(0, this, [this] { Save(QStringLiteral("01-fenetre-principale"), FMain); });
  auto* poll = new QTimer(this);
  poll->setInterval(50);
  connect(poll, &QTimer::timeout, this, &TDemoTour::Poll);
  poll->start();
}

// ---- Boxes.

TDemoTour::TFrontWindow* TDemoTour::Top() {
  const TProgramFront f = FPerson.Record();
  FFronts.erase(std::remove_if(FFronts.begin(), FFronts.end(),
                               [](const TFrontWindow& w) { return !w.Window || !w.Window->isVisible(); }),
                FFronts.end());
  if (f.Window) {
    bool known = false;
    for (const TFrontWindow& w : FFronts) known = known || w.Window == f.Window;
    if (!known) {
      TFrontWindow w;
      w.Window = f.Window;
      w.IsBox = f.Kind != TProgramFront::WaitDialog;
      w.Box.Password = f.Kind == TProgramFront::PasswordDialog;
      if (const TMessage* m = FPerson.FrontMessage()) w.Box.Msg = *m;
      w.Since = Now();
      FFronts.push_back(w);
    }
  }
  for (auto it = FFronts.rbegin(); it != FFronts.rend(); ++it)
    if (it->IsBox && it->Window == f.Window) return &*it;
  return nullptr;
}

void TDemoTour::HandleStray() {
  TFrontWindow* t = Top();
  if (!t || t->Claimed) return;
  if (Now() - t->Since < AnswerDelayMs() + (FFast ? 800 : 1500)) return;
  // A box the next box step waits for is not a stray: the steps before it
  // are still running.
  for (size_t i = FStep; i < FSteps.size(); ++i)
    if (FSteps[i].Box) {
      if (FSteps[i].Box->Matches(t->Box)) return;
      break;
    }
  t->Claimed = true;
  ++FStray;
  const QString name = QStringLiteral("inattendu-%1").arg(FStray, 2, 10, QLatin1Char('0'));
  Save(name, FMain, Layers());
  Save(name + QStringLiteral("-boite"), t->Window);
  FFailures << QStringLiteral("Boîte inattendue : %1").arg(Describe(t->Box));
  std::fprintf(stderr, "%s\n", qPrintable(FFailures.last()));
  // Answered so that the road can end: a password dialog is cancelled, any
  // other box gets its default button.
  Click(t->Box.Password ? TProgramButton::FrontCancel : TProgramButton::FrontOk);
}

void TDemoTour::Click(TProgramButton button) {
  QTimer::singleShot(0, this, [this, button] { FPerson.Click(button); });
}

// ---- Steps.

void TDemoTour::AddStep(const QString& what, std::function<bool()> ready, std::function<void()> act) {
  TStep s;
  s.What = what;
  s.Ready = std::move(ready);
  s.Act = std::move(act);
  FSteps.push_back(std::move(s));
}

void TDemoTour::ExpectBox(const TBoxMatch& box, const QString& picture) {
  FMatches.push_back(std::make_unique<TBoxMatch>(box));
  const TBoxMatch* m = FMatches.back().get();
  AddStep(
      QStringLiteral("attendre : %1").arg(box.What),
      [this, m] {
        TFrontWindow* t = Top();
        return t && !t->Claimed && m->Matches(t->Box) && Now() - t->Since >= AnswerDelayMs();
      },
      [this, picture] {
        TFrontWindow* t = Top();
        t->Claimed = true;
        if (picture.isEmpty()) return;
        Save(picture, FMain, Layers());
        Save(picture + QStringLiteral("-boite"), t->Window);
      });
  FSteps.back().Box = m;
}

void TDemoTour::Answer(TAnswer answer) {
  static const char* const kNames[] = {"bouton par défaut", "OK", "Annuler", "Réessayer"};
  const QString what = QStringLiteral("répondre %1").arg(QLatin1String(kNames[static_cast<int>(answer)]));
  AddStep(
      what,
      [this] {
        TFrontWindow* t = Top();
        return t && t->Claimed;
      },
      [this, answer, what] {
        const TProgramButton b = answer == TAnswer::Cancel  ? TProgramButton::FrontCancel
                                 : answer == TAnswer::Retry ? TProgramButton::FrontRetry
                                                            : TProgramButton::FrontOk;
        if (!TProgramView::Get().Button(b)) {
          Fail(QStringLiteral("Étape « %1 » : la boîte « %2 » n'a pas ce bouton.")
                   .arg(what, TProgramView::Get().Front().Title));
          return;
        }
        Click(b);
      });
}

void TDemoTour::TypePassword(const QString& text) {
  AddStep(
      QStringLiteral("taper le mot de passe « %1 »").arg(text),
      [this] {
        TFrontWindow* t = Top();
        return t && t->Box.Password && QApplication::activeModalWidget() == t->Window;
      },
      [this, text] { FPerson.Fill(text); });
}

void TDemoTour::PressOnControl(const QString& buttonName, const QString& what) {
  auto id = std::make_shared<int>(0);
  AddStep(
      QStringLiteral("terminal virtuel : %1").arg(what),
      [this] { return FControl && FControl->ClientConnected(); },
      [this, id, buttonName] {
        *id = FNextRequest++;
        FControl->Post(QJsonObject{{QStringLiteral("op"), QStringLiteral("presser")},
                                   {QStringLiteral("bouton"), buttonName},
                                   {QStringLiteral("id"), *id}});
      });
  AddStep(
      QStringLiteral("réponse du terminal virtuel : %1").arg(what),
      [this, id] { return Reply(*id) != nullptr; },
      [this, id, what] {
        const QJsonObject* r = Reply(*id);
        if (r && !r->value(QStringLiteral("ok")).toBool())
          Fail(QStringLiteral("Le terminal virtuel n'a pas pu %1 : %2")
                   .arg(what, r->value(QStringLiteral("texte")).toString()));
      });
}

void TDemoTour::CaptureControl(const QString& picture) {
  auto id = std::make_shared<int>(0);
  const QString file = QDir(FDir).absoluteFilePath(picture + QStringLiteral(".png"));
  AddStep(
      QStringLiteral("capture du terminal virtuel"),
      [this] { return FControl && FControl->ClientConnected(); },
      [this, id, file] {
        *id = FNextRequest++;
        // The control window shows what the program shows at this moment.
        FControl->SetProgramShows(ProgramShowsText());
        FControl->Post(QJsonObject{{QStringLiteral("op"), QStringLiteral("capture")},
                                   {QStringLiteral("fichier"), file},
                                   {QStringLiteral("id"), *id}});
      });
  AddStep(
      QStringLiteral("capture du terminal virtuel enregistrée"), [this, id] { return Reply(*id) != nullptr; },
      [this, id, file] {
        const QJsonObject* r = Reply(*id);
        if (r && !r->value(QStringLiteral("ok")).toBool())
          Fail(QStringLiteral("Capture du terminal virtuel impossible : %1").arg(file));
      });
}

void TDemoTour::ShotWithControl(const QString& picture) {
  const QString control = picture + QStringLiteral("-terminal-virtuel");
  CaptureControl(control);
  Do(QStringLiteral("capture des deux fenêtres"), [this, picture, control] {
    const QPixmap left = Compose(FMain, Layers());
    const QPixmap right(QDir(FDir).filePath(control + QStringLiteral(".png")));
    const int gap = 12;
    QPixmap out(left.width() + gap + right.width(), std::max(left.height(), right.height()));
    out.fill(QColor(0x55, 0x5B, 0x66));
    QPainter p(&out);
    p.drawPixmap(0, 0, left);
    p.drawPixmap(left.width() + gap, 0, right);
    p.end();
    const QString path = QDir(FDir).filePath(picture + QStringLiteral(".png"));
    if (!out.save(path, "PNG")) std::fprintf(stderr, "Capture impossible : %s\n", qPrintable(path));
  });
}

void TDemoTour::Shot(const QString& picture) {
  Do(QStringLiteral("capture %1").arg(picture), [this, picture] { Save(picture, FMain); });
}

void TDemoTour::ShotBoxes(const QString& picture) {
  Do(QStringLiteral("capture %1").arg(picture), [this, picture] { Save(picture, FMain, Layers()); });
}

void TDemoTour::WaitUntil(const QString& what, std::function<bool()> condition) {
  AddStep(what, std::move(condition), nullptr);
}

void TDemoTour::Do(const QString& what, std::function<void()> action) {
  AddStep(
      what, [] { return true; }, std::move(action));
}

void TDemoTour::ClickLoad() {
  AddStep(
      QStringLiteral("appuyer sur « Charger »"), [] { return Idle(); },
      [this] { Click(TProgramButton::Charger); });
}

void TDemoTour::ExpectLog(std::vector<TBoxMatch> boxes) { FExpectedLog = std::move(boxes); }

void TDemoTour::Check(const QString& what, std::function<bool()> condition) {
  FChecks.emplace_back(what, std::move(condition));
}

// ---- Conditions.

QString TDemoTour::UnknownText() { return QTexte("_Unknown"); }

bool TDemoTour::PasswordDialogUp() {
  return TProgramView::Get().Front().Kind == TProgramFront::PasswordDialog;
}

QString TDemoTour::PasswordText() {
  return PasswordDialogUp() ? TProgramView::Get().Front().Text : QString();
}

// ---- The run.

std::vector<QWidget*> TDemoTour::Layers() const {
  std::vector<QWidget*> out;
  for (const TFrontWindow& w : FFronts)
    if (w.Window && w.Window->isVisible()) out.push_back(w.Window);
  return out;
}

void TDemoTour::Save(const QString& name, QWidget* widget, const std::vector<QWidget*>& layers) {
  if (!widget) return;
  const QPixmap pix = Compose(widget, layers);
  const QString path = QDir(FDir).filePath(name + QStringLiteral(".png"));
  if (!pix.save(path, "PNG")) std::fprintf(stderr, "Capture impossible : %s\n", qPrintable(path));
}

void TDemoTour::ControlReply(const QJsonObject& reply) { FReplies.push_back(reply); }

const QJsonObject* TDemoTour::Reply(int id) const {
  for (const QJsonObject& r : FReplies)
    if (r.value(QStringLiteral("id")).toInt() == id) return &r;
  return nullptr;
}

void TDemoTour::Poll() {
  if (FFinished || !FMain || FInPoll) return;
  FInPoll = true;
  HandleStray();
  if (FStep < FSteps.size()) {
    const TStep& s = FSteps[FStep];
    if (FStepSince < 0) FStepSince = Now();
    // After a stray box the road has left its course: no long wait.
    const int limit = FStray ? 5000 : FFast ? 30000 : 60000;
    if (s.Ready()) {
      const std::function<void()> act = s.Act;
      ++FStep;
      FStepSince = -1;
      if (act) act();
    } else if (Now() - FStepSince > limit) {
      Fail(QStringLiteral("Étape %1, « %2 » : toujours en attente après %3 s.")
               .arg(FStep + 1)
               .arg(s.What)
               .arg(limit / 1000));
    }
  } else {
    Finish();
  }
  FInPoll = false;
}

void TDemoTour::Fail(const QString& reason) {
  if (FFinished) return;
  FFinished = true;
  FFailures << reason;
  Save(QStringLiteral("echec"), FMain, Layers());
  End(1, QStringLiteral("Tour « %1 » échoué :\n  %2").arg(FScenario, FFailures.join(QStringLiteral("\n  "))));
  // Boxes may be up: every loop ends.
  QCoreApplication::exit(1);
}

void TDemoTour::Finish() {
  if (FFinished) return;
  FFinished = true;
  QStringList problems = FFailures;
  const std::vector<TShownBox>& log = Log();
  bool logOk = log.size() == FExpectedLog.size();
  for (size_t i = 0; logOk && i < log.size(); ++i) logOk = FExpectedLog[i].Matches(log[i]);
  if (!logOk) {
    QStringList expected;
    for (const TBoxMatch& m : FExpectedLog) expected << m.What;
    problems << QStringLiteral("Boîtes attendues, dans l'ordre :\n    %1")
                    .arg(expected.isEmpty() ? QStringLiteral("aucune")
                                            : expected.join(QStringLiteral("\n    ")));
  }
  for (const auto& [what, condition] : FChecks)
    if (!condition()) problems << QStringLiteral("Non vérifié : %1").arg(what);
  QStringList shown;
  for (const TShownBox& b : log) shown << Describe(b);
  QString report =
      QStringLiteral("Tour « %1 » %2.\nBoîtes montrées :\n    %3")
          .arg(FScenario, problems.isEmpty() ? QStringLiteral("réussi") : QStringLiteral("échoué"),
               shown.isEmpty() ? QStringLiteral("aucune") : shown.join(QStringLiteral("\n    ")));
  if (problems.isEmpty()) {
    QStringList checked;
    for (const auto& c : FChecks) checked << c.first;
    if (!checked.isEmpty())
      report += QStringLiteral("\nVérifié :\n    %1").arg(checked.join(QStringLiteral("\n    ")));
  } else {
    report += QStringLiteral("\n%1").arg(problems.join(QStringLiteral("\n")));
  }
  End(problems.isEmpty() ? 0 : 1, report);
  // The demo ends as a user ends it; the watchdog ends it when that fails.
  if (FQuitThroughControl && FControl) {
    FControl->Post(QJsonObject{{QStringLiteral("op"), QStringLiteral("fermer")}, {QStringLiteral("id"), 0}});
  } else {
    Click(TProgramButton::Quit);
  }
}

void TDemoTour::End(int code, const QString& report) {
  const QString text = report + QStringLiteral("\nCaptures d'écran : %1\n").arg(QDir(FDir).absolutePath());
  std::fprintf(stderr, "%s", text.toUtf8().constData());
  std::fflush(stderr);
  QFile f(QDir(FDir).filePath(QStringLiteral("resultat.txt")));
  if (f.open(QIODevice::WriteOnly | QIODevice::Truncate)) f.write(text.toUtf8());
  f.close();
  FExitCode = code;
  // Should the demo not end, the process ends anyway.
  FWatch->ForcedExitAt = SteadyMs() + 15000;
}

bool TDemoTour::TerminalHasFile(const TVirtualTerminal& terminal, const TObjFileMot& file) {
  if (!terminal.ImageComplete() || file.Blocks.Count() == 0) return false;
  const auto blocks = terminal.Blocks();
  for (int i = 0; i < file.Blocks.Count(); ++i) {
    const TDatasToSend& b = file.Blocks.GetItem(i);
    if (b.IsEndBlock()) continue;
    const auto it = blocks.find(b.BlockNumber);
    if (it == blocks.end()) return false;
    if (it->second != TTermBytes(b.Buffer.begin(), b.Buffer.begin() + b.DataLength)) return false;
  }
  return true;
}
