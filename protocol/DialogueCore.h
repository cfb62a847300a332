// The protocol state of the device dialogue: gathering of the answer,
// dispatch of its code, checking and decoding. Plain C++ (no Qt), so that
// it can be driven on its own; TCommonDlg adds the device, the writes, the
// wait and the time-out timer around it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Frames.h"
#include "objets.h"

class TDialogueCore {
 public:
  TDialogueCore();
  virtual ~TDialogueCore();
  TDialogueCore(const TDialogueCore&) = delete;
  TDialogueCore& operator=(const TDialogueCore&) = delete;

  // State, read directly by the windows.
  int FrameVersion = -1;          // from the last identity answer; -1 = not reported
  int AppType = -1;               // application-type code; -1 = not reported
  std::string EncryptedPassword;  // hex of the data of the last status-16 answer
  bool Connected = false;         // a terminal is present
  int StartByte = kStartByte;
  std::unique_ptr<Obj_Reponse> Answer;
  std::string VersionName;  // 6 characters; the text of _Unknown until reported
  std::string AppDate;      // 10 characters "DD/MM/YYYY"; _Unknown until reported
  bool ShowErrors = false;  // the dialogue shows the error dialog on a bad status
  bool TimedOut = false;
  bool AnswerOk = false;
  bool Waiting = true;
  bool Busy = false;
  int ExpectedAnswer = 0;
  int Status = 0;  // last status byte; -1 no answer; -4 switch active
  std::string ProductName;
  // The last exchange ended on a NAK (Status then keeps the value of the
  // exchange before it).
  bool NakReceived = false;
  // Exchanges started so far: a command that left it unchanged sent nothing
  // (no terminal, or another exchange under way).
  uint64_t ExchangeCount = 0;

  // Identity fields back to "not reported".
  void ResetIdentity();

  // Start of an exchange: Busy, no answer yet, waiting, not timed out.
  void BeginExchange();
  // The time-out fired.
  void TimeOutExpired() { TimedOut = true; }
  // Whether the exchange under way still takes answers.
  bool AwaitingAnswer() const { return Busy && Waiting && !TimedOut; }
  // End of an exchange: Status -1 when it timed out unanswered; Busy cleared.
  // Returns AnswerOk.
  bool EndExchange();

  // One input report (the bytes after the report id): gathered into Answer,
  // then the answer code dispatched once three bytes are in. Reports that
  // arrive while no exchange awaits an answer are dropped: an answer that
  // comes after its exchange has ended must not change what that exchange
  // reported.
  void ReceiveReport(const uint8_t* Data, size_t Size);

  // Every answer code read by the gathering. ACK and NAK end any exchange;
  // a whole answer with another code than the awaited one is dropped.
  virtual void DispatchAnswer(int Code);

  using TDecoder = void (TDialogueCore::*)();
  // Finishes the exchange on a complete answer; does nothing before. With
  // ShowErrors, a bad status is shown (modally) after the answer has been
  // examined.
  void CheckAnswer(TDecoder Decoder);

  // Decoders of an answer with status 1.
  void DecodeIdentity();
  void DecodePasswordAnswer();
  void AcceptAnswer();

 protected:
  // Shows the transmission error dialog for Status (no Retry). Modal: it
  // returns when the user has closed it.
  virtual void ShowStatusError();
  // An answer ended the exchange: its bytes as gathered (a whole frame, or
  // the first bytes of an ACK or NAK). For the trace.
  virtual void AnswerTaken(const uint8_t* Bytes, size_t Size) {
    (void)Bytes;
    (void)Size;
  }
};
