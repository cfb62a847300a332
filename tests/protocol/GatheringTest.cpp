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
}

TEST_F(Core, IdentityAnswerWithLeadingByteIsDecoded) {
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
}

TEST_F(Core, WrongChecksumIsAcceptedLikeAnyOther) {
  Start(kAnsDialogue);
  TBytes a = Answer(kAnsDialogue, IdentityData(1, 255, "BOOT01", "01/01/2020"));
  a.back() ^= 0xFF;
  Feed(Report(a));
  EXPECT_TRUE(D.AnswerOk);
  EXPECT_EQ(D.AppType, 255);
  EXPECT_EQ(D.VersionName, "BOOT01");
}

TEST_F(Core, SplitAnswerCompletesOnlyWithTheSecondReport) {
  Start(kAnsDialogue);
  const TBytes a = Answer(kAnsDialogue, IdentityData(2, 9, "ABCDEF", "01/02/2003"));
  Feed(TBytes(a.begin(), a.begin() + 10));
  EXPECT_TRUE(D.Waiting);
  EXPECT_EQ(D.Answer->Count, 10);
  EXPECT_EQ(D.AppType, -1);
  Feed(TBytes(a.begin() + 10, a.end()));
  EXPECT_FALSE(D.Waiting);
  EXPECT_TRUE(D.AnswerOk);
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

TEST_F(Core, AckEndsAnyExchangeAtThreeBytesAndKeepsIdentity) {
  Start(kAnsDialogue);
  Feed(TBytes{0x55, 0x06});
  EXPECT_TRUE(D.Waiting);
  Feed(TBytes{0x00});
  EXPECT_FALSE(D.Waiting);
  EXPECT_TRUE(D.AnswerOk);
  EXPECT_EQ(D.AppType, -1);
  EXPECT_EQ(D.Status, 0);
}

TEST_F(Core, NakFailsAndKeepsThePreviousStatus) {
  Start(kAnsLoader);
  Feed(Report(Answer(kAnsLoader, TBytes{17})));
  EXPECT_EQ(D.Status, 17);
  EXPECT_FALSE(D.EndExchange());
  Start(kAnsLoader);
  Feed(Report(Answer(kCodeNak, TBytes{})));
  EXPECT_FALSE(D.Waiting);
  EXPECT_FALSE(D.AnswerOk);
  EXPECT_FALSE(D.EndExchange());
  EXPECT_EQ(D.Status, 17);
}

TEST_F(Core, OtherAnswerCodeIsDroppedAndTheExchangeGoesOnWaiting) {
  Start(kAnsBlock);
  Feed(Report(Answer(kAnsLoader, TBytes{1})));
  EXPECT_TRUE(D.Waiting);
  EXPECT_EQ(D.Answer->Count, 0);  // whole: dropped with the rest of its report
  D.TimeOutExpired();
  EXPECT_FALSE(D.EndExchange());
  EXPECT_EQ(D.Status, -1);
}

TEST_F(Core, BadStatusFailsAndIsShownOnlyWithShowErrors) {
  Start(kAnsBlock);
  Feed(Report(Answer(kAnsBlock, TBytes{12})));
  EXPECT_FALSE(D.EndExchange());
  EXPECT_EQ(D.Status, 12);
  EXPECT_TRUE(Presenter.Shown.empty());

  Start(kAnsBlock, true);
  Feed(Report(Answer(kAnsBlock, TBytes{0})));
  EXPECT_FALSE(D.EndExchange());
  EXPECT_EQ(D.Status, 0);
  ASSERT_EQ(Presenter.Shown.size(), 1u);
  EXPECT_EQ(Presenter.Shown[0].Kind, TMsgKind::TransmissionError);
  EXPECT_FALSE(Presenter.Shown[0].RetryVisible);
  EXPECT_EQ(Presenter.Shown[0].Text, StatusText(0));
}

TEST_F(Core, WithShowErrorsOnlyFailuresShowTheErrorDialog) {
  // Status 1 of every answer code: nothing shown, also when the answer
  // itself does not make the exchange succeed.
  Start(kAnsDialogue, true);
  Feed(Report(Answer(kAnsDialogue, IdentityData(3, 9, "V2.10a", "15/06/2009"))));
  EXPECT_TRUE(D.EndExchange());
  Start(kAnsPassword, true);
  Feed(Report(Answer(kAnsPassword, TBytes{1, 0})));
  EXPECT_TRUE(D.EndExchange());
  Start(kAnsLoader, true);
  Feed(Report(Answer(kAnsLoader, TBytes{1})));
  EXPECT_TRUE(D.EndExchange());
  Start(kAnsBlock, true);
  Feed(Report(Answer(kAnsBlock, TBytes{1})));
  EXPECT_TRUE(D.EndExchange());
  Start(kAnsPassword, true);
  Feed(Report(Answer(kAnsPassword, TBytes{1, 1})));  // switch active
  EXPECT_FALSE(D.EndExchange());
  EXPECT_EQ(D.Status, -4);
  Start(kAnsPassword, true);
  Feed(Report(Answer(kAnsPassword, TBytes{1, 0, 0})));  // not the 8-byte answer
  EXPECT_FALSE(D.EndExchange());
  EXPECT_EQ(D.Status, 1);
  Start(kAnsBlock, true);
  Feed(Report(Answer(kCodeAck, TBytes{})));
  EXPECT_TRUE(D.EndExchange());
  Start(kAnsBlock, true);
  Feed(Report(Answer(kCodeNak, TBytes{})));
  EXPECT_FALSE(D.EndExchange());
  EXPECT_TRUE(Presenter.Shown.empty());
  // A failure status is shown, once.
  Start(kAnsBlock, true);
  Feed(Report(Answer(kAnsBlock, TBytes{17})));
  EXPECT_FALSE(D.EndExchange());
  ASSERT_EQ(Presenter.Shown.size(), 1u);
  EXPECT_EQ(Presenter.Shown[0].Text, StatusText(17));
}

// The answer and the time-out handled in the same round of events: the
// answer was examined first, so the exchange ends with what it said.
TEST_F(Core, AnAnswerExaminedBeforeTheTimeOutKeepsItsStatus) {
  Start(kAnsLoader);
  Feed(Report(Answer(kAnsLoader, TBytes{17})));
  D.TimeOutExpired();
  EXPECT_FALSE(D.EndExchange());
  EXPECT_EQ(D.Status, 17);  // the caller asks for the password

  D.Status = 12;
  Start(kAnsBlock);
  Feed(Report(Answer(kCodeNak, TBytes{})));
  D.TimeOutExpired();
  EXPECT_FALSE(D.EndExchange());
  EXPECT_EQ(D.Status, 12);  // a NAK, not "no answer"

  Start(kAnsBlock);
  Feed(Report(Answer(kAnsBlock, TBytes{1})));
  D.TimeOutExpired();
  EXPECT_TRUE(D.EndExchange());
  EXPECT_EQ(D.Status, 1);

  Start(kAnsBlock);
  Feed(Report(Answer(kCodeAck, TBytes{})));
  D.TimeOutExpired();
  EXPECT_TRUE(D.EndExchange());

  // The time-out expires while the error dialog of the answer is open.
  Start(kAnsLoader, true);
  Presenter.OnMessage = [&](const TMessage&) { D.TimeOutExpired(); };
  Feed(Report(Answer(kAnsLoader, TBytes{17})));
  EXPECT_TRUE(D.TimedOut);
  EXPECT_FALSE(D.EndExchange());
  EXPECT_EQ(D.Status, 17);
  EXPECT_EQ(Presenter.Shown.size(), 1u);
}

TEST_F(Core, ReportsDuringTheErrorDialogDoNotStartASecondCheck) {
  Start(kAnsLoader, true);
  const TBytes bad = Report(Answer(kAnsLoader, TBytes{17}));
  Presenter.OnMessage = [&](const TMessage&) { Feed(bad); };
  Feed(bad);
  EXPECT_EQ(Presenter.Shown.size(), 1u);
  EXPECT_EQ(D.Status, 17);
}

TEST_F(Core, WrongPasswordStoresTheEncryptedPassword) {
  Start(kAnsPassword);
  Feed(Report(Answer(kAnsPassword, TBytes{16, 0x0A, 0xB1, 0xFF, 0x00})));
  EXPECT_FALSE(D.EndExchange());
  EXPECT_EQ(D.Status, 16);
  EXPECT_EQ(D.EncryptedPassword, "0AB1FF00");
  // A status-16 answer shorter than 8 bytes stores an empty text.
  Start(kAnsPassword);
  Feed(Report(Answer(kAnsPassword, TBytes{16})));
  EXPECT_EQ(D.EncryptedPassword, "");
  Start(kAnsPassword);
  Feed(Report(Answer(kAnsPassword, TBytes{16, 0x7E})));
  EXPECT_EQ(D.EncryptedPassword, "7E");
}

TEST_F(Core, PasswordAnswerResults) {
  Start(kAnsPassword);
  Feed(Report(Answer(kAnsPassword, TBytes{1, 0})));
  EXPECT_TRUE(D.EndExchange());
  EXPECT_EQ(D.Status, 1);

  Start(kAnsPassword);
  Feed(Report(Answer(kAnsPassword, TBytes{1, 1})));
  EXPECT_FALSE(D.Waiting);
  EXPECT_FALSE(D.EndExchange());
  EXPECT_EQ(D.Status, -4);

  // Nine bytes: not the 8-byte password answer; no success, Status 1.
  Start(kAnsPassword);
  Feed(Report(Answer(kAnsPassword, TBytes{1, 0, 0})));
  EXPECT_FALSE(D.Waiting);
  EXPECT_FALSE(D.EndExchange());
  EXPECT_EQ(D.Status, 1);

  Start(kAnsPassword);
  Feed(Report(Answer(kAnsPassword, TBytes{1, 2})));
  EXPECT_FALSE(D.EndExchange());
  EXPECT_EQ(D.Status, 1);
}

TEST_F(Core, CompletenessFollowsTheLengthField) {
  Start(kAnsBlock);
  // Length 7, status 1 in byte 5: complete after six bytes... not before.
  Feed(TBytes{0x55, 0x8B, 0xFF, 0x07, 0x00});
  EXPECT_TRUE(D.Waiting);
  Feed(TBytes{0x01});
  EXPECT_TRUE(D.Waiting);
  Feed(TBytes{0x00});
  EXPECT_FALSE(D.Waiting);
  EXPECT_TRUE(D.AnswerOk);

  // A length field below 6 still waits for the status byte.
  Start(kAnsBlock);
  Feed(TBytes{0x55, 0x8B, 0xFF, 0x02, 0x00});
  EXPECT_TRUE(D.Waiting);
  Feed(TBytes{0x01});
  EXPECT_FALSE(D.Waiting);
  EXPECT_TRUE(D.AnswerOk);
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

TEST_F(Core, ReportsOutsideAnExchangeAreDropped) {
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

TEST_F(Core, IdentityFieldsAreReadFromFixedPositions) {
  Start(kAnsDialogue);
  // A short identity answer: the fields come from the rest of the report.
  TBytes r = Report(Answer(kAnsDialogue, TBytes{1, 4}), false);
  r[8] = 0x20;
  Feed(r);
  EXPECT_TRUE(D.AnswerOk);
  EXPECT_EQ(D.FrameVersion, 4);
  EXPECT_EQ(D.AppType, r[7]);
  EXPECT_EQ(D.VersionName.size(), 6u);
}

TEST_F(Core, EndExchangeWithoutTimeOutKeepsStatus) {
  D.Status = 23;
  Start(kAnsBlock);
  EXPECT_FALSE(D.EndExchange());
  EXPECT_EQ(D.Status, 23);
}

}  // namespace
