// The application's real parts for the main window: the firmware file
// object, the device dialogue on the given HID platform (the host's own when
// none is given), the upgrade window and the driver installation.
#pragma once

#include <memory>
#include <string>

#include "MainParts.h"

class IHidPlatform;
class TAppTrace;
class TCommonDlg;
class TObjFileMot;

struct TAppOptions {
  // The firmware file to load; empty: the one ".mot" beside the executable.
  std::string FirmwareFile;
  // Where the frames exchanged with the terminal are traced; none by default.
  TAppTrace* Trace = nullptr;
};

TMainParts MakeApplicationParts(std::shared_ptr<IHidPlatform> platform = nullptr,
                                const TAppOptions& options = TAppOptions());

// The real objects behind the main window's parts (none before creation).
TCommonDlg* MainCommonDlg();
TObjFileMot* MainFileMot();
