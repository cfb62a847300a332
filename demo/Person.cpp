#include "Person.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QKeyEvent>
#include <QMouseEvent>
#include <chrono>
#include <cstdio>

#include "SimHidBus.h"
#include "VirtualTerminal.h"

namespace {

qint64 NowMs() {
  static QElapsedTimer clock = [] {
    QElapsedTimer c;
    c.start();
    return c;
  }();
  return clock.elapsed();
}

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

std::string KeyName(int key) {
  switch (key) {
    case Qt::Key_Tab: return "Tab";
    case Qt::Key_Backtab: return "Shift+Tab";
    case Qt::Key_Space: return "Space";
    case Qt::Key_Return: return "Return";
    case Qt::Key_Enter: return "Enter";
    case Qt::Key_Escape: return "Escape";
    case Qt::Key_Backspace: return "Backspace";
    default:
      if (key > 0x20 && key < 0x7F) return std::string("'") + static_cast<char>(key) + "'";
      return "key " + std::to_string(key);
  }
}

// The text a key types.
QString KeyText(int key) {
  switch (key) {
    case Qt::Key_Return:
    case Qt::Key_Enter: return QStringLiteral("\r");
    case Qt::Key_Tab: return QStringLiteral("\t");
    case Qt::Key_Backspace: return QStringLiteral("\b");
    case Qt::Key_Escape: return QStringLiteral("\x1b");
    default: return key >= 0x20 && key < 0x7F ? QString(QChar(key)) : QString();
  }
}

const char* AnswerName(TMsgResult r) {
  switch (r) {
    case TMsgResult::Ok: return "OK";
    case TMsgResult::Cancel: return "Annuler";
    case TMsgResult::Retry: return "Réessayer";
  }
  return "?";
}

}  // namespace

bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
  const qint64 end = NowMs() + timeoutMs;
  while (!condition()) {
    if (NowMs() > end) return false;
    // Asleep in the event loop until something happens, 2 ms at most.
    QEventLoop loop;
    QTimer::singleShot(2, &loop, &QEventLoop::quit);
    loop.exec();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  return true;
}

TPerson::TPerson(std::shared_ptr<TSimHidBus> bus, std::shared_ptr<TVirtualTerminal> terminal)
    : FBus(std::move(bus)), FTerminal(std::move(terminal)), FPrevious(SetMessagePresenter(this)) {
  FEyes.setInterval(10);
  connect(&FEyes, &QTimer::timeout, this, [this] { Look(); });
  FEyes.start();
}

TPerson::~TPerson() {
  FEyes.stop();
  SetMessagePresenter(FPrevious);
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(FThreadsMutex);
    threads.swap(FThreads);
  }
  for (std::thread& t : threads) t.join();
}

const TMessage* TPerson::FrontMessage() const {
  const QWidget* front = TProgramView::Get().Front().Window;
  for (const auto& up : FUp)
    if (up.first && up.first == front) return &up.second;
  return nullptr;
}

TMsgResult TPerson::Present(const TMessage& msg) {
  FShown.push_back({false, msg});
  FUp.emplace_back(nullptr, msg);
  Note(std::string("box shown (") + MsgKindName(msg.Kind) + (msg.RetryVisible ? ", Réessayer" : "") +
       "): \"" + msg.Text + "\"");
  if (OnShown) OnShown(FShown.back());
  const TMsgResult r = FReal.Present(msg);
  FUp.pop_back();
  Note(std::string("box closed: ") + AnswerName(r));
  return r;
}

TProgramFront TPerson::Record() {
  const TProgramFront f = TProgramView::Get().Front();
  if (f.Kind == TProgramFront::PasswordDialog && f.Window != FPassword) {
    FPassword = f.Window;
    FShown.push_back({true, {}});
    Note("password dialog shown");
    if (OnShown) OnShown(FShown.back());
  }
  if ((f.Kind == TProgramFront::MessageBox || f.Kind == TProgramFront::ErrorDialog) && !FUp.empty() &&
      !FUp.back().first) {
    bool taken = false;
    for (const auto& up : FUp) taken = taken || up.first == f.Window;
    if (!taken) FUp.back().first = f.Window;
  }
  return f;
}

void TPerson::Look() {
  const TProgramFront f = Record();
  if (f.Kind == TProgramFront::None || f.Kind == TProgramFront::WaitDialog) {
    FFront = nullptr;
    return;
  }
  if (f.Window != FFront) {
    FFront = f.Window;
    FFrontTurns = 0;
    FFrontSince = NowMs();
    FFrontDone = false;
  }
  ++FFrontTurns;
  if (FFrontDone) {
    // Still there long after it was answered: the answer did not reach it.
    if (NowMs() - FFrontSince > 3000) {
      FFrontSince = NowMs();
      FFrontDone = false;
    }
    return;
  }
  if (!Habits.Answer || (Habits.Hold && Habits.Hold(f))) return;
  if (FFrontTurns < 3 || NowMs() - FFrontSince < Habits.DelayMs) return;
  FFrontDone = true;
  FFrontSince = NowMs();
  // From a call of its own: an answer that runs a nested loop (a password
  // being checked) leaves the person free to answer what comes up meanwhile.
  QTimer::singleShot(0, this, [this, w = QPointer<QWidget>(f.Window)] { Act(w); });
}

void TPerson::Act(QPointer<QWidget> w) {
  TProgramView& view = TProgramView::Get();
  TProgramFront f = view.Front();
  if (!w || f.Window != w) return;
  if (f.Kind == TProgramFront::PasswordDialog) {
    if (Habits.CancelPassword || (Habits.Decide && Habits.Decide(f) == TMsgResult::Cancel)) {
      Key(Qt::Key_Escape);
      return;
    }
    Fill(QString::fromStdString(Habits.Password));
    Key(Qt::Key_Return);
    return;
  }
  if (const TMessage* m = FrontMessage(); m && FTerminal) {
    const bool plugged = FTerminal->Device() && FTerminal->Device()->Plugged();
    if (m->Key == "_DeconnectUSB" && Habits.UnplugWhenAsked && plugged) {
      Unplug();
      WaitFor([&view] { return view.ShowsTerminal(false); }, 5000);
    } else if (m->Key == "_ReconnectUSB" && Habits.ReplugWhenAsked && !plugged) {
      Plug();
      WaitFor([&view] { return view.ShowsTerminal(true); }, 5000);
    }
    if (!w || view.Front().Window != w) return;
    f = view.Front();
  }
  TMsgResult r = TMsgResult::Ok;
  if (!Habits.Script.empty()) {
    r = Habits.Script.front();
    Habits.Script.pop_front();
  } else if (Habits.Decide) {
    r = Habits.Decide(f);
  }
  Answer(r);
}

void TPerson::Answer(TMsgResult answer) {
  const TProgramFront f = TProgramView::Get().Front();
  if (!f.Window) return;
  Note(std::string("answer ") + AnswerName(answer) + " to " + Name(f.Window));
  if (answer == TMsgResult::Retry && f.RetryOffered) return Click(TProgramButton::FrontRetry);
  Key(answer == TMsgResult::Ok ? Qt::Key_Return : Qt::Key_Escape);
}

void TPerson::Send(QWidget* target, int key, Qt::KeyboardModifiers mods) {
  const QString text = KeyText(key);
  const int code = key >= 'a' && key <= 'z' ? key - 'a' + 'A' : key;
  QPointer<QWidget> t(target);
  QKeyEvent press(QEvent::KeyPress, code, mods, text);
  QCoreApplication::sendEvent(target, &press);
  if (!t) return;
  QKeyEvent release(QEvent::KeyRelease, code, mods, text);
  QCoreApplication::sendEvent(t, &release);
}

void TPerson::Key(int key, Qt::KeyboardModifiers mods, QWidget* window) {
  Record();  // what is in front, as the person sees it before acting
  if (!window) window = TProgramView::Get().Front().Window;
  if (!window) window = TProgramView::Get().MainWindow();
  if (!window) return;
  QWidget* target = window->focusWidget();
  if (!target || !target->isVisible()) target = window;
  Note("key " + KeyName(key) + " to " + Name(target) + " in " + Name(window));
  Send(target, key, mods);
}

void TPerson::Type(const QString& text) {
  Record();
  Note("type \"" + text.toStdString() + "\"");
  QWidget* window = TProgramView::Get().Front().Window;
  if (!window) window = TProgramView::Get().MainWindow();
  for (QChar c : text) {
    QWidget* target = window ? window->focusWidget() : nullptr;
    if (!target) return;
    int key = Qt::Key_unknown;
    if (c.isDigit() && c.unicode() < 128) key = Qt::Key_0 + (c.unicode() - '0');
    if (c.unicode() < 128 && c.isLetter()) key = Qt::Key_A + (c.toUpper().unicode() - 'A');
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, QString(c));
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, QString(c));
    QCoreApplication::sendEvent(target, &press);
    QCoreApplication::sendEvent(target, &release);
  }
}

void TPerson::Fill(const QString& text) {
  const TProgramFront f = Record();
  if (!f.Field) return;
  f.Field->setFocus(Qt::MouseFocusReason);
  Key(Qt::Key_End);
  for (int n = static_cast<int>(f.Text.size()); n > 0; --n) Key(Qt::Key_Backspace);
  Type(text);
}

void TPerson::Click(QAbstractButton* button) {
  Record();
  if (!button) return;
  QWidget* window = button->window();
  const QPoint at = button->mapTo(window, button->rect().center());
  Note("click " + Name(button) + " in " + Name(window));
  // The window system gives a click to the window under the pointer; none
  // while a modal box blocks it.
  if (QWidget* modal = QApplication::activeModalWidget(); modal && modal != window) return;
  if (!window->isVisible() || window->isMinimized()) return;
  QWidget* target = window->childAt(at);
  if (!target) target = window;
  const QPointF local = target->mapFrom(window, at);
  const QPointF global = target->mapToGlobal(local);
  QPointer<QWidget> t(target);
  QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(target, &press);
  if (!t) return;
  QMouseEvent release(QEvent::MouseButtonRelease, local, global, Qt::LeftButton, Qt::NoButton,
                      Qt::NoModifier);
  QCoreApplication::sendEvent(t, &release);
}

void TPerson::Click(TProgramButton button) { Click(TProgramView::Get().Button(button)); }

void TPerson::CloseFront() {
  Record();
  if (QWidget* w = TProgramView::Get().Front().Window) {
    Note("close box of " + Name(w));
    w->close();
  }
}

bool TPerson::CloseMain() {
  Record();
  QWidget* main = TProgramView::Get().MainWindow();
  Note("close box of the main window");
  return main && main->close();
}

void TPerson::Minimise() {
  Record();
  Note("minimise the main window");
  if (QWidget* main = TProgramView::Get().MainWindow()) main->showMinimized();
}

void TPerson::Restore() {
  Note("restore the main window");
  if (QWidget* main = TProgramView::Get().MainWindow()) main->showNormal();
}

std::vector<QWidget*> TPerson::Reachable() const {
  if (QWidget* m = QApplication::activeModalWidget()) return {m};
  std::vector<QWidget*> out;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->isVisible() && !w->isMinimized()) out.push_back(w);
  return out;
}

void TPerson::Plug() {
  Note("plug the terminal");
  if (FTerminal && FBus) FTerminal->Plug(*FBus);
}

void TPerson::Unplug() {
  Note("unplug the terminal");
  if (FTerminal) FTerminal->Unplug();
}

void TPerson::PlugOther() {
  if (!FBus) return;
  Note("plug another USB device");
  std::shared_ptr<TSimHidDevice> other;
  {
    std::lock_guard<std::mutex> lock(FOtherMutex);
    other = FOther;
  }
  // No lock held: the bus may run the program's re-scan, and its nested
  // loops, before it returns.
  if (other) {
    FBus->Replug(other);
    return;
  }
  other = FBus->Plug(TSimHidDeviceConfig::Make(0x046D, 0xC31C, 0x0110, "Clavier USB"));
  std::lock_guard<std::mutex> lock(FOtherMutex);
  if (!FOther) FOther = other;
}

void TPerson::UnplugOther() {
  Note("unplug the other USB device");
  std::shared_ptr<TSimHidDevice> other;
  {
    std::lock_guard<std::mutex> lock(FOtherMutex);
    other = FOther;
  }
  if (FBus && other) FBus->Unplug(other);
}

bool TPerson::OtherPlugged() const {
  std::lock_guard<std::mutex> lock(FOtherMutex);
  return FOther && FOther->Plugged();
}

void TPerson::Elsewhere(int delayMs, std::function<void()> act) {
  std::lock_guard<std::mutex> lock(FThreadsMutex);
  FThreads.emplace_back([delayMs, act = std::move(act)] {
    if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    act();
  });
}

void TPerson::When(std::function<bool()> condition, std::function<void()> act, int timeoutMs) {
  auto* timer = new QTimer(this);
  const qint64 end = NowMs() + timeoutMs;
  timer->setInterval(5);
  connect(timer, &QTimer::timeout, timer,
          [timer, end, condition = std::move(condition), act = std::move(act)] {
            const bool ready = condition();
            if (!ready && NowMs() <= end) return;
            timer->stop();
            timer->deleteLater();
            if (ready) act();
          });
  timer->start();
}

void TPerson::Note(const std::string& line) {
  char head[24];
  std::snprintf(head, sizeof head, "[%6lld ms] ", static_cast<long long>(NowMs()));
  std::string s = head + line;
  if (Verbose) std::fprintf(stderr, "%s\n", s.c_str());
  std::lock_guard<std::mutex> lock(FNotesMutex);
  FNotes.push_back(std::move(s));
  if (FNotes.size() > 400) FNotes.pop_front();
}

std::string TPerson::LastNotes(size_t n) const {
  std::lock_guard<std::mutex> lock(FNotesMutex);
  std::string out;
  for (size_t i = FNotes.size() > n ? FNotes.size() - n : 0; i < FNotes.size(); ++i)
    out += "  " + FNotes[i] + "\n";
  return out;
}
