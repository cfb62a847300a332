#include <gtest/gtest.h>

#include "HidEvents.h"

namespace {
struct TOwner {
  int Calls = 0;
  void A(void*) { ++Calls; }
  void B(void*) { ++Calls; }
};
int gFree = 0;
void FreeHandler(void*) { ++gFree; }
void OtherFree(void*) { ++gFree; }

TNotifyEvent MakeLambda(int* counter) {
  return TNotifyEvent([counter](void*) { ++*counter; });
}
}  // namespace

TEST(HidEvents, BoundMethodsAndEmptyValuesAreTheSameWhenTheirCodeIsTheSame) {
  TOwner x, y;
  TNotifyEvent ax(&x, &TOwner::A), ay(&y, &TOwner::A), bx(&x, &TOwner::B);
  EXPECT_TRUE(ax.SameCode(ay));  // the object does not count
  EXPECT_FALSE(ax.SameCode(bx));
  ay(nullptr);
  EXPECT_EQ(0, x.Calls);
  EXPECT_EQ(1, y.Calls);
  // Empty values are not assigned and equal each other.
  TNotifyEvent e, n(nullptr);
  EXPECT_FALSE(e.Assigned());
  EXPECT_TRUE(e.SameCode(n));
  EXPECT_FALSE(e.SameCode(ax));
  EXPECT_FALSE(TNotifyEvent(static_cast<void (*)(void*)>(nullptr)).Assigned());
}

TEST(HidEvents, FreeFunctionsLambdasTokensAndResults) {
  EXPECT_TRUE(TNotifyEvent(&FreeHandler).SameCode(TNotifyEvent(&FreeHandler)));
  EXPECT_FALSE(TNotifyEvent(&FreeHandler).SameCode(TNotifyEvent(&OtherFree)));

  int a = 0, b = 0;
  // One lambda expression, whatever it captured: the same code.
  EXPECT_TRUE(MakeLambda(&a).SameCode(MakeLambda(&b)));
  auto other = TNotifyEvent([&a](void*) { a += 10; });
  EXPECT_FALSE(MakeLambda(&a).SameCode(other));
  MakeLambda (&b)(nullptr);
  EXPECT_EQ(1, b);

  static const int tokenA = 0, tokenB = 0;
  std::function<void(void*)> f = [&a](void*) { ++a; };
  EXPECT_TRUE(TNotifyEvent(f, &tokenA).SameCode(TNotifyEvent(f, &tokenA)));
  EXPECT_FALSE(TNotifyEvent(f, &tokenA).SameCode(TNotifyEvent(f, &tokenB)));
  EXPECT_FALSE(TNotifyEvent(std::function<void(void*)>(), &tokenA).Assigned());
  // Results are returned.
  THidEnumerateEvent r([](THidDevice*, int32_t idx) { return idx < 2; });
  EXPECT_TRUE(r(nullptr, 1));
  EXPECT_FALSE(r(nullptr, 2));
}
