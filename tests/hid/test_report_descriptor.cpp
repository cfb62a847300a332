#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "HidReportDescriptor.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Boot keyboard: modifiers, reserved byte, 6 key codes in; 5 LEDs + padding out.
const Bytes kBootKeyboard = {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15,
                             0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08,
                             0x81, 0x01, 0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91,
                             0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06, 0x75, 0x08, 0x15, 0x00,
                             0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0};

// Boot mouse: 3 buttons + padding, X, Y.
const Bytes kBootMouse = {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00, 0x05, 0x09, 0x19,
                          0x01, 0x29, 0x03, 0x15, 0x00, 0x25, 0x01, 0x95, 0x03, 0x75, 0x01, 0x81, 0x02,
                          0x95, 0x01, 0x75, 0x05, 0x81, 0x01, 0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x15,
                          0x81, 0x25, 0x7F, 0x75, 0x08, 0x95, 0x02, 0x81, 0x06, 0xC0, 0xC0};

// Vendor-defined 64-byte device without report IDs (like the terminal).
const Bytes kVendor64 = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,
                         0x95, 0x40, 0x09, 0x01, 0x81, 0x02, 0x95, 0x40, 0x09, 0x01, 0x91, 0x02, 0xC0};

// Keyboard (ID 1, 7 bytes) and consumer control (ID 2, 2 bytes) in one interface.
const Bytes kKeyboardAndConsumer = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x85, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00,
    0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x06, 0x75, 0x08, 0x26, 0xFF, 0x00, 0x19,
    0x00, 0x2A, 0xFF, 0x00, 0x81, 0x00, 0xC0, 0x05, 0x0C, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x02, 0x15,
    0x00, 0x26, 0xFF, 0x03, 0x19, 0x00, 0x2A, 0xFF, 0x03, 0x75, 0x10, 0x95, 0x01, 0x81, 0x00, 0xC0};

// Vendor device with numbered reports: ID 1 in (63 bytes), ID 2 out (63
// bytes), ID 3 feature (8 bytes), and a long item that must be skipped.
const Bytes kVendorWithIds = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x01, 0x75, 0x08,
                              0x95, 0x3F, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x09, 0x01, 0x81, 0x02,
                              0xFE, 0x02, 0x10, 0xAA, 0xBB, 0x85, 0x02, 0x09, 0x01, 0x95, 0x3F,
                              0x91, 0x02, 0x85, 0x03, 0x09, 0x01, 0x95, 0x08, 0xB1, 0x02, 0xC0};

bool SameLengths(const THidReportLengths& a, const THidReportLengths& b) {
  return a.Input == b.Input && a.Output == b.Output && a.Feature == b.Feature &&
         a.UsesReportIds == b.UsesReportIds && a.UsagePage == b.UsagePage && a.Usage == b.Usage;
}

}  // namespace

// Common devices; with numbered reports, the longest of each kind plus the
// ID byte; push and pop restore the globals.
TEST(HidReportDescriptor, LengthsOfCommonDescriptors) {
  // Size 8 x count 4 pushed; size 1 x count 1 input; popped: 8 x 4 input.
  const Bytes pushPop = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x95, 0x04,
                         0xA4, 0x75, 0x01, 0x95, 0x01, 0x81, 0x02, 0xB4, 0x81, 0x02, 0xC0};
  const std::pair<const Bytes*, THidReportLengths> cases[] = {
      {&kBootKeyboard, {9, 2, 0, false, 0x01, 0x06}},
      {&kBootMouse, {4, 0, 0, false, 0x01, 0x02}},
      {&kVendor64, {65, 65, 0, false, 0xFF00, 0x01}},
      {&kKeyboardAndConsumer, {8, 0, 0, true, 0x01, 0x06}},  // ID 1: 7 bytes; ID 2: 2 bytes
      {&kVendorWithIds, {64, 64, 9, true, 0xFF00, 0x01}},
      {&pushPop, {1 + 1 + 4, 0, 0, false, 0xFF00, 0x01}},  // 1 bit, padded with the 32 bits: 5 bytes, + 1
  };
  for (const auto& [bytes, want] : cases) {
    THidReportLengths l;
    ASSERT_TRUE(ParseHidReportDescriptor(bytes->data(), bytes->size(), l));
    EXPECT_TRUE(SameLengths(want, l)) << l.Input << " " << l.Output << " " << l.Feature << " "
                                      << l.UsesReportIds << " " << l.UsagePage << " " << l.Usage;
    const THidCaps caps = HidCapsFromLengths(l);
    EXPECT_EQ(want.Input, caps.InputReportByteLength);
    EXPECT_EQ(want.Output, caps.OutputReportByteLength);
    EXPECT_EQ(want.Feature, caps.FeatureReportByteLength);
  }
}

TEST(HidReportDescriptor, MalformedDescriptorsAreRefused) {
  const std::vector<Bytes> bad = {
      {},                                                            // empty
      {0x05},                                                        // usage page without its byte
      {0x06, 0x00},                                                  // 2-byte item cut short
      {0x07, 0x00, 0x00, 0x00},                                      // 4-byte item cut short
      {0xFE, 0x05, 0x10, 0x01},                                      // long item cut short
      {0xFE},                                                        // long item header cut short
      {0xA1, 0x01, 0x76, 0x01, 0x01, 0xC0},                          // report size 257 bits
      {0xA1, 0x01, 0x97, 0x00, 0x00, 0x01, 0x00, 0xC0},              // report count 65536
      {0xA1, 0x01, 0x85, 0x00, 0xC0},                                // report ID 0
      {0xA1, 0x01, 0x86, 0x00, 0x01, 0xC0},                          // report ID 256
      {0xA1, 0x01, 0x75, 0x08, 0x96, 0xFF, 0xFF, 0x81, 0x02, 0xC0},  // a report of 65535 bytes
      {0xA1, 0x01, 0x75, 0x08},                                      // collection never closed
      {0xC0},                                                        // end without collection
      {0xB4},                                                        // pop without push
      {0xA4, 0xA1, 0x01, 0xC0},                                      // push never popped
  };
  for (std::size_t i = 0; i < bad.size(); ++i) {
    // Each case is in a buffer of its exact size, so that any read past the
    // end is caught by the address sanitizer.
    THidReportLengths l;
    l.Input = 77;
    EXPECT_FALSE(ParseHidReportDescriptor(bad[i].empty() ? nullptr : bad[i].data(), bad[i].size(), l))
        << "case " << i;
    EXPECT_TRUE(SameLengths(THidReportLengths{}, l)) << "case " << i;
  }
}

TEST(HidReportDescriptor, EveryTruncationOfARealDescriptorIsRefused) {
  for (std::size_t n = 0; n < kBootKeyboard.size(); ++n) {
    std::vector<uint8_t> cut(kBootKeyboard.begin(), kBootKeyboard.begin() + static_cast<std::ptrdiff_t>(n));
    THidReportLengths l;
    EXPECT_FALSE(ParseHidReportDescriptor(cut.data(), cut.size(), l)) << n;
  }
}

// The bytes an item walk needs: false when an item runs past `size`.
bool ItemsFit(const uint8_t* data, std::size_t size) {
  std::size_t pos = 0;
  while (pos < size) {
    if (data[pos] == 0xFE) {
      if (size - pos < 3 || size - pos - 3 < data[pos + 1]) return false;
      pos += 3 + data[pos + 1];
    } else {
      static const std::size_t kSizes[4] = {0, 1, 2, 4};
      const std::size_t len = kSizes[data[pos] & 0x03];
      if (size - pos - 1 < len) return false;
      pos += 1 + len;
    }
  }
  return true;
}

TEST(HidReportDescriptor, ArbitraryBytesNeverReadOutsideTheBuffer) {
  // Each random descriptor is parsed as it stands in buffers followed by
  // different bytes: a read past its end would make the answers differ, and
  // an item that runs past the end must be refused. (Under the address
  // sanitizer the exact-size buffer also catches such a read directly.)
  uint32_t seed = 12345;
  int accepted = 0, refused = 0, cut = 0;
  for (int round = 0; round < 3000; ++round) {
    seed = seed * 1103515245u + 12345u;
    const std::size_t len = 1 + (seed >> 16) % 48;
    std::vector<uint8_t> buf(len);
    for (auto& b : buf) {
      seed = seed * 1103515245u + 12345u;
      b = static_cast<uint8_t>(seed >> 24);
    }
    SCOPED_TRACE(round);
    std::vector<uint8_t> zeros(buf), ones(buf);
    zeros.resize(len + 8, 0x00);
    ones.resize(len + 8, 0xFF);

    THidReportLengths l, lz, lo;
    const bool ok = ParseHidReportDescriptor(buf.data(), len, l);  // buf: exactly len bytes
    EXPECT_EQ(ok, ParseHidReportDescriptor(zeros.data(), len, lz));
    EXPECT_EQ(ok, ParseHidReportDescriptor(ones.data(), len, lo));
    EXPECT_TRUE(SameLengths(l, lz));
    EXPECT_TRUE(SameLengths(l, lo));
    if (!ItemsFit(buf.data(), len)) {
      ++cut;
      EXPECT_FALSE(ok);
    }
    if (ok) {
      ++accepted;
      for (uint16_t n : {l.Input, l.Output, l.Feature}) EXPECT_TRUE(n == 0 || (n >= 2 && n <= 16385)) << n;
    } else {
      ++refused;
      EXPECT_TRUE(SameLengths(THidReportLengths{}, l));  // nothing at all from a refused descriptor
    }
  }
  // The sample reaches every way out.
  EXPECT_GT(accepted, 0);
  EXPECT_GT(refused, 0);
  EXPECT_GT(cut, 0);
  RecordProperty("accepted", accepted);
}
