// Pieces of the Linux backend (HidLinux.cpp) that can be checked without a
// HID device.
#pragma once

#include <cstdint>
#include <string>

// Why an open of the node `path` for reading and writing fails:
// kHidErrorAccessDenied when the node refuses access (EACCES, EPERM, EROFS:
// typically no udev rule gives the user the node yet), kHidErrorNone when it
// opens now, kHidErrorDeviceNotConnected for anything else (gone, not a
// device...). The probe's own descriptor is closed at once.
uint32_t HidLinuxOpenError(const std::string& path);
