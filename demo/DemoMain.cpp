// The demonstration: the real application, unchanged, on the simulated HID
// bus with one virtual terminal, and the control window "Terminal virtuel"
// in a second process of the same executable (started with
// --fenetre-controle), so that the program's modal boxes never freeze it.
// Every frame of the terminal is traced on standard output.
#include <QApplication>
#include <QDir>
#include <QProcess>
#include <QScreen>
#include <QStyle>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "AppParts.h"
#include "AppTrace.h"
#include "DemoLayout.h"
#include "DemoLink.h"
#include "DemoScenarios.h"
#include "DemoSettings.h"
#include "DemoTour.h"
#include "F_Main.h"
#include "F_VMUpgrade.h"
#include "F_VirtualTerminal.h"
#include "SimHidBus.h"
#include "U_DecodeFileMot.h"
#include "U_Paths.h"
#include "U_QtShell.h"

namespace {

// Ends the demo when the main window has closed (Quitter or its close box).
class TQuitWithMain : public QObject {
 public:
  explicit TQuitWithMain(QWidget* main) : QObject(main), FMain(main) { main->installEventFilter(this); }
  bool eventFilter(QObject* watched, QEvent* e) override {
    if (watched == FMain && e->type() == QEvent::Close)
      QTimer::singleShot(0, this, [this] {
        if (!FMain->isVisible()) QCoreApplication::quit();
      });
    return false;
  }

 private:
  QWidget* FMain;
};

int RunControlProcess(int argc, char** argv) {
  QString name;
  QPoint position;
  bool havePosition = false;
  for (int i = 1; i + 1 < argc; ++i) {
    if (!std::strcmp(argv[i], "--fenetre-controle")) name = QString::fromLocal8Bit(argv[i + 1]);
    if (!std::strcmp(argv[i], "--position"))
      havePosition = ParsePoint(QString::fromLocal8Bit(argv[i + 1]), position);
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("VelmoraUpgradeDemo"));
  InstallFrenchTranslations();
  return RunControlWindow(name, havePosition ? &position : nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (!std::strcmp(argv[i], "--fenetre-controle")) return RunControlProcess(argc, argv);
#ifndef _WIN32
  // The help needs no display (Windows always has one).
  for (int i = 1; i < argc; ++i)
    if ((!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) && !std::getenv("DISPLAY") &&
        !std::getenv("WAYLAND_DISPLAY"))
      setenv("QT_QPA_PLATFORM", "offscreen", 0);
#endif
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("VelmoraUpgradeDemo"));
  QApplication::setApplicationVersion(QStringLiteral("1.0.5.0"));
  InstallFrenchTranslations();

  TDemoSettings settings;
  QString error;
  if (!ParseDemoCommandLine(QApplication::arguments(), settings, error) ||
      !CheckFaultBlocks(settings.Faults, ExecutableDir(), error)) {
    std::fprintf(stderr, "%s\n(--help pour l'aide)\n", qPrintable(error));
    return 2;
  }
  if (settings.Fast) TfrmVMUpgrade::Pauses() = TUpgradePauses{200, 100, 200, 100};

  // The firmware file beside this executable; the boxes carry the
  // application's own title.
  const std::string dir = ExecutableDir();
  SetExecutablePathForTesting(dir + "VelmoraUpgrade");

  const bool touring = !settings.TourDir.isEmpty();
  // Kept open to the end: the terminal's threads write to it until it goes.
  // Opened as the program's own trace is: appended to, never through a
  // link, never the demo's firmware file.
  static std::FILE* traceCopy = nullptr;
  if (touring) {
    QDir().mkpath(settings.TourDir);
    const QString path = QDir(settings.TourDir).filePath(QStringLiteral("trace.txt"));
    traceCopy = OpenTraceFile(path.toStdString(), "VelmoraUpgradeDemo", TTraceGuard{std::string(), dir});
    if (!traceCopy)
      std::fprintf(stderr, "La trace %s ne peut pas être écrite ; elle ne va que sur la sortie standard.\n",
                   qPrintable(path));
  }

  auto bus = std::make_shared<TSimHidBus>();
  auto terminal = TVirtualTerminal::Create(settings.Terminal);
  InstallTrace(*terminal, stdout, traceCopy);
  AddDemoFaults(*terminal, settings.Faults);

  std::unique_ptr<TDemoTour> tour;
  TQtMessagePresenter boxes;
  if (touring) {
    tour = std::make_unique<TDemoTour>(settings.TourDir, settings.Scenario, terminal,
                                       settings.TourLimitSeconds, settings.Fast);
    SetMessagePresenter(&tour->Presenter());
  } else {
    SetMessagePresenter(&boxes);
  }
  // A tour's road starts with the terminal in place.
  if (settings.Plugged || tour) terminal->Plug(*bus);

  TControlServer server(bus, terminal, settings.Faults);
  if (!server.Start(error)) std::fprintf(stderr, "Terminal virtuel indisponible : %s\n", qPrintable(error));
  QProcess control;
  int rc;
  {
    TfrmMain window(MakeApplicationParts(bus));
    window.show();
    new TQuitWithMain(&window);
    QObject::connect(&server, &TControlServer::QuitRequested, &window, &QWidget::close);

    // Both windows on screen: the pair side by side when the screen is wide
    // enough, the control window at the screen's right edge otherwise.
    const QRect avail = window.screen() ? window.screen()->availableGeometry() : QRect();
    QRect frame = window.frameGeometry();
    if (frame == window.geometry()) frame = frame.marginsAdded(kFrameGuess);
    const int controlWidth = TfrmVirtualTerminal::kContentWidth +
                             window.style()->pixelMetric(QStyle::PM_ScrollBarExtent) + kFrameGuess.left() +
                             kFrameGuess.right();
    const TDemoPlacement place = PlaceDemoWindows(avail, frame, controlWidth);
    if (!avail.isEmpty()) window.move(place.MainTopLeft);

    if (!server.ServerName().isEmpty()) {
      control.setProgram(QCoreApplication::applicationFilePath());
      control.setArguments(
          {QStringLiteral("--fenetre-controle"), server.ServerName(), QStringLiteral("--position"),
           QStringLiteral("%1,%2").arg(place.ControlTopLeft.x()).arg(place.ControlTopLeft.y())});
      control.setStandardOutputFile(QProcess::nullDevice());
      control.setProcessChannelMode(QProcess::ForwardedErrorChannel);
      control.start();
      QObject::connect(&control, &QProcess::finished, [](int code, QProcess::ExitStatus status) {
        std::fprintf(stderr, "La fenêtre « Terminal virtuel » s'est terminée (%s %d).\n",
                     status == QProcess::NormalExit ? "code" : "signal", code);
      });
    }
    QTimer shows;
    shows.setInterval(200);
    QString lastShown;
    QObject::connect(&shows, &QTimer::timeout, [&server, &lastShown] {
      const QString now = ProgramShowsText();
      if (now == lastShown) return;
      lastShown = now;
      server.SetProgramShows(now);
    });
    shows.start();

    if (tour) {
      const TObjFileMot* file = MainFileMot();
      if (!window.Usable() || !file) {
        std::fprintf(stderr, "Pas de fichier firmware utilisable dans %s\n", dir.c_str());
        SetMessagePresenter(nullptr);
        control.kill();
        control.waitForFinished(3000);
        return 1;
      }
      BuildScenario(settings.Scenario, *tour, *file);
      tour->SetControl(&server);
      tour->Start(&window);
    }
    app.exec();
    rc = tour ? tour->ExitCode() : 0;
  }
  // The control window ends with the demo.
  if (control.state() != QProcess::NotRunning) {
    QObject::disconnect(&control, nullptr, nullptr, nullptr);
    server.Post(QJsonObject{{QStringLiteral("op"), QStringLiteral("fin")}});
    if (!control.waitForFinished(5000)) {
      std::fprintf(stderr, "La fenêtre « Terminal virtuel » ne s'est pas fermée avec la démonstration.\n");
      control.kill();
      control.waitForFinished(3000);
      if (tour) rc = 1;
    }
  }
  terminal->Unplug();
  SetMessagePresenter(nullptr);
  tour.reset();
  return rc;
}
