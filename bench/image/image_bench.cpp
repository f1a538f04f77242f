// HEX text -> script table for a file that fills the whole APP region:
// 2048 data records of 16 bytes (about 92 KB of text).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "image/chip_image.h"
#include "image/hex_loader.h"
#include "image/script_generator.h"

namespace {

class NoDialogs : public velkan::Dialogs {
 public:
  velkan::MsgResult MessageBox(std::string_view, std::string_view, velkan::MsgButtons,
                               velkan::MsgIcon) override {
    return velkan::MsgResult::kNo;
  }
};

std::string FullAppHex() {
  std::string text;
  for (unsigned address = velkan::kAppStart; address < velkan::kAppEnd; address += 16) {
    unsigned sum = 16 + (address >> 8) + (address & 0xFF);
    char line[64];
    int n = std::snprintf(line, sizeof line, ":10%04X00", address);
    for (unsigned i = 0; i < 16; ++i) {
      const unsigned b = (address * 13 + i * 7) & 0xFF;
      sum += b;
      n += std::snprintf(line + n, sizeof line - n, "%02X", b);
    }
    std::snprintf(line + n, sizeof line - n, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
    text += line;
  }
  text += ":00000001FF\r\n";
  return text;
}

void BM_HexTextToScript(benchmark::State& state) {
  const std::string text = FullAppHex();
  NoDialogs dialogs;
  for (auto _ : state) {
    velkan::HexFile file;
    if (velkan::ReadHexText(dialogs, text, file) != velkan::HexLoadResult::kOk) {
      state.SkipWithError("read failed");
      break;
    }
    const auto image = velkan::BuildChipImage(file.lines);
    velkan::ScriptTable script;
    if (!image || !velkan::GenerateScript(*image, file.endAddress, false, script) ||
        script.size() != 262) {
      state.SkipWithError("unexpected script");
      break;
    }
    benchmark::DoNotOptimize(script);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.counters["hex_bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_HexTextToScript);

}  // namespace

BENCHMARK_MAIN();
