// The link between the demo and its control window: the wire format, the
// control server on its own thread, and the control window on the client
// side.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QJsonArray>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <tuple>

#include "DemoLayout.h"
#include "DemoLink.h"
#include "F_VirtualTerminal.h"
#include "ModalDriver.h"
#include "SimHidBus.h"

namespace {

QJsonObject Op(const char* op) { return QJsonObject{{QStringLiteral("op"), QLatin1String(op)}}; }

TDemoFault Fault(const char* spec) {
  TDemoFault f;
  QString e;
  EXPECT_TRUE(ParseFaultSpec(QLatin1String(spec), f, e)) << spec;
  return f;
}

// The settings the control window sets, as one comparable value: frame
// version, type, version, date, USB version, restart, password, for the
// boot program, switch, latency.
auto Settings(const TVirtualTerminalConfig& c) {
  return std::make_tuple(c.Application.FrameVersion, c.Application.AppType, c.Application.VersionName,
                         c.Application.AppDate, c.UsbVersion, c.RestartOnEndBlock, c.Password,
                         c.PasswordForLoader, c.SwitchActive, c.LatencyMs);
}

bool Plugged(const TVirtualTerminal& t) {
  const auto d = t.Device();
  return d && d->Plugged();
}

// Everything a client received.
struct TReceived {
  std::vector<QJsonObject> Configs;
  std::vector<TTerminalView> Views;
  std::vector<QJsonObject> Requests;
  bool Ended = false;
  void Listen(TControlClient& c) {
    QObject::connect(&c, &TControlClient::ConfigReceived,
                     [this](const QJsonObject& o) { Configs.push_back(o); });
    QObject::connect(&c, &TControlClient::ViewReceived,
                     [this](const TTerminalView& v) { Views.push_back(v); });
    QObject::connect(&c, &TControlClient::RequestReceived,
                     [this](const QJsonObject& o) { Requests.push_back(o); });
    QObject::connect(&c, &TControlClient::Ended, [this] { Ended = true; });
  }
};

class ControlLink : public ::testing::Test {
 protected:
  void SetUp() override {
    TVirtualTerminalConfig c = DefaultDemoTerminal();
    Terminal = TVirtualTerminal::Create(c);
    Terminal->Plug(*Bus);
    Server = std::make_unique<TControlServer>(Bus, Terminal, std::vector<TDemoFault>{Fault("bloc3:nak")});
    QString error;
    ASSERT_TRUE(Server->Start(error)) << error.toStdString();
  }
  void TearDown() override {
    Server.reset();
    Terminal->Unplug();
  }

  std::shared_ptr<TSimHidBus> Bus = std::make_shared<TSimHidBus>();
  std::shared_ptr<TVirtualTerminal> Terminal;
  std::unique_ptr<TControlServer> Server;
};

}  // namespace

TEST(ControlWire, LinesAreTakenWholeAndBadOnesSkipped) {
  QByteArray buffer = "{\"op\":\"a\"}\nnot json\n[1,2]\n{\"op\":\"b\"}\n{\"op\":";
  std::vector<QJsonObject> got = TakeLines(buffer);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].value(QStringLiteral("op")).toString(), QStringLiteral("a"));
  EXPECT_EQ(got[1].value(QStringLiteral("op")).toString(), QStringLiteral("b"));
  // The unfinished line waits for its end.
  EXPECT_EQ(buffer, QByteArray("{\"op\":"));
  buffer += "\"c\"}\n";
  got = TakeLines(buffer);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].value(QStringLiteral("op")).toString(), QStringLiteral("c"));
  EXPECT_TRUE(buffer.isEmpty());
  // A line that never ends is not kept for ever.
  buffer = QByteArray(100, 'x');
  EXPECT_TRUE(TakeLines(buffer, 64).empty());
  EXPECT_TRUE(buffer.isEmpty());
  // One object, one line.
  const QByteArray line = EncodeLine(QJsonObject{{QStringLiteral("texte"), QStringLiteral("a\nb")}});
  EXPECT_EQ(line.count('\n'), 1);
  EXPECT_TRUE(line.endsWith('\n'));
}

TEST(ControlWire, SettingsAndViewsReadBackAsWritten) {
  TVirtualTerminalConfig c = DefaultDemoTerminal();
  c.Application = TTermIdentity{3, 12, "ab\"cd1", "29/02/2012"};
  c.UsbVersion = 3;
  c.RestartOnEndBlock = false;
  c.Password = "KVZ2010";
  c.PasswordForLoader = false;
  c.SwitchActive = true;
  c.LatencyMs = 150;
  const std::vector<TDemoFault> faults{Fault("boot:statut=20:toujours"), Fault("blocfin:debrancheapres")};
  TVirtualTerminalConfig d;
  std::vector<TDemoFault> g{Fault("identite:nak")};
  ConfigFromJson(ConfigToJson(c, faults), d, g);
  EXPECT_EQ(Settings(d),
            std::make_tuple(3, 12, "ab\"cd1", "29/02/2012", 3, false, "KVZ2010", false, true, 150));
  ASSERT_EQ(g.size(), 2u);
  EXPECT_EQ(FaultSpecText(g[0]), QStringLiteral("boot:statut=20:toujours"));
  EXPECT_EQ(FaultSpecText(g[1]), QStringLiteral("blocfin:debrancheapres"));

  TTerminalView v;
  v.Plugged = true;
  v.EverPlugged = true;
  v.InLoader = true;
  v.Running = TTermIdentity{2, 255, "BOOT10", "01/03/2008"};
  v.Blocks = 17;
  v.Complete = true;
  v.ProgramShows = QStringLiteral("« Velmoraupgrade » DECONNECTER");
  EXPECT_EQ(ViewFromJson(ViewToJson(v)), v);
  TTerminalView w = v;
  w.Running.VersionName = "BOOT11";
  EXPECT_NE(w, v);
}

TEST_F(ControlLink, TheClientGetsTheSettingsThenTheTerminalsStateAndItsOrdersChangeIt) {
  TControlClient client;
  TReceived got;
  got.Listen(client);
  ASSERT_TRUE(client.Connect(Server->ServerName()));
  ASSERT_TRUE(WaitUntil([&] { return !got.Configs.empty() && !got.Views.empty(); }));
  EXPECT_EQ(got.Configs[0].value(QStringLiteral("version")).toString(), QStringLiteral("fv0104"));
  EXPECT_EQ(got.Configs[0].value(QStringLiteral("defauts")).toArray(),
            QJsonArray{QStringLiteral("bloc3:nak")});
  EXPECT_TRUE(got.Views.back().Plugged);
  EXPECT_FALSE(got.Views.back().InLoader);
  EXPECT_EQ(got.Views.back().Running.VersionName, "fv0104");
  EXPECT_TRUE(Server->ClientConnected());

  // What the program shows reaches the control window.
  Server->SetProgramShows(QStringLiteral("« Saisie mot de passe »"));
  ASSERT_TRUE(
      WaitUntil([&] { return got.Views.back().ProgramShows == QStringLiteral("« Saisie mot de passe »"); }));
  // The tour's orders, and the answers.
  QJsonObject reply;
  QObject::connect(Server.get(), &TControlServer::ReplyReceived, [&](const QJsonObject& o) { reply = o; });
  Server->Post(QJsonObject{{QStringLiteral("op"), QStringLiteral("presser")}, {QStringLiteral("id"), 7}});
  ASSERT_TRUE(WaitUntil([&] { return !got.Requests.empty(); }));
  EXPECT_EQ(got.Requests[0].value(QStringLiteral("id")).toInt(), 7);
  client.Send(QJsonObject{{QStringLiteral("op"), QStringLiteral("reponse")}, {QStringLiteral("id"), 7}});
  ASSERT_TRUE(WaitUntil([&] { return !reply.isEmpty(); }));
  EXPECT_EQ(reply.value(QStringLiteral("id")).toInt(), 7);

  // Orders change the terminal.
  client.Send({{"op", "identite"},
               {"type", 12},
               {"version", "fv0200"},
               {"date", "01/01/2020"},
               {"trame", 3},
               {"usb", 1},
               {"redemarre", false}});
  client.Send({{"op", "securite"}, {"motdepasse", "KVZ2010"}, {"pourboot", false}, {"commutateur", true}});
  // A latency is taken after what came before it: once it shows, the
  // orders before it are in.
  auto latency = [&](TControlClient& c, int ms) {
    c.Send({{"op", "latence"}, {"ms", ms}});
    return WaitUntil([&] { return Terminal->Config().LatencyMs == ms; });
  };
  ASSERT_TRUE(latency(client, 250));
  // The workstation read the USB version when the terminal was plugged: it
  // stays 4.
  EXPECT_EQ(Settings(Terminal->Config()),
            std::make_tuple(3, 12, "fv0200", "01/01/2020", 4, false, "KVZ2010", false, true, 250));
  // The views come on the client's own socket: none may have come yet.
  ASSERT_TRUE(
      WaitUntil([&] { return !got.Views.empty() && got.Views.back().Running.VersionName == "fv0200"; }));

  // Faults: a new control window is told the list as it stands.
  client.Send({{"op", "defaut"}, {"spec", "identite:sansreponse"}});
  ASSERT_TRUE(latency(client, 30));
  TControlClient second;
  TReceived got2;
  got2.Listen(second);
  ASSERT_TRUE(WaitUntil([&] {
    if (!second.Connected()) second.Connect(Server->ServerName());
    return !got2.Configs.empty();
  }));
  EXPECT_EQ(got2.Configs[0].value(QStringLiteral("defauts")).toArray(),
            (QJsonArray{QStringLiteral("bloc3:nak"), QStringLiteral("identite:sansreponse")}));
  // The newer window took over from the first.
  ASSERT_TRUE(WaitUntil([&] { return got.Ended; }));
  second.Send(Op("effacer-defauts"));
  ASSERT_TRUE(latency(second, 40));
  TControlClient third;
  TReceived got3;
  got3.Listen(third);
  ASSERT_TRUE(third.Connect(Server->ServerName()));
  ASSERT_TRUE(WaitUntil([&] { return !got3.Configs.empty(); }));
  EXPECT_TRUE(got3.Configs[0].value(QStringLiteral("defauts")).toArray().isEmpty());
}

// The point of the server's own thread: the terminal is unplugged and
// replugged at once, also while the program's GUI thread does not turn
// its event loop (its fixed sleeps).
TEST_F(ControlLink, OrdersActWhileTheGuiThreadSleeps) {
  TControlClient client;
  ASSERT_TRUE(client.Connect(Server->ServerName()));
  // Whether the terminal comes to `plugged` within 5 s, without event
  // processing here.
  auto comesTo = [&](bool plugged) {
    QElapsedTimer t;
    t.start();
    while (Plugged(*Terminal) != plugged && t.elapsed() < 5000) QThread::msleep(5);
    return Plugged(*Terminal) == plugged;
  };
  client.Send(Op("debrancher"));
  EXPECT_TRUE(comesTo(false));
  client.Send(Op("brancher"));
  EXPECT_TRUE(comesTo(true));
  // Unplugged, then back half a second later.
  client.Send(Op("rebrancher"));
  EXPECT_TRUE(comesTo(false));
  EXPECT_TRUE(comesTo(true));
}

// The control window itself, on the client side.
TEST_F(ControlLink, TheControlWindowDrivesTheTerminalAndAnswersTheTour) {
  TControlClient link;
  ASSERT_TRUE(link.Connect(Server->ServerName()));
  TfrmVirtualTerminal w(&link);
  w.show();
  ASSERT_TRUE(WaitUntil([&] { return w.isEnabled() && w.View().Plugged; }));
  auto* plug = w.findChild<QPushButton*>(QStringLiteral("btnPlug"));
  auto* unplug = w.findChild<QPushButton*>(QStringLiteral("btnUnplug"));
  ASSERT_TRUE(plug && unplug);
  EXPECT_FALSE(plug->isEnabled());
  // The settings were filled without being sent back.
  EXPECT_EQ(w.findChild<QLineEdit*>(QStringLiteral("edtVersionName"))->text(), QStringLiteral("fv0104"));
  EXPECT_EQ(w.findChild<QSpinBox*>(QStringLiteral("spnLatency"))->value(), 20);

  QTest::mouseClick(unplug, Qt::LeftButton);
  ASSERT_TRUE(WaitUntil([&] { return !Plugged(*Terminal) && !w.View().Plugged; }));
  EXPECT_TRUE(plug->isEnabled());
  EXPECT_EQ(w.findChild<QLabel*>(QStringLiteral("lblPlugState"))->text(),
            QStringLiteral("Terminal débranché"));
  QTest::mouseClick(plug, Qt::LeftButton);
  ASSERT_TRUE(WaitUntil([&] { return Plugged(*Terminal) && w.View().Plugged; }));

  // A version name that is not six characters is not sent.
  auto* version = w.findChild<QLineEdit*>(QStringLiteral("edtVersionName"));
  version->setText(QStringLiteral("fv01"));
  QTest::mouseClick(w.findChild<QPushButton*>(QStringLiteral("btnApplyIdentity")), Qt::LeftButton);
  EXPECT_TRUE(w.StatusText().contains(QStringLiteral("6 caractères"))) << w.StatusText().toStdString();
  version->setText(QStringLiteral("fv0300"));
  QTest::mouseClick(w.findChild<QPushButton*>(QStringLiteral("btnApplyIdentity")), Qt::LeftButton);
  ASSERT_TRUE(WaitUntil([&] { return Terminal->Config().Application.VersionName == "fv0300"; }));
  // The password field takes letters and digits only.
  auto* password = w.findChild<QLineEdit*>(QStringLiteral("edtPassword"));
  password->clear();
  QTest::keyClicks(password, QStringLiteral("Ab-1 "));
  QKeyEvent accent(QEvent::KeyPress, Qt::Key_Eacute, Qt::NoModifier, QStringLiteral("é"));
  QApplication::sendEvent(password, &accent);
  QTest::keyClicks(password, QStringLiteral("2"));
  EXPECT_EQ(password->text(), QStringLiteral("Ab12"));
  QTest::keyClick(password, Qt::Key_Return);
  ASSERT_TRUE(WaitUntil([&] { return Terminal->Config().Password == "Ab12"; }));

  // The tour presses buttons and takes pictures.
  std::vector<QJsonObject> replies;
  QObject::connect(Server.get(), &TControlServer::ReplyReceived,
                   [&](const QJsonObject& o) { replies.push_back(o); });
  // Posts `order` with `id`; whether the control window carried it out.
  auto post = [&](QJsonObject order, int id) {
    order.insert("id", id);
    Server->Post(order);
    EXPECT_TRUE(WaitUntil([&] { return !replies.empty() && replies.back().value("id").toInt() == id; }));
    return !replies.empty() && replies.back().value("ok").toBool();
  };
  auto press = [&](const char* button, int id) { return post({{"op", "presser"}, {"bouton", button}}, id); };
  // "Brancher" is greyed while the terminal is plugged: no click gets through.
  EXPECT_FALSE(press("btnPlug", 1));
  EXPECT_TRUE(Plugged(*Terminal));
  EXPECT_TRUE(press("btnUnplug", 2));
  EXPECT_FALSE(Plugged(*Terminal));  // the order was carried out before the answer came
  EXPECT_FALSE(press("btnInconnu", 3));
  ASSERT_TRUE(WaitUntil([&] { return !w.View().Plugged; }));
  EXPECT_TRUE(press("btnPlug", 4));

  QTemporaryDir dir;
  const QString file = dir.filePath(QStringLiteral("controle.png"));
  EXPECT_TRUE(post({{"op", "capture"}, {"fichier", file}}, 5));
  EXPECT_EQ(QImage(file).width(), w.width());

  // Closing the window while the demo runs asks the demo to end, and the
  // window stays until it does.
  bool quit = false;
  QObject::connect(Server.get(), &TControlServer::QuitRequested, [&] { quit = true; });
  w.close();
  EXPECT_TRUE(WaitUntil([&] { return quit; }));
  EXPECT_TRUE(w.isVisible());
  Server.reset();
  EXPECT_TRUE(WaitUntil([&] { return !w.isVisible(); }));
}

// Where the demo's windows go: both on screen, side by side when the
// screen is wide enough, on the screens technicians use.
namespace {

struct TScreen {
  int Width, Height;
  bool SideBySide;
};

}  // namespace

TEST(DemoLayout, BothWindowsStayOnEveryScreen) {
  TfrmVirtualTerminal control(nullptr);
  const QSize client = control.WantedClientSize();
  const int controlFrameWidth = client.width() + kFrameGuess.left() + kFrameGuess.right();
  for (const TScreen& s : {TScreen{1366, 768, true}, TScreen{1600, 1000, true}, TScreen{1920, 1080, true},
                           TScreen{1280, 1024, false}, TScreen{1024, 768, false}}) {
    SCOPED_TRACE(std::to_string(s.Width) + "x" + std::to_string(s.Height));
    // A task bar of 40 pixels at the bottom.
    const QRect avail(0, 0, s.Width, s.Height - 40);
    // The main window's frame: 870 x 640 inside the usual decorations, centred.
    const QSize size = QSize(870, 640).grownBy(kFrameGuess);
    const QRect main(avail.center() - QPoint(size.width() / 2, size.height() / 2), size);
    const TDemoPlacement p = PlaceDemoWindows(avail, main, controlFrameWidth);
    EXPECT_EQ(p.SideBySide, s.SideBySide);
    const QRect mainAt(p.MainTopLeft, main.size());
    if (main.width() <= avail.width() && main.height() <= avail.height()) {
      EXPECT_TRUE(avail.contains(mainAt));
    }
    const QRect controlClient = FitControlWindow(avail, p.ControlTopLeft, client, kFrameGuess);
    const QRect controlFrame = controlClient.marginsAdded(kFrameGuess);
    EXPECT_TRUE(avail.contains(controlFrame)) << controlFrame.x() << "," << controlFrame.y() << " "
                                              << controlFrame.width() << "x" << controlFrame.height();
    if (s.SideBySide) {
      EXPECT_FALSE(mainAt.intersects(controlFrame));
      EXPECT_EQ(controlFrame.top(), mainAt.top());
      // Tall enough for the whole form: nothing hides behind the scroll.
      EXPECT_EQ(controlClient.height(), client.height());
    } else {
      EXPECT_EQ(controlFrame.right(), avail.right());
    }
  }
}

// The control window fits beside the main window on 1366 x 768 without
// scrolling, and scrolls rather than running off smaller screens.
TEST(DemoLayout, TheControlWindowIsCompactAndScrolls) {
  TfrmVirtualTerminal control(nullptr);
  const QSize client = control.WantedClientSize();
  EXPECT_LE(client.width() + kFrameGuess.left() + kFrameGuess.right(), 1366 - 878 - kWindowGap);
  EXPECT_LE(client.height() + kFrameGuess.top() + kFrameGuess.bottom(), 768 - 40);
  EXPECT_NE(control.findChild<QScrollArea*>(), nullptr);
  EXPECT_LT(control.minimumSizeHint().height(), 300);
  // Every group box lies in the scrolled content.
  auto* scroll = control.findChild<QScrollArea*>();
  for (const char* name : {"gbxConnection", "gbxIdentity", "gbxSecurity", "gbxFaults"})
    EXPECT_TRUE(scroll->widget()->findChild<QWidget*>(QLatin1String(name))) << name;
}

TEST(DemoLayout, FitKeepsTheFrameInsideTheArea) {
  const QRect avail(100, 50, 800, 600);
  // Too far right and too low: moved back in; too tall: shortened.
  QRect r = FitControlWindow(avail, QPoint(850, 500), QSize(300, 900), QMargins(4, 30, 4, 4));
  EXPECT_TRUE(avail.contains(r.marginsAdded(QMargins(4, 30, 4, 4))));
  EXPECT_EQ(r.height(), 600 - 34);
  // Already inside: left where it was wanted.
  r = FitControlWindow(avail, QPoint(200, 60), QSize(300, 400), QMargins(4, 30, 4, 4));
  EXPECT_EQ(r, QRect(204, 90, 300, 400));
}

TEST(DemoLayout, PointsAndDates) {
  QPoint p;
  EXPECT_TRUE(ParsePoint(QStringLiteral("12,-34"), p));
  EXPECT_EQ(p, QPoint(12, -34));
  EXPECT_FALSE(ParsePoint(QStringLiteral("12"), p));
  EXPECT_FALSE(ParsePoint(QStringLiteral("a,b"), p));
  EXPECT_TRUE(IsDemoDate(QStringLiteral("29/02/2012")));
  for (const char* bad : {"29/02/2011", "31/04/2010", "1/02/2010", "01/2/2010", "15/06/09", "2010-02-01",
                          "15/06/2009 ", "15-06-2009", ""})
    EXPECT_FALSE(IsDemoDate(QLatin1String(bad))) << bad;
}
