// main() of the Qt tests: the offscreen platform unless the caller chose
// another (test discovery runs without the tests' environment), one
// QApplication, and the shipped catalogue loaded before every test (a main
// window releases it when it is destroyed). With --real-boxes the rigs show
// the application's real boxes, answered by key presses.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>
#include <string>

#include "KeyedBoxes.h"
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
  // --real-boxes: the load's boxes are the application's own, answered by
  // the keyboard, instead of scripted answers.
  for (int i = 1; i < argc; ++i)
    if (std::string(argv[i]) == "--real-boxes") SetTestsUseRealBoxes(true);
  QApplication app(argc, argv);
  testing::UnitTest::GetInstance()->listeners().Append(new CatalogueListener);
  return RUN_ALL_TESTS();
}
