// The application's real parts for the main window.
#pragma once

#include "MainParts.h"

TMainParts MakeApplicationParts();
