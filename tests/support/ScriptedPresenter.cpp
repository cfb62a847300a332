#include "ScriptedPresenter.h"

TScriptedPresenter::TScriptedPresenter() : Previous(SetMessagePresenter(this)) {}

TScriptedPresenter::~TScriptedPresenter() { SetMessagePresenter(Previous); }

TMsgResult TScriptedPresenter::Present(const TMessage& msg) {
  Shown.push_back(msg);
  if (OnMessage) OnMessage(msg);
  if (Forward) return Forward->Present(msg);
  TMsgResult r = Default;
  if (!Answers.empty()) {
    r = Answers.front();
    Answers.pop_front();
  } else if (msg.Kind == TMsgKind::TransmissionError && Default == TMsgResult::Ok) {
    r = TMsgResult::Cancel;
  }
  return ShowReal ? ShowReal(msg, r) : r;
}

void TScriptedPresenter::Script(std::initializer_list<TMsgResult> answers) {
  Answers.insert(Answers.end(), answers.begin(), answers.end());
}

std::vector<std::string> TScriptedPresenter::Texts() const {
  std::vector<std::string> out;
  for (const TMessage& m : Shown) out.push_back(m.Text);
  return out;
}

bool TScriptedPresenter::Contains(const std::string& text) const {
  for (const TMessage& m : Shown)
    if (m.Text == text) return true;
  return false;
}
