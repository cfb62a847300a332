// main() of the Qt tests: the offscreen platform unless the caller chose
// another (test discovery runs without the tests' environment), one
// QApplication, and the shipped catalogue loaded before every test (a main
// window releases it when it is destroyed).
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>
#include <string>

#include "TestCatalogue.h"
#include "U_Textes.h"

namespace {
class CatalogueListener : public testing::EmptyTestEventListener {
  void OnTestStart(const testing::TestInfo&) override {
    if (!CatalogueLoaded()) LoadShippedCatalogue();
  }
};
}  // namespace

int main(int argc, char** argv) {
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  testing::UnitTest::GetInstance()->listeners().Append(new CatalogueListener);
  return RUN_ALL_TESTS();
}
