// Hex-digit text <-> bytes, shared by the HEX loader, the script language and
// the I2C test page.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velkan {

// Turns character pairs into bytes: characters 0-1 give byte 0, 2-3 byte 1,
// and so on. 'A'-'F' and 'a'-'f' give 10-15, every other character its own
// low four bits ('0'-'9' give 0-9, a space 0, 'G' 7). Nothing is rejected.
// With an odd length the last byte's low nibble is 0. Writes
// (text.size() + 1) / 2 bytes to `out` and returns that count.
std::size_t HexToBytes(std::string_view text, std::uint8_t* out);
std::vector<std::uint8_t> HexToBytes(std::string_view text);

// True when each of the first `n` characters of `text` (taken in the system
// code page) is a hex digit or a space. False when `text` is shorter than `n`.
bool IsHexText(std::string_view text, std::size_t n);

// Upper-case hex pairs: "%02X" per byte, `separator` after each byte.
std::string BytesToHex(const std::uint8_t* data, std::size_t count,
                       std::string_view separator = "");

}  // namespace velkan
