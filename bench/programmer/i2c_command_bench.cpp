// Host CPU per I2C command exchange (write frame + read frame, four reports)
// through the C API against the in-memory emulated programmer with no
// latency. Target: below 5 us per DllI2cCommand.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>

#include "emulator/emulator.h"
#include "programmer/backend.h"
#include "velkan/velkan.h"

namespace {

void BM_I2cCommandKeyCheck(benchmark::State& state) {
  auto emulator = velkan::UseEmulator(std::nullopt);
  const int handle = DllOpenReader();
  if (!emulator || handle <= 0) {
    state.SkipWithError("no emulated programmer");
    return;
  }
  // Key check: 20 00 00 08 and eight FF bytes; the chip answers 90 00 at once.
  std::array<std::uint8_t, 12> command{0x20, 0x00, 0x00, 0x08};
  for (std::size_t i = 4; i < command.size(); ++i) command[i] = 0xFF;
  std::array<std::uint8_t, 16> response{};
  for (auto _ : state) {
    unsigned long length = 2;
    const int rc =
        DllI2cCommand(handle, 0xA0, command.data(), command.size(), response.data(), &length);
    if (rc != 0 || length != 2 || response[0] != 0x90) {
      state.SkipWithError("exchange failed");
      break;
    }
    benchmark::DoNotOptimize(response);
  }
  DllCloseReader(handle);
  velkan::UseSystemHid();
}
BENCHMARK(BM_I2cCommandKeyCheck);

void BM_ApduExchange(benchmark::State& state) {
  auto emulator = velkan::UseEmulator(std::nullopt);
  const int handle = DllOpenReader();
  if (!emulator || handle <= 0) {
    state.SkipWithError("no emulated programmer");
    return;
  }
  std::array<std::uint8_t, 5> apdu{0x00, 0x84, 0x00, 0x00, 0x08};
  std::array<std::uint8_t, VELKAN_APDU_RESPONSE_MAX> response{};
  for (auto _ : state) {
    int length = 0;
    if (Dll7816CardAPDU(handle, apdu.data(), 5, 0, response.data(), &length) != 0) {
      state.SkipWithError("exchange failed");
      break;
    }
    benchmark::DoNotOptimize(response);
  }
  DllCloseReader(handle);
  velkan::UseSystemHid();
}
BENCHMARK(BM_ApduExchange);

}  // namespace

BENCHMARK_MAIN();
