// One block exchange through the whole stack (frame, reports, writer
// thread, simulated bus, virtual terminal, reader thread, hand-over onto the
// GUI thread, gathering, nested wait), and the CPU the process spends while
// a command waits for an answer that never comes.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <ctime>
#include <memory>
#include <vector>

#include "F_CommonDlg.h"
#include "SimHidBus.h"
#include "U_Messages.h"
#include "U_Textes.h"
#include "VirtualTerminal.h"

namespace {

QCoreApplication& App() {
  static int argc = 1;
  static char name[] = "kvz_bench";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app = QCoreApplication::instance() ? nullptr : new QCoreApplication(argc, argv);
  return app ? *app : *QCoreApplication::instance();
}

class TQuiet : public IMessagePresenter {
 public:
  TMsgResult Present(const TMessage&) override { return TMsgResult::Cancel; }
};

struct TRig {
  std::shared_ptr<TSimHidBus> Bus = std::make_shared<TSimHidBus>();
  std::shared_ptr<TVirtualTerminal> Term = TVirtualTerminal::Create();
  std::unique_ptr<TCommonDlg> Dlg;
  TRig() {
    App();
    Term->Plug(*Bus);
    Dlg = std::make_unique<TCommonDlg>(nullptr, Bus);
  }
};

TBytes Block262() {
  TBytes b{0x00, 0x00, 0x00, 0x00, 0x00, 0x01};
  b.resize(262, 0xA5);
  return b;
}

double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
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

void BM_WaitWithoutAnswer(benchmark::State& state) {
  TQuiet quiet;
  IMessagePresenter* previous = SetMessagePresenter(&quiet);
  TRig rig;
  rig.Dlg->EnterLoader(false);
  rig.Term->AddFault(TTermCommand::Block, {TTermFaultKind::NoAnswer, 0, true});
  const TBytes block = Block262();
  double cpu = 0, wall = 0;
  for (auto _ : state) {
    const double c0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    const bool ok = rig.Dlg->SendBlock(block, 91, false);  // 5056 ms
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    cpu += CpuSeconds() - c0;
    benchmark::DoNotOptimize(ok);
  }
  state.counters["cpu_percent"] = wall > 0 ? 100.0 * cpu / wall : 0.0;
  state.counters["status"] = rig.Dlg->Status;
  rig.Dlg.reset();
  SetMessagePresenter(previous);
}
BENCHMARK(BM_WaitWithoutAnswer)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace
