// libFuzzer target: arbitrary text as a programming script, performed by the
// online executor and stored by the offline run against a fresh in-memory
// emulated programmer (virtual time, so DELAY and the chip waits cost
// nothing). Byte 0 picks the run and the fuse choice; the rest are the
// script's lines.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/clock.h"
#include "emulator/emulator.h"
#include "fuzz_page.h"
#include "programmer/backend.h"
#include "script/runs.h"
#include "script/session.h"
#include "velkan/velkan.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  using namespace velkan;
  VirtualClock clock;
  ScopedClock scoped(clock);
  const auto emulator = UseEmulator(std::nullopt);
  if (!emulator) std::abort();

  fuzz::FuzzPage page((data[0] & 2) != 0);
  page.SetHexPath("fuzz.hex");
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  std::int32_t number = 0;
  while (!rest.empty() && number < 400) {
    const std::size_t end = rest.find('\n');
    page.Script()[++number] = std::string(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  }

  const bool offline = (data[0] & 1) != 0;
  const RunContext run = page.Context(page.Fuse(), page);
  const RunOutcome outcome = offline ? OfflineLoadRun(DefaultStation(), run)
                                     : OnlineProgramRun(DefaultStation(), run);
  if (!outcome.opened) std::abort();  // the emulator is always there
  if (offline ? (outcome.result < -1 || outcome.result > 4)
              : (outcome.result < kRunCommFailure || outcome.result > kRunUnsupported)) {
    std::abort();
  }
  if (page.LogText().empty()) std::abort();
  // What the offline run stored is what the emulator holds: whole or nothing
  // after the erase, and never more records than lines plus begin and end.
  if (offline && emulator->OfflineRecords().size() > page.Script().size() + 2) std::abort();

  DefaultStation().CloseReader();
  return 0;
}
