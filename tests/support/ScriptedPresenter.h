// A message presenter for tests: records every message shown and answers
// from a script (then OK, or Cancel to a transmission error), or hands it on to another
// presenter (the application's real boxes) that shows it and answers.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "U_Messages.h"

class TScriptedPresenter : public IMessagePresenter {
 public:
  TScriptedPresenter();            // installs itself
  ~TScriptedPresenter() override;  // puts the previous presenter back

  TMsgResult Present(const TMessage& msg) override;

  // Answers for the next messages, in order.
  void Script(std::initializer_list<TMsgResult> answers);
  void Push(TMsgResult answer) { Answers.push_back(answer); }
  // Called for every message before it is answered (may process events,
  // plug or unplug a device, ...).
  std::function<void(const TMessage&)> OnMessage;
  // When set, every message is recorded and then shown by this presenter
  // (real boxes, answered by the test's key presses and clicks); the script
  // is not used.
  IMessagePresenter* Forward = nullptr;

  std::vector<TMessage> Shown;
  void Clear() { Shown.clear(); }

 private:
  IMessagePresenter* Previous;
  std::deque<TMsgResult> Answers;
};
