// SPDX-License-Identifier: Apache-2.0
// A whole firmware update of one programmer: start, the image's header
// block and its data blocks, completion. Not part of the C API (its callers
// drive the update themselves with DllDownloadFirmware*).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <stop_token>

namespace velkan {

// An image begins with its header block of this many bytes.
inline constexpr std::size_t kFirmwareImageHeaderSize = 8;

struct FirmwareUpdateResult {
  enum class Outcome {
    kDone,
    kBadImage,        // shorter than its header block: nothing sent
    kBusy,            // another program holds the programmer: nothing sent
    kStartFailed,     // the programmer refused to start, or did not answer
    kSendFailed,      // a block was not taken; `offset` is where it begins
    kCompleteFailed,  // every block was taken, completing failed
    kCancelled,       // stopped between blocks; `offset` bytes were taken
  };
  Outcome outcome = Outcome::kDone;
  // The C API's result number of the exchange that failed (0 when none did).
  int error = 0;
  std::size_t offset = 0;
  bool ok() const { return outcome == Outcome::kDone; }
};

// Called after each block the programmer took: image bytes sent so far
// (header block included) and the image's size.
using FirmwareProgress = std::function<void(std::size_t sent, std::size_t total)>;

// Updates the firmware of the programmer behind `reader` with `image`,
// holding the programmer for the whole update. A stop request is honoured
// between blocks; the programmer then keeps its old firmware (the update is
// never completed). `progress` must not use `reader` itself.
FirmwareUpdateResult UpdateFirmware(int reader, std::span<const std::uint8_t> image,
                                    const FirmwareProgress& progress = {},
                                    std::stop_token stop = {});

}  // namespace velkan
