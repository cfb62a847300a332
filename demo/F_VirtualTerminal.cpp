#include "F_VirtualTerminal.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDate>
#include <QMessageBox>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdio>

#include "DemoLayout.h"
#include "U_QtShell.h"
#include "ui_F_VirtualTerminal.h"

namespace {

// Fault kinds whose value means something, in TTermFaultKind's order.
bool KindTakesValue(TTermFaultKind k) {
  return k == TTermFaultKind::OtherCode || k == TTermFaultKind::Status || k == TTermFaultKind::LeadingBytes ||
         k == TTermFaultKind::Overlong;
}

QJsonObject Op(const char* op) { return QJsonObject{{QStringLiteral("op"), QLatin1String(op)}}; }

}  // namespace

TfrmVirtualTerminal::TfrmVirtualTerminal(TControlClient* link, QWidget* parent)
    : QWidget(parent), ui(new Ui::TfrmVirtualTerminal), FLink(link) {
  ShowKeyboardFocus();
  // The form lies in a scroll area, so that the window fits small screens.
  auto* content = FContent = new QWidget;
  ui->setupUi(content);
  setWindowTitle(content->windowTitle());
  FScroll = new QScrollArea(this);
  FScroll->setObjectName(QStringLiteral("scrContent"));
  FScroll->setWidgetResizable(true);
  FScroll->setFrameShape(QFrame::NoFrame);
  FScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  FScroll->setWidget(content);
  auto* lay = new QVBoxLayout(this);
  lay->setContentsMargins(0, 0, 0, 0);
  lay->addWidget(FScroll);
  content->setFixedWidth(kContentWidth);
  setMinimumWidth(kContentWidth + FScroll->verticalScrollBar()->sizeHint().width());

  QFont bold = ui->lblPlugState->font();
  bold.setBold(true);
  ui->lblPlugState->setFont(bold);
  ui->edtPassword->setValidator(
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[A-Za-z0-9]{0,16}")), this));
  ui->edtVersionName->setValidator(
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[\\x20-\\x7E]{0,6}")), this));
  ui->cbxCommand->addItems(CommandNames());
  ui->cbxFault->addItems(FaultKindNames());
  setEnabled(false);  // until the demo sends the terminal's settings

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
  auto fields = [this] {
    ui->spnBlock->setEnabled(ui->cbxCommand->currentIndex() == static_cast<int>(TTermCommand::Block));
    ui->spnFaultValue->setEnabled(KindTakesValue(static_cast<TTermFaultKind>(ui->cbxFault->currentIndex())));
  };
  connect(ui->cbxCommand, &QComboBox::currentIndexChanged, this, fields);
  connect(ui->cbxFault, &QComboBox::currentIndexChanged, this, fields);
  fields();

  if (FLink) {
    connect(FLink, &TControlClient::ConfigReceived, this, &TfrmVirtualTerminal::ApplyConfig);
    connect(FLink, &TControlClient::ViewReceived, this, &TfrmVirtualTerminal::ShowView);
    connect(FLink, &TControlClient::RequestReceived, this, &TfrmVirtualTerminal::HandleRequest);
    connect(FLink, &TControlClient::Ended, this, [this] {
      FLinkEnded = true;
      close();
    });
  }
  ShowView(FView);
}

TfrmVirtualTerminal::~TfrmVirtualTerminal() = default;

QString TfrmVirtualTerminal::StatusText() const { return ui->lblStatus->text(); }

QSize TfrmVirtualTerminal::WantedClientSize() const {
  // The wrapped labels take the height they need at the content's width,
  // with room for two more lines of the program's message.
  int h = std::max(FContent->sizeHint().height(), FContent->minimumSizeHint().height());
  if (FContent->hasHeightForWidth()) h = std::max(h, FContent->heightForWidth(kContentWidth));
  return QSize(minimumWidth(), h + 2 * fontMetrics().lineSpacing());
}

void TfrmVirtualTerminal::ShowStatus(const QString& text) { ui->lblStatus->setText(text); }

void TfrmVirtualTerminal::btnPlugClick() { FLink->Send(Op("brancher")); }
void TfrmVirtualTerminal::btnUnplugClick() { FLink->Send(Op("debrancher")); }
void TfrmVirtualTerminal::btnReplugClick() { FLink->Send(Op("rebrancher")); }

void TfrmVirtualTerminal::btnApplyIdentityClick() {
  const QString version = ui->edtVersionName->text();
  if (version.size() != 6) {
    ShowStatus(QStringLiteral("Le nom de version compte 6 caractères (« %1 » en a %2).")
                   .arg(version)
                   .arg(version.size()));
    return;
  }
  // A date the program cannot read is a fault worth showing: it is sent
  // once confirmed.
  const QString date = ui->edtDate->text();
  if (!IsDemoDate(date) &&
      QMessageBox::question(this, windowTitle(),
                            QStringLiteral("« %1 » n'est pas une date JJ/MM/AAAA : le programme "
                                           "la refusera. L'appliquer quand même ?")
                                .arg(date),
                            QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
    return;
  QJsonObject o = Op("identite");
  o.insert(QStringLiteral("type"), ui->spnAppType->value());
  o.insert(QStringLiteral("version"), version);
  o.insert(QStringLiteral("date"), date);
  o.insert(QStringLiteral("trame"), ui->spnFrameVersion->value());
  o.insert(QStringLiteral("usb"), ui->spnUsbVersion->value());
  o.insert(QStringLiteral("redemarre"), ui->chkRestart->isChecked());
  FLink->Send(o);
  ShowStatus(QStringLiteral("Identité appliquée : le terminal la donne à la prochaine demande."));
}

void TfrmVirtualTerminal::SecurityChanged() {
  QJsonObject o = Op("securite");
  o.insert(QStringLiteral("motdepasse"), ui->edtPassword->text());
  o.insert(QStringLiteral("pourboot"), ui->chkPasswordForLoader->isChecked());
  o.insert(QStringLiteral("commutateur"), ui->chkSwitch->isChecked());
  FLink->Send(o);
}

void TfrmVirtualTerminal::LatencyChanged(int ms) {
  QJsonObject o = Op("latence");
  o.insert(QStringLiteral("ms"), ms);
  FLink->Send(o);
}

void TfrmVirtualTerminal::btnAddFaultClick() {
  TDemoFault f;
  f.Command = static_cast<TTermCommand>(ui->cbxCommand->currentIndex());
  if (f.Command == TTermCommand::Block) f.BlockNumber = ui->spnBlock->value();
  f.Fault.Kind = static_cast<TTermFaultKind>(ui->cbxFault->currentIndex());
  f.Fault.Value = KindTakesValue(f.Fault.Kind) ? ui->spnFaultValue->value() : 0;
  f.Fault.Always = ui->chkAlways->isChecked();
  QJsonObject o = Op("defaut");
  o.insert(QStringLiteral("spec"), FaultSpecText(f));
  FLink->Send(o);
  ui->mmoFaults->appendPlainText(FaultSpecText(f));
}

void TfrmVirtualTerminal::btnClearFaultsClick() {
  FLink->Send(Op("effacer-defauts"));
  ui->mmoFaults->clear();
}

void TfrmVirtualTerminal::ApplyConfig(const QJsonObject& config) {
  TVirtualTerminalConfig c;
  std::vector<TDemoFault> faults;
  ConfigFromJson(config, c, faults);
  // Filling the fields must not send them back.
  const QSignalBlocker b1(ui->edtPassword), b2(ui->chkPasswordForLoader), b3(ui->chkSwitch),
      b4(ui->spnLatency);
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
  ui->mmoFaults->clear();
  for (const TDemoFault& f : faults) ui->mmoFaults->appendPlainText(FaultSpecText(f));
  setEnabled(true);
}

void TfrmVirtualTerminal::ShowView(const TTerminalView& v) {
  FView = v;
  ui->lblPlugState->setText(v.Plugged ? QStringLiteral("Terminal branché")
                                      : QStringLiteral("Terminal débranché"));
  ui->lblPlugState->setStyleSheet(v.Plugged ? QStringLiteral("color: #1b6e20")
                                            : QStringLiteral("color: #b3261e"));
  ui->btnPlug->setEnabled(!v.Plugged);
  ui->btnUnplug->setEnabled(v.Plugged);
  ui->spnUsbVersion->setEnabled(!v.EverPlugged);
  ui->lblRunning->setText(
      QStringLiteral("%1 : type %2, %3 du %4")
          .arg(v.InLoader ? QStringLiteral("Programme de démarrage") : QStringLiteral("Application"))
          .arg(v.Running.AppType)
          .arg(QString::fromStdString(v.Running.VersionName), QString::fromStdString(v.Running.AppDate)));
  ui->lblImage->setText(QStringLiteral("Image reçue : %1 bloc(s)%2")
                            .arg(v.Blocks)
                            .arg(v.Complete ? QStringLiteral(", complète") : QString()));
  ui->lblProgram->setText(v.ProgramShows.isEmpty()
                              ? QStringLiteral("Le programme n'affiche aucune boîte.")
                              : QStringLiteral("Le programme affiche : %1").arg(v.ProgramShows));
}

void TfrmVirtualTerminal::Reply(const QJsonObject& request, bool ok, const QString& text) {
  QJsonObject o = Op("reponse");
  o.insert(QStringLiteral("id"), request.value(QStringLiteral("id")));
  o.insert(QStringLiteral("ok"), ok);
  if (!text.isEmpty()) o.insert(QStringLiteral("texte"), text);
  FLink->Send(o);
}

void TfrmVirtualTerminal::HandleRequest(const QJsonObject& request) {
  const QString op = request.value(QStringLiteral("op")).toString();
  if (op == QLatin1String("presser")) {
    const QString name = request.value(QStringLiteral("bouton")).toString();
    auto* button = findChild<QPushButton*>(name);
    // A click reaches a button only when it can be seen and used, and no
    // modal box of this process stands in the way.
    QWidget* modal = QApplication::activeModalWidget();
    if (!button || !button->isVisible() || !button->isEnabled() || !isEnabled() ||
        (modal && modal != window())) {
      Reply(request, false, QStringLiteral("Bouton %1 inutilisable").arg(name));
      return;
    }
    FScroll->ensureWidgetVisible(button);
    button->click();
    Reply(request, true);
  } else if (op == QLatin1String("fermer")) {
    // As the window's close box does.
    QTimer::singleShot(0, this, &QWidget::close);
    Reply(request, true);
  } else if (op == QLatin1String("capture")) {
    const QString file = request.value(QStringLiteral("fichier")).toString();
    Reply(request, grab().save(file, "PNG"), file);
  } else {
    Reply(request, false, QStringLiteral("Ordre inconnu : %1").arg(op));
  }
}

void TfrmVirtualTerminal::closeEvent(QCloseEvent* e) {
  if (FLinkEnded || !FLink || !FLink->Connected()) {
    e->accept();
    return;
  }
  // The demo is one program: closing this window asks the main window to
  // close, which it refuses while a load runs.
  e->ignore();
  FLink->Send(Op("quitter"));
  ShowStatus(
      QStringLiteral("Fermeture demandée : la démonstration se termine avec sa fenêtre principale "
                     "(pas pendant un chargement)."));
}

int RunControlWindow(const QString& serverName, const QPoint* position) {
  TControlClient link;
  if (!link.Connect(serverName)) {
    std::fprintf(stderr, "Terminal virtuel : la démonstration « %s » ne répond pas.\n",
                 qPrintable(serverName));
    return 1;
  }
  TfrmVirtualTerminal window(&link);
  QScreen* screen = position ? QGuiApplication::screenAt(*position) : nullptr;
  if (!screen) screen = QGuiApplication::primaryScreen();
  const QRect avail = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
  const QSize wanted = window.WantedClientSize();
  const QPoint at = position ? *position : QPoint(avail.right() + 1 - wanted.width(), avail.top());
  window.setGeometry(FitControlWindow(avail, at, wanted, kFrameGuess));
  window.show();
  // Once the window manager has framed it, the real frame is known.
  QTimer::singleShot(300, &window, [&window, avail, at, wanted] {
    const QRect g = window.geometry(), f = window.frameGeometry();
    const QMargins frame(g.left() - f.left(), g.top() - f.top(), f.right() - g.right(),
                         f.bottom() - g.bottom());
    if (frame.isNull() || avail.contains(f)) return;
    window.setGeometry(FitControlWindow(avail, f.topLeft(), wanted, frame));
  });
  QObject::connect(&link, &TControlClient::Ended, qApp, &QCoreApplication::quit);
  return QApplication::exec();
}
