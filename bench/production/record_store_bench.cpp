// Chips recorded per second with 8 stations on one store: each chip is a
// serial number reserved for its attempt and its row committed with the
// number settled, the two transactions production makes per chip.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "production/record_store.h"

namespace {

using namespace velkan::production;

std::unique_ptr<RecordStore> gStore;
std::once_flag gOnce;
std::string gError;

RecordStore* Store() {
  std::call_once(gOnce, [] {
    std::string target;
    if (const char* pg = std::getenv("VELKAN_BENCH_PG")) {
      target = pg;
    } else {
      const auto dir = std::filesystem::temp_directory_path() / "velkan-bench-records";
      std::filesystem::remove_all(dir);
      std::filesystem::create_directories(dir);
      target = (dir / "p.db").string();
    }
    gStore = OpenRecordStore(target, StoreMode::kCreate, gError);
  });
  return gStore.get();
}

void BM_ChipsRecorded(benchmark::State& state) {
  RecordStore* store = Store();
  if (!store) {
    state.SkipWithError(gError.c_str());
    return;
  }
  const std::string station = "BENCH" + std::to_string(state.thread_index());
  ChipRecord row;
  row.timeUtc = "2026-12-08T08:00:00.000Z";
  row.stationSerial = station;
  row.stationPort = "port";
  row.toolVersion = "bench";
  row.hexName = "app.hex";
  row.hexSha256 = std::string(64, 'a');
  row.imageCrc = "1EF0";
  row.result = ChipResult::kPass;
  row.durationMs = 1000;
  for (auto _ : state) {
    const std::string attempt = NewAttemptId();
    std::int64_t number = 0;
    bool exhausted = false;
    std::string error;
    if (!store->Reserve(
            "be:4", 1, 1, station, attempt,
            [](std::int64_t n, std::string&) { return std::optional(std::to_string(n)); }, number,
            exhausted, error)) {
      state.SkipWithError(error.c_str());
      return;
    }
    row.attempt = attempt;
    row.chipSerial = std::to_string(number);
    if (!store->Record(row, Reservation{"be:4", number, attempt}, SerialSettle::kUsed, error)) {
      state.SkipWithError(error.c_str());
      return;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ChipsRecorded)->Threads(8)->UseRealTime()->MinTime(3.0);

}  // namespace

BENCHMARK_MAIN();
