// A chip row as production writes one, for the record stores' tests.
#pragma once

#include <optional>
#include <string>

#include "production/record_store.h"

namespace velkan::test {

// A pass, or a chip that refused a command; `detail` for the failure's
// text (characters a store must keep as they are).
inline production::ChipRecord SampleRow(const std::string& station,
                                        std::optional<std::string> serial, bool pass,
                                        const std::string& detail =
                                            "I-CMD\t08 00 00 00 (status "
                                            "word 6985)") {
  production::ChipRecord r;
  r.timeUtc = "2024-05-01T08:00:00.000Z";
  r.started = production::ParseIsoUtc(r.timeUtc).value_or(r.started);
  r.stationSerial = station;
  r.stationPort = "port-" + station;
  r.toolVersion = "2.0.0.6";
  r.hexName = "app.hex";
  r.hexSha256 = std::string(64, 'a');
  r.imageCrc = "1EF0";
  r.chipSerial = std::move(serial);
  r.result = pass ? production::ChipResult::kPass : production::ChipResult::kStatusWord;
  r.runResult = pass ? 0 : 1;
  r.detail = pass ? "" : detail;
  r.durationMs = 1234;
  return r;
}

}  // namespace velkan::test
