// The answer buffer and the dialogue's protocol state: gathering from input
// reports, dispatch of the answer code, completeness, status and decoders.
#include <gtest/gtest.h>

#include <algorithm>

#include "DialogueCore.h"
#include "ScriptedPresenter.h"
#include "TestCatalogue.h"
#include "U_ConstDlg.h"

namespace {

TBytes Answer(uint16_t code, const TBytes& data) { return BuildFrame(data, code); }

TBytes IdentityData(uint8_t fv, uint8_t type, const std::string& name, const std::string& date) {
  TBytes d{0x01, fv, type};
  d.insert(d.end(), name.begin(), name.end());
  d.insert(d.end(), date.begin(), date.end());
  return d;
}

// The bytes of an input report after its report id: count byte, the piece,
// zero padding to 64 bytes.
TBytes Report(const TBytes& piece, bool leadingCount = true, size_t size = 64) {
  TBytes r(std::max(size, piece.size() + 1), 0);
  size_t at = 0;
  if (leadingCount) r[at++] = static_cast<uint8_t>(piece.size());
  std::copy(piece.begin(), piece.end(), r.begin() + static_cast<std::ptrdiff_t>(at));
  r.resize(std::max(size, at + piece.size()));
  return r;
}

class Core : public testing::Test {
 protected:
  TCatalogueScope Catalogue;
  TScriptedPresenter Presenter;
  TDialogueCore D;

  void Start(int expected, bool showErrors = false) {
    D.ExpectedAnswer = expected;
    D.ShowErrors = showErrors;
    D.BeginExchange();
  }
  void Feed(const TBytes& data) { D.ReceiveReport(data.data(), data.size()); }
};

TEST_F(Core, CreatedWithUnknownIdentity) {
  EXPECT_EQ(D.FrameVersion, -1);
  EXPECT_EQ(D.AppType, -1);
  EXPECT_EQ(D.VersionName, "<Inconnu>");
  EXPECT_EQ(D.AppDate, "<Inconnu>");
  EXPECT_EQ(D.Status, 0);
  EXPECT_EQ(D.StartByte, 0x55);
  EXPECT_EQ(D.ProductName, "Terminal KVZ-DORNAVE");
  EXPECT_TRUE(D.Waiting);
  EXPECT_FALSE(D.Busy);
  EXPECT_EQ(D.Answer->Count, 0);
  // An exchange ended with neither answer nor time-out keeps the status.
  D.Status = 23;
  Start(kAnsBlock);
  EXPECT_FALSE(D.EndExchange());
  EXPECT_EQ(D.Status, 23);
}

TEST_F(Core, IdentityAnswersAreDecodedFromFixedPositions) {
  Start(kAnsDialogue);
  const TBytes a = Answer(kAnsDialogue, IdentityData(3, 9, "V2.10a", "15/06/2009"));
  ASSERT_EQ(a.size(), 25u);
  TBytes r = Report(a);
  ASSERT_EQ(r[0], 25);  // dropped: it comes before 0x55
  r[0] = 0x3F;
  Feed(r);
  EXPECT_FALSE(D.Waiting);
  EXPECT_TRUE(D.AnswerOk);
  EXPECT_EQ(D.Status, 1);
  EXPECT_EQ(D.FrameVersion, 3);
  EXPECT_EQ(D.AppType, 9);
  EXPECT_EQ(D.VersionName, "V2.10a");
  EXPECT_EQ(D.AppDate, "15/06/2009");
  EXPECT_EQ(D.Answer->Count, 0);
  EXPECT_TRUE(D.EndExchange());
  EXPECT_FALSE(D.Busy);
  // A wrong checksum is accepted like any other.
  Start(kAnsDialogue);
  TBytes bad = Answer(kAnsDialogue, IdentityData(1, 255, "BOOT01", "01/01/2020"));
  bad.back() ^= 0xFF;
  Feed(Report(bad));
  EXPECT_TRUE(D.AnswerOk);
  EXPECT_EQ(D.AppType, 255);
  EXPECT_EQ(D.VersionName, "BOOT01");
  Start(kAnsDialogue);
  // A short identity answer: the fields come from the rest of the report.
  TBytes shortAnswer = Report(Answer(kAnsDialogue, TBytes{1, 4}), false);
  shortAnswer[8] = 0x20;
  Feed(shortAnswer);
  EXPECT_TRUE(D.AnswerOk);
  EXPECT_EQ(D.FrameVersion, 4);
  EXPECT_EQ(D.AppType, shortAnswer[7]);
  EXPECT_EQ(D.VersionName.size(), 6u);
}

// Fed piece by piece, an answer is complete only with its last byte.
TEST_F(Core, CompletenessFollowsTheLengthField) {
  const TBytes id = Answer(kAnsDialogue, IdentityData(2, 9, "ABCDEF", "01/02/2003"));
  const std::pair<int, std::vector<TBytes>> cases[] = {
      {kAnsDialogue, {{0x55, 0x06}, {0x00}}},  // an ACK ends any exchange at three bytes
      {kAnsBlock, {{0x55, 0x8B, 0xFF, 0x07, 0x00}, {0x01}, {0x00}}},  // length 7, status in byte 5
      {kAnsBlock, {{0x55, 0x8B, 0xFF, 0x02, 0x00}, {0x01}}},  // a length below 6 still waits for the status
      {kAnsDialogue, {TBytes(id.begin(), id.begin() + 10), TBytes(id.begin() + 10, id.end())}},
  };
  std::vector<int> statuses;
  for (const auto& c : cases) {
    SCOPED_TRACE(HexDump(c.second[0]));
    Start(c.first);
    int fed = 0;
    for (size_t i = 0; i + 1 < c.second.size(); ++i) {
      Feed(c.second[i]);
      fed += static_cast<int>(c.second[i].size());
      EXPECT_TRUE(D.Waiting);
      EXPECT_EQ(D.Answer->Count, fed);
      EXPECT_EQ(D.AppType, -1);  // the ACK keeps the identity
    }
    Feed(c.second.back());
    EXPECT_FALSE(D.Waiting);
    EXPECT_TRUE(D.AnswerOk);
    statuses.push_back(D.Status);
  }
  EXPECT_EQ(statuses, (std::vector<int>{0, 1, 1, 1}));  // the ACK keeps the status
  EXPECT_EQ(D.AppDate, "01/02/2003");
}

TEST_F(Core, ReportsWithoutStartByteLeaveTheBufferEmpty) {
  Start(kAnsDialogue);
  Feed(TBytes{0x01, 0x02, 0x03});
  Feed(TBytes{});
  EXPECT_EQ(D.Answer->Count, 0);
  EXPECT_TRUE(D.Waiting);
  // Once begun, a following report is taken whole, 0x55 or not.
  Feed(TBytes{0x00, 0x55, 0x81});
  EXPECT_EQ(D.Answer->Count, 2);
  Feed(TBytes{0x00, 0x55});
  EXPECT_EQ(D.Answer->Count, 4);
  EXPECT_EQ(D.Answer->Code(), 0x0081);  // 81 00: not the identity answer
}

// Each answer fed whole, with and without the error dialog, and with the
// time-out handled in the same round of events after it: the answer was
// examined first, so the exchange ends with what it said.
TEST_F(Core, EachAnswerEndsTheExchangeWithItsStatus) {
  struct TRow {
    int Expected;
    uint16_t Code;
    TBytes Data;
    int Before;  // Status before the exchange
    bool Ok;
    int Status;
    bool Shown;  // with ShowErrors: the error dialog, once
  };
  const TRow rows[] = {
      {kAnsDialogue, kAnsDialogue, IdentityData(3, 9, "V2.10a", "15/06/2009"), 0, true, 1, false},
      {kAnsPassword, kAnsPassword, {1, 0}, 0, true, 1, false},
      {kAnsLoader, kAnsLoader, {1}, 0, true, 1, false},
      {kAnsBlock, kAnsBlock, {1}, 0, true, 1, false},
      {kAnsPassword, kAnsPassword, {1, 1}, 0, false, -4, false},    // switch active
      {kAnsPassword, kAnsPassword, {1, 0, 0}, 0, false, 1, false},  // not the 8-byte answer
      {kAnsPassword, kAnsPassword, {1, 2}, 0, false, 1, false},
      {kAnsBlock, kCodeAck, {}, 5, true, 5, false},
      {kAnsBlock, kCodeNak, {}, 12, false, 12, false},  // a NAK, not "no answer"
      {kAnsLoader, kCodeNak, {}, 17, false, 17, false},
      {kAnsLoader, kAnsLoader, {17}, 0, false, 17, true},  // the caller asks for the password
      {kAnsBlock, kAnsBlock, {0}, 5, false, 0, true},
      {kAnsBlock, kAnsBlock, {12}, 0, false, 12, true},
  };
  for (const TRow& r : rows) {
    for (const bool show : {false, true}) {
      for (const bool timeOut : {false, true}) {
        SCOPED_TRACE(testing::Message() << "code " << r.Code << " status " << r.Status
                                        << (show ? " shown" : "") << (timeOut ? " timed out" : ""));
        D.Status = r.Before;
        Start(r.Expected, show);
        Feed(Report(Answer(r.Code, r.Data)));
        EXPECT_FALSE(D.Waiting);
        EXPECT_EQ(r.Ok, D.AnswerOk);
        if (timeOut) D.TimeOutExpired();
        EXPECT_EQ(r.Ok, D.EndExchange());
        EXPECT_EQ(r.Status, D.Status);
        if (show && r.Shown) {
          ASSERT_EQ(Presenter.Shown.size(), 1u);
          EXPECT_EQ(Presenter.Shown[0].Kind, TMsgKind::TransmissionError);
          EXPECT_FALSE(Presenter.Shown[0].RetryVisible);
          EXPECT_EQ(Presenter.Shown[0].Text, StatusText(r.Status));
        } else {
          EXPECT_TRUE(Presenter.Shown.empty());
        }
        Presenter.Clear();
      }
    }
  }
}

// While the error dialog of an answer is open, reports come (they do not
// start a second check) and the time-out expires: the exchange keeps the
// answer's status.
TEST_F(Core, ATimeOutDuringTheErrorDialogKeepsTheAnswersStatus) {
  Start(kAnsLoader, true);
  const TBytes bad = Report(Answer(kAnsLoader, TBytes{17}));
  Presenter.OnMessage = [&](const TMessage&) {
    Feed(bad);
    D.TimeOutExpired();
  };
  Feed(bad);
  EXPECT_TRUE(D.TimedOut);
  EXPECT_FALSE(D.EndExchange());
  EXPECT_EQ(D.Status, 17);
  EXPECT_EQ(Presenter.Shown.size(), 1u);
}

// A status-16 answer shorter than 8 bytes stores an empty text.
TEST_F(Core, WrongPasswordStoresTheEncryptedPassword) {
  for (const auto& [data, text] : {std::pair<TBytes, const char*>{{16, 0x0A, 0xB1, 0xFF, 0x00}, "0AB1FF00"},
                                   {{16}, ""},
                                   {{16, 0x7E}, "7E"}}) {
    Start(kAnsPassword);
    Feed(Report(Answer(kAnsPassword, data)));
    EXPECT_FALSE(D.EndExchange());
    EXPECT_EQ(D.Status, 16);
    EXPECT_EQ(D.EncryptedPassword, text);
  }
}

TEST_F(Core, AnswerLongerThanTheBufferNeverOverrunsIt) {
  Start(kAnsBlock);
  TBytes head{0x55, 0x8B, 0xFF, 0xDC, 0x05, 0x01};  // length 1500
  head.resize(64, 0xEE);
  Feed(head);
  for (int i = 0; i < 40; ++i) Feed(TBytes(64, 0xEE));
  EXPECT_EQ(D.Answer->Count, Obj_Reponse::kCapacity);
  EXPECT_TRUE(D.Answer->Overflowed());
  EXPECT_TRUE(D.Waiting);
  D.TimeOutExpired();
  EXPECT_FALSE(D.EndExchange());
  EXPECT_EQ(D.Status, -1);
  // The next exchange starts from an empty buffer.
  Start(kAnsBlock);
  Feed(Report(Answer(kAnsBlock, TBytes{1})));
  EXPECT_TRUE(D.EndExchange());
  EXPECT_FALSE(D.Answer->Overflowed());
}

// Reports outside an exchange, and answers of another code within one, are
// dropped.
TEST_F(Core, ReportsOutsideAnExchangeAndOtherAnswerCodesAreDropped) {
  Start(kAnsBlock);
  Feed(Report(Answer(kAnsLoader, TBytes{1})));
  EXPECT_TRUE(D.Waiting);
  EXPECT_EQ(D.Answer->Count, 0);  // whole: dropped with the rest of its report
  D.TimeOutExpired();
  EXPECT_FALSE(D.EndExchange());
  EXPECT_EQ(D.Status, -1);
  const TBytes late = Report(Answer(kAnsDialogue, IdentityData(1, 14, "LATE01", "01/01/2001")));
  Feed(late);
  EXPECT_EQ(D.AppType, -1);
  // After a time-out the late answer no longer counts either.
  Start(kAnsDialogue);
  D.TimeOutExpired();
  Feed(late);
  EXPECT_FALSE(D.EndExchange());
  EXPECT_EQ(D.Status, -1);
  EXPECT_EQ(D.AppType, -1);
  Feed(late);
  EXPECT_EQ(D.AppType, -1);
}

// Answers that come late, to a command whose wait has already ended, must
// not hold the answer buffer against the answer of the next command.
TEST_F(Core, AnAnswerToAnotherCommandIsDroppedAndTheAwaitedOneTaken) {
  const TBytes late = Answer(kAnsLoader, {1});  // a boot request's
  TBytes overlong = late;
  overlong[3] = 0xFF, overlong[4] = 0x7F;
  const std::vector<std::pair<const char*, std::vector<TBytes>>> cases{
      {"whole in one report", {Report(late)}},
      {"two of them", {Report(late), Report(late)}},
      {"split over two reports",
       {Report({late.begin(), late.begin() + 4}), Report({late.begin() + 4, late.end()})}},
      // 63 bytes from the first report, 64 from each next: the 17th overflows.
      {"longer than the buffer", std::vector<TBytes>(17, Report(overlong))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    TDialogueCore d;
    d.ExpectedAnswer = kAnsDialogue;
    d.BeginExchange();
    for (const TBytes& r : c.second) d.ReceiveReport(r.data(), r.size());
    EXPECT_TRUE(d.Waiting);
    const TBytes identity = Report(Answer(kAnsDialogue, IdentityData(2, 255, "BOOT10", "01/03/2008")));
    d.ReceiveReport(identity.data(), identity.size());
    EXPECT_TRUE(d.EndExchange());
    EXPECT_EQ(d.AppType, 255);
  }
}

}  // namespace
