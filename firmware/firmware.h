// The firmware image: the .mot file, its header and its transfer blocks.
#pragma once

#include "U_DecodeFileMot.h"
