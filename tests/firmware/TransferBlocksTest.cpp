// Division of the image into transfer blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "MotTestUtil.h"
#include "ScriptedPresenter.h"
#include "TestCatalogue.h"
#include "U_DecodeFileMot.h"

namespace {

TBytes Seq(size_t n, uint8_t start = 1) {
  TBytes v(n);
  std::iota(v.begin(), v.end(), start);
  return v;
}

TBytes Concat(TBytes a, const TBytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class TransferBlocks : public ::testing::Test {
 protected:
  TCatalogueScope Catalogue;
  TScriptedPresenter Presenter;
  TListDatasToSend Blocks;
  uint32_t FirstPage = 0;

  bool Build(const std::vector<std::string>& data) {
    bool newLayout = false;
    return BuildBlocks(SplitLines(MotFile(data)), Blocks, newLayout, &FirstPage);
  }
  // The blocks built, as (number, bytes sent), end block included.
  std::vector<std::pair<int, TBytes>> Sent() const {
    std::vector<std::pair<int, TBytes>> out;
    for (int i = 0; i < Blocks.Count(); ++i) {
      const TDatasToSend& b = Blocks.GetItem(i);
      out.emplace_back(b.BlockNumber, TBytes(b.Buffer.begin(), b.Buffer.begin() + b.DataLength));
    }
    return out;
  }
  void ExpectRefused(const std::vector<std::string>& data, TMsgKind kind, const std::string& key) {
    EXPECT_FALSE(Build(data));
    ASSERT_EQ(Presenter.Shown.size(), 1u) << key;
    EXPECT_EQ(Presenter.Shown[0].Key, key);
    EXPECT_EQ(Presenter.Shown[0].Kind, kind);
    EXPECT_EQ(Blocks.Count(), 0);
    Presenter.Clear();
  }
};

using TSent = std::vector<std::pair<int, TBytes>>;

TEST_F(TransferBlocks, TransferBlockLayout) {
  TDatasToSend b(0x1234);
  EXPECT_FALSE(b.Used);
  EXPECT_EQ(b.DataLength, 0);
  EXPECT_TRUE(std::all_of(b.Buffer.begin(), b.Buffer.end(), [](uint8_t x) { return x == 0xFF; }));
  EXPECT_EQ(b.GetTransferBlock(), TBytes({0, 0, 0x34, 0x12, 0, 0}));
  b.DataLength = 256;
  const TBytes t = b.GetTransferBlock();
  ASSERT_EQ(t.size(), 262u);
  EXPECT_EQ(TBytes(t.begin(), t.begin() + 6), TBytes({0, 0, 0x34, 0x12, 0x00, 0x01}));
  TDatasToSend end(TDatasToSend::kEndBlockNumber);
  end.DataLength = 4;  // never sent for the end block
  EXPECT_EQ(end.GetTransferBlock(), TBytes({0, 0, 0xFF, 0xFF, 0, 0}));
}

TEST_F(TransferBlocks, ListOwnsAndDeletes) {
  TListDatasToSend list;
  for (int i = 0; i < 4; ++i) list.Add(std::make_unique<TDatasToSend>(i));
  list.Delete(1);
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list.GetItem(1).BlockNumber, 2);
  EXPECT_THROW(list.Delete(3), std::out_of_range);
  EXPECT_THROW(list.GetItem(-1), std::out_of_range);
}

TEST_F(TransferBlocks, SplitRecordFields) {
  std::string address, data;
  int count = 0;
  ASSERT_TRUE(SplitRecord("0010,4,01020304", address, count, data));
  EXPECT_EQ(address, "0010");
  EXPECT_EQ(count, 4);
  EXPECT_EQ(data, "01020304");
  ASSERT_TRUE(SplitRecord("8000, +0,", address, count, data));
  EXPECT_EQ(count, 0);
  EXPECT_EQ(data, "");
  EXPECT_TRUE(Presenter.Shown.empty());
  for (const char* bad : {"0010,4", "0010,4,01,02", ""}) {
    EXPECT_FALSE(SplitRecord(bad, address, count, data));
    ASSERT_EQ(Presenter.Shown.size(), 1u);
    EXPECT_EQ(Presenter.Shown[0].Key, "_Err_Unknown");
    Presenter.Clear();
  }
  for (const char* bad : {"0010,x,01", "0010,-1,", "0010,-2,", "0010,,01"}) {
    EXPECT_FALSE(SplitRecord(bad, address, count, data));
    ASSERT_EQ(Presenter.Shown.size(), 1u);
    EXPECT_EQ(Presenter.Shown[0].Key, "_Err_LengthData");
    EXPECT_EQ(Presenter.Shown[0].Kind, TMsgKind::Information);
    Presenter.Clear();
  }
}

TEST_F(TransferBlocks, OneRecordMakesBlockZeroAndTheEndBlock) {
  const TBytes d = Seq(16);
  ASSERT_TRUE(Build({SRec(1, 0x8000, d)}));
  EXPECT_EQ(FirstPage, 0x80u);
  EXPECT_EQ(Sent(), (TSent{{0, d}, {0xFFFF, {}}}));
  EXPECT_EQ(Blocks.GetItem(0).GetTransferBlock(), Concat({0, 0, 0, 0, 16, 0}, d));
  EXPECT_TRUE(Blocks.GetItem(0).Used);
  EXPECT_TRUE(Presenter.Shown.empty());
}

TEST_F(TransferBlocks, PagesAndRunOver) {
  // 8000..80FF and 8100..810E: the second page is made even with one 0xFF.
  const TBytes img = Seq(256 + 15);
  ASSERT_TRUE(Build(DataLines(img, 0x8000, 32)));
  EXPECT_EQ(Sent(), (TSent{{0, TBytes(img.begin(), img.begin() + 256)},
                           {1, Concat(TBytes(img.begin() + 256, img.end()), {0xFF})},
                           {0xFFFF, {}}}));
  // 16 bytes at 80F8 run over into the next page.
  const TBytes d = Seq(16);
  ASSERT_TRUE(Build({SRec(1, 0x80F8, d)}));
  EXPECT_EQ(Sent(), (TSent{{0, Concat(TBytes(248, 0xFF), TBytes(d.begin(), d.begin() + 8))},
                           {1, TBytes(d.begin() + 8, d.end())},
                           {0xFFFF, {}}}));
  // A page without data leaves a gap in the numbers.
  ASSERT_TRUE(Build({SRec(1, 0x8000, {1, 2}), SRec(1, 0x8200, {3, 4})}));
  EXPECT_EQ(Sent(), (TSent{{0, {1, 2}}, {2, {3, 4}}, {0xFFFF, {}}}));
  // A record without data marks its page and adds no byte.
  ASSERT_TRUE(Build({SRec(1, 0x8000, {1, 2}), SRec(1, 0x8140, {})}));
  EXPECT_EQ(Sent(), (TSent{{0, {1, 2}}, {1, {}}, {0xFFFF, {}}}));
  EXPECT_TRUE(Blocks.GetItem(1).Used);
  EXPECT_TRUE(Presenter.Shown.empty());
}

TEST_F(TransferBlocks, ImagesThatDoNotStartAPageAreSentFromOffsetZero) {
  // Starts inside its page; a hole inside the next one.
  ASSERT_TRUE(Build({SRec(1, 0x8010, {1, 2, 3}), SRec(1, 0x8100, {4}), SRec(1, 0x8104, {5, 6})}));
  EXPECT_EQ(Sent(), (TSent{{0, Concat(TBytes(16, 0xFF), {1, 2, 3, 0xFF})},
                           {1, {4, 0xFF, 0xFF, 0xFF, 5, 6}},
                           {0xFFFF, {}}}));
  // Below the first record but in its page is still block 0.
  ASSERT_TRUE(Build({SRec(1, 0x8010, {1, 2}), SRec(1, 0x8000, {7, 8})}));
  EXPECT_EQ(Sent(), (TSent{{0, Concat({7, 8}, Concat(TBytes(14, 0xFF), {1, 2}))}, {0xFFFF, {}}}));
}

TEST_F(TransferBlocks, RecordsInAnyOrderArePlacedAtTheirAddresses) {
  const TBytes img = Seq(3 * 256 + 40, 7);
  ASSERT_TRUE(Build(DataLines(img, 0x10000, 24, 2)));
  const TSent ordered = Sent();
  std::vector<std::string> lines = DataLines(img, 0x10000, 24, 2);
  std::reverse(lines.begin() + 1, lines.end());  // the first record still names block 0
  std::rotate(lines.begin() + 1, lines.begin() + 10, lines.end());
  ASSERT_TRUE(Build(lines));
  EXPECT_EQ(Sent(), ordered);
  EXPECT_EQ(Blocks.Count(), 5);
}

TEST_F(TransferBlocks, BlockNumbersStopBelowTheEndBlock) {
  // S3 addresses: block 0xFFFE is the last one a page can take.
  ASSERT_TRUE(Build({SRec(3, 0x01000000, {1, 2}), SRec(3, 0x01000000 + 0xFFFE * 256, {3, 4})}));
  EXPECT_EQ(Blocks.GetItem(1).BlockNumber, 0xFFFE);
  ExpectRefused({SRec(3, 0x01000000, {1, 2}), SRec(3, 0x01000000 + 0xFFFF * 256, {3, 4})}, TMsgKind::Plain,
                "_FileMotError");
  // Running over into page 0xFFFF is refused as well.
  ExpectRefused({SRec(3, 0x01000000, {1, 2}), SRec(3, 0x01000000 + 0xFFFE * 256 + 0xFE, {3, 4, 5})},
                TMsgKind::Plain, "_FileMotError");
  // The top of the 32-bit address space.
  ASSERT_TRUE(Build({SRec(3, 0xFFFFFF00, {1, 2}), SRec(3, 0xFFFFFFFE, {3, 4, 5, 6})}));
  EXPECT_EQ(Sent(),
            (TSent{{0, Concat({1, 2}, Concat(TBytes(252, 0xFF), {3, 4}))}, {1, {5, 6}}, {0xFFFF, {}}}));
}

TEST_F(TransferBlocks, ImagesThatCannotBeSentRightAreRefusedAndNeverPlaced) {
  const auto P = TMsgKind::Plain;
  ExpectRefused({SRec(1, 0x8000, Seq(16)), SRec(1, 0x8000, Seq(16))}, P, "_FileMotError");  // repeated
  ExpectRefused({SRec(1, 0x8000, Seq(16)), SRec(1, 0x800F, {1})}, P, "_FileMotError");      // overlapping
  ExpectRefused({SRec(1, 0x80F8, Seq(16)), SRec(1, 0x8107, {1})}, P, "_FileMotError");  // over the run-over
  ExpectRefused({SRec(1, 0x8100, Seq(16)), SRec(1, 0x80FF, {1})}, P, "_FileMotError");  // below block 0
  // A header line followed directly by the end record.
  ExpectRefused({}, TMsgKind::Information, "_Err_Unknown");
  ExpectRefused({SRec(0, 0, {1}), SRec(5, 1, {})}, TMsgKind::Information, "_Err_Unknown");
  // The first and the last record are checked before the others.
  ExpectRefused({SRec(1, 0x8000, {1, 2}), "S1020000", "S107001001020304DE"}, TMsgKind::Information,
                "_Err_LengthData");
  ExpectRefused({SRec(1, 0x8000, {1, 2}), "S1020000", "S1070a1001020304DE"}, TMsgKind::Information,
                "_Err_FileError");
  // Records below the first record's page are refused and never placed
  // (under the address sanitizer this also guards against a write outside
  // the pages of the list).
  ExpectRefused({SRec(1, 0x8100, Seq(16)), SRec(1, 0x80F0, Seq(4))}, P, "_FileMotError");  // page below
  ExpectRefused({SRec(1, 0x8100, Seq(16)), SRec(1, 0x0000, Seq(4))}, P, "_FileMotError");  // far below
  // Starts in the page below and runs over into block 0's page.
  ExpectRefused({SRec(1, 0x8100, Seq(16)), SRec(1, 0x80F8, Seq(16))}, P, "_FileMotError");
  ExpectRefused({SRec(1, 0x8100, {1, 2}), SRec(1, 0x80FF, {3, 4})}, P, "_FileMotError");
  // The same as the first records of the top of the address space.
  ExpectRefused({SRec(3, 0xFFFFFF00, {1, 2}), SRec(3, 0xFFFFFEFF, {3, 4})}, P, "_FileMotError");
  // Through the whole load: nothing is kept of a refused image.
  TObjFileMot mot;
  EXPECT_FALSE(mot.LoadText(MotFile({SRec(1, 0x8100, Seq(64)), SRec(1, 0x80F8, Seq(16))})));
  EXPECT_EQ(mot.Blocks.Count(), 0);
  ASSERT_EQ(Presenter.Shown.size(), 1u);
  EXPECT_EQ(Presenter.Shown[0].Key, "_FileMotError");
}

TEST_F(TransferBlocks, RecordRefusalsComeAfterEveryLineIsChecked) {
  // An overlap on line 3, a bad line 5: the line is told.
  ExpectRefused({SRec(1, 0x8000, {1, 2}), SRec(1, 0x8000, {1, 2}), SRec(1, 0x8010, {3, 4}), "S1"},
                TMsgKind::Information, "_ErrBadData");
  // Without the bad line, the overlap.
  ExpectRefused({SRec(1, 0x8000, {1, 2}), SRec(1, 0x8000, {1, 2}), SRec(1, 0x8010, {3, 4})}, TMsgKind::Plain,
                "_FileMotError");
  // The first refusal in file order, after the first and the last record.
  ExpectRefused({SRec(1, 0x8000, {1, 2}), SRec(1, 0x7000, {1, 2}), SRec(1, 0x8010, {1}), "S1070a1001020304DE",
                 SRec(1, 0x8020, {1})},
                TMsgKind::Plain, "_FileMotError");
  ExpectRefused({SRec(1, 0x8000, {1, 2}), "S1070a1001020304DE", "S1020000"}, TMsgKind::Information,
                "_Err_LengthData");
}

TEST_F(TransferBlocks, BuiltListsKeepTheirInvariants) {
  ASSERT_TRUE(Build({SRec(2, 0x123456, Seq(200)), SRec(2, 0x123700, Seq(33)), SRec(2, 0x1239FF, Seq(2))}));
  ASSERT_EQ(Blocks.Count(), 6);
  int previous = -1;
  for (int i = 0; i + 1 < Blocks.Count(); ++i) {
    const TDatasToSend& b = Blocks.GetItem(i);
    EXPECT_GT(b.BlockNumber, previous);
    EXPECT_TRUE(b.Used);
    EXPECT_EQ(b.DataLength % 2, 0);
    EXPECT_EQ(b.GetTransferBlock().size(), 6u + static_cast<size_t>(b.DataLength));
    previous = b.BlockNumber;
  }
  EXPECT_TRUE(Blocks.GetItem(Blocks.Count() - 1).IsEndBlock());
  // Building again replaces the list.
  ASSERT_TRUE(Build({SRec(1, 0, {1, 2})}));
  EXPECT_EQ(Blocks.Count(), 2);
}

}  // namespace
