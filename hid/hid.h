// The HID layer: controller, devices, reader threads, the hand-over onto the
// main thread and the platform seam.
#pragma once

#include "HidCallQueue.h"
#include "HidControllerClass.h"
#include "HidEvents.h"
#include "HidPlatform.h"
#include "HidReportDescriptor.h"
