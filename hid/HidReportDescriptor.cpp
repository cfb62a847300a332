#include "HidReportDescriptor.h"

#include <map>

namespace {

constexpr uint32_t kMaxReportSizeBits = 256;
constexpr uint32_t kMaxReportCount = 65535;
constexpr uint64_t kMaxReportBytes = 16384;
constexpr int kMaxPushDepth = 16;
constexpr int kMaxCollectionDepth = 64;

struct TGlobals {
  uint32_t UsagePage = 0;
  uint32_t ReportSize = 0;
  uint32_t ReportCount = 0;
  uint32_t ReportId = 0;
};

}  // namespace

namespace {
bool Parse(const uint8_t* data, std::size_t size, THidReportLengths& out);
}  // namespace

bool ParseHidReportDescriptor(const uint8_t* data, std::size_t size, THidReportLengths& out) {
  // A refused descriptor leaves nothing behind, not even the usage of a
  // collection read before the fault.
  if (Parse(data, size, out)) return true;
  out = THidReportLengths{};
  return false;
}

namespace {
bool Parse(const uint8_t* data, std::size_t size, THidReportLengths& out) {
  out = THidReportLengths{};
  if (data == nullptr || size == 0) return false;

  TGlobals g;
  TGlobals stack[kMaxPushDepth];
  int depth = 0;
  int collections = 0;
  bool usesIds = false;
  bool topUsageSet = false;
  bool anyMain = false;
  uint32_t lastUsage = 0;
  // Bits per report ID, for input (0), output (1) and feature (2).
  std::map<uint32_t, uint64_t> bits[3];

  std::size_t pos = 0;
  while (pos < size) {
    const uint8_t prefix = data[pos];
    if (prefix == 0xFE) {
      // Long item: prefix, data size, tag, data. Carries nothing we need.
      if (size - pos < 3) return false;
      const std::size_t len = data[pos + 1];
      if (size - pos - 3 < len) return false;
      pos += 3 + len;
      continue;
    }
    static const std::size_t kSizes[4] = {0, 1, 2, 4};
    const std::size_t len = kSizes[prefix & 0x03];
    const uint8_t type = (prefix >> 2) & 0x03;
    const uint8_t tag = prefix >> 4;
    if (size - pos - 1 < len) return false;  // truncated item
    uint32_t value = 0;
    for (std::size_t i = 0; i < len; ++i) value |= static_cast<uint32_t>(data[pos + 1 + i]) << (8 * i);
    pos += 1 + len;

    switch (type) {
      case 0:  // main
        anyMain = true;
        switch (tag) {
          case 0x8:    // Input
          case 0x9:    // Output
          case 0xB: {  // Feature
            const int kind = tag == 0x8 ? 0 : (tag == 0x9 ? 1 : 2);
            uint64_t& b = bits[kind][g.ReportId];
            b += static_cast<uint64_t>(g.ReportSize) * g.ReportCount;
            if ((b + 7) / 8 > kMaxReportBytes) return false;
            break;
          }
          case 0xA:  // Collection
            if (collections == 0 && !topUsageSet) {
              out.UsagePage = static_cast<uint16_t>(g.UsagePage);
              out.Usage = static_cast<uint16_t>(lastUsage);
              topUsageSet = true;
            }
            if (++collections > kMaxCollectionDepth) return false;
            break;
          case 0xC:  // End Collection
            if (collections == 0) return false;
            --collections;
            break;
          default: break;
        }
        lastUsage = 0;  // local items end with each main item
        break;
      case 1:  // global
        switch (tag) {
          case 0x0: g.UsagePage = value; break;
          case 0x7:
            if (value > kMaxReportSizeBits) return false;
            g.ReportSize = value;
            break;
          case 0x8:
            if (value == 0 || value > 255) return false;
            g.ReportId = value;
            usesIds = true;
            break;
          case 0x9:
            if (value > kMaxReportCount) return false;
            g.ReportCount = value;
            break;
          case 0xA:
            if (depth >= kMaxPushDepth) return false;
            stack[depth++] = g;
            break;
          case 0xB:
            if (depth == 0) return false;
            g = stack[--depth];
            break;
          default: break;
        }
        break;
      case 2:  // local
        if (tag == 0x0) {
          // A 4-byte usage carries its page in the high half.
          lastUsage = value & 0xFFFF;
        }
        break;
      default:  // reserved: ignored
        break;
    }
  }
  if (!anyMain || collections != 0 || depth != 0) return false;

  uint16_t lengths[3] = {0, 0, 0};
  for (int kind = 0; kind < 3; ++kind) {
    uint64_t maxBytes = 0;
    for (const auto& [id, b] : bits[kind]) {
      (void)id;
      const uint64_t bytes = (b + 7) / 8;
      if (bytes > maxBytes) maxBytes = bytes;
    }
    // The leading byte: the report ID, or the 0 put in front when the device
    // has no report IDs.
    lengths[kind] = maxBytes == 0 ? 0 : static_cast<uint16_t>(maxBytes + 1);
  }
  out.Input = lengths[0];
  out.Output = lengths[1];
  out.Feature = lengths[2];
  out.UsesReportIds = usesIds;
  return true;
}
}  // namespace

THidCaps HidCapsFromLengths(const THidReportLengths& lengths) {
  THidCaps caps{};
  caps.Usage = lengths.Usage;
  caps.UsagePage = lengths.UsagePage;
  caps.InputReportByteLength = lengths.Input;
  caps.OutputReportByteLength = lengths.Output;
  caps.FeatureReportByteLength = lengths.Feature;
  return caps;
}
