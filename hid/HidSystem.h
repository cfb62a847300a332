// The platform backend of the host (Linux: hidraw through hidapi, change
// notices from a udev monitor). Link kvz_hid_system.
#pragma once

#include <memory>

#include "HidPlatform.h"

// Never null; on a host without HID support the platform lists nothing.
std::shared_ptr<IHidPlatform> CreateSystemHidPlatform();
