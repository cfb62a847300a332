#include "DemoLayout.h"

#include <QDate>
#include <QRegularExpression>
#include <QStringList>
#include <algorithm>

namespace {

// `pos` moved so that a length `len` from it stays within [lo, hi); `lo`
// wins when it cannot.
int Clamp(int pos, int len, int lo, int hi) { return std::max(lo, std::min(pos, hi - len)); }

}  // namespace

TDemoPlacement PlaceDemoWindows(const QRect& avail, const QRect& mainFrame, int controlFrameWidth) {
  TDemoPlacement p;
  const int right = avail.left() + avail.width();
  const int bottom = avail.top() + avail.height();
  const int mainY = Clamp(mainFrame.top(), mainFrame.height(), avail.top(), bottom);
  const int pair = mainFrame.width() + kWindowGap + controlFrameWidth;
  if (pair <= avail.width()) {
    const int x = avail.left() + (avail.width() - pair) / 2;
    p.MainTopLeft = QPoint(x, mainY);
    p.ControlTopLeft = QPoint(x + mainFrame.width() + kWindowGap, mainY);
    p.SideBySide = true;
  } else {
    p.MainTopLeft = QPoint(Clamp(mainFrame.left(), mainFrame.width(), avail.left(), right), mainY);
    p.ControlTopLeft = QPoint(std::max(avail.left(), right - controlFrameWidth), avail.top());
  }
  return p;
}

QRect FitControlWindow(const QRect& avail, const QPoint& wantedFrameTopLeft, const QSize& wantedClient,
                       const QMargins& frame) {
  const int extraW = frame.left() + frame.right();
  const int extraH = frame.top() + frame.bottom();
  const int w = std::max(1, std::min(wantedClient.width(), avail.width() - extraW));
  const int h = std::max(1, std::min(wantedClient.height(), avail.height() - extraH));
  const int x = Clamp(wantedFrameTopLeft.x(), w + extraW, avail.left(), avail.left() + avail.width());
  const int y = Clamp(wantedFrameTopLeft.y(), h + extraH, avail.top(), avail.top() + avail.height());
  return QRect(x + frame.left(), y + frame.top(), w, h);
}

bool ParsePoint(const QString& text, QPoint& out) {
  const QStringList parts = text.split(QLatin1Char(','));
  if (parts.size() != 2) return false;
  bool okX = false, okY = false;
  const int x = parts[0].trimmed().toInt(&okX);
  const int y = parts[1].trimmed().toInt(&okY);
  if (!okX || !okY) return false;
  out = QPoint(x, y);
  return true;
}

bool IsDemoDate(const QString& text) {
  static const QRegularExpression form(QStringLiteral("^[0-9]{2}/[0-9]{2}/[0-9]{4}$"));
  return form.match(text).hasMatch() && QDate::fromString(text, QStringLiteral("dd/MM/yyyy")).isValid();
}
