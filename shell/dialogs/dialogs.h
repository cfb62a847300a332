// The shell's Qt layer: error and wait dialogs, the real message presenter,
// resources and pictures.
#pragma once

#include "F_ErrorDlg.h"
#include "F_Wait.h"
#include "U_QtShell.h"
