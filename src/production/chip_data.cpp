#include "production/chip_data.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "common/hex_text.h"
#include "common/input_file.h"
#include "common/sha256.h"
#include "image/chip_image.h"
#include "production/child_process.h"

namespace velkan::production {

namespace {

// A generator's answer longer than this is refused.
constexpr std::size_t kMaxAnswer = 256 * 1024;

std::string Hex4(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%04X", value);
  return text;
}

bool HexDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isxdigit(c); });
}

ChildRequest RequestOf(const ChipDataSettings& settings, const ChipDataCall& call) {
  ChildRequest request;
  request.command = settings.command;
  request.timeout = settings.timeout;
  request.outputLimit = kMaxAnswer;
  nlohmann::json j{{"phase", call.result ? "result" : "data"},
                   {"jobId", call.jobId},
                   {"station", call.station},
                   {"attempt", call.attempt}};
  j["serial"] = call.serial ? nlohmann::json(*call.serial) : nlohmann::json(nullptr);
  j["serialHex"] = call.serialHex ? nlohmann::json(*call.serialHex) : nlohmann::json(nullptr);
  j["serialAddress"] =
      call.serialAddress ? nlohmann::json(Hex4(*call.serialAddress)) : nlohmann::json(nullptr);
  request.environment = {{"VELKAN_PHASE", call.result ? "result" : "data"},
                         {"VELKAN_JOB_ID", call.jobId},
                         {"VELKAN_STATION", call.station},
                         {"VELKAN_ATTEMPT", call.attempt},
                         {"VELKAN_SERIAL", call.serial.value_or("")},
                         {"VELKAN_SERIAL_HEX", call.serialHex.value_or("")}};
  if (call.result) {
    j["result"] = *call.result;
    j["dataSha256"] = call.dataSha256;
    request.environment.emplace_back("VELKAN_RESULT", *call.result);
    request.environment.emplace_back("VELKAN_DATA_SHA256", call.dataSha256);
  }
  request.input = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  return request;
}

// Why a finished run of the generator is no answer (empty: it is one).
std::string RunProblem(const ChipDataSettings& settings, const ChildResult& result) {
  std::string problem;
  if (result.timedOut) {
    problem = "the chip data generator took longer than " +
              std::to_string(settings.timeout.count()) + " ms and was stopped";
  } else if (result.outputTooLong) {
    problem = "the chip data generator wrote more than " + std::to_string(kMaxAnswer / 1024) +
              " KiB and was stopped";
  } else if (result.exitCode != 0) {
    problem = "the chip data generator failed (exit status " +
              (result.exitCode < 0 ? std::string(": killed by a signal")
                                   : std::to_string(result.exitCode)) +
              ")";
  } else {
    return {};
  }
  std::string said = result.errorOutput;
  while (!said.empty() && std::isspace(static_cast<unsigned char>(said.back()))) said.pop_back();
  if (const std::size_t nl = said.find('\n'); nl != std::string::npos) said.resize(nl);
  if (!said.empty()) problem += ": " + Printable(said.substr(0, 200));
  return problem;
}

}  // namespace

bool ParseChipData(std::string_view answer, std::optional<std::uint32_t> serialAddress,
                   std::size_t serialBytes, std::vector<ChipDataPiece>& pieces,
                   std::string& error) {
  pieces.clear();
  std::size_t at = 0;
  while (at < answer.size()) {
    if (std::isspace(static_cast<unsigned char>(answer[at]))) {
      ++at;
      continue;
    }
    std::size_t end = at;
    while (end < answer.size() && !std::isspace(static_cast<unsigned char>(answer[end]))) ++end;
    const std::string_view token = answer.substr(at, end - at);
    at = end;
    const std::size_t colon = token.find(':');
    std::string_view address = token.substr(0, colon);
    if (address.size() > 2 && address[0] == '0' && (address[1] == 'x' || address[1] == 'X')) {
      address.remove_prefix(2);
    }
    const std::string_view data =
        colon == std::string_view::npos ? std::string_view() : token.substr(colon + 1);
    const std::string shown = Printable(std::string(token.substr(0, 40)));
    if (colon == std::string_view::npos || !HexDigits(address) || address.size() > 8 ||
        !HexDigits(data) || data.size() % 2 != 0) {
      error = "the chip data generator's answer is malformed at \"" + shown +
              "\" (expected ADDRESS:HEX, e.g. 9000:00112233)";
      return false;
    }
    const std::uint32_t start =
        static_cast<std::uint32_t>(std::stoul(std::string(address), nullptr, 16));
    const std::uint64_t stop = std::uint64_t{start} + data.size() / 2;
    if (start < kAppStart || stop > kAppEnd) {
      error = "the chip data generator's piece \"" + shown +
              "\" is not inside the chip's region 2000-9FFF";
      return false;
    }
    pieces.push_back({start, HexToBytes(data)});
  }
  if (pieces.empty()) {
    error = "the chip data generator answered no data";
    return false;
  }
  std::sort(pieces.begin(), pieces.end(),
            [](const auto& a, const auto& b) { return a.address < b.address; });
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const std::uint64_t start = pieces[i].address, stop = start + pieces[i].bytes.size();
    if (i + 1 < pieces.size() && stop > pieces[i + 1].address) {
      error = "the chip data generator's pieces at " + Hex4(pieces[i].address) + " and " +
              Hex4(pieces[i + 1].address) + " overlap";
      return false;
    }
    if (serialAddress && serialBytes > 0 && start < *serialAddress + serialBytes &&
        *serialAddress < stop) {
      error = "the chip data generator's piece at " + Hex4(pieces[i].address) +
              " overlaps the serial number at " + Hex4(*serialAddress);
      return false;
    }
  }
  return true;
}

std::string ChipDataSha256(const std::vector<ChipDataPiece>& pieces) {
  std::vector<const ChipDataPiece*> sorted;
  for (const auto& piece : pieces) sorted.push_back(&piece);
  std::sort(sorted.begin(), sorted.end(),
            [](const auto* a, const auto* b) { return a->address < b->address; });
  std::string text;
  for (const auto* piece : sorted) {
    text +=
        Hex4(piece->address) + ":" + BytesToHex(piece->bytes.data(), piece->bytes.size()) + "\n";
  }
  return Sha256Hex(text);
}

ChipDataCall ChipDataCallOf(const std::string& jobId, const std::string& station,
                            const std::string& attempt, const SerialPlan* plan,
                            const SerialValue* serial) {
  ChipDataCall call;
  call.jobId = jobId;
  call.station = station;
  call.attempt = attempt;
  if (plan && serial) {
    call.serial = serial->text;
    call.serialHex = HexText(serial->bytes);
    call.serialAddress = plan->address;
  }
  return call;
}

Product WithChipData(const Product& product, const std::vector<ChipDataPiece>& pieces) {
  Product out = product;
  for (const ChipDataPiece& piece : pieces) {
    std::copy(piece.bytes.begin(), piece.bytes.end(),
              out.image.begin() + (piece.address - kAppStart));
    out.endAddress = std::max<std::uint32_t>(
        out.endAddress, piece.address + static_cast<std::uint32_t>(piece.bytes.size()));
  }
  return out;
}

bool FetchChipData(const ChipDataSettings& settings, const ChipDataCall& call,
                   std::size_t serialBytes, std::vector<ChipDataPiece>& pieces,
                   std::string& error) {
  ChildResult result;
  if (!RunChild(RequestOf(settings, call), result, error)) return false;
  if (std::string problem = RunProblem(settings, result); !problem.empty()) {
    error = std::move(problem);
    return false;
  }
  return ParseChipData(result.output, call.serialAddress, serialBytes, pieces, error);
}

bool ReportChipResult(const ChipDataSettings& settings, const ChipDataCall& call,
                      std::string& error) {
  ChildResult result;
  if (!RunChild(RequestOf(settings, call), result, error)) return false;
  error = RunProblem(settings, result);
  return error.empty();
}

}  // namespace velkan::production
