// Frame building, checksum, cutting into output reports, tick conversion.
#include <gtest/gtest.h>

#include "Frames.h"

namespace {

// A password shorter than 16 bytes is padded, a longer one sent whole; a
// block frame carries the block and its little-endian length; a payload too
// long for the length field gives no frame.
TEST(BuildFrame, PasswordBlockAndOverlongPayloads) {
  EXPECT_EQ(PasswordPayload(std::string(16, 'x')).size(), 16u);
  const TBytes p = PasswordPayload(std::string(20, 'y'));
  EXPECT_EQ(p, TBytes(20, 'y'));
  EXPECT_EQ(BuildFrame(p, kCmdPassword)[3], 26);
  EXPECT_EQ(PasswordPayload(""), TBytes(16, 0));

  TBytes block{0x00, 0x00, 0x01, 0x00, 0x00, 0x01};
  block.resize(262, 0xA5);
  const TBytes f = BuildFrame(block, kCmdBlock);
  ASSERT_EQ(f.size(), 268u);
  EXPECT_EQ(f[3], 0x0C);  // 268 = 0x010C
  EXPECT_EQ(f[4], 0x01);
  EXPECT_TRUE(std::equal(block.begin(), block.end(), f.begin() + 5));
  EXPECT_EQ(FrameChecksum(f, static_cast<int>(f.size())), f.back());

  EXPECT_EQ(BuildFrame(TBytes(0xFFFF - 6), 0x1234).size(), 0xFFFFu);
  EXPECT_TRUE(BuildFrame(TBytes(0xFFFF - 5), 0x1234).empty());
}

TEST(FrameChecksum, XorOfAllButTheLastByte) {
  const TBytes f{0x55, 0x80, 0xFF, 0x07, 0x00, 0x01, 0x99};
  EXPECT_EQ(FrameChecksum(f, 7), 0x2C);
  EXPECT_EQ(FrameChecksum(f, 1), 0);
  EXPECT_EQ(FrameChecksum(f, 0), 0);
  EXPECT_EQ(FrameChecksum(f, -5), 0);
  EXPECT_EQ(FrameChecksum(f, 2), 0x55);
  // A length beyond the bytes held never reads past them.
  EXPECT_EQ(FrameChecksum(f, 1000), FrameChecksum(f, 8));
  EXPECT_EQ(FrameChecksum(nullptr, 0, 10), 0);
}

TEST(CutIntoReports, SixtyThreeBytesInOneReportSixtyFourInTwo) {
  const TBytes f63 = BuildFrame(TBytes(57, 0x11), kCmdBlock);
  ASSERT_EQ(f63.size(), 63u);
  auto r = CutIntoReports(f63, 65);
  ASSERT_EQ(r.size(), 1u);
  ASSERT_EQ(r[0].size(), 65u);
  EXPECT_EQ(r[0][0], 0);
  EXPECT_EQ(r[0][1], 63);
  EXPECT_TRUE(std::equal(f63.begin(), f63.end(), r[0].begin() + 2));

  const TBytes f64 = BuildFrame(TBytes(58, 0x22), kCmdBlock);
  ASSERT_EQ(f64.size(), 64u);
  r = CutIntoReports(f64, 65);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0][1], 63);
  EXPECT_EQ(r[1][0], 0);
  EXPECT_EQ(r[1][1], 1);
  EXPECT_EQ(r[1][2], f64.back());
  for (size_t i = 3; i < 65; ++i) EXPECT_EQ(r[1][i], 0) << i;
}

TEST(CutIntoReports, ReportCountsAndBufferLengths) {
  EXPECT_EQ(ReportCount(0), 0u);
  EXPECT_EQ(ReportCount(1), 1u);
  EXPECT_EQ(ReportCount(126), 2u);
  EXPECT_EQ(ReportCount(127), 3u);
  EXPECT_EQ(ReportCount(268), 5u);
  EXPECT_TRUE(CutIntoReports(TBytes(), 65).empty());
  // Longer reports get buffers of their own length; shorter ones (or an
  // unknown length) still get the 65-byte buffer of the layout.
  const TBytes f = BuildFrame(TBytes(200, 1), kCmdBlock);
  for (const TBytes& rep : CutIntoReports(f, 129)) EXPECT_EQ(rep.size(), 129u);
  for (const TBytes& rep : CutIntoReports(f, 9)) EXPECT_EQ(rep.size(), 65u);
  for (const TBytes& rep : CutIntoReports(f, 0)) EXPECT_EQ(rep.size(), 65u);
  // The frame comes back whole from the pieces, in order.
  TBytes back;
  for (const TBytes& rep : CutIntoReports(f, 129))
    back.insert(back.end(), rep.begin() + 2, rep.begin() + 2 + rep[1]);
  EXPECT_EQ(back, f);
}

// Ticks of 1/18 s, rounded to the nearest millisecond.
static_assert(TicksToMs(1) == 56 && TicksToMs(2) == 111 && TicksToMs(10) == 556 && TicksToMs(18) == 1000);
static_assert(TicksToMs(91) == 5056 && TicksToMs(182) == 10111 && TicksToMs(0) == 0 && TicksToMs(-3) == 0);

}  // namespace
