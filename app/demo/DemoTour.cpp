#include "DemoTour.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QPointer>
#include <QRegularExpression>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "AppParts.h"
#include "F_VMUpgrade.h"
#include "Gauge.h"
#include "U_DecodeFileMot.h"

namespace {

// `top` drawn in the middle of `base`, with a caption strip holding its
// title (the boxes have no frame of their own in a picture).
QPixmap Compose(QWidget* base, QWidget* top) {
  const QPixmap b = base->grab();
  const QPixmap t = top->grab();
  const int caption = 22;
  const QSize size(std::max(b.width(), t.width() + 2), std::max(b.height(), t.height() + caption + 2));
  QPixmap out(size);
  out.fill(Qt::white);
  QPainter p(&out);
  p.drawPixmap(0, 0, b);
  const QPoint at((size.width() - t.width()) / 2, (size.height() - t.height() - caption) / 2);
  const QRect frame(at.x() - 1, at.y() - 1, t.width() + 1, t.height() + caption + 1);
  p.fillRect(QRect(at.x(), at.y(), t.width(), caption), QColor(0x2F, 0x5D, 0x9B));
  p.setPen(Qt::white);
  p.drawText(QRect(at.x() + 6, at.y(), t.width() - 12, caption), Qt::AlignVCenter | Qt::AlignLeft,
             top->windowTitle());
  p.drawPixmap(at.x(), at.y() + caption, t);
  p.setPen(Qt::black);
  p.drawRect(frame);
  return out;
}

QString SafeName(const std::string& key) {
  QString s = QString::fromStdString(key).remove(QLatin1Char('_'));
  s.remove(QRegularExpression(QStringLiteral("[^A-Za-z0-9]")));
  return s.isEmpty() ? QStringLiteral("texte") : s.left(32);
}

}  // namespace

TMsgResult TTourPresenter::Present(const TMessage& msg) {
  ++FTour.FMessages;
  const QString name = msg.Key == "_LoadVelmoraOk"
                           ? QStringLiteral("04-message-succes")
                           : QStringLiteral("message-%1-%2").arg(FTour.FMessages, 2, 10, QLatin1Char('0')).arg(SafeName(msg.Key));
  QTimer::singleShot(TDemoTour::kAnswerDelayMs, &FTour, [this, name] { FTour.AnswerBoxLater(name, 0); });
  std::fprintf(stderr, "Message : %s\n", msg.Text.c_str());
  return TQtMessagePresenter::Present(msg);
}

TDemoTour::TDemoTour(const QString& dir, std::shared_ptr<TVirtualTerminal> terminal, int limitSeconds)
    : FDir(dir), FTerminal(std::move(terminal)), FPresenter(*this) {
  QDir().mkpath(FDir);
  // The hard limit: whatever happens, the process ends.
  std::thread([this, limitSeconds] {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(limitSeconds);
    while (std::chrono::steady_clock::now() < end) {
      if (FDone) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (FDone) return;
    std::fprintf(stderr, "Tour interrompu : délai de %d s dépassé.\n", limitSeconds);
    std::fflush(stderr);
    std::fflush(stdout);
    std::_Exit(124);
  }).detach();
  // The identity of the application is on screen when the boot program
  // is asked for: that is the moment of the second picture.
  auto previous = FTerminal->OnFrameReceived;
  FTerminal->OnFrameReceived = [this, previous](const TTermBytes& f) {
    if (previous) previous(f);
    if (TVirtualTerminal::CommandOf(f) == TTermCommand::EnterLoader && !FIdentityPosted.exchange(true))
      QMetaObject::invokeMethod(this, [this] {
        if (frmVMUpgrade && FMain) Save(QStringLiteral("02-identite-terminal"), FMain);
      }, Qt::QueuedConnection);
  };
}

TDemoTour::~TDemoTour() { FDone = true; }

void TDemoTour::Start(QWidget* mainWindow, QWidget* controlWindow) {
  FMain = mainWindow;
  QTimer::singleShot(0, this, [this, controlWindow] {
    Save(QStringLiteral("01-fenetre-principale"), FMain);
    if (controlWindow) Save(QStringLiteral("00-terminal-virtuel"), controlWindow);
  });
  HookGauge();
  auto* poll = new QTimer(this);
  poll->setInterval(50);
  connect(poll, &QTimer::timeout, this, &TDemoTour::Poll);
  poll->start();
}

void TDemoTour::Save(const QString& name, QWidget* widget, QWidget* over) {
  const QPixmap pix = over ? Compose(widget, over) : widget->grab();
  const QString path = QDir(FDir).filePath(name + QStringLiteral(".png"));
  if (!pix.save(path, "PNG")) std::fprintf(stderr, "Capture impossible : %s\n", qPrintable(path));
}

void TDemoTour::AnswerBoxLater(const QString& name, int attempt) {
  QWidget* box = QApplication::activeModalWidget();
  if (!box) {
    if (attempt < 50) QTimer::singleShot(100, this, [this, name, attempt] { AnswerBoxLater(name, attempt + 1); });
    return;
  }
  if (FMain) {
    Save(name, FMain, box);
    Save(name + QStringLiteral("-boite"), box);
  }
  QAbstractButton* button = nullptr;
  if (auto* mb = qobject_cast<QMessageBox*>(box)) button = mb->defaultButton();
  if (!button)
    for (QPushButton* b : box->findChildren<QPushButton*>())
      if (b->isDefault() && b->isVisible()) button = b;
  if (button)
    button->click();
  else if (auto* d = qobject_cast<QDialog*>(box))
    d->reject();
  else
    box->close();
}

void TDemoTour::HookGauge() {
  TfrmVMUpgrade* w = frmVMUpgrade;
  if (!w || w == FHooked) return;
  FHooked = w;
  // Well into the transfer, once.
  connect(w->Gauge, &TGauge::ProgressSet, this, [this](int v) {
    if (FTransferShot || v < 40 || v >= 100 || !FMain) return;
    FTransferShot = true;
    Save(QStringLiteral("03-transfert"), FMain);
  });
}

void TDemoTour::Poll() {
  if (FFinished || !FMain) return;
  TfrmVMUpgrade* w = frmVMUpgrade;
  if (!w) return;
  HookGauge();
  const bool idle = w->btnLoad->isEnabled() && !w->FBusy();
  if (idle && (FTerminal->CommandCount(TTermCommand::EnterLoader) > 0 || FMessages > 0)) Finish();
}

void TDemoTour::Finish() {
  FFinished = true;
  Save(QStringLiteral("05-identite-apres"), FMain);
  const TObjFileMot* file = MainFileMot();
  const bool ok = file && TerminalHasFile(*FTerminal, *file);
  std::fprintf(stderr, "%s\nCaptures d'écran : %s\n",
               ok ? "Tour terminé : le terminal a reçu toute l'image."
                  : "Tour terminé : le terminal n'a pas reçu toute l'image.",
               qPrintable(QDir(FDir).absolutePath()));
  std::fflush(stderr);
  FDone = true;
  QCoreApplication::exit(ok ? 0 : 1);
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
