// CRC-16/XMODEM: polynomial 0x1021, MSB first, initial value 0, no
// reflection, no final XOR.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velkan {

std::uint16_t Crc16Xmodem(const std::uint8_t* data, std::size_t size);

}  // namespace velkan
