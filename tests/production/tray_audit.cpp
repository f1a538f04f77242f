#include "tray_audit.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <fstream>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <system_error>

#include "emulator/emulator.h"

namespace velkan::test {

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

constexpr const char* kTrayName = "tray.jsonl";

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

bool IsInt(const json& v) {
  return v.is_number_integer() && v.get<std::int64_t>() >= 0 &&
         v.get<std::int64_t>() <= std::numeric_limits<int>::max();
}

// One line as a chip; empty `why` when it is a tray line.
TrayChip ParseLine(const std::string& line, const std::string& tray, std::string& why) {
  TrayChip chip;
  chip.tray = tray;
  const json j = json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (j.is_discarded() || !j.is_object()) {
    why = "not a JSON object";
  } else if (!j.contains("chip") || !IsInt(j["chip"])) {
    why = "\"chip\" must be a number";
  } else if (!j.contains("flashSha256") || !j["flashSha256"].is_string()) {
    why = "\"flashSha256\" must be a string";
  } else if (j.contains("serialHex") && !j["serialHex"].is_string()) {
    why = "\"serialHex\" must be a string";
  } else if (!j.contains("fused") || !j["fused"].is_boolean()) {
    why = "\"fused\" must be true or false";
  } else if (!j.contains("led") || !IsInt(j["led"])) {
    why = "\"led\" must be a number";
  } else {
    chip.chip = j["chip"].get<int>();
    chip.flashSha256 = j["flashSha256"].get<std::string>();
    if (j.contains("serialHex")) chip.serialHex = j["serialHex"].get<std::string>();
    if (j.contains("dataHex") && j["dataHex"].is_string())
      chip.dataHex = j["dataHex"].get<std::string>();
    chip.fused = j["fused"].get<bool>();
    chip.led = j["led"].get<int>();
  }
  return chip;
}

std::string Name(const TrayChip& c) {
  return c.tray + " chip " + std::to_string(c.chip);
}

}  // namespace

bool ReadTrays(const fs::path& emulatorDir, std::vector<TrayChip>& chips, std::string& error) {
  chips.clear();
  std::error_code ec;
  std::vector<fs::path> trays;
  fs::recursive_directory_iterator it(emulatorDir, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    if (it->path().filename() == kTrayName) trays.push_back(it->path());
  }
  if (ec) {
    error = emulatorDir.string() + ": cannot be read: " + ec.message();
    return false;
  }
  std::sort(trays.begin(), trays.end());
  for (const fs::path& path : trays) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    if (!in || !(text << in.rdbuf())) {
      error = path.string() + ": cannot be read";
      return false;
    }
    std::string line;
    for (int number = 1; std::getline(text, line); ++number) {
      std::string why;
      TrayChip chip = ParseLine(line, path.string(), why);
      if (!why.empty()) {
        error = path.string() + ":" + std::to_string(number) + ": not a tray line: " + why;
        return false;
      }
      chips.push_back(std::move(chip));
    }
  }
  return true;
}

bool TakeOutLeftChips(const fs::path& emulatorDir,
                      const std::optional<std::pair<std::uint32_t, std::size_t>>& traySerial,
                      std::string& error) {
  std::error_code ec;
  std::vector<fs::path> folders;
  if (fs::exists(emulatorDir / "state.json", ec)) folders.push_back(emulatorDir);
  fs::recursive_directory_iterator it(emulatorDir, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    if (it->path().filename() == "state.json") folders.push_back(it->path().parent_path());
  }
  if (ec) {
    error = emulatorDir.string() + ": cannot be read: " + ec.message();
    return false;
  }
  std::sort(folders.begin(), folders.end());
  folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
  for (const fs::path& folder : folders) {
    emu::Emulator emulator(folder);
    if (!emulator.ok()) {
      error = folder.string() + ": " + emulator.error();
      return false;
    }
    emu::Feeder feeder;
    feeder.traySerial = traySerial;
    emulator.SetFeeder(feeder);  // the left chip's line, then a blank chip
    emulator.RemoveChip();       // whose line follows
    emulator.SetFeeder(std::nullopt);
  }
  return true;
}

std::vector<std::string> Audit(const std::vector<TrayChip>& chips, const AuditRecord& record) {
  std::vector<std::string> out;
  std::map<std::string, int> passRows;
  for (const std::string& s : record.passSerialHex) ++passRows[Upper(s)];
  std::set<std::string> unknown;
  for (const std::string& s : record.unknownSerialHex) unknown.insert(Upper(s));
  std::map<std::string, std::vector<const TrayChip*>> carriers;  // number -> chips
  for (const TrayChip& c : chips) {
    if (c.serialHex) carriers[Upper(*c.serialHex)].push_back(&c);
  }

  for (const TrayChip& c : chips) {
    if (c.led != kPassLed) continue;
    if (!c.serialHex) {
      out.push_back(Name(c) + " left with the pass LED without a number on it");
      continue;
    }
    const std::string number = Upper(*c.serialHex);
    const auto& on = carriers[number];
    const auto passChips = static_cast<int>(
        std::count_if(on.begin(), on.end(), [](const TrayChip* t) { return t->led == kPassLed; }));
    const int rows = passRows.count(number) ? passRows[number] : 0;
    // Reported once a number, at its first pass-LED chip.
    const bool first = *std::find_if(on.begin(), on.end(),
                                     [](const TrayChip* t) { return t->led == kPassLed; }) == &c;
    if (first && rows != passChips) {
      out.push_back(Name(c) + " left with the pass LED with number " + number + " on " +
                    std::to_string(rows) + " pass rows (" + std::to_string(passChips) +
                    " expected)");
    }
    for (const TrayChip* other : on) {
      if (other == &c) continue;
      if (other->led == kPassLed) {
        // Each pair of pass-LED chips once, from its first chip.
        if (other > &c) {
          out.push_back("number " + number + " is on two chips that left with the pass LED: " +
                        Name(c) + " and " + Name(*other));
        }
      } else if (!unknown.count(number)) {
        out.push_back("number " + number + " of " + Name(c) + " (pass LED) is also on " +
                      Name(*other) + " (LED " + std::to_string(other->led) +
                      "), and the record does not list it as unknown");
      }
    }
  }
  for (const auto& [number, rows] : passRows) {
    const auto& on = carriers[number];
    const bool passChip =
        std::any_of(on.begin(), on.end(), [](const TrayChip* c) { return c->led == kPassLed; });
    if (passChip) continue;
    std::string where;
    for (const TrayChip* c : on) {
      where +=
          (where.empty() ? " (it is on " : ", ") + Name(*c) + " with LED " + std::to_string(c->led);
    }
    if (!where.empty()) where += ")";
    out.push_back("number " + number + " has " + std::to_string(rows) +
                  " pass row(s) but no chip left with the pass LED carrying it" + where);
  }
  return out;
}

}  // namespace velkan::test
