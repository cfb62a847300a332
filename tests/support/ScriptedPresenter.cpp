#include "ScriptedPresenter.h"

TScriptedPresenter::TScriptedPresenter() : Previous(SetMessagePresenter(this)) {}

TScriptedPresenter::~TScriptedPresenter() { SetMessagePresenter(Previous); }

TMsgResult TScriptedPresenter::Present(const TMessage& msg) {
  Shown.push_back(msg);
  if (OnMessage) OnMessage(msg);
  if (Forward) return Forward->Present(msg);
  if (!Answers.empty()) {
    const TMsgResult r = Answers.front();
    Answers.pop_front();
    return r;
  }
  return msg.Kind == TMsgKind::TransmissionError ? TMsgResult::Cancel : TMsgResult::Ok;
}

void TScriptedPresenter::Script(std::initializer_list<TMsgResult> answers) {
  Answers.insert(Answers.end(), answers.begin(), answers.end());
}
