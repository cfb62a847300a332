// The shell's Qt-free core: catalogue, message presenter, status texts,
// executable location. Everything else of the program stands on it.
#pragma once

#include "U_ConstDlg.h"
#include "U_Divers.h"
#include "U_Messages.h"
#include "U_Paths.h"
#include "U_Textes.h"
