#include "DemoLink.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QRandomGenerator>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <mutex>

#include "SimHidBus.h"

bool operator==(const TTerminalView& a, const TTerminalView& b) {
  return a.Plugged == b.Plugged && a.EverPlugged == b.EverPlugged && a.InLoader == b.InLoader &&
         a.Running.AppType == b.Running.AppType && a.Running.FrameVersion == b.Running.FrameVersion &&
         a.Running.VersionName == b.Running.VersionName && a.Running.AppDate == b.Running.AppDate &&
         a.Blocks == b.Blocks && a.Complete == b.Complete && a.ProgramShows == b.ProgramShows;
}

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

QJsonObject IdentityToJson(const TTermIdentity& id) {
  return QJsonObject{{QStringLiteral("type"), id.AppType},
                     {QStringLiteral("version"), Q(id.VersionName)},
                     {QStringLiteral("date"), Q(id.AppDate)},
                     {QStringLiteral("trame"), id.FrameVersion}};
}

void IdentityFromJson(const QJsonObject& o, TTermIdentity& id) {
  id.AppType = o.value(QStringLiteral("type")).toInt(id.AppType);
  id.VersionName = o.value(QStringLiteral("version")).toString(Q(id.VersionName)).toStdString();
  id.AppDate = o.value(QStringLiteral("date")).toString(Q(id.AppDate)).toStdString();
  id.FrameVersion = o.value(QStringLiteral("trame")).toInt(id.FrameVersion);
}

}  // namespace

QJsonObject ConfigToJson(const TVirtualTerminalConfig& c, const std::vector<TDemoFault>& faults) {
  QJsonArray specs;
  for (const TDemoFault& f : faults) specs.append(FaultSpecText(f));
  QJsonObject o = IdentityToJson(c.Application);
  o.insert(QStringLiteral("usb"), c.UsbVersion);
  o.insert(QStringLiteral("redemarre"), c.RestartOnEndBlock);
  o.insert(QStringLiteral("motdepasse"), Q(c.Password));
  o.insert(QStringLiteral("pourboot"), c.PasswordForLoader);
  o.insert(QStringLiteral("commutateur"), c.SwitchActive);
  o.insert(QStringLiteral("latence"), c.LatencyMs);
  o.insert(QStringLiteral("defauts"), specs);
  return o;
}

void ConfigFromJson(const QJsonObject& o, TVirtualTerminalConfig& c, std::vector<TDemoFault>& faults) {
  IdentityFromJson(o, c.Application);
  c.UsbVersion = static_cast<uint16_t>(o.value(QStringLiteral("usb")).toInt(c.UsbVersion) & 0xFFFF);
  c.RestartOnEndBlock = o.value(QStringLiteral("redemarre")).toBool(c.RestartOnEndBlock);
  c.Password = o.value(QStringLiteral("motdepasse")).toString(Q(c.Password)).toStdString();
  c.PasswordForLoader = o.value(QStringLiteral("pourboot")).toBool(c.PasswordForLoader);
  c.SwitchActive = o.value(QStringLiteral("commutateur")).toBool(c.SwitchActive);
  c.LatencyMs = o.value(QStringLiteral("latence")).toInt(c.LatencyMs);
  faults.clear();
  for (const QJsonValue& v : o.value(QStringLiteral("defauts")).toArray()) {
    TDemoFault f;
    QString error;
    if (ParseFaultSpec(v.toString(), f, error)) faults.push_back(f);
  }
}

QJsonObject ViewToJson(const TTerminalView& v) {
  return QJsonObject{
      {QStringLiteral("branche"), v.Plugged},       {QStringLiteral("connu"), v.EverPlugged},
      {QStringLiteral("boot"), v.InLoader},         {QStringLiteral("identite"), IdentityToJson(v.Running)},
      {QStringLiteral("blocs"), v.Blocks},          {QStringLiteral("complete"), v.Complete},
      {QStringLiteral("programme"), v.ProgramShows}};
}

TTerminalView ViewFromJson(const QJsonObject& o) {
  TTerminalView v;
  v.Plugged = o.value(QStringLiteral("branche")).toBool();
  v.EverPlugged = o.value(QStringLiteral("connu")).toBool();
  v.InLoader = o.value(QStringLiteral("boot")).toBool();
  IdentityFromJson(o.value(QStringLiteral("identite")).toObject(), v.Running);
  v.Blocks = o.value(QStringLiteral("blocs")).toInt();
  v.Complete = o.value(QStringLiteral("complete")).toBool();
  v.ProgramShows = o.value(QStringLiteral("programme")).toString();
  return v;
}

QByteArray EncodeLine(const QJsonObject& o) { return QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n'; }

std::vector<QJsonObject> TakeLines(QByteArray& buffer, int limit) {
  std::vector<QJsonObject> out;
  int start = 0;
  for (int end; (end = buffer.indexOf('\n', start)) >= 0; start = end + 1) {
    QJsonParseError e;
    const QJsonDocument d = QJsonDocument::fromJson(buffer.mid(start, end - start), &e);
    if (e.error == QJsonParseError::NoError && d.isObject()) out.push_back(d.object());
  }
  buffer.remove(0, start);
  if (buffer.size() > limit) buffer.clear();
  return out;
}

// ---------------------------------------------------------------------------
// The server's work, on its own thread.

class TControlWorker : public QObject {
 public:
  TControlWorker(TControlServer* facade, std::shared_ptr<TSimHidBus> bus,
                 std::shared_ptr<TVirtualTerminal> terminal, std::vector<TDemoFault> faults)
      : FFacade(facade), FBus(std::move(bus)), FTerminal(std::move(terminal)), FFaults(std::move(faults)) {}

  bool Listen(const QString& name, QString& error) {
    FServer = new QLocalServer(this);
    FServer->setSocketOptions(QLocalServer::UserAccessOption);
    QLocalServer::removeServer(name);
    if (!FServer->listen(name)) {
      error = FServer->errorString();
      return false;
    }
    QObject::connect(FServer, &QLocalServer::newConnection, this, [this] { NewConnection(); });
    FTimer = new QTimer(this);
    FTimer->setInterval(200);
    QObject::connect(FTimer, &QTimer::timeout, this, [this] { PushView(false); });
    FTimer->start();
    return true;
  }

  void Post(const QJsonObject& message) {
    if (FClient && FClient->state() == QLocalSocket::ConnectedState) {
      FClient->write(EncodeLine(message));
      FClient->flush();
    }
  }

  void SetProgramShows(const QString& text) {
    FProgramShows = text;
    PushView(false);
  }

  std::atomic<bool> Connected{false};

 private:
  void NewConnection() {
    while (QLocalSocket* s = FServer->nextPendingConnection()) {
      // One control window at a time: a newer one takes over.
      if (FClient) FClient->disconnectFromServer();
      FClient = s;
      FBuffer.clear();
      QObject::connect(s, &QLocalSocket::readyRead, this, [this, s] {
        if (s == FClient) ReadClient();
      });
      QObject::connect(s, &QLocalSocket::disconnected, this, [this, s] {
        s->deleteLater();
        if (s != FClient) return;
        FClient = nullptr;
        Connected = false;
        emit FFacade->ClientChanged(false);
      });
      Connected = true;
      Post([this] {
        QJsonObject o = ConfigToJson(FTerminal->Config(), FFaults);
        o.insert(QStringLiteral("op"), QStringLiteral("config"));
        return o;
      }());
      PushView(true);
      emit FFacade->ClientChanged(true);
    }
  }

  void ReadClient() {
    FBuffer += FClient->readAll();
    for (const QJsonObject& o : TakeLines(FBuffer)) Handle(o);
  }

  void Handle(const QJsonObject& o) {
    const QString op = o.value(QStringLiteral("op")).toString();
    if (op == QLatin1String("brancher")) {
      Plug();
    } else if (op == QLatin1String("debrancher")) {
      FTerminal->Unplug();
    } else if (op == QLatin1String("rebrancher")) {
      if (!FTerminal->Device()) {
        Plug();
      } else {
        FTerminal->Unplug();
        // The workstation sees the removal before the arrival.
        QTimer::singleShot(500, this, [this] {
          Plug();
          PushView(true);
        });
      }
    } else if (op == QLatin1String("identite")) {
      TVirtualTerminalConfig c = FTerminal->Config();
      TTermIdentity id = c.Application;
      IdentityFromJson(o, id);
      c.Application = id;
      // The workstation reads the USB version when the terminal is first
      // plugged; the bus keeps that one.
      if (!FTerminal->Device())
        c.UsbVersion = static_cast<uint16_t>(o.value(QStringLiteral("usb")).toInt(c.UsbVersion) & 0xFFFF);
      c.RestartOnEndBlock = o.value(QStringLiteral("redemarre")).toBool(c.RestartOnEndBlock);
      FTerminal->SetConfig(c);
    } else if (op == QLatin1String("securite")) {
      TVirtualTerminalConfig c = FTerminal->Config();
      c.Password = o.value(QStringLiteral("motdepasse")).toString().toStdString();
      c.PasswordForLoader = o.value(QStringLiteral("pourboot")).toBool(c.PasswordForLoader);
      c.SwitchActive = o.value(QStringLiteral("commutateur")).toBool(c.SwitchActive);
      FTerminal->SetConfig(c);
    } else if (op == QLatin1String("latence")) {
      FTerminal->SetLatencyMs(o.value(QStringLiteral("ms")).toInt(FTerminal->Config().LatencyMs));
    } else if (op == QLatin1String("defaut")) {
      TDemoFault f;
      QString error;
      if (ParseFaultSpec(o.value(QStringLiteral("spec")).toString(), f, error)) {
        AddDemoFaults(*FTerminal, {f});
        FFaults.push_back(f);
      }
    } else if (op == QLatin1String("effacer-defauts")) {
      FTerminal->ClearFaults();
      FFaults.clear();
    } else if (op == QLatin1String("quitter")) {
      emit FFacade->QuitRequested();
    } else if (op == QLatin1String("reponse")) {
      emit FFacade->ReplyReceived(o);
    }
    PushView(true);
  }

  void Plug() {
    const auto dev = FTerminal->Device();
    if (!dev)
      FTerminal->Plug(*FBus);
    else if (!dev->Plugged())
      FTerminal->Replug();
  }

  TTerminalView View() const {
    TTerminalView v;
    const auto dev = FTerminal->Device();
    v.EverPlugged = dev != nullptr;
    v.Plugged = dev && dev->Plugged();
    v.InLoader = FTerminal->InLoader();
    v.Running = FTerminal->RunningIdentity();
    v.Blocks = static_cast<int>(FTerminal->Blocks().size());
    v.Complete = FTerminal->ImageComplete();
    v.ProgramShows = FProgramShows;
    return v;
  }

  void PushView(bool force) {
    if (!FClient) return;
    const TTerminalView v = View();
    if (!force && FSent && v == FLast) return;
    FLast = v;
    FSent = true;
    QJsonObject o = ViewToJson(v);
    o.insert(QStringLiteral("op"), QStringLiteral("etat"));
    Post(o);
  }

  TControlServer* FFacade;
  std::shared_ptr<TSimHidBus> FBus;
  std::shared_ptr<TVirtualTerminal> FTerminal;
  std::vector<TDemoFault> FFaults;
  QLocalServer* FServer = nullptr;
  QTimer* FTimer = nullptr;
  QPointer<QLocalSocket> FClient;
  QByteArray FBuffer;
  QString FProgramShows;
  TTerminalView FLast;
  bool FSent = false;
};

TControlServer::TControlServer(std::shared_ptr<TSimHidBus> bus, std::shared_ptr<TVirtualTerminal> terminal,
                               std::vector<TDemoFault> faults, QObject* parent)
    : QObject(parent) {
  qRegisterMetaType<QJsonObject>();
  FThread = new QThread;
  FThread->setObjectName(QStringLiteral("ControlServer"));
  FWorker = new TControlWorker(this, std::move(bus), std::move(terminal), std::move(faults));
  FWorker->moveToThread(FThread);
  FThread->start();
}

TControlServer::~TControlServer() {
  TControlWorker* w = FWorker;
  FWorker = nullptr;
  QMetaObject::invokeMethod(
      w, [w] { delete w; }, Qt::BlockingQueuedConnection);
  FThread->quit();
  FThread->wait();
  delete FThread;
}

bool TControlServer::Start(QString& error) {
  const QString name = QStringLiteral("velmora-demo-%1-%2")
                           .arg(QCoreApplication::applicationPid())
                           .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
  bool ok = false;
  QString e;
  TControlWorker* w = FWorker;
  QMetaObject::invokeMethod(
      w, [w, name, &ok, &e] { ok = w->Listen(name, e); }, Qt::BlockingQueuedConnection);
  if (!ok) {
    error = e;
    return false;
  }
  FName = name;
  return true;
}

bool TControlServer::ClientConnected() const { return FWorker && FWorker->Connected; }

void TControlServer::Post(const QJsonObject& message) {
  TControlWorker* w = FWorker;
  if (w)
    QMetaObject::invokeMethod(
        w, [w, message] { w->Post(message); }, Qt::QueuedConnection);
}

void TControlServer::SetProgramShows(const QString& text) {
  TControlWorker* w = FWorker;
  if (w)
    QMetaObject::invokeMethod(
        w, [w, text] { w->SetProgramShows(text); }, Qt::QueuedConnection);
}

// ---------------------------------------------------------------------------

TControlClient::TControlClient(QObject* parent) : QObject(parent), FSocket(new QLocalSocket(this)) {
  connect(FSocket, &QLocalSocket::readyRead, this, &TControlClient::ReadAll);
  connect(FSocket, &QLocalSocket::disconnected, this, [this] {
    if (!FEnded) {
      FEnded = true;
      emit Ended();
    }
  });
}

TControlClient::~TControlClient() = default;

bool TControlClient::Connect(const QString& serverName, int timeoutMs) {
  FSocket->connectToServer(serverName);
  return FSocket->waitForConnected(timeoutMs);
}

bool TControlClient::Connected() const { return FSocket->state() == QLocalSocket::ConnectedState; }

void TControlClient::Send(const QJsonObject& message) {
  if (!Connected()) return;
  FSocket->write(EncodeLine(message));
  FSocket->flush();
}

void TControlClient::ReadAll() {
  FBuffer += FSocket->readAll();
  for (const QJsonObject& o : TakeLines(FBuffer)) {
    const QString op = o.value(QStringLiteral("op")).toString();
    if (op == QLatin1String("config"))
      emit ConfigReceived(o);
    else if (op == QLatin1String("etat"))
      emit ViewReceived(ViewFromJson(o));
    else if (op == QLatin1String("fin")) {
      if (!FEnded) {
        FEnded = true;
        emit Ended();
      }
    } else
      emit RequestReceived(o);
  }
}
