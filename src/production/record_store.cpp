#include "production/record_store.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <random>
#include <utility>

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

namespace velkan::production {

namespace {

std::optional<std::int64_t> ToInt(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  std::int64_t value = 0;
  const char* end = text->data() + text->size();
  const auto [ptr, ec] = std::from_chars(text->data(), end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

}  // namespace

constexpr std::pair<ChipResult, std::string_view> kResultNames[] = {
    {ChipResult::kPass, "pass"},
    {ChipResult::kCommunication, "communication"},
    {ChipResult::kStatusWord, "status-word"},
    {ChipResult::kMismatch, "mismatch"},
    {ChipResult::kReset, "reset"},
    {ChipResult::kUnsupported, "unsupported"},
    {ChipResult::kRecordLine, "record"},
    {ChipResult::kFailed, "failed"},
    {ChipResult::kNoProgrammer, "no-programmer"},
    {ChipResult::kBusy, "busy"},
    {ChipResult::kChipData, "chip-data"},
};

std::string_view ResultName(ChipResult result) {
  for (const auto& [value, name] : kResultNames) {
    if (value == result) return name;
  }
  return "failed";
}

ChipResult ResultFromName(std::string_view name) {
  for (const auto& [value, text] : kResultNames) {
    if (text == name) return value;
  }
  return ChipResult::kFailed;
}

std::optional<std::chrono::system_clock::time_point> ParseIsoUtc(std::string_view t) {
  // YYYY-MM-DDTHH:MM:SS[.fff]Z
  auto digits = [&](std::size_t at, std::size_t n) -> std::optional<int> {
    if (at + n > t.size()) return std::nullopt;
    int v = 0;
    for (std::size_t i = at; i < at + n; ++i) {
      if (t[i] < '0' || t[i] > '9') return std::nullopt;
      v = v * 10 + (t[i] - '0');
    }
    return v;
  };
  const auto y = digits(0, 4), mo = digits(5, 2), d = digits(8, 2), h = digits(11, 2),
             mi = digits(14, 2), s = digits(17, 2);
  if (!y || !mo || !d || !h || !mi || !s || t.size() < 20 || t[4] != '-' || t[7] != '-' ||
      t[10] != 'T' || t[13] != ':' || t[16] != ':') {
    return std::nullopt;
  }
  int ms = 0;
  std::size_t end = 19;
  if (t[19] == '.') {
    const auto f = digits(20, 3);
    if (!f) return std::nullopt;
    ms = *f;
    end = 23;
  }
  if (end >= t.size() || t[end] != 'Z' || end + 1 != t.size()) return std::nullopt;
  using namespace std::chrono;
  const year_month_day ymd{year{*y}, month{static_cast<unsigned>(*mo)},
                           day{static_cast<unsigned>(*d)}};
  if (!ymd.ok() || *h > 23 || *mi > 59 || *s > 60) return std::nullopt;
  return sys_days{ymd} + hours{*h} + minutes{*mi} + seconds{*s} + milliseconds{ms};
}

std::vector<std::optional<std::string>> ChipRowFields(const ChipRecord& r) {
  return {r.timeUtc,
          r.stationSerial,
          r.stationPort,
          r.toolVersion,
          r.hexName,
          r.hexSha256,
          r.imageCrc,
          std::string(r.fuse ? "1" : "0"),
          r.chipSerial,
          std::string(ResultName(r.result)),
          std::to_string(r.runResult),
          r.detail,
          std::to_string(r.durationMs),
          r.attempt,
          r.jobId,
          r.dataSha256};
}

bool ChipRowFromFields(const std::vector<std::optional<std::string>>& f, ChipRecord& r,
                       std::string& error) {
  if (!KnownChipColumnCount(f.size())) {
    error = "a row of " + std::to_string(f.size()) + " columns";
    return false;
  }
  auto text = [&](std::size_t i) { return f[i].value_or(std::string()); };
  const auto fuse = ToInt(f[7]);
  const auto runResult = ToInt(f[10]);
  const auto duration = ToInt(f[12]);
  if (!fuse || !runResult || !duration) {
    error = "a row whose fuse, run_result or duration_ms is not a number";
    return false;
  }
  r.timeUtc = text(0);
  r.started = ParseIsoUtc(r.timeUtc).value_or(std::chrono::system_clock::time_point{});
  r.stationSerial = text(1);
  r.stationPort = text(2);
  r.toolVersion = text(3);
  r.hexName = text(4);
  r.hexSha256 = text(5);
  r.imageCrc = text(6);
  r.fuse = *fuse != 0;
  r.chipSerial = f[8];
  r.result = ResultFromName(text(9));
  r.runResult = static_cast<int>(*runResult);
  r.detail = text(11);
  r.durationMs = *duration;
  r.attempt = f.size() > 13 ? text(13) : std::string();
  r.jobId = f.size() > 14 ? text(14) : std::string();
  r.dataSha256 = f.size() > 15 ? text(15) : std::string();
  return true;
}

bool CheckChipColumns(const std::vector<std::string>& names, const std::string& where,
                      std::string& error) {
  if (names.empty()) {
    error = where + ": no table chips (not a production log)";
    return false;
  }
  const std::vector<std::string> expected(std::begin(kChipColumns), std::end(kChipColumns));
  const bool known = KnownChipColumnCount(names.size()) && names.size() <= expected.size() &&
                     std::equal(names.begin(), names.end(), expected.begin());
  if (!known) {
    error = where + ": table chips has other columns than a production log";
    return false;
  }
  return true;
}

std::string LimitText(std::int64_t limit, std::int64_t passed, std::int64_t reserved) {
  std::string text = "the job's limit of " + std::to_string(limit) + " passed chips is reached (" +
                     std::to_string(passed) + " passed";
  if (reserved > 0) {
    text += ", " + std::to_string(reserved) +
            " reserved and not settled: in progress, or unknown until settled (velkan log "
            "--unknown)";
  }
  return text + ")";
}

bool RecordStore::Rows(const std::string& since, std::vector<ChipRecord>& rows,
                       std::string& error) {
  return ForEachRow(
      since,
      [&](const ChipRecord& row) {
        rows.push_back(row);
        return true;
      },
      error);
}

bool IsPostgresTarget(const std::string& target) {
  return target.rfind("postgresql://", 0) == 0 || target.rfind("postgres://", 0) == 0;
}

std::unique_ptr<RecordStore> OpenRecordStore(const std::string& target, StoreMode mode,
                                             std::string& error) {
  if (IsPostgresTarget(target)) return OpenPostgresStore(target, mode, error);
  return OpenSqliteStore(target, mode, error);
}

std::string IsoUtc(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  const auto ms = floor<milliseconds>(time);
  const auto day = floor<days>(ms);
  const year_month_day ymd{day};
  const hh_mm_ss hms{ms - day};
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                static_cast<unsigned>(ymd.day()), static_cast<int>(hms.hours().count()),
                static_cast<int>(hms.minutes().count()), static_cast<int>(hms.seconds().count()),
                static_cast<int>(hms.subseconds().count()));
  return text;
}

std::string NewAttemptId() {
  static std::mutex mutex;
  static std::mt19937_64 generator = [] {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device(),
                       device(), device(), device(), device()};
    return std::mt19937_64(seed);
  }();
  std::uint64_t a, b;
  {
    std::lock_guard lock(mutex);
    a = generator();
    b = generator();
  }
#if defined(_WIN32)
  const long pid = _getpid();
#else
  const long pid = static_cast<long>(getpid());
#endif
  char text[64];
  std::snprintf(text, sizeof text, "%ld-%016llx%016llx", pid, static_cast<unsigned long long>(a),
                static_cast<unsigned long long>(b));
  return text;
}

}  // namespace velkan::production
