// SPDX-License-Identifier: Apache-2.0
// Variants of exported programmer operations for this project's own callers,
// with limits the C API keeps fixed. Not part of the C API.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace velkan {

class Programmer;

// Runs `op` on the programmer behind `reader` as one call of the C API:
// other calls on the handle wait meanwhile, and its last-error value is
// published afterwards (to the handle and module-wide). An unknown handle
// gives VELKAN_ERR_BAD_HANDLE without running `op`.
int CallOnReader(int reader, const std::function<int(Programmer&)>& op);

// Dll7816CardAPDU into a response area of `responseCapacity` bytes (the
// exported function's area is VELKAN_APDU_RESPONSE_MAX): a reply that does
// not fit is refused as there.
int Card7816ApduWithCapacity(int reader, const std::uint8_t* apdu, int apduLength,
                             std::uint8_t* response, std::size_t responseCapacity,
                             int* responseLength);

}  // namespace velkan
