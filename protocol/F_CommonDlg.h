// The device dialogue: finds the terminal among the HID devices by its
// product string, holds it while it is plugged in, tells the windows when it
// comes and goes, and carries out the commands of the frame protocol. A
// QObject that is never shown; everything runs on the GUI thread.
//
// Presence. ConnectedChanged(bool) is emitted by every SetConnected, in the
// order of the connections: the main window connects first (its buttons),
// then the upgrade window (its pause and its identity read or label
// clearing), then an open password dialog (closing). A window that must see
// the SetConnected(true) run while the dialogue is created (a terminal
// already plugged in) connects from the `beforeScan` call of the
// constructor.
//
// Waiting. SendAndWait writes the reports of a frame on a writer thread and
// waits for each write in a nested event loop (a write to a terminal that
// stops taking reports can block for seconds); between two reports the
// pending events are processed, so an unplug there ends the writes. It then
// waits for the answer in a nested event loop that ends as soon as the
// answer has been examined or the time-out fired. Neither wait spins.
#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "DialogueCore.h"
#include "HidControllerClass.h"

class QEventLoop;
class QSocketNotifier;
class QTimer;
class THidQtDispatcher;
class TReportWriter;

class TCommonDlg : public QObject, public TDialogueCore {
  Q_OBJECT
 public:
  // `platform`: the HID platform to work on (null: the host's own). The
  // controller lists the devices during the construction, so a terminal that
  // is plugged in is held (and SetConnected(true) has run) when it returns;
  // `beforeScan` is called just before that first scan.
  explicit TCommonDlg(QObject* owner = nullptr, std::shared_ptr<IHidPlatform> platform = nullptr,
                      const std::function<void(TCommonDlg&)>& beforeScan = {});
  ~TCommonDlg() override;

  static QString Caption();  // "Fenêtre de dialogue commune"

  // Components.
  QTimer* TimeOutUSB = nullptr;
  std::unique_ptr<THidDeviceController> HidCtl;

  // The terminal, claimed from HidCtl while it is held; none otherwise.
  THidDevice* Device = nullptr;

  // Commands: one attempt each; false leaves the reason in Status.
  bool OpenDialogue(int ExpectedAppType, bool ShowErrors);
  bool CloseDialogue(bool ShowErrors);
  // The password's characters, one byte each (Windows-1252), padded with
  // 0x00 to 16 bytes.
  bool SendPassword(const std::string& Password, bool ShowErrors);
  bool EnterLoader(bool ShowErrors);
  bool LeaveLoader(bool ShowErrors);
  bool SendBlock(const TBytes& Block, int TimeoutTicks, bool ShowErrors);

  bool IsConnected() const { return Connected; }
  // VersionNumber of the held terminal's attributes; 0 without one.
  uint16_t GetUsbVersion() const;

  // One exchange: false at once (nothing sent, Status unchanged) without a
  // terminal or while another exchange is under way.
  bool SendAndWait(const TBytes& Frame, int TimeoutTicks);

  // Handlers.
  void TerminalData(THidDevice* HidDev, uint8_t ReportID, const uint8_t* Data, uint16_t Size);
  void SetConnected(bool Value);
  bool HidCtlEnumerate(THidDevice* HidDev, int32_t Idx);
  void HidCtlDeviceChange(void* Sender);
  void HidCtlDeviceUnplug(THidDevice* HidDev);
  void TimeOutUSBTimer();
  // The held terminal's read failed (its reader reports every failure).
  void TerminalDataError(THidDevice* HidDev, uint32_t Error);

  // The host's own notice that device nodes changed (Windows: the windows'
  // WM_DEVICECHANGE). Runs one re-scan, or, while a report is being written,
  // one once the write is over.
  void HostDeviceNotice();
  // Terminals found so far that could not be opened for reading and writing.
  int AccessRefusedCount() const { return FAccessRefusedCount; }

  // The trace of the frames exchanged with the terminal: each command frame
  // as its first report goes out (toTerminal true), so before any answer to
  // it, and each answer that ended an exchange. Unset in normal use.
  std::function<void(bool toTerminal, const TBytes& frame)> OnFrame;

  // Every answer time-out is this share (in percent) of its specified
  // length, at least 1 ms. 100 in the program; tests that walk many
  // exchanges may shorten the waits.
  static int TimeoutPercent;
  // When above 0, no answer time-out is longer than this (in ms): tests that
  // wait for blocks the terminal leaves unanswered need not wait 5 s each.
  static int TimeoutCapMs;

  THidQtDispatcher& Dispatcher() { return *FDispatcher; }
  // Output reports whose write was skipped because the terminal went away
  // while its frame was being written (diagnostics and tests).
  uint64_t SkippedReports() const { return FSkippedReports; }

 signals:
  void ConnectedChanged(bool connected);

 protected:
  void AnswerTaken(const uint8_t* Bytes, size_t Size) override;

 private:
  // Sets ShowErrors and ExpectedAnswer and runs SendAndWait, unless the
  // exchange cannot start.
  bool Exchange(int Expected, bool ShowErrors, const TBytes& Frame, int TimeoutTicks);
  void FormCreate();
  void FormDestroy();
  void WatchNotices();
  void NoticesReady();
  // Writes reports[first..] on the writer thread, stopping early when the
  // GUI thread has hand-overs or change notices waiting; returns how many
  // were written (at least one).
  size_t WriteReports(THidDevice* dev, const std::vector<TBytes>& reports, size_t first, uint32_t length);
  void HoldHid();
  void ReleaseHid();
  void AccessRefused(THidDevice* HidDev);

  std::unique_ptr<THidQtDispatcher> FDispatcher;
  std::unique_ptr<TReportWriter> FWriter;
  QSocketNotifier* FNotifier = nullptr;
  QEventLoop* FWaitLoop = nullptr;
  uint64_t FClaimSerial = 0;  // changes at every claim and release
  uint64_t FSkippedReports = 0;
  int FDeferredNotices = 0;              // host notices that came while held
  std::set<uint32_t> FRefusedInstances;  // refused terminals present now
  int FAccessRefusedCount = 0;
  bool FAccessBoxPending = false;
  bool FRescanPending = false;
};
