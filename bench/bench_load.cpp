// A full load of a 128 KiB image through the whole program: the upgrade
// window's load sequence, the device dialogue, the HID controller and its
// reader thread, the simulated bus and the virtual terminal; the message
// boxes are answered by the scripted presenter.
//
// The figure is the transfer alone: from the gauge's first setting at the
// start of the load (just before block 0 goes out) to its setting to 100
// (the end block accepted), so the sequence's fixed pauses stay out.
//
//   zero_latency: the terminal answers at once; us_per_block is the host's
//                 time per block.
//   usb_paced:    the terminal moves one report each way per 1 ms frame, as
//                 a full-speed interrupt endpoint does; wire_ratio is the
//                 transfer time over the time its reports need on the wire.
//                 A block exchange is a request and its answer, so its
//                 reports cannot overlap: the wire needs one frame for each
//                 output report of the block frames and one for each input
//                 report of their answers.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "../tests/firmware/MotTestUtil.h"
#include "BenchSupport.h"
#include "F_CommonDlg.h"
#include "F_VMUpgrade.h"
#include "Gauge.h"
#include "ScriptedPresenter.h"
#include "SimHidBus.h"
#include "TestCatalogue.h"
#include "U_DecodeFileMot.h"
#include "U_Textes.h"
#include "VirtualTerminal.h"

namespace {

using TClock = std::chrono::steady_clock;

constexpr int kPages = 512;  // 128 KiB
constexpr double kUsbFrameMs = 1.0;

// The file text: a header page (application 9, fv0100 of 15/06/2009, newer
// layout) and pages of a pattern, in S2 records of 32 bytes.
const std::string& ImageText() {
  static const std::string text = [] {
    TBytes image = HeaderPage(true, "15/06/2009", 9, "fv0100", 256);
    for (int p = 1; p < kPages; ++p)
      for (int i = 0; i < 256; ++i) image.push_back(static_cast<uint8_t>(p * 37 + i * 7));
    return MotFile(DataLines(image, 0x010000, 32, 2), "S804000000FB");
  }();
  return text;
}

// Frame bytes per report: 63 out (after the count byte); in, 63 in the first
// report (after its count byte) and 64 in the others.
int OutReports(size_t frameBytes) { return static_cast<int>((frameBytes + 62) / 63); }
int InReports(size_t frameBytes) {
  return frameBytes <= 63 ? 1 : 1 + static_cast<int>((frameBytes - 63 + 63) / 64);
}

struct TLoadResult {
  bool Ok = false;
  std::string Error;
  double TransferSeconds = 0;
  int Blocks = 0;
  int WireFrames = 0;  // USB frames the block exchanges need
};

// One load, from a fresh terminal, dialogue and window.
TLoadResult RunLoad(bool paced) {
  TLoadResult r;
  BenchApplication();
  if (!CatalogueLoaded()) LoadShippedCatalogue();
  TScriptedPresenter presenter;  // answers OK to everything

  auto bus = std::make_shared<TSimHidBus>();
  TVirtualTerminalConfig cfg;
  cfg.Application = TTermIdentity{2, 9, "fv0099", "14/06/2009"};
  cfg.UsbVersion = 4;  // restarts by itself after the end block: no prompts
  cfg.RestartOnEndBlock = true;
  cfg.UsbPaced = paced;
  auto terminal = TVirtualTerminal::Create(cfg);
  terminal->Plug(*bus);

  TObjFileMot file;
  if (!file.LoadText(ImageText())) {
    r.Error = "image refused";
    return r;
  }
  auto dlg = std::make_unique<TCommonDlg>(nullptr, bus);
  if (!dlg->Device) {
    r.Error = "no terminal";
    return r;
  }
  auto window = std::make_unique<TfrmVMUpgrade>(nullptr);
  window->FFileMot = &file;
  window->SetCommonDlg(dlg.get());

  TClock::time_point start{}, end{};
  bool started = false, ended = false;
  QObject::connect(window->Gauge, &TGauge::ProgressSet, [&](int v) {
    const auto now = TClock::now();
    if (!started && v == 0) {
      started = true;
      start = now;
    } else if (started && !ended && v == 100) {
      ended = true;
      end = now;
    }
  });

  window->StartLoad();

  if (!ended || !terminal->ImageComplete()) {
    r.Error = "the load did not end with the image sent";
    return r;
  }
  if (presenter.Shown.size() != 1 || presenter.Shown[0].Key != "_LoadVelmoraOk") {
    r.Error = "unexpected messages";
    return r;
  }
  for (const TTermBytes& f : terminal->FramesReceived())
    if (TVirtualTerminal::CommandOf(f) == TTermCommand::Block) {
      ++r.Blocks;
      r.WireFrames += OutReports(f.size());
    }
  for (const TTermBytes& f : terminal->FramesSent())
    if (f.size() >= 3 && f[1] == 0x8B && f[2] == 0xFF) r.WireFrames += InReports(f.size());
  r.TransferSeconds = std::chrono::duration<double>(end - start).count();
  r.Ok = r.Blocks == file.BlockCount;
  if (!r.Ok) r.Error = "blocks sent again";
  window.reset();
  dlg.reset();
  terminal->Unplug();
  return r;
}

void BM_LoadImage(benchmark::State& state, bool paced) {
  double seconds = 0, wireSeconds = 0;
  int blocks = 0;
  for (auto _ : state) {
    const TLoadResult r = RunLoad(paced);
    if (!r.Ok) {
      state.SkipWithError(r.Error.c_str());
      return;
    }
    state.SetIterationTime(r.TransferSeconds);
    seconds += r.TransferSeconds;
    wireSeconds += r.WireFrames * kUsbFrameMs / 1000.0;
    blocks += r.Blocks;
  }
  state.counters["blocks"] = blocks / static_cast<double>(state.iterations());
  state.counters["us_per_block"] = blocks > 0 ? seconds * 1e6 / blocks : 0.0;
  if (paced) {
    state.counters["wire_ms"] = wireSeconds * 1000.0 / static_cast<double>(state.iterations());
    state.counters["wire_ratio"] = wireSeconds > 0 ? seconds / wireSeconds : 0.0;
  }
}

// Each run also holds the sequence's fixed 2 s pause after the last block,
// left out of the time reported.
BENCHMARK_CAPTURE(BM_LoadImage, zero_latency, false)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(5);
BENCHMARK_CAPTURE(BM_LoadImage, usb_paced, true)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(2);

}  // namespace
