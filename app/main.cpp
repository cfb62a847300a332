// Program entry: the GUI application, the main window, the message loop.
#include <QApplication>

#include "AppParts.h"
#include "F_Main.h"
#include "U_QtShell.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  InstallFrenchTranslations();
  TQtMessagePresenter presenter;
  SetMessagePresenter(&presenter);
  int rc;
  {
    TfrmMain window(MakeApplicationParts());
    window.show();
    rc = app.exec();
  }
  SetMessagePresenter(nullptr);
  return rc;
}
