// A full-application online run against the emulated programmer at USB full
// speed (1 ms per report) on the real clock, compared with the protocol's
// lower bound: every report exchanged costs 1 ms, plus the waits the
// programming sequence mandates (100 ms after each re-power, 550 ms after the
// erase command 0x07, 600 ms after the CRC command 0x40).
//
//   build-release/bin/script_bench --benchmark_repetitions=3
//
// The ratio counter (wall time / lower bound) should stay at or below 1.02;
// cpu_s is the host CPU the run took (every thread of the process).
// BM_ClockFloor sleeps through the same number of 1 ms frames and waits
// without any protocol, so a loaded machine's own wake-up lateness can be
// told apart from the run's.
#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>

#include "common/clock.h"
#include "emulator/emulator.h"
#include "image/script_generator.h"
#include "programmer/backend.h"
#include "quiet_page.h"
#include "script/runs.h"
#include "script/session.h"
#include "velkan/velkan.h"

namespace {

using namespace velkan;

using bench::QuietPage;

// The generator's script for an image with data in all 256 blocks.
ScriptTable FullApplicationScript() {
  ChipImage image;
  for (std::size_t i = 0; i < image.size(); ++i) {
    image[i] = static_cast<std::uint8_t>((i * 7 + i / 256) & 0xFF);
  }
  ScriptTable script;
  GenerateScript(image, kAppEnd, false, script);
  return script;
}

// Reports and mandated waits of the exchanges the run made. Every reply of
// this run is a status or a status word, one input report each.
struct LowerBound {
  std::size_t reports = 0;
  std::size_t waitMs = 0;
  double Seconds() const { return (static_cast<double>(reports) + waitMs) / 1000.0; }
};

LowerBound Bound(const std::vector<emu::Request>& requests) {
  LowerBound bound;
  for (const emu::Request& r : requests) {
    const std::size_t frame = r.data.size() + 5;
    bound.reports += (frame + 62) / 63 + 1;
    if (r.command == 0x72) bound.waitMs += 100;
    if (r.command == 0x76 && r.data.size() > 3) {
      if (r.data[3] == 0x07) bound.waitMs += 550;
      if (r.data[3] == 0x40) bound.waitMs += 600;
    }
  }
  return bound;
}

void BM_FullApplicationOnlineRun(benchmark::State& state) {
  const ScriptTable script = FullApplicationScript();
  LowerBound bound;
  double wall = 0;
  double cpu = 0;
  bool ok = true;
  for (auto _ : state) {
    SetReaderHandle(0);
    const auto emulator = UseEmulator(std::nullopt);
    emulator->SetLatency(emu::Latency::UsbFullSpeed());
    QuietPage page;
    page.Script() = script;
    const std::clock_t cpuStart = std::clock();
    const auto start = std::chrono::steady_clock::now();
    const RunOutcome outcome = OnlineProgramRun(DefaultStation(), page.Context(false, page));
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    state.SetIterationTime(elapsed.count());
    wall = elapsed.count();
    ok = ok && outcome.result == kRunOk;
    bound = Bound(emulator->Requests());
    DllCloseReader(ReaderHandle());
    SetReaderHandle(0);
  }
  if (!ok) state.SkipWithError("the run did not succeed");
  state.counters["reports"] = static_cast<double>(bound.reports);
  state.counters["waits_ms"] = static_cast<double>(bound.waitMs);
  state.counters["bound_s"] = bound.Seconds();
  state.counters["wall_s"] = wall;
  state.counters["ratio"] = wall / bound.Seconds();
  state.counters["cpu_s"] = cpu;
}

// The same number of 1 ms frame deadlines (on the grid, as the emulated bus
// has them) and mandated waits on the real clock with no protocol at all:
// the floor this machine can reach now.
void BM_ClockFloor(benchmark::State& state) {
  const std::size_t reports = static_cast<std::size_t>(state.range(0));
  const unsigned waitMs = static_cast<unsigned>(state.range(1));
  double wall = 0;
  for (auto _ : state) {
    Clock& clock = GetClock();
    const auto start = std::chrono::steady_clock::now();
    const Clock::Duration first = clock.Now();
    for (std::size_t i = 1; i <= reports; ++i) {
      clock.SleepUntil(first + std::chrono::milliseconds(i));
    }
    clock.SleepMs(waitMs);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(elapsed.count());
    wall = elapsed.count();
  }
  state.counters["ratio"] = wall / ((static_cast<double>(reports) + waitMs) / 1000.0);
}

BENCHMARK(BM_FullApplicationOnlineRun)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// 1564 reports and 1350 ms of waits: the figures of the full run above.
BENCHMARK(BM_ClockFloor)
    ->Args({1564, 1350})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
