// The demo's control window "Terminal virtuel", in a process of its own:
// plugs and unplugs the virtual terminal, sets its identity, password,
// switch and answer latency, injects faults, and shows what the terminal
// holds and which box the program shows. It speaks to the demo's control
// server (DemoLink.h), so the program's modal boxes never freeze it.
#pragma once

#include <QJsonObject>
#include <QWidget>
#include <memory>

#include "DemoLink.h"

namespace Ui {
class TfrmVirtualTerminal;
}
class QScrollArea;

class TfrmVirtualTerminal : public QWidget {
  Q_OBJECT
 public:
  // The width of the window's content: the demo places the window with it.
  static constexpr int kContentWidth = 440;

  explicit TfrmVirtualTerminal(TControlClient* link, QWidget* parent = nullptr);
  ~TfrmVirtualTerminal() override;

  const TTerminalView& View() const { return FView; }
  QString StatusText() const;
  // The client size that shows the whole form without scrolling.
  QSize WantedClientSize() const;

 public slots:
  void btnPlugClick();
  void btnUnplugClick();
  void btnReplugClick();
  void btnApplyIdentityClick();
  void btnAddFaultClick();
  void btnClearFaultsClick();
  void SecurityChanged();
  void LatencyChanged(int ms);

  void ApplyConfig(const QJsonObject& config);
  void ShowView(const TTerminalView& view);
  // The tour's orders: "presser" a button as a user would, "capture" the
  // window into a PNG file. Each gets an answer with the same "id".
  void HandleRequest(const QJsonObject& request);

 protected:
  void closeEvent(QCloseEvent* e) override;

 private:
  void ShowStatus(const QString& text);
  void Reply(const QJsonObject& request, bool ok, const QString& text = QString());

  std::unique_ptr<Ui::TfrmVirtualTerminal> ui;
  QScrollArea* FScroll;
  QWidget* FContent;
  TControlClient* FLink;
  TTerminalView FView;
  bool FLinkEnded = false;
};

// The control window's process: connects to the demo's server `serverName`,
// shows the window with its frame at `position` when given (moved as little
// as needed to stay on screen), and runs until the demo ends. Returns the
// process's exit code.
int RunControlWindow(const QString& serverName, const QPoint* position);
