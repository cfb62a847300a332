// The link between the demo and its control window "Terminal virtuel".
//
// The control window runs in a process of its own: the program's boxes and
// dialogs are application-modal, and a window of the same process would be
// frozen while one of them is up, just when the technician is asked to
// unplug or replug the terminal. The demo keeps the simulated bus and the
// virtual terminal; its control server, on a thread of its own, listens on a
// local socket that only the same user may open, carries out the control
// window's orders on the terminal at once (also while the program's GUI
// thread sleeps or runs a modal box), and tells the control window what the
// terminal does.
//
// Wire format: one JSON object per line (UTF-8), with its order in "op".
//   control -> demo: brancher, debrancher, rebrancher, identite, securite,
//                    latence, defaut, effacer-defauts, quitter, reponse
//   demo -> control: config, etat, presser, capture, fin
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <memory>
#include <vector>

#include "DemoSettings.h"

class QThread;
class TSimHidBus;
class TControlWorker;

// What the control window shows of the terminal and of the program.
struct TTerminalView {
  bool Plugged = false;
  bool EverPlugged = false;  // the terminal has a device on the bus
  bool InLoader = false;
  TTermIdentity Running;
  int Blocks = 0;
  bool Complete = false;
  QString ProgramShows;  // the box or dialog the program shows; empty: none

  friend bool operator==(const TTerminalView& a, const TTerminalView& b);
  friend bool operator!=(const TTerminalView& a, const TTerminalView& b) { return !(a == b); }
};

QJsonObject ConfigToJson(const TVirtualTerminalConfig& config, const std::vector<TDemoFault>& faults);
// Reads what ConfigToJson wrote into `config` (fields absent keep their
// value) and `faults` (specs that do not read are left out).
void ConfigFromJson(const QJsonObject& o, TVirtualTerminalConfig& config, std::vector<TDemoFault>& faults);
QJsonObject ViewToJson(const TTerminalView& view);
TTerminalView ViewFromJson(const QJsonObject& o);

// One object, one line.
QByteArray EncodeLine(const QJsonObject& o);
// Takes every complete line off the front of `buffer` and returns the
// objects they hold; a line that is not a JSON object is skipped. A buffer
// that grows past `limit` bytes without a line end is dropped.
std::vector<QJsonObject> TakeLines(QByteArray& buffer, int limit = 1 << 20);

// The demo's side. Lives on the GUI thread; its work runs on its own thread.
class TControlServer : public QObject {
  Q_OBJECT
 public:
  TControlServer(std::shared_ptr<TSimHidBus> bus, std::shared_ptr<TVirtualTerminal> terminal,
                 std::vector<TDemoFault> faults, QObject* parent = nullptr);
  ~TControlServer() override;

  // Listens on a fresh local name; false with a reason when it cannot.
  bool Start(QString& error);
  QString ServerName() const { return FName; }
  bool ClientConnected() const;

  // Any thread: a message to the control window (dropped when none is
  // connected), and the box the program shows.
  void Post(const QJsonObject& message);
  void SetProgramShows(const QString& text);

 signals:
  // The control window was closed: the demo is asked to end.
  void QuitRequested();
  // The control window's answer to "presser" or "capture".
  void ReplyReceived(const QJsonObject& reply);
  void ClientChanged(bool connected);

 private:
  QThread* FThread = nullptr;
  TControlWorker* FWorker = nullptr;
  QString FName;
};

class QLocalSocket;

// The control window's side: one connection to the demo's server.
class TControlClient : public QObject {
  Q_OBJECT
 public:
  explicit TControlClient(QObject* parent = nullptr);
  ~TControlClient() override;

  // Connects to the server of that name; false when it does not answer.
  bool Connect(const QString& serverName, int timeoutMs = 5000);
  bool Connected() const;
  void Send(const QJsonObject& message);

 signals:
  void ConfigReceived(const QJsonObject& config);
  void ViewReceived(const TTerminalView& view);
  // An order of the demo's tour: press a button, save a picture.
  void RequestReceived(const QJsonObject& request);
  // The demo ended, or the link broke.
  void Ended();

 private:
  void ReadAll();
  QLocalSocket* FSocket;
  QByteArray FBuffer;
  bool FEnded = false;
};
