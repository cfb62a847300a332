// One block exchange through the whole stack (frame, reports, writer
// thread, simulated bus, virtual terminal, reader thread, hand-over onto the
// GUI thread, gathering, nested wait), and the CPU the process spends while
// a command waits for an answer that never comes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include "BenchSupport.h"
#include "F_CommonDlg.h"
#include "SimHidBus.h"
#include "U_Messages.h"
#include "U_Textes.h"
#include "VirtualTerminal.h"

namespace {

class TQuiet : public IMessagePresenter {
 public:
  TMsgResult Present(const TMessage&) override { return TMsgResult::Cancel; }
};

struct TRig {
  std::shared_ptr<TSimHidBus> Bus = std::make_shared<TSimHidBus>();
  std::shared_ptr<TVirtualTerminal> Term = TVirtualTerminal::Create();
  std::unique_ptr<TCommonDlg> Dlg;
  TRig() {
    BenchApplication();
    Term->Plug(*Bus);
    Dlg = std::make_unique<TCommonDlg>(nullptr, Bus);
  }
};

TBytes Block262() {
  TBytes b{0x00, 0x00, 0x00, 0x00, 0x00, 0x01};
  b.resize(262, 0xA5);
  return b;
}

void BM_SendBlockExchange(benchmark::State& state) {
  TQuiet quiet;
  IMessagePresenter* previous = SetMessagePresenter(&quiet);
  TRig rig;
  if (!rig.Dlg->Device || !rig.Dlg->EnterLoader(false)) {
    state.SkipWithError("no terminal");
    SetMessagePresenter(previous);
    return;
  }
  const TBytes block = Block262();
  std::vector<double> us;
  us.reserve(100000);
  int failures = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    const bool ok = rig.Dlg->SendBlock(block, 91, false);
    const auto t1 = std::chrono::steady_clock::now();
    if (!ok) ++failures;
    us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
  }
  std::sort(us.begin(), us.end());
  state.counters["median_us"] = us.empty() ? 0.0 : us[us.size() / 2];
  state.counters["p99_us"] = us.empty() ? 0.0 : us[us.size() * 99 / 100];
  state.counters["failures"] = failures;
  rig.Dlg.reset();
  SetMessagePresenter(previous);
}
BENCHMARK(BM_SendBlockExchange)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2.0);

// A command that waits 5 s for an answer that never comes: the process's CPU
// time meanwhile (every thread: GUI, reader, writer, terminal, bus timer) as
// a share of one core.
void BM_WaitCpu(benchmark::State& state) {
  TQuiet quiet;
  IMessagePresenter* previous = SetMessagePresenter(&quiet);
  TRig rig;
  rig.Dlg->EnterLoader(false);
  rig.Term->AddFault(TTermCommand::Block, {TTermFaultKind::NoAnswer, 0, true});
  const TBytes block = Block262();
  double cpu = 0, wall = 0;
  for (auto _ : state) {
    const double c0 = ProcessCpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    const bool ok = rig.Dlg->SendBlock(block, 91, false);  // 5056 ms
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    cpu += ProcessCpuSeconds() - c0;
    benchmark::DoNotOptimize(ok);
  }
  state.counters["cpu_percent"] = wall > 0 ? 100.0 * cpu / wall : 0.0;
  state.counters["status"] = rig.Dlg->Status;
  rig.Dlg.reset();
  SetMessagePresenter(previous);
}
BENCHMARK(BM_WaitCpu)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace
