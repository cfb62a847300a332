#include "F_CommonDlg.h"

#ifndef _WIN32
#include <poll.h>
#endif
#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "HidQtDispatch.h"
#include "U_Messages.h"
#include "U_Textes.h"
#ifdef KVZ_HAVE_SYSTEM_HID
#include "HidSystem.h"
#endif
#ifdef _WIN32
#include "WinDeviceNotice.h"
#endif

// The thread that writes the output reports. The GUI thread hands it the
// reports of a frame and waits: briefly on the condition variable (writes
// normally take microseconds), then, when they take longer, in a nested event
// loop that the writer ends through a wake-up. Before each report after the
// first, the writer asks `pause` whether the GUI thread has something waiting
// for it (a hand-over, a change notice); if so it stops there and hands back,
// so that an unplug between two reports is seen before the next one.
class TReportWriter {
 public:
  TReportWriter() : FWake(new TQtWakeUp([this] { Woken(); })), FThread([this] { Body(); }) {}

  ~TReportWriter() {
    {
      std::lock_guard<std::mutex> lock(FMutex);
      FStop = true;
    }
    FCond.notify_all();
    FThread.join();
    delete FWake;
  }

  // Writes reports[first..] until done or paused; returns how many it wrote.
  // Never returns while the writer still uses the arguments: when the nested
  // loop ends early (the application is quitting, which ends every loop at
  // once), the writer is asked to stop after the report in progress and is
  // waited for, so the count returned is exact and no report goes twice.
  size_t Write(THidDevice* dev, const std::vector<TBytes>& reports, size_t first, uint32_t length,
               const std::function<bool()>& pause) {
    std::unique_lock<std::mutex> lock(FMutex);
    FDev = dev;
    FReports = &reports;
    FFirst = first;
    FWritten = 0;
    FLength = length;
    FPause = &pause;
    FDone = false;
    FCutShort = false;
    FHasJob = true;
    FCond.notify_all();
    if (!FCond.wait_for(lock, std::chrono::milliseconds(2), [this] { return FDone; })) {
      // Still writing: keep the window alive until it is done.
      QEventLoop loop;
      FLoop = &loop;
      lock.unlock();
      loop.exec();
      lock.lock();
      FLoop = nullptr;
      if (!FDone) {
        FCutShort = true;
        FCond.wait(lock, [this] { return FDone; });
      }
    }
    FReports = nullptr;
    FPause = nullptr;
    FDev = nullptr;
    return FWritten;
  }

 private:
  void Body() {
    std::unique_lock<std::mutex> lock(FMutex);
    for (;;) {
      FCond.wait(lock, [this] { return FStop || FHasJob; });
      if (FStop) return;
      FHasJob = false;
      THidDevice* dev = FDev;
      const std::vector<TBytes>& reports = *FReports;
      const std::function<bool()>& pause = *FPause;
      const size_t first = FFirst;
      const uint32_t length = FLength;
      lock.unlock();
      size_t written = 0;
      for (size_t i = first; i < reports.size(); ++i) {
        if (i > first && (FCutShort.load() || (pause && pause()))) break;
        uint32_t bytes = 0;
        // The result is not examined: a failed write shows as a missing answer.
        try {
          dev->WriteReport(reports[i].data(), length, bytes);
        } catch (...) {
        }
        ++written;
      }
      lock.lock();
      FWritten = written;
      FDone = true;
      FCond.notify_all();
      if (FLoop != nullptr) FWake->Poke();
    }
  }

  // GUI thread: the writer finished while the GUI waited in its loop.
  void Woken() {
    std::lock_guard<std::mutex> lock(FMutex);
    if (FLoop != nullptr && FDone) FLoop->quit();
  }

  TQtWakeUp* FWake;
  std::mutex FMutex;
  std::condition_variable FCond;
  THidDevice* FDev = nullptr;
  const std::vector<TBytes>* FReports = nullptr;
  const std::function<bool()>* FPause = nullptr;
  size_t FFirst = 0;
  size_t FWritten = 0;
  uint32_t FLength = 0;
  bool FHasJob = false;
  bool FDone = false;
  bool FStop = false;
  std::atomic<bool> FCutShort{false};  // the caller stopped waiting in its loop
  QEventLoop* FLoop = nullptr;
  std::thread FThread;
};

namespace {
// Whether a descriptor has data waiting (any thread; never blocks).
bool Readable(int fd) {
#ifdef _WIN32
  (void)fd;  // notices come through the windows' messages (WinDeviceNotice)
  return false;
#else
  if (fd < 0) return false;
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
#endif
}
}  // namespace

namespace {
std::shared_ptr<IHidPlatform> HostPlatform() {
#ifdef KVZ_HAVE_SYSTEM_HID
  return CreateSystemHidPlatform();
#else
  return nullptr;
#endif
}
}  // namespace

TCommonDlg::TCommonDlg(QObject* owner, std::shared_ptr<IHidPlatform> platform,
                       const std::function<void(TCommonDlg&)>& beforeScan)
    : QObject(owner) {
  setObjectName(QStringLiteral("CommonDlg"));
  FDispatcher = std::make_unique<THidQtDispatcher>();
  FWriter = std::make_unique<TReportWriter>();

  TimeOutUSB = new QTimer(this);
  TimeOutUSB->setObjectName(QStringLiteral("TimeOutUSB"));
  TimeOutUSB->setTimerType(Qt::PreciseTimer);
  connect(TimeOutUSB, &QTimer::timeout, this, &TCommonDlg::TimeOutUSBTimer);

#ifdef _WIN32
  const bool hostPlatform = !platform;
#endif
  if (!platform) platform = HostPlatform();
  HidCtl = std::make_unique<THidDeviceController>(platform, FDispatcher->Queue());
  WatchNotices();
#ifdef _WIN32
  // The host's device-change notices reach the application's windows: one
  // pass per notice, on the GUI thread. Only when the HID services are bound.
  THidGuid hidGuid;
  if (hostPlatform && HidCtl->Platform() && HidCtl->Platform()->GetHidGuid(hidGuid))
    new TWinDeviceNotice(this, [this] { HostDeviceNotice(); });
#endif
  if (beforeScan) beforeScan(*this);
  // Connecting OnDeviceChange runs the first pass, which enumerates: a
  // terminal already plugged in is held from here on.
  HidCtl->SetOnEnumerate(THidEnumerateEvent(this, &TCommonDlg::HidCtlEnumerate));
  HidCtl->SetOnDeviceChange(TNotifyEvent(this, &TCommonDlg::HidCtlDeviceChange));
  HidCtl->SetOnDeviceUnplug(THidUnplugEvent(this, &TCommonDlg::HidCtlDeviceUnplug));

  ResetIdentity();
  StartByte = kStartByte;
  ProductName = kTerminalProductName;
  FormCreate();
}

TCommonDlg::~TCommonDlg() {
  FormDestroy();
  delete FNotifier;
  FNotifier = nullptr;
  HidCtl.reset();
  FWriter.reset();
  FDispatcher.reset();
}

int TCommonDlg::TimeoutPercent = 100;
int TCommonDlg::TimeoutCapMs = 0;

QString TCommonDlg::Caption() { return QStringLiteral("Fenêtre de dialogue commune"); }

void TCommonDlg::FormCreate() {
  ResetIdentity();
  TimedOut = false;
  Waiting = true;
  if (!Answer) Answer = std::make_unique<Obj_Reponse>();
}

void TCommonDlg::FormDestroy() {
  if (Device != nullptr) {
    Device->SetDataHandler(nullptr);
    HidCtl->ReleaseDevice(Device);
    ++FClaimSerial;
  }
  Answer.reset();
}

void TCommonDlg::WatchNotices() {
  const int fd = HidCtl->NoticeFd();
  if (fd < 0) return;  // notices come through the listener and the call queue
  FNotifier = new QSocketNotifier(fd, QSocketNotifier::Read);
  connect(FNotifier, &QSocketNotifier::activated, this, &TCommonDlg::NoticesReady);
}

void TCommonDlg::NoticesReady() {
  if (FDispatcher->Held()) return;  // the notifier is off while held
  HidCtl->ConsumeNotices();
}

void TCommonDlg::HostDeviceNotice() {
  if (!HidCtl) return;
  // While a report is being written the device must stay as it is: a pass
  // would close the handle the writer uses and an unplug would delete the
  // device under it. The notice waits for the release.
  if (FDispatcher->Held()) {
    ++FDeferredNotices;
    return;
  }
  HidCtl->NotifyDeviceChange();
}

void TCommonDlg::HoldHid() {
  FDispatcher->Hold();
  if (FNotifier) FNotifier->setEnabled(false);
}

void TCommonDlg::ReleaseHid() {
  if (FNotifier) FNotifier->setEnabled(true);
  FDispatcher->Release();
  while (!FDispatcher->Held() && FDeferredNotices > 0) {
    --FDeferredNotices;
    HidCtl->NotifyDeviceChange();
  }
}

// ---------------------------------------------------------------------------
// Commands

bool TCommonDlg::Exchange(int Expected, bool ShowErrors, const TBytes& Frame, int TimeoutTicks) {
  // A command refused because another exchange is under way (or without a
  // terminal) must leave that exchange's settings alone.
  if (Device == nullptr || Busy) return false;
  this->ShowErrors = ShowErrors;
  ExpectedAnswer = Expected;
  return SendAndWait(Frame, TimeoutTicks);
}

bool TCommonDlg::OpenDialogue(int ExpectedAppType, bool ShowErrors) {
  const bool ok =
      Exchange(kAnsDialogue, ShowErrors, BuildFrame(DialoguePayload(true), kCmdDialogue), kTicksDialogue);
  return ok && (ExpectedAppType == 255 || ExpectedAppType == AppType);
}

bool TCommonDlg::CloseDialogue(bool ShowErrors) {
  return Exchange(kAnsDialogue, ShowErrors, BuildFrame(DialoguePayload(false), kCmdDialogue), kTicksDialogue);
}

bool TCommonDlg::SendPassword(const std::string& Password, bool ShowErrors) {
  return Exchange(kAnsPassword, ShowErrors, BuildFrame(PasswordPayload(Utf8ToCp1252(Password)), kCmdPassword),
                  kTicksPassword);
}

bool TCommonDlg::EnterLoader(bool ShowErrors) {
  return Exchange(kAnsLoader, ShowErrors, BuildFrame(LoaderPayload(true), kCmdLoader), kTicksEnterLoader);
}

bool TCommonDlg::LeaveLoader(bool ShowErrors) {
  return Exchange(kAnsLoader, ShowErrors, BuildFrame(LoaderPayload(false), kCmdLoader), kTicksLeaveLoader);
}

bool TCommonDlg::SendBlock(const TBytes& Block, int TimeoutTicks, bool ShowErrors) {
  return Exchange(kAnsBlock, ShowErrors, BuildFrame(Block, kCmdBlock), TimeoutTicks);
}

uint16_t TCommonDlg::GetUsbVersion() const {
  return Device != nullptr ? Device->HidAttributes().VersionNumber : 0;
}

// ---------------------------------------------------------------------------
// One exchange

size_t TCommonDlg::WriteReports(THidDevice* dev, const std::vector<TBytes>& reports, size_t first,
                                uint32_t length) {
  THidCallQueue& queue = FDispatcher->Queue();
  const int fd = HidCtl->NoticeFd();
  const std::function<bool()> pause = [&queue, fd] { return queue.PendingCount() > 0 || Readable(fd); };
  HoldHid();
  size_t written = 0;
  try {
    written = FWriter->Write(dev, reports, first, length, pause);
  } catch (...) {
    ReleaseHid();
    throw;
  }
  // Runs what the reader threads and the change notices handed over
  // meanwhile: an unplug among them releases Device.
  ReleaseHid();
  return written;
}

bool TCommonDlg::SendAndWait(const TBytes& Frame, int TimeoutTicks) {
  THidDevice* dev = Device;
  if (dev == nullptr || Busy) return false;
  if (dev->GetProductStringUtf8() != ProductName) return false;

  BeginExchange();
  struct TEnd {
    TCommonDlg* D;
    ~TEnd() {
      D->TimeOutUSB->stop();
      D->EndExchange();
    }
  } end{this};

  const uint64_t serial = FClaimSerial;
  const THidDataEvent handler(this, &TCommonDlg::TerminalData);
  dev->FlushInput();
  // The reader runs from the first exchange on, before the frame goes out,
  // so that a terminal answering at once is not missed.
  dev->SetDataHandler(handler);
  const THidCaps caps = dev->QueryCaps();
  const uint32_t length = caps.OutputReportByteLength;
  const std::vector<TBytes> reports = CutIntoReports(Frame, static_cast<int>(length));
  size_t next = 0;
  while (next < reports.size()) {
    if (FClaimSerial != serial || Device != dev) {
      FSkippedReports += reports.size() - next;  // the terminal went away meanwhile
      break;
    }
    // Traced as its first report goes out: no answer to it can be traced
    // before (a terminal may answer within the write, and the answer is
    // handed over as soon as the write lets go of the GUI thread).
    if (next == 0 && OnFrame) OnFrame(true, Frame);
    next += WriteReports(dev, reports, next, length);
    QCoreApplication::processEvents();
  }
  if (FClaimSerial == serial && Device == dev) dev->SetDataHandler(handler);

  long long ms = static_cast<long long>(TicksToMs(TimeoutTicks)) * TimeoutPercent / 100;
  if (TimeoutCapMs > 0 && ms > TimeoutCapMs) ms = TimeoutCapMs;
  TimeOutUSB->setInterval(static_cast<int>(ms < 1 ? 1 : ms));
  TimeOutUSB->start();
  if (Waiting && !TimedOut) {
    QEventLoop loop;
    FWaitLoop = &loop;
    loop.exec();
    FWaitLoop = nullptr;
  }
  return AnswerOk;  // TEnd: timer off, Status -1 on a time-out, Busy cleared
}

void TCommonDlg::AnswerTaken(const uint8_t* Bytes, size_t Size) {
  if (OnFrame) OnFrame(false, TBytes(Bytes, Bytes + Size));
}

void TCommonDlg::TimeOutUSBTimer() {
  TimedOut = true;
  TimeOutUSB->stop();
  if (FWaitLoop) FWaitLoop->quit();
}

void TCommonDlg::TerminalData(THidDevice* HidDev, uint8_t ReportID, const uint8_t* Data, uint16_t Size) {
  (void)ReportID;
  if (HidDev == nullptr || HidDev->GetProductStringUtf8() != ProductName) return;
  ReceiveReport(Data, Size);
  if (FWaitLoop && (!Waiting || TimedOut)) FWaitLoop->quit();
}

// ---------------------------------------------------------------------------
// Presence

void TCommonDlg::SetConnected(bool Value) {
  Connected = Value;
  emit ConnectedChanged(Value);
}

bool TCommonDlg::HidCtlEnumerate(THidDevice* HidDev, int32_t Idx) {
  if (HidDev->GetProductStringUtf8() != ProductName) return true;
  if (Device == nullptr) {
    if (!HidDev->ReadWriteAccess()) {
      // A terminal the system does not let us open for reading and writing
      // (on Linux: before the access rule is installed) would answer
      // nothing: it is not taken, the technician is told why, and the
      // driver button, which installs the rule, stays available. Another
      // terminal may still be taken.
      AccessRefused(HidDev);
      SetConnected(false);
      return true;
    }
    HidCtl->ClaimDeviceAt(Device, Idx);
    if (Device != nullptr) {
      ++FClaimSerial;
      Device->SetOnDeviceDataError(THidDataErrorEvent(this, &TCommonDlg::TerminalDataError));
    }
  }
  SetConnected(Device != nullptr);
  return false;
}

void TCommonDlg::AccessRefused(THidDevice* HidDev) {
  // Told once each time such a terminal appears, not at every re-scan.
  if (!FRefusedInstances.insert(HidDev->PnPInfo().DeviceInstance).second) return;
  ++FAccessRefusedCount;
  if (FAccessBoxPending) return;
  FAccessBoxPending = true;
  // Shown from the event loop, not from inside the controller's walk.
  QTimer::singleShot(0, this, [this] {
    FAccessBoxPending = false;
    ShowInformationKey("_Err_AccessRefused");
  });
}

void TCommonDlg::TerminalDataError(THidDevice* HidDev, uint32_t Error) {
  // Reads that fail because the node is gone, while no remove notice came
  // (no device manager, a lost notice): one re-scan finds out, and the
  // terminal's unplug follows from it if it has really vanished.
  if (HidDev != Device || Error != kHidErrorDeviceNotConnected || FRescanPending) return;
  FRescanPending = true;
  QTimer::singleShot(0, this, [this] {
    FRescanPending = false;
    if (Device) HostDeviceNotice();
  });
}

void TCommonDlg::HidCtlDeviceChange(void* Sender) {
  (void)Sender;
  HidCtl->EnumerateDevices();
  // Refused terminals that have gone are told again when they come back.
  for (auto it = FRefusedInstances.begin(); it != FRefusedInstances.end();) {
    bool present = false;
    for (THidDevice* d : HidCtl->DeviceList())
      if (d->Plugged() && d->PnPInfo().DeviceInstance == *it) present = true;
    it = present ? std::next(it) : FRefusedInstances.erase(it);
  }
}

void TCommonDlg::HidCtlDeviceUnplug(THidDevice* HidDev) {
  // Only the held terminal's own unplug releases it: another terminal that
  // goes away leaves the held one working.
  if (Device == nullptr || HidDev != Device) return;
  HidCtl->ReleaseDevice(Device);
  ++FClaimSerial;
  SetConnected(false);
}
