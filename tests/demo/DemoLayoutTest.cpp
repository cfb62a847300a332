// Where the demo's windows go: both on screen, side by side when the
// screen is wide enough, on the screens technicians use.
#include <gtest/gtest.h>

#include <QScrollArea>

#include "DemoLayout.h"
#include "F_VirtualTerminal.h"

namespace {

struct TScreen {
  int Width, Height;
  bool SideBySide;
};

}  // namespace

TEST(DemoLayout, BothWindowsStayOnEveryScreen) {
  TfrmVirtualTerminal control(nullptr);
  const QSize client = control.WantedClientSize();
  const int controlFrameWidth = client.width() + kFrameGuess.left() + kFrameGuess.right();
  for (const TScreen& s : {TScreen{1366, 768, true}, TScreen{1600, 1000, true}, TScreen{1920, 1080, true},
                           TScreen{1280, 1024, false}, TScreen{1024, 768, false}}) {
    SCOPED_TRACE(std::to_string(s.Width) + "x" + std::to_string(s.Height));
    // A task bar of 40 pixels at the bottom.
    const QRect avail(0, 0, s.Width, s.Height - 40);
    // The main window's frame: 870 x 640 inside the usual decorations, centred.
    const QSize size = QSize(870, 640).grownBy(kFrameGuess);
    const QRect main(avail.center() - QPoint(size.width() / 2, size.height() / 2), size);
    const TDemoPlacement p = PlaceDemoWindows(avail, main, controlFrameWidth);
    EXPECT_EQ(p.SideBySide, s.SideBySide);
    const QRect mainAt(p.MainTopLeft, main.size());
    if (main.width() <= avail.width() && main.height() <= avail.height()) {
      EXPECT_TRUE(avail.contains(mainAt));
    }
    const QRect controlClient = FitControlWindow(avail, p.ControlTopLeft, client, kFrameGuess);
    const QRect controlFrame = controlClient.marginsAdded(kFrameGuess);
    EXPECT_TRUE(avail.contains(controlFrame)) << controlFrame.x() << "," << controlFrame.y() << " "
                                              << controlFrame.width() << "x" << controlFrame.height();
    if (s.SideBySide) {
      EXPECT_FALSE(mainAt.intersects(controlFrame));
      EXPECT_EQ(controlFrame.top(), mainAt.top());
      // Tall enough for the whole form: nothing hides behind the scroll.
      EXPECT_EQ(controlClient.height(), client.height());
    } else {
      EXPECT_EQ(controlFrame.right(), avail.right());
    }
  }
}

// The control window fits beside the main window on 1366 x 768 without
// scrolling, and scrolls rather than running off smaller screens.
TEST(DemoLayout, TheControlWindowIsCompactAndScrolls) {
  TfrmVirtualTerminal control(nullptr);
  const QSize client = control.WantedClientSize();
  EXPECT_LE(client.width() + kFrameGuess.left() + kFrameGuess.right(), 1366 - 878 - kWindowGap);
  EXPECT_LE(client.height() + kFrameGuess.top() + kFrameGuess.bottom(), 768 - 40);
  EXPECT_NE(control.findChild<QScrollArea*>(), nullptr);
  EXPECT_LT(control.minimumSizeHint().height(), 300);
  // Every group box lies in the scrolled content.
  auto* scroll = control.findChild<QScrollArea*>();
  for (const char* name : {"gbxConnection", "gbxIdentity", "gbxSecurity", "gbxFaults"})
    EXPECT_TRUE(scroll->widget()->findChild<QWidget*>(QLatin1String(name))) << name;
}

TEST(DemoLayout, FitKeepsTheFrameInsideTheArea) {
  const QRect avail(100, 50, 800, 600);
  // Too far right and too low: moved back in; too tall: shortened.
  QRect r = FitControlWindow(avail, QPoint(850, 500), QSize(300, 900), QMargins(4, 30, 4, 4));
  EXPECT_TRUE(avail.contains(r.marginsAdded(QMargins(4, 30, 4, 4))));
  EXPECT_EQ(r.height(), 600 - 34);
  // Already inside: left where it was wanted.
  r = FitControlWindow(avail, QPoint(200, 60), QSize(300, 400), QMargins(4, 30, 4, 4));
  EXPECT_EQ(r, QRect(204, 90, 300, 400));
}

TEST(DemoLayout, PointsAndDates) {
  QPoint p;
  EXPECT_TRUE(ParsePoint(QStringLiteral("12,-34"), p));
  EXPECT_EQ(p, QPoint(12, -34));
  EXPECT_FALSE(ParsePoint(QStringLiteral("12"), p));
  EXPECT_FALSE(ParsePoint(QStringLiteral("a,b"), p));
  EXPECT_TRUE(IsDemoDate(QStringLiteral("29/02/2012")));
  for (const char* bad : {"29/02/2011", "31/04/2010", "1/02/2010", "01/2/2010", "15/06/09", "2010-02-01",
                          "15/06/2009 ", "15-06-2009", ""})
    EXPECT_FALSE(IsDemoDate(QLatin1String(bad))) << bad;
}
