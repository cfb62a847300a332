// A pie gauge: the share of work done, 0 to 100, drawn as a filled sector
// with its percentage in the middle.
#pragma once

#include <QWidget>
#include <atomic>

class TGauge : public QWidget {
  Q_OBJECT
  Q_PROPERTY(int Progress READ Progress WRITE SetProgress)
 public:
  explicit TGauge(QWidget* parent = nullptr);
  int Progress() const { return FProgress; }
  // Clamped to 0..100.
  void SetProgress(int value);
  // The progress the gauge last drew on screen (any thread may read it).
  int PaintedProgress() const { return FPainted.load(); }

 signals:
  // Every value set, also an unchanged one.
  void ProgressSet(int value);

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  int FProgress = 0;
  std::atomic<int> FPainted{-1};
};
