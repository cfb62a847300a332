// The demo's control window "Terminal virtuel": plugs and unplugs the
// virtual terminal, sets its identity, password, switch and answer
// latency, injects faults, and shows what the terminal holds.
#pragma once

#include <QWidget>
#include <memory>

#include "DemoSettings.h"

namespace Ui {
class TfrmVirtualTerminal;
}
class QTimer;
class TSimHidBus;

class TfrmVirtualTerminal : public QWidget {
  Q_OBJECT
 public:
  TfrmVirtualTerminal(std::shared_ptr<TSimHidBus> bus, std::shared_ptr<TVirtualTerminal> terminal,
                      const TDemoSettings& settings, QWidget* parent = nullptr);
  ~TfrmVirtualTerminal() override;

  bool Plugged() const;

 public slots:
  void btnPlugClick();
  void btnUnplugClick();
  void btnReplugClick();
  void btnApplyIdentityClick();
  void btnAddFaultClick();
  void btnClearFaultsClick();
  void SecurityChanged();
  void LatencyChanged(int ms);
  void RefreshState();

 private:
  void ShowFault(const TDemoFault& fault);

  std::unique_ptr<Ui::TfrmVirtualTerminal> ui;
  std::shared_ptr<TSimHidBus> FBus;
  std::shared_ptr<TVirtualTerminal> FTerminal;
  QTimer* FRefresh;
};
