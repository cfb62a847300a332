#include "F_VMUpgrade.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <cstdio>

#include "F_CommonDlg.h"
#include "F_PasswordFirmware.h"
#include "F_Wait.h"
#include "Gauge.h"
#include "U_ConstDlg.h"
#include "U_DecodeFileMot.h"
#include "U_Divers.h"
#include "U_Messages.h"
#include "U_QtShell.h"
#include "U_Textes.h"
#include "ui_F_VMUpgrade.h"

TfrmVMUpgrade* frmVMUpgrade = nullptr;

namespace {

constexpr int kBlockTimeoutTicks = 91;
constexpr int kLongBlockTimeoutTicks = 182;
constexpr const char* kLongWaitMark = "11000011";
constexpr int kPromptLimit = 5;
constexpr int kUsbVersionWithoutPrompts = 4;
// Room left right of the identity values in their group box.
constexpr int kValueRightMargin = 6;
// The status whose text is "Erreur inconnue".
constexpr int kStatusUnknownError = 255;

// Runs `f` when the scope ends, however it ends.
template <typename F>
struct TFinally {
  F f;
  ~TFinally() { f(); }
};
template <typename F>
TFinally<F> Finally(F f) {
  return TFinally<F>{f};
}

void ProcessPending() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

// Byte-by-byte comparison of character codes; a prefix is the smaller.
int CompareCodes(const std::string& a, const std::string& b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    const auto ca = static_cast<unsigned char>(a[i]), cb = static_cast<unsigned char>(b[i]);
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

std::string DateText(const QDate& d) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d/%02d/%04d", d.day(), d.month(), d.year());
  return buf;
}

QDate ToQDate(const TAppliDate& d) { return QDate(d.Year, d.Month, d.Day); }

// The hour-glass of the unplug and replug prompts, put back however the
// prompts end.
class TPromptCursor {
 public:
  ~TPromptCursor() { Restore(); }
  void Restore() {
    if (FSet) QGuiApplication::restoreOverrideCursor();
    FSet = false;
  }
  void HourGlass() {
    Restore();
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    FSet = true;
  }

 private:
  bool FSet = false;
};

}  // namespace

TUpgradePauses& TfrmVMUpgrade::Pauses() {
  static TUpgradePauses pauses;
  return pauses;
}

TfrmVMUpgrade::TfrmVMUpgrade(QWidget* owner) : QWidget(owner), ui(std::make_unique<Ui::TfrmVMUpgrade>()) {
  ui->setupUi(this);
  // It covers the main window's panel, picture and buttons included.
  setAutoFillBackground(true);
  Panel1 = ui->Panel1;
  pnlTitle = ui->pnlTitle;
  Panel8 = ui->Panel8;
  imgVigik = ui->imgVigik;
  Panel3 = ui->Panel3;
  gbxLoad = ui->gbxLoad;
  Gauge = ui->Gauge;
  PrgBarLoadFirmware = ui->PrgBarLoadFirmware;
  gbxVersAppli = ui->gbxVersAppli;
  lblNameAppliA = ui->lblNameAppliA;
  lblNameAppli = ui->lblNameAppli;
  lblNameVersA = ui->lblNameVersA;
  lblNameVers = ui->lblNameVers;
  lblDateAppliA = ui->lblDateAppliA;
  lblDateAppli = ui->lblDateAppli;
  lblVersTrameA = ui->lblVersTrameA;
  lblVersTrame = ui->lblVersTrame;
  lblVersUsbA = ui->lblVersUsbA;
  lblVersUSB = ui->lblVersUSB;
  Panel2 = ui->Panel2;
  btnLoad = ui->btnLoad;
  btnBack = ui->btnBack;
  // The style sheets of the group boxes would give the labels in them the
  // application's font; they keep the form's.
  for (QLabel* l : {lblNameAppliA, lblNameAppli, lblNameVersA, lblNameVers, lblDateAppliA, lblDateAppli,
                    lblVersTrameA, lblVersTrame, lblVersUsbA, lblVersUSB})
    l->setFont(font());
  gbxVersAppli->installEventFilter(this);

  QFile jpeg(QStringLiteral(":/images/title.jpg"));
  if (jpeg.open(QIODevice::ReadOnly)) imgVigik->setPixmap(QPixmap::fromImage(DecodeJpeg(jpeg.readAll())));

  tmrStartLoadAuto = new QTimer(this);
  tmrStartLoadAuto->setObjectName(QStringLiteral("tmrStartLoadAuto"));
  tmrStartLoadAuto->setInterval(100);
  tmrStartLoadAuto->setSingleShot(true);
  TmrSendLoadFirmware = new QTimer(this);
  TmrSendLoadFirmware->setObjectName(QStringLiteral("TmrSendLoadFirmware"));
  TmrSendLoadFirmware->setInterval(500);

  connect(tmrStartLoadAuto, &QTimer::timeout, this, &TfrmVMUpgrade::tmrStartLoadAutoTimer);
  connect(TmrSendLoadFirmware, &QTimer::timeout, this, &TfrmVMUpgrade::TmrSendLoadFirmwareTimer);
  connect(btnLoad, &QPushButton::clicked, this, &TfrmVMUpgrade::btnLoadClick);
  connect(btnBack, &QPushButton::clicked, this, &TfrmVMUpgrade::btnBackClick);
  FormCreate();
}

TfrmVMUpgrade::~TfrmVMUpgrade() { FormDestroy(); }

void TfrmVMUpgrade::FormCreate() {
  EnableLoadButton(false);
  gbxLoad->setTitle(QTexte("_Capt_gbxLoad"));
  gbxVersAppli->setTitle(QTexte("_Capt_gbxVersAppli"));
  lblNameAppliA->setText(QTexte("_Capt_lblNameAppliA"));
  lblNameVersA->setText(QTexte("_Capt_lblNameVersA"));
  lblDateAppliA->setText(QTexte("_Capt_lblDateAppliA"));
  lblVersTrameA->setText(QTexte("_Capt_lblVersTrameA"));
  lblVersUsbA->setText(QTexte("_Capt_lblVersUsbA"));
  pnlTitle->setText(QTexte("_Capt_pnlTitle"));
  btnLoad->setText(QTexte("_Capt_btnLoad"));
  btnBack->setText(QTexte("_Back"));
  ShowTerminalInfo();
}

void TfrmVMUpgrade::FormDestroy() {
  tmrStartLoadAuto->stop();
  TmrSendLoadFirmware->stop();
  if (frmVMUpgrade == this) frmVMUpgrade = nullptr;
}

void TfrmVMUpgrade::SetCommonDlg(TCommonDlg* dlg) {
  if (FCommonDlg) disconnect(FCommonDlg, nullptr, this, nullptr);
  FCommonDlg = dlg;
  if (FCommonDlg)
    connect(FCommonDlg, &TCommonDlg::ConnectedChanged, this, &TfrmVMUpgrade::TerminalPresenceChanged);
}

void TfrmVMUpgrade::showEvent(QShowEvent* e) {
  QWidget::showEvent(e);
  // The window is shown once; it shows again only as part of the main window
  // (restored from the task bar, uncovered): that starts nothing.
  if (FShown) return;
  FShown = true;
  FormShow();
}

void TfrmVMUpgrade::FormShow() {
  tmrStartLoadAuto->start();
  // The keyboard belongs to this window from now on (the main window's
  // buttons lie under it).
  btnBack->setFocus();
}

void TfrmVMUpgrade::keyPressEvent(QKeyEvent* e) {
  // Enter acts as the default button, "Précédant", wherever the focus is in
  // the window (a button outside a dialog does not take it by itself).
  if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) {
    e->accept();
    btnBackClick();
    return;
  }
  QWidget::keyPressEvent(e);
}

bool TfrmVMUpgrade::eventFilter(QObject* watched, QEvent* e) {
  // The window fills the main window's panel, wider than its own design:
  // the values reach the right edge of their group box, so that the longest
  // application names stay whole.
  if (watched == gbxVersAppli && e->type() == QEvent::Resize)
    for (QLabel* l : {lblNameAppli, lblNameVers, lblDateAppli, lblVersTrame, lblVersUSB})
      l->resize(gbxVersAppli->width() - l->x() - kValueRightMargin, l->height());
  return QWidget::eventFilter(watched, e);
}

void TfrmVMUpgrade::tmrStartLoadAutoTimer() {
  tmrStartLoadAuto->stop();
  if (FClosed) return;
  StartLoad();
}

void TfrmVMUpgrade::btnLoadClick() {
  if (!FClosed) tmrStartLoadAuto->start();
}

void TfrmVMUpgrade::Closing() {
  // Closed (or going with the main window): nothing new starts here, neither
  // the load armed by the timer nor the presence call-back's identity read.
  FClosed = true;
  tmrStartLoadAuto->stop();
  TmrSendLoadFirmware->stop();
}

void TfrmVMUpgrade::TmrSendLoadFirmwareTimer() {
  const int next = PrgBarLoadFirmware->value() + 1;
  PrgBarLoadFirmware->setValue(next > PrgBarLoadFirmware->maximum() ? PrgBarLoadFirmware->minimum() : next);
}

void TfrmVMUpgrade::btnBackClick() {
  if (!FBusy()) close();
}

bool TfrmVMUpgrade::FormCloseQuery() { return !FBusy(); }

void TfrmVMUpgrade::closeEvent(QCloseEvent* e) {
  if (!FormCloseQuery()) {
    e->ignore();
    return;
  }
  e->accept();
  Closing();
  // Closing destroys the window.
  deleteLater();
}

void TfrmVMUpgrade::SetBusy(bool value) {
  if (value)
    ++FBusyCount;
  else if (FBusyCount > 0)
    --FBusyCount;
}

void TfrmVMUpgrade::EnableLoadButton(bool value) { btnLoad->setEnabled(value); }

bool TfrmVMUpgrade::CheckTerminalPresent() {
  if (FCommonDlg && FCommonDlg->Device) return true;
  ShowInformationKey("_NoVelmoraConnect");
  return false;
}

void TfrmVMUpgrade::ClearTerminalLabels() {
  const QString unknown = QTexte("_Unknown");
  lblVersTrame->setText(unknown);
  lblNameAppli->setText(unknown);
  lblDateAppli->setText(unknown);
  lblNameVers->setText(unknown);
  lblVersUSB->setText(unknown);
}

void TfrmVMUpgrade::ShowTerminalInfo() {
  if (!FCommonDlg) return;
  lblVersTrame->setText(FCommonDlg->FrameVersion == -1 ? QTexte("_Unknown")
                                                       : QString::number(FCommonDlg->FrameVersion));
  lblNameAppli->setText(QString::fromStdString(AppTypeText(FCommonDlg->AppType)));
  lblDateAppli->setText(QString::fromStdString(FCommonDlg->AppDate));
  lblNameVers->setText(QString::fromStdString(FCommonDlg->VersionName));
  lblVersUsbA->setVisible(true);
  lblVersUSB->setVisible(true);
  lblVersUSB->setText(QString::number(FCommonDlg->GetUsbVersion()));
}

void TfrmVMUpgrade::RefreshTerminalInfo() {
  if (FCommonDlg && CheckTerminalPresent() && FCommonDlg->OpenDialogue(kAppTypeProgBoot, true)) {
    FIdentityStale = false;
    ShowTerminalInfo();
  }
}

QDate TfrmVMUpgrade::ReadTerminalDate(const std::string& appDate) {
  const std::string s = Utf8ToCp1252(appDate);
  if (s.size() != 10) return QDate();
  int day = StrToIntDef(s.substr(0, 2), -1), month = StrToIntDef(s.substr(3, 2), -1),
      year = StrToIntDef(s.substr(6, 4), -1);
  if (IsValidDate(year, month, day)) return QDate(year, month, day);
  // Second reading: a two-digit year, taken without a century.
  day = StrToIntDef(s.substr(2, 2), -1);
  month = StrToIntDef(s.substr(5, 2), -1);
  year = StrToIntDef(s.substr(8, 2), -1);
  if (IsValidDate(year, month, day)) return QDate(year, month, day);
  return QDate();
}

bool TfrmVMUpgrade::ReadTerminalInfo(bool showErrors) {
  if (!FCommonDlg) return false;
  // An identity read asked for while another exchange is under way (a
  // plug-in notice in the middle of a command) could send nothing: it
  // changes nothing of what the last real read found.
  if (FCommonDlg->Busy && FCommonDlg->Device) return false;
  FInfoValid = false;
  SetBusy(true);
  bool result = false;
  if (CheckTerminalPresent()) {
    FInfoValid = FCommonDlg->OpenDialogue(kAppTypeProgBoot, false);
    FTermVersionName.clear();
    FTermAppliDate = NoDate();
    FTermAppliType = kAppTypeUnknown;
    if (!FInfoValid) {
      if (showErrors) ShowInformationKey("_NoDialog");
    } else {
      FTermVersionName = FCommonDlg->VersionName;
      FTermAppliType = FCommonDlg->AppType;
      const QDate date = ReadTerminalDate(FCommonDlg->AppDate);
      if (date.isValid()) {
        FTermAppliDate = date;
        FIdentityStale = false;
        ShowTerminalInfo();
        result = true;
      } else {
        if (showErrors) ShowInformationKey("_BadDateAppliSoft");
        FInfoValid = false;
        FCommonDlg->CloseDialogue(false);
      }
    }
  }
  SetBusy(false);
  return result;
}

void TfrmVMUpgrade::ResetTerminalInfo() {
  SetBusy(true);
  if (FCommonDlg) FCommonDlg->CloseDialogue(false);
  ClearTerminalLabels();
  lblVersUSB->setVisible(false);
  lblVersUsbA->setVisible(false);
  SetBusy(false);
}

void TfrmVMUpgrade::TerminalPresenceChanged(bool connected) {
  if (FClosed) return;
  QPointer<TfrmVMUpgrade> self(this);
  // The call-back works on this window from here to its end: it is busy
  // meanwhile, so that neither it nor the main window closes under it.
  SetBusy(true);
  ProcessPending();
  QThread::msleep(Pauses().PresenceMs);
  ProcessPending();
  if (!self) return;
  if (connected) {
    // In the middle of a load the identity it decides with stays as it was
    // read, and no request goes between its exchanges: read after the load.
    if (FLoadDepth > 0)
      FIdentityStale = true;
    else
      ReadTerminalInfo(false);
  } else {
    FIdentityStale = false;
    ClearTerminalLabels();
    if (frmPasswordFirmware) frmPasswordFirmware->reject();
  }
  SetBusy(false);
}

int TfrmVMUpgrade::BlockTimeoutTicks(const TObjFileMot& file, int index) {
  if (index != 0 || file.Blocks.Count() == 0) return kBlockTimeoutTicks;
  const TDatasToSend& block = file.Blocks.GetItem(0);
  char mark[9];
  std::snprintf(mark, sizeof mark, "%02X%02X%02X%02X", block.Buffer[10], block.Buffer[11], block.Buffer[12],
                block.Buffer[13]);
  return std::string(mark) == kLongWaitMark ? kLongBlockTimeoutTicks : kBlockTimeoutTicks;
}

void TfrmVMUpgrade::StartLoad() {
  EnableLoadButton(false);
  QPointer<TfrmVMUpgrade> self(this);
  auto end = Finally([self] {
    if (self) self->EnableLoadButton(true);
  });
  {
    ++FLoadDepth;
    auto loaded = Finally([self] {
      if (self) --self->FLoadDepth;
    });
    if (!FCommonDlg || !FCommonDlg->Device) {
      ShowPlainKey("_VerifyUSBConnection");
    } else if (ReadTerminalInfo(true)) {
      if (!LoadFirmware()) ResetTerminalInfo();
    }
  }
  // A device came (the terminal back, or another one) during the load and
  // the identity was not read since: the labels catch up now.
  if (self && FLoadDepth == 0 && FIdentityStale && !FClosed && FCommonDlg && FCommonDlg->Device)
    ReadTerminalInfo(false);
}

bool TfrmVMUpgrade::AskPassword() {
  // The wait box stands aside by itself while the dialog is up (F_Wait).
  std::unique_ptr<TfrmPasswordFirmware> dlg(new TfrmPasswordFirmware(this));
  frmPasswordFirmware = dlg.get();
  dlg->FCommonDlg = FCommonDlg;
  dlg->exec();
  return dlg->FAccepted;
}

int TfrmVMUpgrade::EnterLoaderMode() {
  if (FBusy()) return -1;
  SetBusy(true);
  int result = -1;
  QPointer<TfrmWait> wait(new TfrmWait(this));
  frmWait = wait;
  wait->show();
  // A wait dialog closed by its close box counts as cancelled.
  auto cancelled = [&wait] { return !wait || wait->Cancelled; };
  if (CheckTerminalPresent()) {
    while (result != 0 && !cancelled()) {
      const uint64_t before = FCommonDlg->ExchangeCount;
      if (FCommonDlg->EnterLoader(false)) {
        result = 0;
        RefreshTerminalInfo();
        break;
      }
      if (FCommonDlg->ExchangeCount == before) {
        // Nothing was sent: the terminal went away (or another exchange
        // holds the dialogue). Asking again would only spin: a refusal.
        if (!FCommonDlg->Device) CheckTerminalPresent();
        result = -1;
        break;
      }
      const int status = CommandStatus();
      if (status == kStatusNeedPassword) {
        if (AskPassword()) continue;
        result = -2;
        break;
      }
      if (status == kStatusNoAnswer) continue;
      bool retry = false;
      ShowErrorDlg(FailureStatus(), false, retry);
      result = -1;
      break;
    }
  }
  if (cancelled()) {
    // The terminal switched to its boot program just as the user gave up:
    // it is asked to leave it again rather than left there.
    if (result == 0) LeaveLoaderMode();
    result = -2;
  }
  delete wait.data();
  SetBusy(false);
  return result;
}

bool TfrmVMUpgrade::LoadFirmware() {
  if (EnterLoaderMode() != 0 || FBusy()) return false;
  SetBusy(true);
  bool done = false;
  bool result = false;
  Gauge->SetProgress(0);
  do {
    if (!CheckTerminalPresent()) break;
    if (FTermAppliType != kAppTypeProgBoot) {
      if (FTermAppliType != FFileMot->AppliType) {
        ShowPlainKey("_AppliDiff");
        break;
      }
      const std::string termName = Utf8ToCp1252(FTermVersionName);
      if (CompareCodes(FFileMot->VersionName, termName) < 0) {
        const std::string text =
            GetTexte("_OldVersion1") + "\n\r" +
            FormatText(GetTexte("_OldVersion2"), {FTermVersionName, Cp1252ToUtf8(FFileMot->VersionName)});
        if (!ConfirmWarning(text)) break;
      }
      const QDate fileDate = ToQDate(FFileMot->AppliDate);
      if (fileDate < FTermAppliDate) {
        const std::string text =
            GetTexte("_OldDateAppli1") + "\r\n" +
            FormatText(GetTexte("_OldDateAppli2"), {DateText(FTermAppliDate), DateText(fileDate)});
        if (!ConfirmWarning(text)) break;
      }
    }
    // Transfer.
    const int count = FFileMot->BlockCount;
    int i = 0;
    bool failed = false;
    while (i < count && !failed) {
      const int ticks = BlockTimeoutTicks(*FFileMot, i);
      if (i == 0) {
        PrgBarLoadFirmware->setValue(0);
        PrgBarLoadFirmware->setVisible(true);
        TmrSendLoadFirmware->start();
      }
      const std::vector<uint8_t> block = FFileMot->Blocks.GetItem(i).GetTransferBlock();
      const uint64_t before = FCommonDlg->ExchangeCount;
      const bool accepted = FCommonDlg->SendBlock(block, ticks, false);
      if (i == 0) {
        PrgBarLoadFirmware->setVisible(false);
        TmrSendLoadFirmware->stop();
      }
      if (accepted) {
        Gauge->SetProgress(static_cast<int>(static_cast<long long>(i) * 100 / count));
        ++i;
        continue;
      }
      // A block that could not even be sent (the terminal went away) ends
      // the load as a refusal, whatever status an earlier exchange left.
      const bool sent = FCommonDlg->ExchangeCount != before;
      const int status = sent ? CommandStatus() : kStatusUnknownError;
      bool retry = false;
      if (status == kStatusNeedPassword) {
        failed = !AskPassword();
      } else if (status == kStatusNoAnswer) {
        ShowErrorDlg(kStatusNoAnswer, true, retry);
        failed = !retry;
      } else {
        // Refused: the load ends whatever the user would choose.
        ShowErrorDlg(FailureStatus(), false, retry);
        failed = true;
      }
    }
    if (failed) break;
    Gauge->SetProgress(100);
    // The sleep below keeps the window from painting: 100 is shown first.
    Gauge->repaint();
    done = true;
  } while (false);

  if (done) {
    QThread::msleep(Pauses().AfterLastBlockMs);
    WaitPrompts();
    RefreshTerminalInfo();
    result = true;
    ShowPlainKey("_LoadVelmoraOk");
  } else {
    LeaveLoaderMode();
  }
  Gauge->SetProgress(0);
  SetBusy(false);
  return result;
}

void TfrmVMUpgrade::WaitPrompts() {
  if (FCommonDlg->GetUsbVersion() == kUsbVersionWithoutPrompts) return;
  TPromptCursor cursor;
  for (int n = 0; n < kPromptLimit && FCommonDlg->IsConnected(); ++n) {
    cursor.Restore();
    ShowPlainKey("_DeconnectUSB");
    cursor.HourGlass();
    ProcessPending();
    QThread::msleep(Pauses().AfterUnplugPromptMs);
    ProcessPending();
  }
  for (int n = 0; n < kPromptLimit && !FCommonDlg->IsConnected(); ++n) {
    cursor.Restore();
    ShowPlainKey("_ReconnectUSB");
    cursor.HourGlass();
  }
}

int TfrmVMUpgrade::CommandStatus() const {
  // A NAK leaves the previous exchange's status behind (a success, or a
  // password request already answered): it is an unknown error of its own.
  return FCommonDlg->NakReceived ? kStatusUnknownError : FCommonDlg->Status;
}

int TfrmVMUpgrade::FailureStatus() const {
  // Without a terminal nothing was sent; a status of 1 left behind by an
  // earlier success is not the reason of this failure.
  if (!FCommonDlg->Device) return kStatusNoAnswer;
  const int status = CommandStatus();
  return status == kStatusOk ? kStatusUnknownError : status;
}

bool TfrmVMUpgrade::LeaveLoaderMode() {
  bool result = false;
  while (!result) {
    if (FCommonDlg->LeaveLoader(false)) {
      QThread::msleep(Pauses().AfterLeaveLoaderMs);
      RefreshTerminalInfo();
      result = true;
      break;
    }
    if (FCommonDlg->Device && CommandStatus() == kStatusNeedPassword) {
      if (AskPassword()) continue;
      break;
    }
    bool retry = false;
    ShowErrorDlg(FailureStatus(), true, retry);
    if (!retry) break;
  }
  return result;
}
