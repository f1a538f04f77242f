// libFuzzer target: arbitrary text as the emulator's state.json. What is
// taken in must be written out again and read back to the same state (the
// round trip of a state folder); what is refused must say why and change
// nothing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "emulator/emulator_state.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using velkan::emu::EmulatorState;
  const std::string text(reinterpret_cast<const char*>(data), size);
  EmulatorState first;
  const std::string pristine = first.StateJsonText();
  std::string why;
  if (!first.ApplyStateJson(text, why)) {
    Check(!why.empty());
    Check(first.StateJsonText() == pristine);
    return 0;
  }
  Check(first.offlineName.size() <= velkan::emu::kMaxOfflineName);
  Check(first.records.size() <= velkan::emu::kMaxOfflineRecords);
  const std::string written = first.StateJsonText();
  EmulatorState second;
  Check(second.ApplyStateJson(written, why));
  Check(second.StateJsonText() == written);
  Check(second.fused == first.fused && second.led == first.led && second.speaker == first.speaker &&
        second.offlineName == first.offlineName && second.records == first.records &&
        second.firmwareSize == first.firmwareSize);
  return 0;
}
