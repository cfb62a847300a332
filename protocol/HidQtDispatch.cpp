#include "HidQtDispatch.h"

THidQtDispatcher::THidQtDispatcher(QObject* parent) : QObject(parent) {
  FQueue.SetWakeUp([this] { WakeUp(); });
}

THidQtDispatcher::~THidQtDispatcher() { FQueue.SetWakeUp({}); }

void THidQtDispatcher::WakeUp() {
  // One invocation in flight is enough: it runs every call waiting by then,
  // and the flag is cleared before it does, so a later call posts again.
  if (FPosted.exchange(true)) return;
  ++FWakes;
  QMetaObject::invokeMethod(this, [this] { Run(); }, Qt::QueuedConnection);
}

void THidQtDispatcher::Run() {
  FPosted.store(false);
  if (FHold > 0) return;  // Release() runs them
  FQueue.RunPending();
}

std::size_t THidQtDispatcher::Release() {
  if (FHold > 0) --FHold;
  if (FHold > 0 || FQueue.PendingCount() == 0) return 0;
  return FQueue.RunPending();
}
