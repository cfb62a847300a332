// Decoding and block building of arbitrary file contents: never a crash, and
// every answer is consistent (a refusal always tells why, an accepted image
// always gives a well-formed block list, the same from the file's bytes as
// from its lines).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "U_DecodeFileMot.h"
#include "U_Messages.h"

namespace {

class TCountingPresenter : public IMessagePresenter {
 public:
  TMsgResult Present(const TMessage&) override {
    ++Count;
    return TMsgResult::Ok;
  }
  int Count = 0;
};

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckBlocks(const TListDatasToSend& blocks) {
  Check(blocks.Count() >= 2);
  Check(blocks.GetItem(0).BlockNumber == 0);
  int previous = -1;
  for (int i = 0; i < blocks.Count(); ++i) {
    const TDatasToSend& b = blocks.GetItem(i);
    const auto transfer = b.GetTransferBlock();
    Check(transfer.size() == 6 + static_cast<size_t>(b.IsEndBlock() ? 0 : b.DataLength));
    if (i == blocks.Count() - 1) {
      Check(b.IsEndBlock());
      break;
    }
    Check(!b.IsEndBlock());
    Check(b.Used);
    Check(b.BlockNumber > previous && b.BlockNumber < TDatasToSend::kEndBlockNumber);
    Check(b.DataLength >= 0 && b.DataLength <= 256 && b.DataLength % 2 == 0);
    previous = b.BlockNumber;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TCountingPresenter presenter;
  SetMessagePresenter(&presenter);
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  // Decoding and block building alone.
  presenter.Count = 0;
  const TStringList lines = SplitLines(bytes);
  TListDatasToSend blocks;
  bool newLayout = false;
  const bool built = BuildBlocks(lines, blocks, newLayout);
  Check(built == (presenter.Count == 0));
  if (built) CheckBlocks(blocks);

  // The record texts agree with the blocks.
  presenter.Count = 0;
  TStringList records;
  bool newLayout2 = false;
  const bool decoded = DecodeRecords(lines, records, newLayout2);
  Check(decoded == (presenter.Count == 0));
  Check(newLayout == newLayout2);
  if (built) {
    Check(decoded && !records.empty());
    for (const std::string& r : records) {
      std::string address, recordData;
      int count = 0;
      Check(SplitRecord(r, address, count, recordData));
      Check(recordData.size() == 2 * static_cast<size_t>(count));
    }
  }

  // The whole load, header included.
  presenter.Count = 0;
  TObjFileMot mot;
  const bool loaded = mot.LoadText(bytes);
  Check(loaded == (presenter.Count == 0));
  if (loaded) {
    Check(built);
    Check(mot.BlockCount == mot.Blocks.Count());
    Check(mot.AppliType == 9 && mot.VersionName.size() == 6);
    // The bytes decoded as they come (lines joined across chunks) give the
    // blocks of the lines split beforehand.
    Check(mot.Blocks.Count() == blocks.Count());
    for (int i = 0; i < blocks.Count(); ++i)
      Check(mot.Blocks.GetItem(i).GetTransferBlock() == blocks.GetItem(i).GetTransferBlock());
    Check(mot.NewLayout == newLayout);
  } else {
    Check(mot.Blocks.Count() == 0);
  }
  SetMessagePresenter(nullptr);
  return 0;
}
