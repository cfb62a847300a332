// The upgrade workflow: the upgrade window with its load sequence, and the
// firmware password dialog.
#pragma once

#include "F_PasswordFirmware.h"
#include "F_VMUpgrade.h"
#include "Gauge.h"
