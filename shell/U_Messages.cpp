#include "U_Messages.h"

#include <cctype>
#include <cstdio>

#include "U_ConstDlg.h"
#include "U_Paths.h"
#include "U_Textes.h"

namespace {
TStderrPresenter gDefaultPresenter;
IMessagePresenter* gPresenter = nullptr;

TMsgResult Send(TMsgKind kind, const std::string& text, const std::string& key, bool retry = false) {
  TMessage m;
  m.Kind = kind;
  m.Text = text;
  m.Key = key;
  m.RetryVisible = retry;
  return MessagePresenter().Present(m);
}
}  // namespace

const char* MsgKindName(TMsgKind kind) {
  switch (kind) {
    case TMsgKind::Plain: return "Plain";
    case TMsgKind::Information: return "Information";
    case TMsgKind::Warning: return "Warning";
    case TMsgKind::TransmissionError: return "TransmissionError";
    case TMsgKind::Error: return "Error";
  }
  return "Plain";
}

TMsgResult TStderrPresenter::Present(const TMessage& msg) {
  const char* tag = "";
  switch (msg.Kind) {
    case TMsgKind::Plain: tag = ""; break;
    case TMsgKind::Information: tag = "Information : "; break;
    case TMsgKind::Warning: tag = "Avertissement : "; break;
    case TMsgKind::TransmissionError: tag = "Erreur de transmission : "; break;
    case TMsgKind::Error: tag = "Erreur : "; break;
  }
  std::fprintf(stderr, "%s%s\n", tag, msg.Text.c_str());
  std::fflush(stderr);
  return msg.Kind == TMsgKind::TransmissionError ? TMsgResult::Cancel : TMsgResult::Ok;
}

IMessagePresenter* SetMessagePresenter(IMessagePresenter* presenter) {
  IMessagePresenter* old = gPresenter;
  gPresenter = presenter;
  return old;
}

IMessagePresenter& MessagePresenter() { return gPresenter ? *gPresenter : gDefaultPresenter; }

void ShowPlain(const std::string& text, const std::string& key) { Send(TMsgKind::Plain, text, key); }
void ShowPlainKey(const std::string& key) { ShowPlain(GetTexte(key), key); }
void ShowInformation(const std::string& text, const std::string& key) {
  Send(TMsgKind::Information, text, key);
}
void ShowInformationKey(const std::string& key) { ShowInformation(GetTexte(key), key); }
bool ConfirmWarning(const std::string& text) {
  return Send(TMsgKind::Warning, text, std::string()) == TMsgResult::Ok;
}
void ShowErrorReport(const std::string& text) { Send(TMsgKind::Error, text, std::string()); }
bool PresentTransmissionError(const std::string& text, bool retryVisible) {
  return Send(TMsgKind::TransmissionError, text, std::string(), retryVisible) == TMsgResult::Retry &&
         retryVisible;
}

void ShowErrorDlg(int code, bool retryVisible, bool& retry) {
  retry = PresentTransmissionError(StatusText(code), retryVisible);
}

void ShowErrorText(const std::string& text) { PresentTransmissionError(text, false); }

std::string ApplicationTitleOf(const std::string& exeFileName) {
  std::string name = exeFileName.substr(0, exeFileName.find('.'));
  for (size_t i = 1; i < name.size(); ++i)
    name[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[i])));
  return name;
}

std::string ApplicationTitle() { return ApplicationTitleOf(ExecutableFileName()); }
