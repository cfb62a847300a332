// The demonstration: the real application, unchanged, on the simulated HID
// bus with one virtual terminal, beside the control window "Terminal
// virtuel". Every frame of the terminal is traced on standard output.
#include <QApplication>
#include <QScreen>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "AppParts.h"
#include "DemoSettings.h"
#include "DemoTour.h"
#include "F_Main.h"
#include "F_VirtualTerminal.h"
#include "SimHidBus.h"
#include "U_Paths.h"
#include "U_QtShell.h"

int main(int argc, char** argv) {
  // The help needs no display.
  for (int i = 1; i < argc; ++i)
    if ((!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) && !std::getenv("DISPLAY") &&
        !std::getenv("WAYLAND_DISPLAY"))
      setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("VelmoraUpgradeDemo"));
  QApplication::setApplicationVersion(QStringLiteral("1.0.5.0"));
  InstallFrenchTranslations();

  TDemoSettings settings;
  QString error;
  if (!ParseDemoCommandLine(QApplication::arguments(), settings, error)) {
    std::fprintf(stderr, "%s\n(--help pour l'aide)\n", qPrintable(error));
    return 2;
  }

  // The firmware file beside this executable; the boxes carry the
  // application's own title.
  const std::string dir = ExecutableDir();
  SetExecutablePathForTesting(dir + "VelmoraUpgrade");

  auto bus = std::make_shared<TSimHidBus>();
  auto terminal = TVirtualTerminal::Create(settings.Terminal);
  InstallTrace(*terminal);
  AddDemoFaults(*terminal, settings.Faults);

  std::unique_ptr<TDemoTour> tour;
  TQtMessagePresenter boxes;
  if (!settings.TourDir.isEmpty()) {
    tour = std::make_unique<TDemoTour>(settings.TourDir, terminal, settings.TourLimitSeconds);
    SetMessagePresenter(&tour->Presenter());
  } else {
    SetMessagePresenter(&boxes);
  }
  // The tour's road starts with the terminal in place.
  if (settings.Plugged || tour) terminal->Plug(*bus);

  int rc;
  {
    TfrmVirtualTerminal control(bus, terminal, settings);
    TfrmMain window(MakeApplicationParts(bus));
    window.show();
    control.show();
    control.move(window.frameGeometry().right() + 16, window.frameGeometry().top());
    if (tour) {
      if (!window.Usable()) {
        std::fprintf(stderr, "Pas de fichier firmware utilisable dans %s\n", dir.c_str());
        SetMessagePresenter(nullptr);
        return 1;
      }
      tour->Start(&window, &control);
    }
    rc = app.exec();
    if (!tour) rc = 0;
  }
  terminal->Unplug();
  SetMessagePresenter(nullptr);
  tour.reset();
  return rc;
}
