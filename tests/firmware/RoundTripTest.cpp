// Files made by real S-record tools: the blocks carry exactly the binary.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "MotTestUtil.h"
#include "ScratchDir.h"
#include "ScriptedPresenter.h"
#include "U_DecodeFileMot.h"

namespace {

struct TCase {
  std::string Name;
  std::string Tool;  // "objcopy" or "srec_cat"
  uint32_t Base;     // load address of the binary
  int LineBytes;     // data bytes per record, about
  bool DataCount;    // S5 record (srec_cat only)
  bool NewLayout;
  size_t Size;  // bytes of the binary
};

void PrintTo(const TCase& c, std::ostream* os) { *os << c.Name; }

class RoundTrip : public ::testing::TestWithParam<TCase>, protected TScratchDir {
 protected:
  void SetUp() override {
    if (std::system(("command -v " + GetParam().Tool + " >/dev/null 2>&1").c_str()) != 0)
      GTEST_SKIP() << GetParam().Tool << " is not installed";
  }
};

TEST_P(RoundTrip, BlocksCarryExactlyTheBinary) {
  const TCase& c = GetParam();
  // A binary with a valid header page and random bytes after it.
  TBytes bin = HeaderPage(c.NewLayout, c.NewLayout ? "15/06/2009" : "Jun 15 2009", 9, "fvRT01", 256);
  std::mt19937 rng(static_cast<unsigned>(c.Size));
  while (bin.size() < c.Size) bin.push_back(static_cast<uint8_t>(rng()));
  bin.resize(c.Size);
  const std::string in = (Dir / "image.bin").string(), out = (Dir / "image.mot").string();
  std::ofstream(in, std::ios::binary)
      .write(reinterpret_cast<const char*>(bin.data()), static_cast<std::streamsize>(bin.size()));
  char base[16];
  std::snprintf(base, sizeof base, "0x%X", c.Base);
  std::string cmd;
  if (c.Tool == "objcopy") {
    cmd = "objcopy -I binary -O srec --srec-len " + std::to_string(c.LineBytes) + " --change-addresses " +
          base + " '" + in + "' '" + out + "'";
  } else {
    // -line-length counts characters: S, type, count, address, data, checksum.
    const int addressDigits = c.Base + c.Size > 0x10000 ? 6 : 4;
    cmd = "srec_cat '" + in + "' -binary -offset " + base + " -o '" + out + "' -motorola -line-length " +
          std::to_string(4 + addressDigits + 2 * c.LineBytes + 2) + (c.DataCount ? " -enable" : " -disable") +
          "=data-count -execution-start-address=" + base;
  }
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  std::ifstream f(out, std::ios::binary);
  const std::string text(std::istreambuf_iterator<char>(f), {});
  ASSERT_FALSE(text.empty());
  const char expectedType = c.Base + c.Size > 0x10000 ? '2' : '1';
  EXPECT_NE(text.find(std::string("\nS") + expectedType), std::string::npos);
  EXPECT_EQ(text.find("\nS5") != std::string::npos, c.DataCount);

  TScriptedPresenter presenter;
  TObjFileMot mot;
  ASSERT_TRUE(mot.LoadText(text)) << (presenter.Shown.empty() ? "" : presenter.Shown[0].Key);
  EXPECT_TRUE(presenter.Shown.empty());
  EXPECT_EQ(mot.NewLayout, c.NewLayout);
  EXPECT_EQ(mot.VersionName, "fvRT01");
  EXPECT_EQ(mot.AppliDate, (TAppliDate{2009, 6, 15}));
  EXPECT_EQ(mot.FirstPage, c.Base / 256);

  const size_t pages = (c.Size + 255) / 256;
  ASSERT_EQ(mot.BlockCount, static_cast<int>(pages) + 1);
  for (size_t p = 0; p < pages; ++p) {
    const TDatasToSend& b = mot.Blocks.GetItem(static_cast<int>(p));
    const size_t n = std::min<size_t>(256, c.Size - 256 * p);
    TBytes expected(bin.begin() + static_cast<long>(256 * p), bin.begin() + static_cast<long>(256 * p + n));
    if (n % 2) expected.push_back(0xFF);
    const TBytes transfer = b.GetTransferBlock();
    ASSERT_EQ(transfer.size(), 6 + expected.size()) << "page " << p;
    EXPECT_EQ(TBytes(transfer.begin(), transfer.begin() + 6),
              TBytes({0, 0, static_cast<uint8_t>(p), static_cast<uint8_t>(p >> 8),
                      static_cast<uint8_t>(expected.size()), static_cast<uint8_t>(expected.size() >> 8)}));
    EXPECT_EQ(TBytes(transfer.begin() + 6, transfer.end()), expected) << "page " << p;
  }
  EXPECT_TRUE(mot.Blocks.GetItem(mot.BlockCount - 1).IsEndBlock());
}

INSTANTIATE_TEST_SUITE_P(
    Tools, RoundTrip,
    ::testing::Values(TCase{"objcopy_s1_16", "objcopy", 0x8000, 16, false, true, 256 * 5 + 77},
                      TCase{"objcopy_s1_32_old", "objcopy", 0x0000, 32, false, false, 256 * 3},
                      TCase{"objcopy_s2_64", "objcopy", 0x18000, 64, false, true, 256 * 9 + 1},
                      TCase{"objcopy_s1_to_s2_23", "objcopy", 0xF000, 23, false, false, 256 * 20 + 200},
                      TCase{"srec_s1_32_s5", "srec_cat", 0x8000, 32, true, true, 256 * 4 + 3},
                      TCase{"srec_s1_16_nos5", "srec_cat", 0x4000, 16, false, false, 256 * 2 + 128},
                      TCase{"srec_s2_250_s5", "srec_cat", 0x30000, 250, true, true, 256 * 12 + 99},
                      TCase{"srec_s2_20_nos5", "srec_cat", 0x10000, 20, false, false, 256 * 7}),
    [](const ::testing::TestParamInfo<TCase>& info) { return info.param.Name; });

}  // namespace
