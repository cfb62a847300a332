// Program entry: the GUI application, the main window, the message loop.
//
//   VelmoraUpgrade [--trace FILE] [FILE.mot]
//
// Without arguments the program behaves as it always has: the one ".mot"
// file beside the executable, no trace. A firmware file given (a double
// click on a delivered ".mot", or a file dropped on the executable) is taken
// instead; --trace writes the frames exchanged with the terminal and the
// messages shown into FILE.
#include <QApplication>
#include <cstdio>
#include <string>
#include <vector>

#include "AppParts.h"
#include "AppTrace.h"
#include "F_Main.h"
#include "U_Paths.h"
#include "U_QtShell.h"
#include "U_Textes.h"

int main(int argc, char** argv) {
  // The help needs no display.
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(AppUsage().c_str(), stdout);
      return 0;
    }
  }
  QApplication app(argc, argv);
  std::vector<std::string> args;
  const QStringList qargs = QCoreApplication::arguments();
  for (int i = 1; i < qargs.size(); ++i) args.push_back(qargs[i].toStdString());
  TAppCommandLine cmd;
  std::string error;
  if (!ParseAppCommandLine(args, cmd, error)) {
    std::fprintf(stderr, "%s\n\n%s", error.c_str(), AppUsage().c_str());
    return 2;
  }
  InstallFrenchTranslations();
  TQtMessagePresenter boxes;
  TAppTrace trace;
  TTracingPresenter tracing(boxes, trace);
  const bool traceWanted = !cmd.TraceFile.empty();
  // Never into a firmware file this run may load (a technician who takes
  // --trace for a switch: "--trace Firmware.mot").
  const bool traceOpen =
      traceWanted && trace.Open(cmd.TraceFile, TTraceGuard{cmd.FirmwareFile, ExecutableDir()});
  SetMessagePresenter(traceOpen ? static_cast<IMessagePresenter*>(&tracing) : &boxes);
  TAppOptions options;
  options.FirmwareFile = cmd.FirmwareFile;
  options.Trace = traceOpen ? &trace : nullptr;
  int rc;
  {
    TfrmMain window(MakeApplicationParts(nullptr, options));
    window.show();
    // The catalogue is loaded by the window's creation.
    if (traceWanted && !traceOpen && window.Usable()) {
      const char* key = trace.Refused() ? "_Err_TraceIsFirmware" : "_Err_TraceFile";
      ShowInformation(FormatText(GetTexte(key), {cmd.TraceFile}), key);
    }
    rc = app.exec();
  }
  SetMessagePresenter(nullptr);
  return rc;
}
