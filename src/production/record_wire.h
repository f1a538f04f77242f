// The recorder's frames and the JSON of what they carry, shared by the
// recorder (record_server.cpp) and its client (remote_store.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "production/record_store.h"

namespace velkan::production::wire {

// The largest frame either side accepts: a chunk of rows fits many times.
inline constexpr std::size_t kMaxFrameBytes = 1u << 20;
// Rows per answer frame of a `rows` request.
inline constexpr std::size_t kRowsPerFrame = 200;

// A frame: the header for `body`, then the body.
inline std::string Frame(const nlohmann::json& message) {
  const std::string body = message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  const auto n = static_cast<std::uint32_t>(body.size());
  std::string frame;
  frame.reserve(4 + body.size());
  for (int shift = 24; shift >= 0; shift -= 8) frame += static_cast<char>((n >> shift) & 0xFF);
  return frame + body;
}

// The body size a header announces; nullopt when above kMaxFrameBytes.
inline std::optional<std::size_t> FrameSize(const unsigned char header[4]) {
  const std::uint32_t n = (std::uint32_t{header[0]} << 24) | (std::uint32_t{header[1]} << 16) |
                          (std::uint32_t{header[2]} << 8) | std::uint32_t{header[3]};
  if (n > kMaxFrameBytes) return std::nullopt;
  return n;
}

// A frame's body as a JSON object; nullopt for anything else.
inline std::optional<nlohmann::json> ParseBody(std::string_view body) {
  nlohmann::json message = nlohmann::json::parse(body, nullptr, false);
  if (message.is_discarded() || !message.is_object()) return std::nullopt;
  return message;
}

inline const char* ModeName(StoreMode mode) {
  switch (mode) {
    case StoreMode::kCreate:
      return "create";
    case StoreMode::kWrite:
      return "write";
    case StoreMode::kReadOnly:
      return "read";
  }
  return "";
}

inline std::optional<StoreMode> ModeOf(std::string_view name) {
  if (name == "create") return StoreMode::kCreate;
  if (name == "write") return StoreMode::kWrite;
  if (name == "read") return StoreMode::kReadOnly;
  return std::nullopt;
}

inline const char* SettleName(SerialSettle settle) {
  switch (settle) {
    case SerialSettle::kUsed:
      return "used";
    case SerialSettle::kReleased:
      return "released";
    case SerialSettle::kBurnt:
      return "burnt";
  }
  return "";
}

inline std::optional<SerialSettle> SettleOf(std::string_view name) {
  if (name == "used") return SerialSettle::kUsed;
  if (name == "released") return SerialSettle::kReleased;
  if (name == "burnt") return SerialSettle::kBurnt;
  return std::nullopt;
}

// A row as the array of its columns' text (null: NULL), kChipColumns' order.
inline nlohmann::json RowJson(const ChipRecord& row) {
  nlohmann::json fields = nlohmann::json::array();
  for (const auto& field : ChipRowFields(row)) {
    fields.push_back(field ? nlohmann::json(*field) : nlohmann::json(nullptr));
  }
  return fields;
}

inline bool RowOf(const nlohmann::json& fields, ChipRecord& row, std::string& error) {
  if (!fields.is_array() || fields.size() != kChipColumnCount) {
    error = "a row of another shape";
    return false;
  }
  std::vector<std::optional<std::string>> text;
  for (const auto& field : fields) {
    if (field.is_null()) {
      text.emplace_back();
    } else if (field.is_string()) {
      text.emplace_back(field.get<std::string>());
    } else {
      error = "a row of another shape";
      return false;
    }
  }
  return ChipRowFromFields(text, row, error);
}

inline nlohmann::json UnknownJson(const UnknownNumber& n) {
  return {{"series", n.series},   {"number", n.number}, {"hex", n.chipHex},
          {"station", n.station}, {"time", n.timeUtc},  {"attempt", n.attempt}};
}

// The value of `key` in `message` when it has `T`'s type; `fallback` otherwise.
template <typename T>
T Get(const nlohmann::json& message, const char* key, T fallback = T{}) {
  const auto it = message.find(key);
  if (it == message.end()) return fallback;
  if constexpr (std::is_same_v<T, bool>) {
    return it->is_boolean() ? it->get<bool>() : fallback;
  } else if constexpr (std::is_integral_v<T>) {
    return it->is_number_integer() ? it->get<T>() : fallback;
  } else {
    return it->is_string() ? it->get<T>() : fallback;
  }
}

inline UnknownNumber UnknownOf(const nlohmann::json& n) {
  return {Get<std::string>(n, "series"), Get<std::int64_t>(n, "number"),
          Get<std::string>(n, "hex"),    Get<std::string>(n, "station"),
          Get<std::string>(n, "time"),   Get<std::string>(n, "attempt")};
}

}  // namespace velkan::production::wire
