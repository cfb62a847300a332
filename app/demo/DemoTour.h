// The demo's tour: one whole upgrade run by itself on the virtual terminal,
// every message box answered with its default button after a pause, a PNG
// of the windows at each stage, and a verdict on what the terminal got.
#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <memory>

#include "U_QtShell.h"
#include "VirtualTerminal.h"

class QWidget;
class TDemoTour;
class TObjFileMot;

// Shows the real boxes; a moment after each appears, saves a picture of it
// over the main window and clicks its default button.
class TTourPresenter : public TQtMessagePresenter {
 public:
  explicit TTourPresenter(TDemoTour& tour) : FTour(tour) {}
  TMsgResult Present(const TMessage& msg) override;

 private:
  TDemoTour& FTour;
};

class TDemoTour : public QObject {
  Q_OBJECT
 public:
  // `terminal` is not plugged yet: the tour follows its frames from here.
  TDemoTour(const QString& dir, std::shared_ptr<TVirtualTerminal> terminal, int limitSeconds);
  ~TDemoTour() override;

  IMessagePresenter& Presenter() { return FPresenter; }
  // Starts once the windows are shown; ends the message loop with the
  // verdict (0: the terminal holds the whole image of the file).
  void Start(QWidget* mainWindow, QWidget* controlWindow);

  // Whether the terminal received every block of `file`, byte for byte,
  // and its end block.
  static bool TerminalHasFile(const TVirtualTerminal& terminal, const TObjFileMot& file);

  static constexpr int kAnswerDelayMs = 600;

 private:
  friend class TTourPresenter;
  void Save(const QString& name, QWidget* widget, QWidget* over = nullptr);
  void AnswerBoxLater(const QString& name, int attempt);
  void HookGauge();
  void Poll();
  void Finish();

  QString FDir;
  std::shared_ptr<TVirtualTerminal> FTerminal;
  TTourPresenter FPresenter;
  QWidget* FMain = nullptr;
  QObject* FHooked = nullptr;
  int FMessages = 0;
  bool FTransferShot = false;
  bool FFinished = false;
  std::atomic<bool> FIdentityPosted{false};
  std::atomic<bool> FDone{false};
};
