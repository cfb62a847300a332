// The whole program on the simulated bus: a firmware file in a temporary
// folder taken as the executable's, the virtual terminal, the real main
// window with its real parts, and the scripted message presenter.
#pragma once

#include <QTemporaryDir>
#include <memory>
#include <string>
#include <vector>

#include "ScriptedPresenter.h"
#include "SimHidBus.h"
#include "VirtualTerminal.h"

class TKeyedBoxes;
class TfrmMain;
class TfrmVMUpgrade;
class TCommonDlg;

struct TFileSpec {
  std::string Version = "fv0100";
  std::string Date = "15/06/2009";  // newer layout
  int AppliType = 9;
  int Pages = 4;              // page blocks; the end block comes on top
  bool LongWaitMark = false;  // 11 00 00 11 at bytes 10..13 of block 0
};

class TUpgradeRig {
 public:
  explicit TUpgradeRig(const TFileSpec& file = {});
  ~TUpgradeRig();

  // The terminal's default here: application fv0099 of 14/06/2009, USB
  // version 4 (it restarts by itself after the end block, no prompts).
  static TVirtualTerminalConfig TerminalConfig();

  // Plugs the terminal (unless `plugged` is false), creates and shows the
  // main window.
  void Start(const TVirtualTerminalConfig& cfg = TerminalConfig(), bool plugged = true);
  // Plugs the terminal and waits until the dialogue holds it.
  bool PlugAndWait(int timeoutMs = 10000);
  // Waits until a load has run to its end (the upgrade window's load button
  // is enabled again and it is not busy).
  bool WaitLoadEnd(int timeoutMs = 60000);

  TfrmVMUpgrade* Upgrade() const;
  // Follows the gauge of the upgrade window now open.
  void Hook();
  TCommonDlg* Dialogue() const;
  // The file's page bytes (page n at n * 256).
  const std::vector<uint8_t>& Image() const { return FImage; }
  // The terminal received every page of the file, byte for byte, and the
  // end block.
  bool TerminalHasImage() const;
  // The texts shown, in order.
  std::vector<std::string> Keys() const;
  bool Shown(const std::string& key) const;
  int CountShown(const std::string& key) const;

  TScriptedPresenter Presenter;
  // With the option --real-boxes, the script's answers go to the real boxes
  // by key presses.
  std::unique_ptr<TKeyedBoxes> RealBoxes;
  std::shared_ptr<TSimHidBus> Bus;
  std::shared_ptr<TVirtualTerminal> Terminal;
  std::unique_ptr<TfrmMain> Main;
  std::vector<int> Gauge;  // every value the pie gauge was set to

 private:
  QTemporaryDir FDir;
  TfrmVMUpgrade* FHooked = nullptr;
  std::vector<uint8_t> FImage;
};
