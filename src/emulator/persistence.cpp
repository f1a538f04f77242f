// The emulator's state folder: flash.bin, firmware.bin and state.json.
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <system_error>

#include "common/codepage.h"
#include "common/hex_text.h"
#include "common/input_file.h"
#include "emulator/emulator_state.h"

namespace velkan::emu {

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

constexpr const char* kFlashFile = "flash.bin";
constexpr const char* kFirmwareFile = "firmware.bin";
constexpr const char* kStateFile = "state.json";

int Nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Strict hex: pairs of hex digits, nothing else.
bool FromHex(const std::string& text, std::vector<std::uint8_t>& out) {
  if (text.size() % 2 != 0) return false;
  out.clear();
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int hi = Nibble(text[i]);
    const int lo = Nibble(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
  }
  return true;
}

// What the files can hold: flash.bin exactly the chip's flash; firmware.bin
// and state.json bounded well above anything the emulator writes (a
// firmware update is refused past kMaxFirmwareBytes, the offline storage
// past kMaxOfflineRecords records of at most 255 bytes).
constexpr std::size_t kMaxFirmwareFileBytes = 16u << 20;
constexpr std::size_t kMaxStateFileBytes = 64u << 20;

// Reads one state file: plain files only (a link to /dev/zero or a FIFO is
// refused before it is opened), at most `limit` bytes. False with `error`
// set when the file exists and cannot be used; `present` tells whether it
// exists.
bool ReadStateFile(const fs::path& path, std::size_t limit, bool exactSize, std::string& out,
                   bool& present, std::string& error) {
  InputFileOptions options;
  options.limit = limit;
  options.exactSize = exactSize;
  options.regularOnly = true;
  const InputFileError read = ReadInputFile(path, options, out);
  present = read != InputFileError::kNotFound;
  if (read == InputFileError::kNone || read == InputFileError::kNotFound) return true;
  error = PathToUtf8(path) + " " + InputFileErrorText(read, options, out.size());
  if (read == InputFileError::kCannotOpen || read == InputFileError::kReadError) {
    error = "cannot read " + PathToUtf8(path) + ": " + InputFileErrorText(read, options);
  }
  return false;
}

// Writes `bytes` to a temporary file next to `path` and renames it over
// `path`, so that a reader never sees half a file.
bool WriteAtomically(const fs::path& path, const char* bytes, std::size_t size,
                     std::string& error) {
  fs::path tmp = path;
  tmp += ".tmp";
  std::error_code ec;
  {
    errno = 0;
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (out) out.write(bytes, static_cast<std::streamsize>(size));
    if (out.is_open()) out.close();
    if (!out) {
      const int code = errno;
      error = "cannot write " + PathToUtf8(tmp) +
              (code != 0 ? ": " + std::generic_category().message(code) : std::string());
      fs::remove(tmp, ec);  // a full disk must not also fill up with half files
      return false;
    }
  }
  fs::rename(tmp, path, ec);
  if (ec) {
    // Some platforms refuse to rename over an existing file.
    fs::remove(path, ec);
    fs::rename(tmp, path, ec);
  }
  if (ec) {
    error = "cannot replace " + PathToUtf8(path) + ": " + ec.message();
    fs::remove(tmp, ec);
    return false;
  }
  return true;
}

// An unsigned integer field of at most `max`; absent: keep `value`.
bool GetUnsigned(const json& obj, const char* key, std::uint64_t max, std::uint64_t& value,
                 std::string& error) {
  if (!obj.contains(key)) return true;
  const json& v = obj.at(key);
  if (!v.is_number_unsigned() || v.get<std::uint64_t>() > max) {
    error = std::string("\"") + key + "\" must be an integer from 0 to " + std::to_string(max);
    return false;
  }
  value = v.get<std::uint64_t>();
  return true;
}

}  // namespace

void EmulatorState::Load() {
  const fs::path& d = *dir;
  std::error_code ec;
  fs::create_directories(d, ec);
  if (ec || !fs::is_directory(d, ec)) {
    ok = false;
    error = "emulator state folder " + PathToUtf8(d) + " cannot be created: " + ec.message();
    return;
  }

  std::string bytes;
  bool present = false;
  if (!ReadStateFile(d / kFlashFile, kFlashSize, true, bytes, present, error)) {
    ok = false;
    return;
  }
  if (present) std::copy(bytes.begin(), bytes.end(), flash.begin());

  if (!ReadStateFile(d / kFirmwareFile, kMaxFirmwareFileBytes, false, bytes, present, error)) {
    ok = false;
    return;
  }
  if (present) firmware.assign(bytes.begin(), bytes.end());

  const fs::path statePath = d / kStateFile;
  std::string text;
  if (!ReadStateFile(statePath, kMaxStateFileBytes, false, text, present, error)) {
    ok = false;
    return;
  }
  if (present) {
    std::string why;
    if (!ApplyStateJson(text, why)) {
      ok = false;
      error = PathToUtf8(statePath) + " is damaged: " + why;
      return;
    }
  } else {
    firmwareSize = firmware.size();
  }
  persist = true;
}

bool EmulatorState::ApplyStateJson(std::string_view text, std::string& why) {
  const json j = json::parse(text, nullptr, /*allow_exceptions=*/false);
  bool good = !j.is_discarded() && j.is_object();
  if (!good) why = "not a JSON object";
  bool fusedValue = fused;
  std::uint64_t ledValue = led, speakerValue = speaker, size = firmware.size();
  if (good && j.contains("fused")) {
    good = j.at("fused").is_boolean();
    if (good)
      fusedValue = j.at("fused").get<bool>();
    else
      why = "\"fused\" must be true or false";
  }
  good = good && GetUnsigned(j, "led", 255, ledValue, why) &&
         GetUnsigned(j, "speaker", 255, speakerValue, why);
  if (good && j.contains("firmware")) {
    const json& fw = j.at("firmware");
    good = fw.is_object() && GetUnsigned(fw, "size", 1u << 30, size, why);
    if (!fw.is_object()) why = "\"firmware\" must be an object";
  }
  std::string name = offlineName;
  std::vector<OfflineRecord> recs;
  if (good && j.contains("offline")) {
    const json& off = j.at("offline");
    if (!off.is_object()) {
      good = false;
      why = "\"offline\" must be an object";
    }
    std::vector<std::uint8_t> raw;
    if (good && off.contains("nameHex")) {
      good = off.at("nameHex").is_string() && FromHex(off.at("nameHex").get<std::string>(), raw);
      if (good)
        name.assign(raw.begin(), raw.end());
      else
        why = "\"offline.nameHex\" must be hex digit pairs";
    } else if (good && off.contains("name")) {
      good = off.at("name").is_string();
      if (good)
        name = off.at("name").get<std::string>();
      else
        why = "\"offline.name\" must be a string";
    }
    if (good && name.size() > kMaxOfflineName) {
      good = false;
      why = "the offline file name is longer than " + std::to_string(kMaxOfflineName) + " bytes";
    }
    if (good && off.contains("records")) {
      const json& list = off.at("records");
      good = list.is_array();
      if (!good) why = "\"offline.records\" must be an array";
      if (good && list.size() > kMaxOfflineRecords) {
        good = false;
        why = "more than " + std::to_string(kMaxOfflineRecords) + " offline records";
      }
      for (std::size_t i = 0; good && i < list.size(); ++i) {
        const json& r = list[i];
        const std::string where = "offline record " + std::to_string(i) + ": ";
        if (!r.is_object() || !r.contains("number") || !r.contains("kind") ||
            !r.contains("content")) {
          good = false;
          why = where + "needs \"number\", \"kind\" and \"content\"";
          break;
        }
        std::uint64_t number = 0, kindValue = 0;
        good = GetUnsigned(r, "number", 0xFFFF, number, why) &&
               GetUnsigned(r, "kind", 0xFF, kindValue, why);
        if (!good) {
          why = where + why;
          break;
        }
        OfflineRecord rec;
        rec.number = static_cast<std::uint16_t>(number);
        rec.kind = static_cast<std::uint8_t>(kindValue);
        if (!r.at("content").is_string() ||
            !FromHex(r.at("content").get<std::string>(), rec.content) || rec.content.size() > 255) {
          good = false;
          why = where + "\"content\" must be at most 255 bytes as hex digit pairs";
          break;
        }
        recs.push_back(std::move(rec));
      }
    }
  }
  std::uint64_t chipNumber = 0;
  std::optional<std::uint8_t> chipLed;
  if (good && j.contains("socket")) {
    const json& sock = j.at("socket");
    good = sock.is_object() && sock.contains("chip");
    if (!good) why = "\"socket\" must be an object with \"chip\"";
    std::uint64_t ledOfChip = 0;
    good = good && GetUnsigned(sock, "chip", std::uint64_t{1} << 53, chipNumber, why) &&
           GetUnsigned(sock, "led", 255, ledOfChip, why);
    if (good && sock.contains("led")) chipLed = static_cast<std::uint8_t>(ledOfChip);
  }
  if (!good) return false;
  socketChip = chipNumber;
  socketLed = chipLed;
  fused = fusedValue;
  led = static_cast<std::uint8_t>(ledValue);
  speaker = static_cast<std::uint8_t>(speakerValue);
  firmwareSize = size;
  offlineName = std::move(name);
  records = std::move(recs);
  return true;
}

bool EmulatorState::SaveFlash() {
  return WriteAtomically(*dir / kFlashFile, reinterpret_cast<const char*>(flash.data()),
                         flash.size(), error);
}

bool EmulatorState::SaveFirmware() {
  return WriteAtomically(*dir / kFirmwareFile, reinterpret_cast<const char*>(firmware.data()),
                         firmware.size(), error);
}

bool EmulatorState::SaveJson() {
  const std::string text = StateJsonText();
  return WriteAtomically(*dir / kStateFile, text.data(), text.size(), error);
}

bool EmulatorState::SaveChanges(bool flashChanged, bool firmwareChanged, bool stateChanged) {
  if (!persist) return true;
  const bool saved = (!flashChanged || SaveFlash()) && (!firmwareChanged || SaveFirmware()) &&
                     (!stateChanged || SaveJson());
  if (!saved) {
    // A device that cannot keep what it was told answers with a failure; the
    // reason goes where the person running the emulator can see it.
    std::fprintf(stderr, "velkan emulator: %s; the request is answered as failed (status %u)\n",
                 Printable(error).c_str(), unsigned{kStatusNotKept});
  }
  return saved;
}

std::string EmulatorState::StateJsonText() const {
  json j;
  j["fused"] = fused;
  j["led"] = led;
  j["speaker"] = speaker;
  json recs = json::array();
  for (const auto& r : records) {
    recs.push_back({{"number", r.number},
                    {"kind", r.kind},
                    {"content", BytesToHex(r.content.data(), r.content.size())}});
  }
  const auto* nameBytes = reinterpret_cast<const std::uint8_t*>(offlineName.data());
  j["offline"] = {{"name", offlineName},
                  {"nameHex", BytesToHex(nameBytes, offlineName.size())},
                  {"records", std::move(recs)}};
  j["firmware"] = {{"size", firmwareSize}};
  if (socketChip != 0) {
    j["socket"] = {{"chip", socketChip}};
    if (socketLed) j["socket"]["led"] = *socketLed;
  }
  // The name is in the programmer's code page: shown with replacement
  // characters where it is not UTF-8, kept exactly in "nameHex".
  return j.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string EmulatorState::Stamp() const {
  std::string stamp;
  for (const char* name : {kFlashFile, kFirmwareFile, kStateFile}) {
    std::error_code ec;
    const fs::path path = *dir / name;
    const auto size = fs::file_size(path, ec);
    const auto time = ec ? fs::file_time_type{} : fs::last_write_time(path, ec);
    stamp += ec ? std::string("-")
                : std::to_string(size) + "@" + std::to_string(time.time_since_epoch().count());
    stamp += ';';
  }
  return stamp;
}

void EmulatorState::ReloadIfChanged() {
  const std::string now = Stamp();
  if (now == stamp) return;
  EmulatorState fresh;
  fresh.dir = dir;
  try {
    fresh.Load();
  } catch (const std::exception&) {
    fresh.ok = false;
  }
  // A folder another process left damaged keeps what this one knows.
  if (!fresh.ok) return;
  flash = fresh.flash;
  fused = fresh.fused;
  led = fresh.led;
  speaker = fresh.speaker;
  offlineName = std::move(fresh.offlineName);
  records = std::move(fresh.records);
  firmware = std::move(fresh.firmware);
  firmwareSize = fresh.firmwareSize;
  socketChip = fresh.socketChip;
  socketLed = fresh.socketLed;
  stamp = now;
}

}  // namespace velkan::emu
