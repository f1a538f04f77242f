// libFuzzer target: the I2C test page's core with arbitrary box texts (the
// address, data and read-length boxes, separated by 0x00 bytes) against a
// fresh in-memory emulated programmer, and the read length that follows a
// change of the data box.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/clock.h"
#include "emulator/emulator.h"
#include "fuzz_page.h"
#include "programmer/backend.h"
#include "script/i2c_test.h"
#include "script/session.h"
#include "velkan/velkan.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velkan;
  VirtualClock clock;
  ScopedClock scoped(clock);
  if (!UseEmulator(std::nullopt)) std::abort();

  std::string boxes[3];
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  for (std::string& box : boxes) {
    const std::size_t end = rest.find('\0');
    box = std::string(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  }
  if (const auto raised = ReadLengthAfterDataChange(boxes[1], boxes[2])) {
    if (raised->empty() || raised->size() > 8) std::abort();
  }
  fuzz::FuzzI2cView view;
  std::string output;
  const I2cPressOutcome outcome = I2cCommandPress(view, boxes[0], boxes[1], boxes[2], output);
  if (outcome.result == I2cPressResult::kNoProgrammer || outcome.result == I2cPressResult::kBusy) {
    std::abort();  // the emulator is always there and nothing else holds it
  }
  if (outcome.bytesRead.size() > 0x200) std::abort();
  // The bytes read are what the output box ends up showing.
  if (!outcome.bytesRead.empty() &&
      (outcome.result != I2cPressResult::kOk || view.shown != output || output.empty())) {
    std::abort();
  }

  DefaultStation().CloseReader();
  return 0;
}
