// The application's real message boxes and transmission error dialog for
// tests, each answered by the keyboard (or a click on "Réessayer") once it
// is really up, so that its nested loop runs as it does for a person: OK by
// Return, Annuler by Escape.
#pragma once

#include <QObject>
#include <QPointer>
#include <memory>

#include "U_QtShell.h"

class QTimer;
class QWidget;

class TKeyedBoxes : public QObject {
 public:
  TKeyedBoxes();
  ~TKeyedBoxes() override;

  // Shows `msg` for real and gives `answer` once the box is up; returns what
  // the box itself reported.
  TMsgResult Show(const TMessage& msg, TMsgResult answer);

 private:
  TQtMessagePresenter FReal;
  QTimer* FTimer = nullptr;
};

// Set by the Qt test main from its option --real-boxes: the rigs then show
// real boxes answered by keys instead of scripted answers.
bool TestsUseRealBoxes();
void SetTestsUseRealBoxes(bool on);
