// SPDX-License-Identifier: Apache-2.0
// Variants of exported programmer operations for this project's own callers,
// with limits the C API keeps fixed. Not part of the C API.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velkan {

// Dll7816CardAPDU into a response area of `responseCapacity` bytes (the
// exported function's area is VELKAN_APDU_RESPONSE_MAX): a reply that does
// not fit is refused as there.
int Card7816ApduWithCapacity(int reader, const std::uint8_t* apdu, int apduLength,
                             std::uint8_t* response, std::size_t responseCapacity,
                             int* responseLength);

}  // namespace velkan
