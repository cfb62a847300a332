#include "Gauge.h"

#include <QPainter>

TGauge::TGauge(QWidget* parent) : QWidget(parent) {}

void TGauge::SetProgress(int value) {
  value = value < 0 ? 0 : (value > 100 ? 100 : value);
  emit ProgressSet(value);
  if (value == FProgress) return;
  FProgress = value;
  update();
}

void TGauge::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const int side = qMin(width(), height()) - 2;
  const QRectF r((width() - side) / 2.0, (height() - side) / 2.0, side, side);
  p.setPen(QPen(Qt::black, 1));
  p.setBrush(Qt::white);
  p.drawEllipse(r);
  if (FProgress > 0) {
    p.setBrush(QColor(0, 0, 128));
    // Clockwise from twelve o'clock; Qt counts sixteenths of a degree.
    p.drawPie(r, 90 * 16, -FProgress * 360 * 16 / 100);
  }
  const QString text = QString::number(FProgress) + QLatin1Char('%');
  QFont f = font();
  f.setBold(true);
  f.setPointSize(10);
  p.setFont(f);
  const QRectF tr = p.boundingRect(r, Qt::AlignCenter, text).adjusted(-3, -1, 3, 1);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(255, 255, 255, 200));
  p.drawRoundedRect(tr, 3, 3);
  p.setPen(Qt::black);
  p.drawText(r, Qt::AlignCenter, text);
  FPainted.store(FProgress);
}
