// SHA-256 of a file's bytes, for the per-chip record (which exact HEX file
// was programmed).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace velkan::production {

std::array<std::uint8_t, 32> Sha256(std::string_view bytes);
// Lower-case hex, 64 digits.
std::string Sha256Hex(std::string_view bytes);

}  // namespace velkan::production
