// SPDX-License-Identifier: Apache-2.0
#include "programmer/firmware_update.h"

#include <algorithm>

#include "programmer/backend.h"
#include "programmer/internal_api.h"
#include "programmer/programmer.h"
#include "velkan/velkan.h"

namespace velkan {

static_assert(kFirmwareImageHeaderSize == kFirmwareHeaderSize);

namespace {

// Holds the programmer for the update; nests inside a hold the caller has.
class UpdateHold {
 public:
  explicit UpdateHold(int reader) : reader_(reader), result_(HoldReader(reader)) {}
  ~UpdateHold() {
    if (result_ == 0) ReleaseReader(reader_);
  }
  UpdateHold(const UpdateHold&) = delete;
  UpdateHold& operator=(const UpdateHold&) = delete;
  int result() const { return result_; }

 private:
  int reader_;
  int result_;
};

}  // namespace

FirmwareUpdateResult UpdateFirmware(int reader, std::span<const std::uint8_t> image,
                                    const FirmwareProgress& progress, std::stop_token stop) {
  using Outcome = FirmwareUpdateResult::Outcome;
  if (image.size() < kFirmwareHeaderSize) return {Outcome::kBadImage, VELKAN_ERR_BAD_ARGUMENT, 0};
  UpdateHold hold(reader);
  if (hold.result() == kReaderBusy) return {Outcome::kBusy, kReaderBusy, 0};
  if (hold.result() != 0) return {Outcome::kStartFailed, hold.result(), 0};

  if (int rc = CallOnReader(reader, [](Programmer& p) { return p.FirmwareStart(); }); rc != 0) {
    return {Outcome::kStartFailed, rc, 0};
  }
  // The header block, then the data blocks; each is one exchange.
  std::size_t offset = 0;
  while (offset < image.size()) {
    if (stop.stop_requested()) return {Outcome::kCancelled, 0, offset};
    const std::size_t n =
        offset == 0 ? kFirmwareHeaderSize : std::min(kFirmwareBlockSize, image.size() - offset);
    const std::uint8_t* block = image.data() + offset;
    const int rc = CallOnReader(reader, [&](Programmer& p) {
      return offset == 0 ? p.FirmwareHeaderBlock(block) : p.FirmwareDataBlock(block, n);
    });
    if (rc != 0) return {Outcome::kSendFailed, rc, offset};
    offset += n;
    if (progress) progress(offset, image.size());
  }
  if (stop.stop_requested()) return {Outcome::kCancelled, 0, offset};
  const int rc =
      CallOnReader(reader, [](Programmer& p) { return p.DownloadFirmwareComplete(nullptr, 0); });
  if (rc != 0) return {Outcome::kCompleteFailed, rc, offset};
  return {Outcome::kDone, 0, offset};
}

}  // namespace velkan
