// Arbitrary input report sequences into the gathering, dispatch and
// checking of answers.
//
// Input: byte 0 picks the expected answer and whether errors are shown;
// then records: a length byte n (0..0xFD) followed by n report bytes, 0xFE
// (the time-out fires, then a new exchange starts) or 0xFF (the exchange
// ends, then a new one starts with the next expected answer).
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "DialogueCore.h"
#include "U_Messages.h"

namespace {

class TSilentPresenter : public IMessagePresenter {
 public:
  TMsgResult Present(const TMessage&) override { return TMsgResult::Cancel; }
};

const int kExpected[] = {kAnsDialogue, kAnsPassword, kAnsLoader, kAnsBlock, 0x1234, 0};

void Check(const TDialogueCore& d) {
  if (d.Answer->Count > Obj_Reponse::kCapacity) std::abort();
  if (!d.Waiting && d.Answer->Count != 0 && !d.AnswerOk && d.Status == 0x7FFFFFFF) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TSilentPresenter presenter;
  SetMessagePresenter(&presenter);
  if (size < 1) return 0;
  TDialogueCore d;
  size_t pick = data[0];
  auto start = [&] {
    d.ExpectedAnswer = kExpected[pick % 6];
    d.ShowErrors = (pick & 0x80) != 0;
    d.BeginExchange();
  };
  start();
  size_t pos = 1;
  while (pos < size) {
    const uint8_t n = data[pos++];
    if (n == 0xFE) {
      d.TimeOutExpired();
      d.EndExchange();
      start();
      continue;
    }
    if (n == 0xFF) {
      d.EndExchange();
      ++pick;
      start();
      continue;
    }
    const size_t len = n < size - pos ? n : size - pos;
    d.ReceiveReport(data + pos, len);
    pos += len;
    Check(d);
    // Reading what the windows read must stay within the texts.
    if (d.VersionName.size() > 6 * 3 || d.AppDate.size() > 10 * 3) std::abort();
    if (d.EncryptedPassword.size() % 2 != 0) std::abort();
  }
  d.EndExchange();
  return 0;
}
