// The application's real parts for the main window: the firmware file
// object, the device dialogue on the given HID platform (the host's own when
// none is given), the upgrade window and the driver installation.
#pragma once

#include <memory>

#include "MainParts.h"

class IHidPlatform;
class TCommonDlg;
class TObjFileMot;

TMainParts MakeApplicationParts(std::shared_ptr<IHidPlatform> platform = nullptr);

// The real objects behind the main window's parts (none before creation).
TCommonDlg* MainCommonDlg();
TObjFileMot* MainFileMot();
