#include "F_VirtualTerminal.h"

#include <QDate>
#include <QMessageBox>
#include <QTimer>

#include "SimHidBus.h"
#include "ui_F_VirtualTerminal.h"

namespace {
// Fault kinds whose value means something, in TTermFaultKind's order.
bool KindTakesValue(TTermFaultKind k) {
  return k == TTermFaultKind::OtherCode || k == TTermFaultKind::Status || k == TTermFaultKind::LeadingBytes ||
         k == TTermFaultKind::Overlong;
}
}  // namespace

TfrmVirtualTerminal::TfrmVirtualTerminal(std::shared_ptr<TSimHidBus> bus, std::shared_ptr<TVirtualTerminal> terminal,
                                         const TDemoSettings& settings, QWidget* parent)
    : QWidget(parent), ui(new Ui::TfrmVirtualTerminal), FBus(std::move(bus)), FTerminal(std::move(terminal)) {
  ui->setupUi(this);
  const TVirtualTerminalConfig c = FTerminal->Config();
  ui->spnAppType->setValue(c.Application.AppType);
  ui->edtVersionName->setText(QString::fromStdString(c.Application.VersionName));
  ui->edtDate->setText(QString::fromStdString(c.Application.AppDate));
  ui->spnFrameVersion->setValue(c.Application.FrameVersion);
  ui->spnUsbVersion->setValue(c.UsbVersion);
  ui->chkRestart->setChecked(c.RestartOnEndBlock);
  ui->edtPassword->setText(QString::fromStdString(c.Password));
  ui->chkPasswordForLoader->setChecked(c.PasswordForLoader);
  ui->chkSwitch->setChecked(c.SwitchActive);
  ui->spnLatency->setValue(c.LatencyMs);
  ui->cbxCommand->addItems(CommandNames());
  ui->cbxFault->addItems(FaultKindNames());
  for (const TDemoFault& f : settings.Faults) ShowFault(f);

  connect(ui->btnPlug, &QPushButton::clicked, this, &TfrmVirtualTerminal::btnPlugClick);
  connect(ui->btnUnplug, &QPushButton::clicked, this, &TfrmVirtualTerminal::btnUnplugClick);
  connect(ui->btnReplug, &QPushButton::clicked, this, &TfrmVirtualTerminal::btnReplugClick);
  connect(ui->btnApplyIdentity, &QPushButton::clicked, this, &TfrmVirtualTerminal::btnApplyIdentityClick);
  connect(ui->btnAddFault, &QPushButton::clicked, this, &TfrmVirtualTerminal::btnAddFaultClick);
  connect(ui->btnClearFaults, &QPushButton::clicked, this, &TfrmVirtualTerminal::btnClearFaultsClick);
  connect(ui->edtPassword, &QLineEdit::editingFinished, this, &TfrmVirtualTerminal::SecurityChanged);
  connect(ui->chkPasswordForLoader, &QCheckBox::toggled, this, &TfrmVirtualTerminal::SecurityChanged);
  connect(ui->chkSwitch, &QCheckBox::toggled, this, &TfrmVirtualTerminal::SecurityChanged);
  connect(ui->spnLatency, &QSpinBox::valueChanged, this, &TfrmVirtualTerminal::LatencyChanged);
  auto blockField = [this] {
    ui->spnBlock->setEnabled(ui->cbxCommand->currentIndex() == static_cast<int>(TTermCommand::Block));
    ui->spnFaultValue->setEnabled(KindTakesValue(static_cast<TTermFaultKind>(ui->cbxFault->currentIndex())));
  };
  connect(ui->cbxCommand, &QComboBox::currentIndexChanged, this, blockField);
  connect(ui->cbxFault, &QComboBox::currentIndexChanged, this, blockField);
  blockField();

  FRefresh = new QTimer(this);
  FRefresh->setInterval(300);
  connect(FRefresh, &QTimer::timeout, this, &TfrmVirtualTerminal::RefreshState);
  FRefresh->start();
  RefreshState();
}

TfrmVirtualTerminal::~TfrmVirtualTerminal() = default;

bool TfrmVirtualTerminal::Plugged() const {
  const auto dev = FTerminal->Device();
  return dev && dev->Plugged();
}

void TfrmVirtualTerminal::btnPlugClick() {
  if (Plugged()) return;
  if (FTerminal->Device())
    FTerminal->Replug();
  else
    FTerminal->Plug(*FBus);
  RefreshState();
}

void TfrmVirtualTerminal::btnUnplugClick() {
  FTerminal->Unplug();
  RefreshState();
}

void TfrmVirtualTerminal::btnReplugClick() {
  if (!FTerminal->Device()) {
    btnPlugClick();
    return;
  }
  FTerminal->Unplug();
  // The workstation sees the removal before the arrival.
  QTimer::singleShot(500, this, [this] {
    FTerminal->Replug();
    RefreshState();
  });
  RefreshState();
}

void TfrmVirtualTerminal::btnApplyIdentityClick() {
  const QString date = ui->edtDate->text();
  if (!QDate::fromString(date, QStringLiteral("dd/MM/yyyy")).isValid() &&
      QMessageBox::question(this, windowTitle(),
                            QStringLiteral("« %1 » n'est pas une date JJ/MM/AAAA. L'appliquer quand même ?").arg(date),
                            QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
    return;
  TVirtualTerminalConfig c = FTerminal->Config();
  c.Application.AppType = ui->spnAppType->value();
  c.Application.VersionName = ui->edtVersionName->text().toStdString();
  c.Application.AppDate = date.toStdString();
  c.Application.FrameVersion = ui->spnFrameVersion->value();
  // The workstation reads the USB version from the device when it is
  // plugged; the bus keeps the one of the first plug.
  if (!FTerminal->Device()) c.UsbVersion = static_cast<uint16_t>(ui->spnUsbVersion->value());
  c.RestartOnEndBlock = ui->chkRestart->isChecked();
  FTerminal->SetConfig(c);
  RefreshState();
}

void TfrmVirtualTerminal::SecurityChanged() {
  TVirtualTerminalConfig c = FTerminal->Config();
  c.Password = ui->edtPassword->text().toStdString();
  c.PasswordForLoader = ui->chkPasswordForLoader->isChecked();
  c.SwitchActive = ui->chkSwitch->isChecked();
  FTerminal->SetConfig(c);
}

void TfrmVirtualTerminal::LatencyChanged(int ms) { FTerminal->SetLatencyMs(ms); }

void TfrmVirtualTerminal::btnAddFaultClick() {
  TDemoFault f;
  f.Command = static_cast<TTermCommand>(ui->cbxCommand->currentIndex());
  if (f.Command == TTermCommand::Block) f.BlockNumber = ui->spnBlock->value();
  f.Fault.Kind = static_cast<TTermFaultKind>(ui->cbxFault->currentIndex());
  f.Fault.Value = KindTakesValue(f.Fault.Kind) ? ui->spnFaultValue->value() : 0;
  f.Fault.Always = ui->chkAlways->isChecked();
  AddDemoFaults(*FTerminal, {f});
  ShowFault(f);
}

void TfrmVirtualTerminal::btnClearFaultsClick() {
  FTerminal->ClearFaults();
  ui->mmoFaults->clear();
}

void TfrmVirtualTerminal::ShowFault(const TDemoFault& fault) { ui->mmoFaults->appendPlainText(FaultSpecText(fault)); }

void TfrmVirtualTerminal::RefreshState() {
  const bool plugged = Plugged();
  ui->lblPlugState->setText(plugged ? QStringLiteral("Terminal branché") : QStringLiteral("Terminal débranché"));
  ui->btnPlug->setEnabled(!plugged);
  ui->btnUnplug->setEnabled(plugged);
  ui->spnUsbVersion->setEnabled(!FTerminal->Device());
  const TTermIdentity id = FTerminal->RunningIdentity();
  ui->lblRunning->setText(QStringLiteral("%1 : type %2, %3 du %4")
                              .arg(FTerminal->InLoader() ? QStringLiteral("Programme de démarrage")
                                                         : QStringLiteral("Application"))
                              .arg(id.AppType)
                              .arg(QString::fromStdString(id.VersionName), QString::fromStdString(id.AppDate)));
  const auto blocks = FTerminal->Blocks();
  ui->lblImage->setText(QStringLiteral("Image reçue : %1 bloc(s)%2")
                            .arg(blocks.size())
                            .arg(FTerminal->ImageComplete() ? QStringLiteral(", complète") : QString()));
}
