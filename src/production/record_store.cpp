#include "production/record_store.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <random>

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

bool IsPassResult(const std::string& result) {
  return result == kResultPass;
}

bool ReachedChip(const std::string& result) {
  return result != kResultNoProgrammer && result != kResultBusy;
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
          r.result,
          std::to_string(r.runResult),
          r.detail,
          std::to_string(r.durationMs),
          r.attempt};
}

bool ChipRowFromFields(const std::vector<std::optional<std::string>>& f, ChipRecord& r,
                       std::string& error) {
  if (f.size() != kChipColumnCount && f.size() != kLegacyChipColumnCount) {
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
  r.stationSerial = text(1);
  r.stationPort = text(2);
  r.toolVersion = text(3);
  r.hexName = text(4);
  r.hexSha256 = text(5);
  r.imageCrc = text(6);
  r.fuse = *fuse != 0;
  r.chipSerial = f[8];
  r.result = text(9);
  r.runResult = static_cast<int>(*runResult);
  r.detail = text(11);
  r.durationMs = *duration;
  r.attempt = f.size() > 13 ? text(13) : std::string();
  return true;
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
