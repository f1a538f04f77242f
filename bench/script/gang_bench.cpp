// Several emulated programmers at once at USB full speed, on the real
// clock: N programmers (1, 2, 4, 8), each with a station of its own (its
// device path "emulator:k", its own reader handle) and a thread of its own,
// each performing the full-application online run (OnlineProgramRun, the
// generator's script of a full image) as the tools run it.
//
//   build-rel/bin/gang_bench --benchmark_repetitions=3
//
// Counters:
//   speedup       N x (wall time of one programmer alone) / (wall time of N);
//                 the goal is at least 7.2 for N = 8 (ideal: N)
//   ratio         wall time / the protocol's lower bound of one run (every
//                 report 1 ms, plus the mandated waits), as script_bench has it
//   cpu_pct_prog  host CPU (all threads of the process) per programmer, in
//                 percent of one core; the goal is below 5
// The wall time of one programmer alone is the mean of the N = 1 runs made
// before, so run N = 1 in the same invocation (the default).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "emulator/emulator.h"
#include "image/script_generator.h"
#include "programmer/backend.h"
#include "quiet_page.h"
#include "script/run_common.h"
#include "script/runs.h"
#include "script/station.h"
#include "velkan/velkan.h"

namespace {

using namespace velkan;

using bench::QuietPage;

// The generator's script for an image with data in all 256 blocks, and the
// image itself.
struct FullApplication {
  ChipImage image;
  ScriptTable script;

  FullApplication() {
    for (std::size_t i = 0; i < image.size(); ++i) {
      image[i] = static_cast<std::uint8_t>((i * 7 + i / 256) & 0xFF);
    }
    GenerateScript(image, kAppEnd, false, script);
  }
};

// One programmer's online run on its own station; true when it succeeded.
bool OnlineRun(std::size_t k, const ScriptTable& script) {
  Station station(DeviceSelector::Parse("emulator:" + std::to_string(k)));
  QuietPage page;
  page.Script() = script;
  const RunOutcome outcome = OnlineProgramRun(station, page.Context(false, page));
  if (station.Handle() > 0) DllCloseReader(station.Handle());
  return outcome.opened && outcome.result == kRunOk;
}

// The protocol's lower bound of one run (seconds): every report exchanged
// costs one 1 ms frame, plus the mandated waits.
double LowerBound(const std::vector<emu::Request>& requests) {
  std::size_t reports = 0;
  std::size_t waitMs = 0;
  for (const emu::Request& r : requests) {
    reports += (r.data.size() + 5 + 62) / 63 + 1;
    if (r.command == 0x72) waitMs += kRepowerWaitMs;
    if (r.command == 0x76 && r.data.size() > 3) {
      if (r.data[3] == 0x07) waitMs += 550;
      if (r.data[3] == 0x40) waitMs += 600;
    }
  }
  return (static_cast<double>(reports) + static_cast<double>(waitMs)) / 1000.0;
}

double ProcessCpuSeconds() {
  return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

// Mean wall time of the single-programmer runs so far.
double g_singleWallSum = 0;
int g_singleRuns = 0;

void BM_GangOnlineRun(benchmark::State& state) {
  const std::size_t count = static_cast<std::size_t>(state.range(0));
  static const FullApplication full;
  double wall = 0;
  double cpu = 0;
  double bound = 0;
  bool ok = true;
  for (auto _ : state) {
    const auto emulators = UseEmulators(std::nullopt, count);
    for (const auto& e : emulators) e->SetLatency(emu::Latency::UsbFullSpeed());
    std::vector<char> results(count, 0);
    std::vector<std::thread> threads;
    const double cpuStart = ProcessCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t k = 0; k < count; ++k) {
      threads.emplace_back([&results, k] { results[k] = OnlineRun(k, full.script) ? 1 : 0; });
    }
    for (auto& t : threads) t.join();
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    cpu = ProcessCpuSeconds() - cpuStart;
    wall = elapsed.count();
    state.SetIterationTime(wall);
    for (std::size_t k = 0; k < count; ++k) {
      ok = ok && results[k] == 1 && emulators[k]->Flash() == full.image;
    }
    bound = LowerBound(emulators[0]->Requests());
  }
  UseSystemHid();
  if (!ok) {
    state.SkipWithError("a run did not succeed");
    return;
  }
  if (count == 1) {
    g_singleWallSum += wall;
    ++g_singleRuns;
  }
  const double n = static_cast<double>(count);
  state.counters["programmers"] = n;
  state.counters["wall_s"] = wall;
  state.counters["ratio"] = wall / bound;
  if (g_singleRuns > 0) state.counters["speedup"] = n * (g_singleWallSum / g_singleRuns) / wall;
  state.counters["cpu_s"] = cpu;
  state.counters["cpu_pct_prog"] = 100.0 * cpu / wall / n;
}

BENCHMARK(BM_GangOnlineRun)
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->Arg(8)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
