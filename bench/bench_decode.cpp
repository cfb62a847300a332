// Decoding and block building of a large firmware file.
#include <benchmark/benchmark.h>

#include "BenchSupport.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "U_DecodeFileMot.h"
#include "U_Messages.h"

namespace {

// Pages of the image: the most block numbers a file may use (0 .. 0xFFFE),
// 16 MiB less one page.
constexpr size_t kImagePages = 0xFFFF;
constexpr size_t kRecordBytes = 32;

// The file text: S0, S2 records of 32 bytes with a valid header page, S8.
const std::string& BigMotText() {
  static const std::string text = [] {
    std::string s = "S00600004844521B\r\n";
    s.reserve(kImagePages * 256 / kRecordBytes * 80 + 64);
    uint32_t rng = 12345;
    char line[128];
    for (size_t address = 0; address < kImagePages * 256; address += kRecordBytes) {
      uint8_t data[kRecordBytes];
      for (size_t i = 0; i < kRecordBytes; ++i) {
        rng = rng * 1103515245u + 12345u;
        data[i] = static_cast<uint8_t>(rng >> 16);
      }
      // Header: FF FF, application 9 at 21, "fvBENC" at 30, the date at 36.
      static const char kHeader[] = "\xFF\xFF...................\x09........fvBENC15/06/2009";
      for (size_t i = 0; i < kRecordBytes; ++i)
        if (address + i < sizeof kHeader - 1 && kHeader[address + i] != '.')
          data[i] = static_cast<uint8_t>(kHeader[address + i]);
      const int n = FormatS2Record(line, sizeof line, address, data, kRecordBytes);
      s.append(line, static_cast<size_t>(n));
    }
    s += "S804000000FB\r\n";
    return s;
  }();
  return text;
}

class TSilentPresenter : public IMessagePresenter {
 public:
  TMsgResult Present(const TMessage& m) override {
    std::fprintf(stderr, "unexpected message: %s\n", m.Key.c_str());
    std::abort();
  }
};

void SetMbPerS(benchmark::State& state, size_t bytes) {
  state.counters["MB_per_s"] =
      benchmark::Counter(static_cast<double>(bytes) / 1e6, benchmark::Counter::kIsIterationInvariantRate);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

// Decoding and block building of the lines already read.
void BM_DecodeMot(benchmark::State& state) {
  TSilentPresenter presenter;
  IMessagePresenter* previous = SetMessagePresenter(&presenter);
  const std::string& text = BigMotText();
  const TStringList lines = SplitLines(text);
  for (auto _ : state) {
    TListDatasToSend blocks;
    bool newLayout = false;
    if (!BuildBlocks(lines, blocks, newLayout)) state.SkipWithError("refused");
    benchmark::DoNotOptimize(blocks.Count());
  }
  SetMbPerS(state, text.size());
  SetMessagePresenter(previous);
}
BENCHMARK(BM_DecodeMot)->Unit(benchmark::kMillisecond);

// The whole load from the file's bytes: lines, blocks and header.
void BM_LoadMotText(benchmark::State& state) {
  TSilentPresenter presenter;
  IMessagePresenter* previous = SetMessagePresenter(&presenter);
  const std::string& text = BigMotText();
  for (auto _ : state) {
    TObjFileMot mot;
    if (!mot.LoadText(text)) state.SkipWithError("refused");
    benchmark::DoNotOptimize(mot.BlockCount);
  }
  SetMbPerS(state, text.size());
  SetMessagePresenter(previous);
}
BENCHMARK(BM_LoadMotText)->Unit(benchmark::kMillisecond);

}  // namespace
