// Peak memory of loading a large firmware file: a valid .mot file of about
// 40 MB read from disk by TObjFileMot::LoadFile, and the same bytes already
// in memory decoded by LoadText.
//
// Two figures per load:
//   peak_heap_MB / heap_ratio: the most heap the load held at any one time
//     above what was held when it started, counted by this executable's
//     operator new and delete (allocation sizes as malloc rounds them);
//     heap_ratio is that peak divided by the file size.
//   peak_rss_MB / rss_ratio: the rise of the process's peak resident set
//     (VmHWM, reset through /proc/self/clear_refs just before the load)
//     over the resident set at the start; 0 where the kernel does not
//     offer the reset.
#include <benchmark/benchmark.h>

#include <malloc.h>
#include <unistd.h>
#include "BenchSupport.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>

#include "U_DecodeFileMot.h"
#include "U_Messages.h"

// ---------------------------------------------------------------------------
// Counting operator new and delete, for the whole executable. They count
// only while a measure runs; otherwise they cost one relaxed load.

namespace {

std::atomic<bool> gCounting{false};
std::atomic<long long> gHeld{0};
std::atomic<long long> gPeak{0};

void* CountedAlloc(std::size_t size) {
  void* p = std::malloc(size ? size : 1);
  if (!p) throw std::bad_alloc();
  if (gCounting.load(std::memory_order_relaxed)) {
    const long long now =
        gHeld.fetch_add(static_cast<long long>(malloc_usable_size(p)), std::memory_order_relaxed) +
        static_cast<long long>(malloc_usable_size(p));
    long long peak = gPeak.load(std::memory_order_relaxed);
    while (now > peak && !gPeak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
  }
  return p;
}

void CountedFree(void* p) {
  if (!p) return;
  if (gCounting.load(std::memory_order_relaxed))
    gHeld.fetch_sub(static_cast<long long>(malloc_usable_size(p)), std::memory_order_relaxed);
  std::free(p);
}

}  // namespace

void* operator new(std::size_t size) { return CountedAlloc(size); }
void* operator new[](std::size_t size) { return CountedAlloc(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return CountedAlloc(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return CountedAlloc(size);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* p) noexcept { CountedFree(p); }
void operator delete[](void* p) noexcept { CountedFree(p); }
void operator delete(void* p, std::size_t) noexcept { CountedFree(p); }
void operator delete[](void* p, std::size_t) noexcept { CountedFree(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { CountedFree(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { CountedFree(p); }

namespace {

namespace fs = std::filesystem;

// Size of the file: about 40 MB of S2 records of 32 bytes (78 characters a
// line with CR LF), an image of about 16 MB.
constexpr size_t kTargetFileBytes = 40'000'000;
constexpr size_t kLargeRecordBytes = 32;

// Writes the file line by line (no copy of it in memory) and gives its path.
const std::string& BigMotPath() {
  static const std::string path = [] {
    const fs::path p = fs::temp_directory_path() / ("kvz_bench_" + std::to_string(getpid()) + ".mot");
    std::FILE* f = std::fopen(p.string().c_str(), "wb");
    if (!f) {
      std::perror("bench file");
      std::abort();
    }
    std::fputs("S00600004844521B\r\n", f);
    size_t written = 18;
    uint32_t rng = 4242;
    static const char kHeader[] = "\xFF\xFF...................\x09........fvMEM115/06/2009";
    char line[128];
    for (size_t address = 0; written + 80 + 14 < kTargetFileBytes; address += kLargeRecordBytes) {
      uint8_t data[kLargeRecordBytes];
      for (size_t i = 0; i < kLargeRecordBytes; ++i) {
        rng = rng * 1103515245u + 12345u;
        data[i] = static_cast<uint8_t>(rng >> 16);
        if (address + i < sizeof kHeader - 1 && kHeader[address + i] != '.')
          data[i] = static_cast<uint8_t>(kHeader[address + i]);
      }
      const int n = FormatS2Record(line, sizeof line, address, data, kLargeRecordBytes);
      std::fwrite(line, 1, static_cast<size_t>(n), f);
      written += static_cast<size_t>(n);
    }
    std::fputs("S804000000FB\r\n", f);
    std::fclose(f);
    std::atexit([] {
      std::error_code ec;
      fs::remove(BigMotPath(), ec);
    });
    return p.string();
  }();
  return path;
}

class TAbortingPresenter : public IMessagePresenter {
 public:
  TMsgResult Present(const TMessage& m) override {
    std::fprintf(stderr, "unexpected message: %s %s\n", m.Key.c_str(), m.Text.c_str());
    std::abort();
  }
};

// Resident set figures of /proc/self/status, in bytes (0 when absent).
long long StatusBytes(const char* field) {
  std::ifstream f("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(field) + ":";
  while (std::getline(f, line))
    if (line.rfind(prefix, 0) == 0) return std::atoll(line.c_str() + prefix.size()) * 1024;
  return 0;
}

bool ResetPeakRss() {
  std::ofstream f("/proc/self/clear_refs");
  f << "5";
  f.flush();
  return static_cast<bool>(f);
}

// Runs `load` once per iteration, measuring each run; reports the largest.
template <typename TLoad>
void MeasurePeak(benchmark::State& state, double fileBytes, TLoad load) {
  TAbortingPresenter presenter;
  IMessagePresenter* previous = SetMessagePresenter(&presenter);
  long long peakHeap = 0, peakRss = 0;
  for (auto _ : state) {
    malloc_trim(0);
    const long long rssBefore = StatusBytes("VmRSS");
    const bool rssReset = ResetPeakRss();
    gHeld = 0;
    gPeak = 0;
    gCounting = true;
    if (!load()) state.SkipWithError("refused");
    gCounting = false;
    peakHeap = std::max(peakHeap, gPeak.load());
    if (rssReset) peakRss = std::max(peakRss, StatusBytes("VmHWM") - rssBefore);
  }
  state.counters["file_MB"] = fileBytes / 1e6;
  state.counters["peak_heap_MB"] = static_cast<double>(peakHeap) / 1e6;
  state.counters["heap_ratio"] = static_cast<double>(peakHeap) / fileBytes;
  state.counters["peak_rss_MB"] = static_cast<double>(peakRss) / 1e6;
  state.counters["rss_ratio"] = static_cast<double>(peakRss) / fileBytes;
  SetMessagePresenter(previous);
}

void BM_MotFilePeakMemory(benchmark::State& state) {
  const std::string& path = BigMotPath();
  const double size = static_cast<double>(fs::file_size(path));
  MeasurePeak(state, size, [&] {
    TObjFileMot mot;
    const bool ok = mot.LoadFile(path);
    benchmark::DoNotOptimize(mot.BlockCount);
    return ok;
  });
}
BENCHMARK(BM_MotFilePeakMemory)->Unit(benchmark::kMillisecond)->Iterations(2);

// The bytes are the caller's: only what the decoding adds is counted.
void BM_MotTextPeakMemory(benchmark::State& state) {
  const std::string& path = BigMotPath();
  std::string text;
  {
    std::ifstream f(path, std::ios::binary);
    text.assign(std::istreambuf_iterator<char>(f), {});
  }
  MeasurePeak(state, static_cast<double>(text.size()), [&] {
    TObjFileMot mot;
    const bool ok = mot.LoadText(text);
    benchmark::DoNotOptimize(mot.BlockCount);
    return ok;
  });
}
BENCHMARK(BM_MotTextPeakMemory)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace
