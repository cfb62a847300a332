// Report lengths from a HID report descriptor (the item format of the HID
// class definition: short items with 0, 1, 2 or 4 data bytes, long items).
#pragma once

#include <cstddef>
#include <cstdint>

#include "HidPlatform.h"

struct THidReportLengths {
  // Byte lengths of the longest report of each kind, counting the leading
  // report-ID byte (for a device without report IDs that byte is the 0 the
  // reader puts in front); 0 when the device has no report of that kind.
  uint16_t Input = 0;
  uint16_t Output = 0;
  uint16_t Feature = 0;
  bool UsesReportIds = false;
  // Usage page and usage of the first top-level collection.
  uint16_t UsagePage = 0;
  uint16_t Usage = 0;
};

// Parses the Input, Output and Feature main items: report size x report
// count summed per report ID. Returns false, leaving `out` zeroed, for a
// malformed descriptor: an empty one or one without any main item, a truncated item, a report size above
// 256 bits, a report count above 65535, report ID 0 or above 255, a report
// longer than 16384 bytes, unbalanced collections or push/pop. Never reads
// outside [data, data + size).
bool ParseHidReportDescriptor(const uint8_t* data, std::size_t size, THidReportLengths& out);

// The capability record made from parsed lengths.
THidCaps HidCapsFromLengths(const THidReportLengths& lengths);
