#include "KeyedBoxes.h"

#include <QAbstractButton>
#include <QApplication>
#include <QTest>
#include <QTimer>
#include <vector>

#include "ModalDriver.h"

namespace {
bool gRealBoxes = false;

// One pending answer: the modal window that was on top before the box, and
// what to give it.
struct TPending {
  QPointer<QWidget> Before;
  TMsgKind Kind;
  TMsgResult Answer;
  int Seen = 0;  // polls on which the box was up
};
std::vector<TPending> gPending;

void Give(QWidget* box, const TPending& p) {
  if (p.Kind == TMsgKind::TransmissionError && p.Answer == TMsgResult::Retry) {
    if (QAbstractButton* retry = FindButton(box, QStringLiteral("bbtnRetry"))) {
      QTest::mouseClick(retry, Qt::LeftButton);
      return;
    }
  }
  const bool ok = p.Answer == TMsgResult::Ok && p.Kind != TMsgKind::TransmissionError;
  QWidget* target = box->focusWidget() ? box->focusWidget() : box;
  QTest::keyClick(target, ok ? Qt::Key_Return : Qt::Key_Escape);
}
}  // namespace

bool TestsUseRealBoxes() { return gRealBoxes; }
void SetTestsUseRealBoxes(bool on) { gRealBoxes = on; }

TKeyedBoxes::TKeyedBoxes() : FTimer(new QTimer(this)) {
  FTimer->setInterval(10);
  connect(FTimer, &QTimer::timeout, this, [this] {
    if (gPending.empty()) {
      FTimer->stop();
      return;
    }
    // The innermost box first: it is the one on top.
    TPending& p = gPending.back();
    QWidget* top = TopModal();
    if (!top || top == p.Before || !top->isVisible()) {
      p.Seen = 0;
      return;
    }
    // Up for a few turns of its own loop before it is answered.
    if (++p.Seen < 3) return;
    const TPending give = p;
    gPending.pop_back();
    Give(top, give);
  });
}

TKeyedBoxes::~TKeyedBoxes() { gPending.clear(); }

TMsgResult TKeyedBoxes::Show(const TMessage& msg, TMsgResult answer) {
  gPending.push_back(TPending{TopModal(), msg.Kind, answer, 0});
  FTimer->start();
  return FReal.Present(msg);
}
