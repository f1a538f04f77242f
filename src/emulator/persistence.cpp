// The emulator's state folder: flash.bin, firmware.bin and state.json.
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <system_error>

#include "common/hex_text.h"
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

bool ReadFile(const fs::path& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

// Writes `bytes` to a temporary file next to `path` and renames it over
// `path`, so that a reader never sees half a file.
bool WriteAtomically(const fs::path& path, const char* bytes, std::size_t size,
                     std::string& error) {
  fs::path tmp = path;
  tmp += ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out.write(bytes, static_cast<std::streamsize>(size));
    out.close();
    if (!out) {
      error = "cannot write " + tmp.string();
      return false;
    }
  }
  std::error_code ec;
  fs::rename(tmp, path, ec);
  if (ec) {
    // Some platforms refuse to rename over an existing file.
    fs::remove(path, ec);
    fs::rename(tmp, path, ec);
  }
  if (ec) {
    error = "cannot replace " + path.string() + ": " + ec.message();
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
    error = "emulator state folder " + d.string() + " cannot be created: " + ec.message();
    return;
  }

  const fs::path flashPath = d / kFlashFile;
  if (fs::exists(flashPath, ec)) {
    std::string bytes;
    if (!ReadFile(flashPath, bytes)) {
      ok = false;
      error = "cannot read " + flashPath.string();
      return;
    }
    if (bytes.size() != kFlashSize) {
      ok = false;
      error = flashPath.string() + " holds " + std::to_string(bytes.size()) + " bytes instead of " +
              std::to_string(kFlashSize);
      return;
    }
    std::copy(bytes.begin(), bytes.end(), flash.begin());
  }

  const fs::path firmwarePath = d / kFirmwareFile;
  if (fs::exists(firmwarePath, ec)) {
    std::string bytes;
    if (!ReadFile(firmwarePath, bytes)) {
      ok = false;
      error = "cannot read " + firmwarePath.string();
      return;
    }
    firmware.assign(bytes.begin(), bytes.end());
  }

  const fs::path statePath = d / kStateFile;
  if (fs::exists(statePath, ec)) {
    std::string text;
    if (!ReadFile(statePath, text)) {
      ok = false;
      error = "cannot read " + statePath.string();
      return;
    }
    std::string why;
    const json j = json::parse(text, nullptr, /*allow_exceptions=*/false);
    bool good = !j.is_discarded() && j.is_object();
    if (!good) why = "not a JSON object";
    std::uint64_t ledValue = led, speakerValue = speaker, size = firmware.size();
    if (good && j.contains("fused")) {
      good = j.at("fused").is_boolean();
      if (good)
        fused = j.at("fused").get<bool>();
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
      if (good && off.contains("records")) {
        const json& list = off.at("records");
        good = list.is_array();
        if (!good) why = "\"offline.records\" must be an array";
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
              !FromHex(r.at("content").get<std::string>(), rec.content) ||
              rec.content.size() > 255) {
            good = false;
            why = where + "\"content\" must be at most 255 bytes as hex digit pairs";
            break;
          }
          recs.push_back(std::move(rec));
        }
      }
    }
    if (!good) {
      ok = false;
      error = statePath.string() + " is damaged: " + why;
      return;
    }
    led = static_cast<std::uint8_t>(ledValue);
    speaker = static_cast<std::uint8_t>(speakerValue);
    firmwareSize = size;
    offlineName = std::move(name);
    records = std::move(recs);
  } else {
    firmwareSize = firmware.size();
  }
  persist = true;
}

void EmulatorState::SaveFlash() {
  std::string why;
  if (!WriteAtomically(*dir / kFlashFile, reinterpret_cast<const char*>(flash.data()), flash.size(),
                       why)) {
    ok = false;
    error = why;
  }
}

void EmulatorState::SaveFirmware() {
  std::string why;
  if (!WriteAtomically(*dir / kFirmwareFile, reinterpret_cast<const char*>(firmware.data()),
                       firmware.size(), why)) {
    ok = false;
    error = why;
  }
}

void EmulatorState::SaveJson() {
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
  // The name is in the programmer's code page: shown with replacement
  // characters where it is not UTF-8, kept exactly in "nameHex".
  const std::string text = j.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
  std::string why;
  if (!WriteAtomically(*dir / kStateFile, text.data(), text.size(), why)) {
    ok = false;
    error = why;
  }
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
  stamp = now;
}

}  // namespace velkan::emu
