// Where the demo's two windows go, so that both stay on screen: the main
// window and, beside it, the control window "Terminal virtuel" (a process
// of its own, which places itself from what the demo tells it).
#pragma once

#include <QMargins>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>

struct TDemoPlacement {
  QPoint MainTopLeft;     // frame position of the main window
  QPoint ControlTopLeft;  // wanted frame position of the control window
  bool SideBySide = false;
};

// The decorations a window manager usually adds, when the real ones are not
// known yet (before the window is shown).
constexpr QMargins kFrameGuess(4, 32, 4, 4);
constexpr int kWindowGap = 8;

// `avail`: the screen's available area; `mainFrame`: the main window's frame
// as it stands; `controlFrameWidth`: the control window's frame width.
// When both fit side by side the pair is centred across the screen, the
// control window at the main window's right; otherwise the main window stays
// where it is (moved into the area when it fits) and the control window
// takes the screen's right edge, above the main window.
TDemoPlacement PlaceDemoWindows(const QRect& avail, const QRect& mainFrame, int controlFrameWidth);

// The control window's client rectangle: its wanted size, as high as the
// area allows (its content scrolls beyond), at `wantedFrameTopLeft` moved
// just enough for the frame (`frame` around the client) to stay in `avail`.
QRect FitControlWindow(const QRect& avail, const QPoint& wantedFrameTopLeft, const QSize& wantedClient,
                       const QMargins& frame);

// "X,Y" as two integers.
bool ParsePoint(const QString& text, QPoint& out);

// "DD/MM/YYYY": ten characters, digits where digits go, a calendar date.
bool IsDemoDate(const QString& text);
