// The feeder's tray: one line per chip taken out of the socket, appended to
// <stateDir>/tray.jsonl and on the disk before the next chip goes in.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <system_error>

#include "common/codepage.h"
#include "common/hex_text.h"
#include "common/input_file.h"
#include "common/sha256.h"
#include "emulator/emulator_state.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace velkan::emu {

namespace fs = std::filesystem;

namespace {

// Far above any tray a test or demo writes (about 150 bytes a chip).
constexpr std::size_t kMaxTrayBytes = 256u << 20;

std::string ErrnoText(int code) {
  return std::generic_category().message(code);
}

// An open file descriptor, closed when it goes.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) Close();
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // False with errno set when closing fails (a write that only fails then).
  bool Close() {
#if defined(_WIN32)
    const int r = _close(fd_);
#else
    const int r = ::close(fd_);
#endif
    fd_ = -1;
    return r == 0;
  }

 private:
  int fd_;
};

// Appends `line` in one write and flushes it to the disk. False with
// `error` set when any of it fails.
bool AppendLine(const fs::path& path, const std::string& line, std::string& error) {
#if defined(_WIN32)
  Fd fd(_wopen(path.c_str(), _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE));
#else
  Fd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
#endif
  if (fd.get() < 0) {
    error = "cannot open: " + ErrnoText(errno);
    return false;
  }
#if defined(_WIN32)
  const int written = _write(fd.get(), line.data(), static_cast<unsigned>(line.size()));
#else
  ssize_t written = -1;
  do {
    written = ::write(fd.get(), line.data(), line.size());
  } while (written < 0 && errno == EINTR);
#endif
  if (written < 0 || static_cast<std::size_t>(written) != line.size()) {
    error = written < 0 ? "cannot write: " + ErrnoText(errno)
                        : "cannot write: " + std::to_string(written) + " of " +
                              std::to_string(line.size()) + " bytes written";
    return false;
  }
#if defined(_WIN32)
  const bool synced = _commit(fd.get()) == 0;
#else
  const bool synced = ::fsync(fd.get()) == 0;
#endif
  if (!synced) {
    error = "cannot flush to the disk: " + ErrnoText(errno);
    return false;
  }
  if (!fd.Close()) {
    error = "cannot close: " + ErrnoText(errno);
    return false;
  }
  return true;
}

std::string TrayLine(std::uint64_t chip, const std::array<std::uint8_t, kFlashSize>& flash,
                     const std::pair<std::uint32_t, std::size_t>* serial,
                     const std::pair<std::uint32_t, std::size_t>* data, bool fused,
                     std::uint8_t led) {
  nlohmann::ordered_json j;
  j["chip"] = chip;
  j["flashSha256"] =
      Sha256Hex(std::string_view(reinterpret_cast<const char*>(flash.data()), flash.size()));
  if (serial && serial->first >= kFlashBase &&
      serial->first - kFlashBase + serial->second <= kFlashSize) {
    j["serialHex"] = BytesToHex(flash.data() + (serial->first - kFlashBase), serial->second);
  }
  if (data && data->first >= kFlashBase && data->first - kFlashBase + data->second <= kFlashSize) {
    j["dataHex"] = BytesToHex(flash.data() + (data->first - kFlashBase), data->second);
  }
  j["fused"] = fused;
  j["led"] = led;
  return j.dump() + "\n";
}

void Report(const fs::path& path, const std::string& what) {
  std::fprintf(stderr, "velkan emulator: feeder's tray %s: %s\n",
               Printable(PathToUtf8(path)).c_str(), Printable(what).c_str());
}

// The highest chip number in the tray file (0 when there is none). A file
// that cannot be read or a line that is not a tray line is reported.
std::uint64_t LastTrayChip(const fs::path& path) {
  InputFileOptions options;
  options.limit = kMaxTrayBytes;
  options.regularOnly = true;
  std::string text;
  const InputFileError read = ReadInputFile(path, options, text);
  if (read == InputFileError::kNotFound) return 0;
  if (read != InputFileError::kNone) {
    Report(path,
           InputFileErrorText(read, options, text.size()) + "; the chips are numbered without it");
    return 0;
  }
  std::uint64_t last = 0;
  std::size_t lineNumber = 0;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string_view line(text.data() + at, end - at);
    at = end + 1;
    ++lineNumber;
    if (line.empty()) continue;
    const auto j = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
    if (j.is_discarded() || !j.is_object() || !j.contains("chip") ||
        !j.at("chip").is_number_unsigned()) {
      Report(path, "line " + std::to_string(lineNumber) + " is not a tray line; left out");
      continue;
    }
    last = std::max(last, j.at("chip").get<std::uint64_t>());
  }
  return last;
}

}  // namespace

namespace {

std::optional<std::pair<std::uint32_t, std::size_t>> ParseTrayRange(std::string_view text,
                                                                    std::size_t most) {
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  std::string_view addrText = text.substr(0, colon);
  const std::string_view countText = text.substr(colon + 1);
  if (addrText.size() > 2 && addrText[0] == '0' && (addrText[1] == 'x' || addrText[1] == 'X')) {
    addrText.remove_prefix(2);
  }
  std::uint32_t addr = 0;
  std::size_t count = 0;
  const char* addrEnd = addrText.data() + addrText.size();
  const char* countEnd = countText.data() + countText.size();
  if (addrText.empty() || addrText.size() > 8 || countText.empty() ||
      std::from_chars(addrText.data(), addrEnd, addr, 16).ptr != addrEnd ||
      std::from_chars(countText.data(), countEnd, count).ptr != countEnd) {
    return std::nullopt;
  }
  if (count < 1 || count > most || addr < kFlashBase || addr - kFlashBase + count > kFlashSize) {
    return std::nullopt;
  }
  return std::make_pair(addr, count);
}

}  // namespace

std::optional<std::pair<std::uint32_t, std::size_t>> ParseTraySerial(std::string_view text) {
  return ParseTrayRange(text, 8);
}

std::optional<std::pair<std::uint32_t, std::size_t>> ParseTrayData(std::string_view text) {
  return ParseTrayRange(text, 64);
}

void EmulatorState::ResumeNumbering() {
  const std::uint64_t trayLast = persist ? LastTrayChip(*dir / kTrayFileName) : 0;
  // Written to the tray before the state folder learnt it was taken out.
  if (socketChip != 0 && socketChip <= trayLast) {
    socketChip = 0;
    socketLed.reset();
  }
  lastChip = std::max({lastChip, trayLast, socketChip});
}

bool EmulatorState::TakeOutSocketChip() {
  if (socketChip == 0) return false;
  if (persist) {
    const fs::path path = *dir / kTrayFileName;
    const auto* serial = feeder && feeder->traySerial ? &*feeder->traySerial : nullptr;
    const auto* data = feeder && feeder->trayData ? &*feeder->trayData : nullptr;
    std::string why;
    if (!AppendLine(path, TrayLine(socketChip, flash, serial, data, fused, socketLed.value_or(0)),
                    why)) {
      Report(path, why + "; chip " + std::to_string(socketChip) + " taken out without its line");
    }
  }
  socketChip = 0;
  socketLed.reset();
  return true;
}

}  // namespace velkan::emu
