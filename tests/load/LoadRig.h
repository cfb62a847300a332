// The one load harness: the program's real windows on the simulated bus (a
// firmware file in a temporary folder taken as the executable's, the
// virtual terminal), short pauses and capped answer time-outs, the person
// who answers and acts, and a watchdog that turns a freeze or a hang into a
// failure that names the person's last acts and prints the GUI thread's
// stack.
#pragma once

#include <QTemporaryDir>
#include <memory>
#include <string>
#include <vector>

#include "AppParts.h"
#include "Person.h"
#include "SimHidBus.h"
#include "VirtualTerminal.h"

class TfrmMain;
class TfrmVMUpgrade;
class TCommonDlg;
class TRigWatchdog;

struct TFileSpec {
  std::string Version = "fv0100";
  std::string Date = "15/06/2009";  // newer layout
  int AppliType = 9;
  int Pages = 4;              // page blocks; the end block comes on top
  bool LongWaitMark = false;  // 11 00 00 11 at bytes 10..13 of block 0
};

class TLoadRig {
 public:
  // `freezeMs`: the GUI thread may stand still this long; `limitS`: the
  // whole test may take this long.
  explicit TLoadRig(const TFileSpec& file = {}, int freezeMs = 10000, int limitS = 90);
  ~TLoadRig();

  // The terminal's default here: application fv0099 of 14/06/2009, USB
  // version 4 (it restarts by itself after the end block, no prompts).
  static TVirtualTerminalConfig TerminalConfig();

  // Plugs the terminal (unless `plugged` is false), creates and shows the
  // main window; the watchdog starts with the event loop. The driver button
  // installs nothing: it shows a box.
  void Start(const TVirtualTerminalConfig& cfg = TerminalConfig(), bool plugged = true,
             const TAppOptions& options = {});
  // Waits until the load has ended: the upgrade window no longer works.
  bool WaitLoadEnd(int timeoutMs = 30000);
  // "Charger", then waits until the load has begun (identity asked).
  bool LoadAgain();
  // Waits until nothing more can happen by itself: no exchange under way, no
  // load armed to start, and the events already queued have run.
  bool AtRest();

  TfrmVMUpgrade* Upgrade() const;
  TCommonDlg* Dialogue() const;
  const std::vector<uint8_t>& Image() const { return FImage; }
  // The terminal holds every page of the file, byte for byte, and the end
  // block.
  bool TerminalHasImage() const;
  // What was shown, in order: each box as its key ("warning" for a warning
  // without one, else its first line), the password dialog as "password".
  std::vector<std::string> Keys() const;
  bool Shown(const std::string& key) const;
  const std::vector<TPerson::TShown>& Boxes() const { return Person->Shown(); }

  TProgramView& View;
  std::shared_ptr<TSimHidBus> Bus;
  std::shared_ptr<TVirtualTerminal> Terminal;
  std::unique_ptr<TPerson> Person;
  std::unique_ptr<TfrmMain> Main;
  std::vector<int> Gauge;  // every value the pie gauge was set to

 private:
  QTemporaryDir FDir;
  std::vector<uint8_t> FImage;
  std::unique_ptr<TRigWatchdog> FWatchdog;
  int FFreezeMs, FLimitS;
};

// The key of the success box.
inline const std::string kOk = "_LoadVelmoraOk";
// The person's keys for the replug prompts.
inline const std::string kUnplug = "_DeconnectUSB", kReplug = "_ReconnectUSB";
// Blocks of the default file: four pages and the end block.
constexpr int kBlocks = 5;

// Whether the program's labels read "<Inconnu>" for name, version, date and
// frame version.
bool IdentityUnknown(const TProgramIdentity& id);
