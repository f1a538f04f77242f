// SHA-256 of a byte string: the per-chip record names the exact HEX file it
// programmed, the emulated feeder's tray each chip's flash.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace velkan {

std::array<std::uint8_t, 32> Sha256(std::string_view bytes);
// Lower-case hex, 64 digits.
std::string Sha256Hex(std::string_view bytes);

}  // namespace velkan
