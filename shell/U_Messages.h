// Every message box of the program goes through here. The presenter is
// replaceable: real boxes in the application, a scripted recorder in tests,
// standard error in command-line tools.
#pragma once

#include <string>

enum class TMsgKind {
  Plain,              // OK, caption: the application title
  Information,        // single OK, caption "Information"
  Warning,            // OK and Cancel, caption "Avertissement"
  TransmissionError,  // the transmission error dialog, Retry when allowed
  Error,              // the application's report of an unexpected error
};

enum class TMsgResult { Ok, Cancel, Retry };

// The kind's name as the support trace writes it: "Plain", "Information",
// "Warning", "TransmissionError", "Error".
const char* MsgKindName(TMsgKind kind);

struct TMessage {
  TMsgKind Kind = TMsgKind::Plain;
  std::string Text;           // UTF-8, as shown
  std::string Key;            // catalogue key the text came from, "" otherwise
  bool RetryVisible = false;  // TransmissionError only
};

class IMessagePresenter {
 public:
  virtual ~IMessagePresenter() = default;
  // Shows the message and returns the user's answer.
  virtual TMsgResult Present(const TMessage& msg) = 0;
};

// Writes every message to standard error and answers OK (Cancel for a
// transmission error). The default presenter.
class TStderrPresenter : public IMessagePresenter {
 public:
  TMsgResult Present(const TMessage& msg) override;
};

// Installs `presenter` (nullptr restores the default) and returns the one
// it replaces. The presenter is not owned.
IMessagePresenter* SetMessagePresenter(IMessagePresenter* presenter);
IMessagePresenter& MessagePresenter();

// Plain box with OK.
void ShowPlain(const std::string& text, const std::string& key = std::string());
void ShowPlainKey(const std::string& key);
// Information box with a single OK.
void ShowInformation(const std::string& text, const std::string& key = std::string());
void ShowInformationKey(const std::string& key);
// Warning with OK and Cancel: true for OK.
bool ConfirmWarning(const std::string& text);
// The application's report of an error it did not expect (a file that
// cannot be created, ...): an error box with OK.
void ShowErrorReport(const std::string& text);
// Transmission error dialog: true when the user chose Retry (only possible
// with retryVisible).
bool PresentTransmissionError(const std::string& text, bool retryVisible);

// The transmission error dialog for a status code: shows StatusText(code)
// and sets `retry` to whether the user chose Retry (always false when
// retryVisible is false).
void ShowErrorDlg(int code, bool retryVisible, bool& retry);
// The transmission error dialog for a ready text, without Retry. A text
// holding line breaks is shown on several lines.
void ShowErrorText(const std::string& text);

// The title of plain boxes: the executable's file name up to its first
// period, every letter after the first in lower case ("VelmoraUpgrade.exe"
// gives "Velmoraupgrade").
std::string ApplicationTitle();
std::string ApplicationTitleOf(const std::string& exeFileName);
