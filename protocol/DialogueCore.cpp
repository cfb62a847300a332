#include "DialogueCore.h"

#include "U_Messages.h"
#include "U_Textes.h"

TDialogueCore::TDialogueCore() : Answer(new Obj_Reponse), ProductName(kTerminalProductName) {
  ResetIdentity();
}

TDialogueCore::~TDialogueCore() = default;

void TDialogueCore::ResetIdentity() {
  FrameVersion = -1;
  AppType = -1;
  VersionName = GetTexte("_Unknown");
  AppDate = GetTexte("_Unknown");
}

void TDialogueCore::BeginExchange() {
  ++ExchangeCount;
  NakReceived = false;
  Busy = true;
  AnswerOk = false;
  Answer->Count = 0;
  Waiting = true;
  TimedOut = false;
}

bool TDialogueCore::EndExchange() {
  if (Waiting && TimedOut) Status = -1;
  Busy = false;
  return AnswerOk;
}

void TDialogueCore::ReceiveReport(const uint8_t* Data, size_t Size) {
  if (!AwaitingAnswer()) return;
  Answer->Gather(Data, Size);
  if (Answer->HasCode()) DispatchAnswer(Answer->Code());
}

void TDialogueCore::DispatchAnswer(int Code) {
  if (Code == kCodeAck || Code == kCodeNak) {
    AnswerTaken(Answer->Bytes, Answer->Count);
    AnswerOk = Code == kCodeAck;
    NakReceived = Code == kCodeNak;
    Waiting = false;
    return;
  }
  if (Code != ExpectedAnswer) {
    // An answer to another command (a late one, to a request that timed out
    // before): once whole, or once it overflows the buffer, it is dropped
    // with the rest of its report, and the next report starts a new answer.
    // Kept, it would hold the buffer and hide the awaited answer behind it.
    if (Answer->IsComplete() || Answer->Overflowed()) Answer->Count = 0;
    return;
  }
  switch (Code) {
    case kAnsDialogue: CheckAnswer(&TDialogueCore::DecodeIdentity); break;
    case kAnsPassword: CheckAnswer(&TDialogueCore::DecodePasswordAnswer); break;
    case kAnsLoader:
    case kAnsBlock: CheckAnswer(&TDialogueCore::AcceptAnswer); break;
    default: break;
  }
}

void TDialogueCore::CheckAnswer(TDecoder Decoder) {
  if (!Answer->IsComplete()) return;
  const int length = Answer->LengthField();
  AnswerTaken(Answer->Bytes, length < Answer->Count ? static_cast<size_t>(length) : Answer->Count);
  Status = Answer->StatusByte();
  bool show = false;
  if (Status == 1) {
    if (Decoder) (this->*Decoder)();
  } else {
    if (Status == 16) EncryptedPassword = Answer->DataHex();
    show = ShowErrors;
  }
  // The answer is examined: further reports (the error dialog below lets
  // them in) no longer belong to this exchange. The exchange itself ends
  // only once the dialog has been closed, when control is back in the wait.
  Waiting = false;
  Answer->Count = 0;
  if (show) ShowStatusError();
}

namespace {
std::string Chars(const uint8_t* p, size_t n) {
  return Cp1252ToUtf8(std::string(reinterpret_cast<const char*>(p), n));
}
}  // namespace

void TDialogueCore::DecodeIdentity() {
  AnswerOk = true;
  const uint8_t* b = Answer->Bytes;
  FrameVersion = b[6];
  AppType = b[7];
  VersionName = Chars(b + 8, 6);
  AppDate = Chars(b + 14, 10);
}

void TDialogueCore::DecodePasswordAnswer() {
  if (Answer->LengthField() != 8) return;
  if (Answer->Bytes[6] == 0) {
    AnswerOk = true;
  } else if (Answer->Bytes[6] == 1) {
    Status = -4;
  }
}

void TDialogueCore::AcceptAnswer() { AnswerOk = true; }

void TDialogueCore::ShowStatusError() {
  bool retry = false;
  ShowErrorDlg(Status, false, retry);
}
