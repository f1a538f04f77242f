// Per-chip data from the product owner's generator. For each chip, once
// its serial number is reserved and before anything is written, the
// generator runs with the chip's particulars (environment variables and a
// JSON object on stdin) and answers on stdout with pieces `ADDRESS:HEX`
// (whitespace apart) that go into the chip's image. After the chip's record
// is committed it runs again with the result, so the owner's side can
// settle. The record keeps only the SHA-256 of the data (ChipDataSha256).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "production/production.h"

namespace velkan::production {

struct ChipDataPiece {
  std::uint32_t address = 0;
  std::vector<std::uint8_t> bytes;
};

// What the generator is told about a chip.
struct ChipDataCall {
  std::string jobId;
  std::string station;
  std::string attempt;
  std::optional<std::string> serial;     // as recorded
  std::optional<std::string> serialHex;  // the bytes written, upper-case hex
  std::optional<std::uint32_t> serialAddress;
  // The second call: the chip's result name and its data's hash.
  std::optional<std::string> result;
  std::string dataSha256;
};

// The generator's answer as pieces: each inside 0x2000-0x9FFF, none
// overlapping another or the serial number (`serialAddress`, `serialBytes`
// bytes). False with `error` otherwise.
bool ParseChipData(std::string_view answer, std::optional<std::uint32_t> serialAddress,
                   std::size_t serialBytes, std::vector<ChipDataPiece>& pieces, std::string& error);

// SHA-256 of the pieces as the lines "AAAA:HEX\n" (4 upper-case hex digits
// of the address, the bytes in upper-case hex), ordered by address.
std::string ChipDataSha256(const std::vector<ChipDataPiece>& pieces);

// The first call: the chip's data, or false with `error` (the generator
// could not start, exited non-zero, took longer than the timeout, answered
// malformed data or data outside the region).
bool FetchChipData(const ChipDataSettings& settings, const ChipDataCall& call,
                   std::size_t serialBytes, std::vector<ChipDataPiece>& pieces, std::string& error);
// The second call, with the result; false with `error` when it failed.
bool ReportChipResult(const ChipDataSettings& settings, const ChipDataCall& call,
                      std::string& error);

// The first call's particulars for a chip of `plan` carrying `serial`.
ChipDataCall ChipDataCallOf(const std::string& jobId, const std::string& station,
                            const std::string& attempt, const SerialPlan* plan,
                            const SerialValue* serial);
// `product` with the pieces written into its image.
Product WithChipData(const Product& product, const std::vector<ChipDataPiece>& pieces);

}  // namespace velkan::production
