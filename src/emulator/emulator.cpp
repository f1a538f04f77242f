#include "emulator/emulator.h"

#include <algorithm>
#include <cstring>

#include "common/file_lock.h"
#include "emulator/emulator_state.h"
#include "image/crc16.h"

namespace velkan::emu {

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kOutputReportId = 3;
constexpr std::uint8_t kInputReportId = 4;
constexpr std::size_t kFrameBytesPerReport = hid::kReportSize - 1;
constexpr std::size_t kMaxRequestData = 595;  // 600-byte frame buffer
constexpr std::size_t kMaxReplyData = 594;
constexpr std::size_t kOverflowLength = 600;  // declared by kLengthOverflow
constexpr const char* kLockFile = "lock";

constexpr std::uint16_t kFirstBlock = 0x0040;
constexpr std::uint16_t kLastBlock = 0x013F;
constexpr std::size_t kBlockSize = 128;

std::uint8_t Xor(const Bytes& bytes, std::size_t from, std::size_t to) {
  std::uint8_t x = 0;
  for (std::size_t i = from; i < to; ++i) x ^= bytes[i];
  return x;
}

// Reply frame: frame type 0, command, status, N, data, check byte.
Bytes BuildReplyFrame(std::uint8_t command, std::uint8_t status, const Bytes& data,
                      std::size_t declared) {
  Bytes frame;
  frame.reserve(data.size() + 6);
  frame.push_back(0);
  frame.push_back(command);
  frame.push_back(status);
  frame.push_back(static_cast<std::uint8_t>(declared & 0xFF));
  frame.push_back(static_cast<std::uint8_t>((declared >> 8) & 0xFF));
  frame.insert(frame.end(), data.begin(), data.end());
  frame.push_back(Xor(frame, 1, frame.size()));
  return frame;
}

void Cut(const Bytes& frame, Clock::Duration readyAt, EmulatorState& s) {
  std::size_t offset = 0;
  while (offset < frame.size()) {
    PendingReport r;
    r.report[0] = kInputReportId;
    const std::size_t n = std::min(kFrameBytesPerReport, frame.size() - offset);
    std::copy_n(frame.begin() + static_cast<std::ptrdiff_t>(offset), n, r.report.begin() + 1);
    r.delivered = hid::kReportSize;
    r.readyAt = readyAt;
    s.Deliver(r);
    offset += n;
  }
}

Bytes Sw(std::uint16_t sw) {
  return {static_cast<std::uint8_t>(sw >> 8), static_cast<std::uint8_t>(sw & 0xFF)};
}

bool Matches(const Fault& f, std::uint64_t index, std::uint8_t command) {
  if (f.atExchange && *f.atExchange != index) return false;
  if (f.atCommand && *f.atCommand != command) return false;
  return true;
}

// What carrying out one request produced.
struct Outcome {
  std::uint8_t status = 0;
  Bytes data;
  Clock::Duration readyAt{0};
  bool flashChanged = false;
  bool firmwareChanged = false;
  bool stateChanged = false;
};

}  // namespace

Latency Latency::UsbFullSpeed() {
  Latency l;
  l.frame = 1ms;
  l.eraseBusy = 300ms;  // the host waits 550 ms after an erase
  l.crcBusy = 40ms;     // the host waits 600 ms after a CRC check
  l.writeBusy = 500us;  // covered by the next request report
  return l;
}

std::optional<Latency> Latency::Named(std::string_view name) {
  if (name == "none") return Latency{};
  if (name == "usb") return UsbFullSpeed();
  return std::nullopt;
}

std::uint16_t FlashCrc(const std::array<std::uint8_t, kFlashSize>& flash) {
  return Crc16Xmodem(flash.data(), flash.size());
}

// ---- Chip ----

namespace {

// Carries out one chip command; returns its status word and sets the busy
// time it costs.
std::uint16_t ChipCommand(EmulatorState& s, const Bytes& cmd, Clock::Duration& busy,
                          bool& flashChanged, bool& stateChanged) {
  busy = Clock::Duration{0};
  if (s.fused) return kSwFused;
  if (cmd.empty()) return kSwWrongLength;
  const std::uint8_t ins = cmd[0];
  if (ins != 0x20 && ins != 0x07 && ins != 0xDC && ins != 0x40 && ins != 0x08) return kSwUnknown;
  if (cmd.size() < 4) return kSwWrongLength;
  const std::uint8_t p1 = cmd[1];
  const std::uint8_t p2 = cmd[2];
  const std::size_t count = cmd[3];
  if (cmd.size() - 4 != count) return kSwWrongLength;
  const std::uint8_t* data = cmd.data() + 4;
  switch (ins) {
    case 0x20:  // key check
      if (count != 8) return kSwWrongLength;
      return std::all_of(data, data + 8, [](std::uint8_t b) { return b == 0xFF; }) ? kSwOk
                                                                                   : kSwBadKey;
    case 0x07:  // erase all
      s.flash.fill(0xFF);
      flashChanged = true;
      busy = s.latency.eraseBusy;
      return kSwOk;
    case 0xDC: {  // write one block
      const std::uint16_t block = static_cast<std::uint16_t>(p1 << 8 | p2);
      if (block < kFirstBlock || block > kLastBlock) return kSwBadBlock;
      if (count == 0 || count > kBlockSize) return kSwWrongLength;
      const std::size_t offset = block * kBlockSize - kFlashBase;
      std::memcpy(s.flash.data() + offset, data, count);
      flashChanged = true;
      busy = s.latency.writeBusy;
      return kSwOk;
    }
    case 0x40: {  // CRC check
      if (count != 2) return kSwWrongLength;
      busy = s.latency.crcBusy;
      const std::uint16_t expected = static_cast<std::uint16_t>(data[0] << 8 | data[1]);
      return FlashCrc(s.flash) == expected ? kSwOk : kSwCrcMismatch;
    }
    case 0x08:  // end, optionally blowing the fuse
      if (p1 == 1) {
        s.fused = true;
        stateChanged = true;
      }
      return kSwOk;
    default:
      return kSwUnknown;
  }
}

// ---- Programmer commands ----

// The feeder's moves that are due by `now`.
void AdvanceFeeder(EmulatorState& s, Clock::Duration now, Outcome& o) {
  if (s.takeOutAt && now >= *s.takeOutAt) {
    if (s.TakeOutSocketChip()) o.stateChanged = true;
    s.chipPresent = false;
    s.chipResponse.reset();
    s.refillAt = *s.takeOutAt + s.feeder->refill;
    s.takeOutAt.reset();
  }
  if (s.refillAt && now >= *s.refillAt) {
    s.InsertFeederChip();
    s.refillAt.reset();
    o.flashChanged = o.stateChanged = true;
  }
}

// Carries out a request whose last report went out at `now`.
Outcome Execute(EmulatorState& s, const Request& req, Clock::Duration now) {
  Outcome o;
  const Bytes& d = req.data;
  if (s.feeder) AdvanceFeeder(s, now, o);
  if (!s.chipPresent && (req.command == 0x76 || req.command == 0x77)) {
    o.status = kStatusNoChip;
    return o;
  }
  if (d.size() > kMaxRequestData) {
    o.status = kStatusBadData;
    return o;
  }
  switch (req.command) {
    case 0x62:  // contact card reset
      o.data = s.atr;
      break;
    case 0x63:  // contact card power down
      break;
    case 0x6F:  // APDU
      o.data = s.apduResponse;
      break;
    case 0x75:  // state: bit 0 set while the chip is powered and answering
      o.data = {static_cast<std::uint8_t>(s.chipPresent ? 0x01 : 0x00)};
      break;
    case 0x76: {  // I2C write: address, length low, length high, bytes
      if (d.size() < 3 || static_cast<std::size_t>(d[1] | d[2] << 8) != d.size() - 3) {
        o.status = kStatusBadData;
        break;
      }
      const auto start = std::max(now, s.chipReadyAt);
      Clock::Duration busy{0};
      const Bytes cmd(d.begin() + 3, d.end());
      s.chipResponse = ChipCommand(s, cmd, busy, o.flashChanged, o.stateChanged);
      s.chipReadyAt = start + busy;
      o.readyAt = start;
      break;
    }
    case 0x77: {  // I2C read: address, length low, length high
      if (d.size() != 3) {
        o.status = kStatusBadData;
        break;
      }
      const std::size_t want = static_cast<std::size_t>(d[1] | d[2] << 8);
      Bytes sw = Sw(s.chipResponse.value_or(kSwNothingPending));
      s.chipResponse.reset();
      if (sw.size() > want) sw.resize(want);
      o.data = std::move(sw);
      o.readyAt = s.chipReadyAt;
      break;
    }
    case 0x72:  // re-power the chip
      s.chipResponse.reset();
      s.chipReadyAt = now;
      s.bootMode = false;
      break;
    case 0x70:  // switch the chip into boot mode
      s.bootMode = true;
      break;
    case 0x78:  // LED
    case 0x79:  // speaker
      if (d.size() != 1) {
        o.status = kStatusBadData;
        break;
      }
      (req.command == 0x78 ? s.led : s.speaker) = d[0];
      if (req.command == 0x78 && s.chipPresent && s.socketChip != 0) s.socketLed = d[0];
      o.stateChanged = true;
      if (req.command == 0x78 && (d[0] == 1 || d[0] == 2) && s.feeder && s.chipPresent &&
          !s.takeOutAt) {
        s.takeOutAt = now + std::chrono::duration_cast<Clock::Duration>(s.feeder->takeOut);
      }
      break;
    case 0x89: {  // firmware version: L, text, value
      const std::string text = kFirmwareVersionText;
      const std::size_t total = text.size() + 4;
      o.data = {static_cast<std::uint8_t>(total & 0xFF), static_cast<std::uint8_t>(total >> 8)};
      o.data.insert(o.data.end(), text.begin(), text.end());
      o.data.push_back(static_cast<std::uint8_t>(kFirmwareVersionValue & 0xFF));
      o.data.push_back(static_cast<std::uint8_t>(kFirmwareVersionValue >> 8));
      break;
    }
    case 0x8A:  // firmware update start
      s.firmwareHeader.clear();
      s.firmwareStaging.clear();
      break;
    case 0x8B:  // firmware header block
      if (d.size() != 8) {
        o.status = kStatusBadData;
        break;
      }
      s.firmwareHeader = d;
      s.firmwareStaging.clear();
      break;
    case 0x8C:  // firmware data block
      if (s.firmwareStaging.size() + d.size() > kMaxFirmwareBytes) {
        o.status = kStatusBadData;
        break;
      }
      s.firmwareStaging.insert(s.firmwareStaging.end(), d.begin(), d.end());
      break;
    case 0x8D:  // firmware update complete: the staged image becomes the firmware
      s.firmware = std::move(s.firmwareStaging);
      s.firmwareStaging.clear();
      s.firmwareSize = s.firmware.size();
      o.firmwareChanged = true;
      o.stateChanged = true;
      break;
    case 0x7A:  // offline file name
      o.data.assign(s.offlineName.begin(), s.offlineName.end());
      break;
    case 0x7B:
      if (d.size() > kMaxOfflineName) {
        o.status = kStatusBadData;
        break;
      }
      s.offlineName.assign(d.begin(), d.end());
      o.stateChanged = true;
      break;
    case 0x7C:  // erase the offline records and the name
      s.records.clear();
      s.offlineName.clear();
      o.stateChanged = true;
      break;
    case 0x7D: {  // append one offline record: number LE16, kind, n, content
      if (d.size() < 4 || d[3] != d.size() - 4 || s.records.size() >= kMaxOfflineRecords) {
        o.status = kStatusBadData;
        break;
      }
      OfflineRecord r;
      r.number = static_cast<std::uint16_t>(d[0] | d[1] << 8);
      r.kind = d[2];
      r.content.assign(d.begin() + 4, d.end());
      s.records.push_back(std::move(r));
      o.stateChanged = true;
      break;
    }
    default:
      o.status = kStatusUnknown;
      break;
  }
  if (o.status != 0) o.data.clear();
  if (o.data.size() > kMaxReplyData) o.data.resize(kMaxReplyData);
  return o;
}

}  // namespace

// ---- Emulator ----

// Who holds the programmer: one reader of this process, and while it does,
// the folder's lock file against other processes.
struct Emulator::Hold {
  std::mutex mutex;
  std::condition_variable freed;
  std::optional<int> holder;
  std::unique_ptr<FileLock> folder;  // null without a usable state folder
};

Emulator::Emulator(std::optional<std::filesystem::path> stateDir)
    : state_(std::make_unique<State>()), hold_(std::make_unique<Hold>()) {
  if (stateDir) {
    state_->dir = std::move(stateDir);
    try {
      state_->Load();
    } catch (const std::exception& e) {
      state_->ok = false;
      state_->persist = false;
      state_->error = std::string("emulator state cannot be loaded: ") + e.what();
    }
    if (!state_->ok) {
      // Run on defaults and leave the folder alone.
      auto fresh = std::make_unique<State>();
      fresh->ok = false;
      fresh->error = std::move(state_->error);
      fresh->dir = std::move(state_->dir);
      state_ = std::move(fresh);
    } else {
      state_->stamp = state_->Stamp();
      auto lock = std::make_unique<FileLock>(*state_->dir / kLockFile);
      // A folder where no lock file can be made (read-only) is still
      // readable; only this process's readers are kept apart then.
      if (lock->ok()) hold_->folder = std::move(lock);
    }
  }
}

bool Emulator::Acquire(int reader, bool wait) {
  Hold& h = *hold_;
  {
    std::unique_lock lock(h.mutex);
    if (h.holder && *h.holder != reader) {
      if (!wait) return false;
      h.freed.wait(lock, [&] { return !h.holder; });
    }
    h.holder = reader;
  }
  if (h.folder && !h.folder->Lock(wait)) {
    std::lock_guard lock(h.mutex);
    h.holder.reset();
    h.freed.notify_all();
    return false;
  }
  std::lock_guard lock(mutex_);
  if (state_->persist) state_->ReloadIfChanged();
  return true;
}

void Emulator::Release(int reader) {
  Hold& h = *hold_;
  std::lock_guard lock(h.mutex);
  if (!h.holder || *h.holder != reader) return;
  if (h.folder) h.folder->Unlock();
  h.holder.reset();
  h.freed.notify_all();
}

Emulator::~Emulator() = default;

bool Emulator::ok() const {
  std::lock_guard lock(mutex_);
  return state_->ok;
}

std::string Emulator::error() const {
  std::lock_guard lock(mutex_);
  return state_->error;
}

bool Emulator::Present() const {
  std::lock_guard lock(mutex_);
  return !state_->unplugged;
}

namespace {

// What the programmer does with an output report that goes out at `at`.
bool TakeReport(EmulatorState& s, const hid::Report& report, Clock::Duration at, int& errorCode) {
  if (s.unplugged) {
    errorCode = s.unplugCode;
    return false;
  }
  if (report[0] != kOutputReportId) {
    errorCode = kBadReportError;
    return false;
  }

  const bool firstReport = s.rx.empty();
  if (firstReport) {
    // A new request: pick its fault, drop what is left of the last reply.
    const std::uint8_t command = report[2];
    s.current.reset();
    for (auto it = s.faults.begin(); it != s.faults.end(); ++it) {
      if (!Matches(*it, s.exchanges, command)) continue;
      s.current = *it;
      if (it->once || it->kind == FaultKind::kUnplug) s.faults.erase(it);
      break;
    }
    if (s.current && s.current->kind == FaultKind::kUnplug) {
      s.unplugged = true;
      s.unplugCode = s.current->errorCode;
      s.current.reset();
      for (auto& [id, queue] : s.readers) queue.clear();
      errorCode = s.unplugCode;
      return false;
    }
    if (s.current && s.current->kind == FaultKind::kWriteFail) {
      errorCode = s.current->errorCode;
      s.current.reset();
      return false;
    }
    const std::size_t n = report[3] | report[4] << 8;
    s.rxExpected = n + 5;
  }
  const std::size_t take = std::min(kFrameBytesPerReport, s.rxExpected - s.rx.size());
  s.rx.insert(s.rx.end(), report.begin() + 1, report.begin() + 1 + take);
  if (s.rx.size() < s.rxExpected) return true;

  // A whole request frame.
  Bytes frame = std::move(s.rx);
  s.rx.clear();
  std::optional<Fault> fault = std::move(s.current);
  s.current.reset();
  ++s.exchanges;

  Request req;
  req.frameType = frame[0];
  req.command = frame[1];
  req.data.assign(frame.begin() + 4, frame.end() - 1);
  req.checkOk = Xor(frame, 1, frame.size() - 1) == frame.back();
  s.requests.push_back(req);
  if (s.requests.size() > kRequestRecordLimit) s.requests.pop_front();

  Outcome o;
  if (!req.checkOk) {
    o.status = kStatusBadCheck;
  } else if (fault && fault->kind == FaultKind::kStatus) {
    o.status = fault->status;
    o.data.assign(std::min(fault->statusData, kMaxReplyData), 0xEE);
  } else {
    o = Execute(s, req, at);
    if (!s.SaveChanges(o.flashChanged, o.firmwareChanged, o.stateChanged)) {
      o.status = kStatusNotKept;
      o.data.clear();
    }
    if (s.persist) {
      s.stamp = s.Stamp();
    }
  }

  // Nothing is answered before the request's last report has gone out.
  o.readyAt = std::max(o.readyAt, at);

  const FaultKind kind = fault ? fault->kind : FaultKind::kStatus;
  if (fault && kind == FaultKind::kNoAnswer) return true;
  if (fault && kind == FaultKind::kReadFail) {
    PendingReport r;
    r.failCode = fault->errorCode;
    r.readyAt = o.readyAt;
    s.Deliver(r);
    return true;
  }
  if (fault && kind == FaultKind::kLengthOverflow) {
    Cut(BuildReplyFrame(req.command, 0, Bytes(kOverflowLength, 0), kOverflowLength), o.readyAt, s);
    return true;
  }
  if (fault && kind == FaultKind::kEmptyReport) {
    PendingReport r;
    r.report[0] = kInputReportId;
    r.delivered = 1;
    r.readyAt = o.readyAt;
    s.Deliver(r);
  }
  Bytes reply = BuildReplyFrame(req.command, o.status, o.data, o.data.size());
  if (fault && kind == FaultKind::kBadCheck) reply.back() ^= 0xFF;
  Cut(reply, o.readyAt, s);
  return true;
}

}  // namespace

// The report takes its frame and is acted on at once, in the order the
// frames were taken; the writer then waits for the frame's boundary.
bool Emulator::WriteReport(const hid::Report& report, int& errorCode) {
  Clock& clock = GetClock();
  Clock::Duration sent;
  bool ok = false;
  {
    std::lock_guard lock(mutex_);
    State& s = *state_;
    sent = s.out.Take(clock.Now(), s.latency.frame);
    ok = TakeReport(s, report, sent, errorCode);
  }
  clock.SleepUntil(sent);
  return ok;
}

int Emulator::AttachReader() {
  std::lock_guard lock(mutex_);
  const int id = state_->nextReader++;
  state_->readers[id];
  return id;
}

void Emulator::DetachReader(int reader) {
  if (reader == kDefaultReader) return;
  Release(reader);
  std::lock_guard lock(mutex_);
  state_->readers.erase(reader);
}

bool Emulator::PollReport(int reader, hid::Report& report, std::size_t& delivered, int& failCode) {
  const auto now = GetClock().Now();
  std::lock_guard lock(mutex_);
  auto it = state_->readers.find(reader);
  if (it == state_->readers.end() || it->second.empty()) return false;
  const PendingReport& r = it->second.front();
  if (r.readyAt > now) return false;  // still in flight
  report = r.report;
  delivered = r.delivered;
  failCode = r.failCode;
  it->second.pop_front();
  return true;
}

void Emulator::DiscardPending(int reader) {
  std::lock_guard lock(mutex_);
  auto it = state_->readers.find(reader);
  if (it != state_->readers.end()) it->second.clear();
}

bool Emulator::ReadReport(int reader, hid::Report& report, std::size_t& delivered, int& errorCode,
                          std::chrono::milliseconds timeout) {
  Clock& clock = GetClock();
  std::unique_lock lock(mutex_);
  State& s = *state_;
  if (s.unplugged) {
    errorCode = s.unplugCode;
    return false;
  }
  auto it = s.readers.find(reader);
  if (it == s.readers.end() || it->second.empty()) {
    lock.unlock();
    clock.Sleep(timeout);
    errorCode = hid::kTimeoutError;
    return false;
  }
  // A report still in flight beyond the time limit stays queued.
  if (const auto now = clock.Now(); it->second.front().readyAt > now + timeout) {
    lock.unlock();
    clock.SleepUntil(now + timeout);
    errorCode = hid::kTimeoutError;
    return false;
  }
  PendingReport r = it->second.front();
  it->second.pop_front();
  lock.unlock();

  clock.SleepUntil(r.readyAt);
  if (r.failCode != 0) {
    errorCode = r.failCode;
    return false;
  }
  report = r.report;
  delivered = r.delivered;
  return true;
}

void Emulator::InjectFault(const Fault& fault) {
  std::lock_guard lock(mutex_);
  state_->faults.push_back(fault);
}

void Emulator::ClearFaults() {
  std::lock_guard lock(mutex_);
  state_->faults.clear();
}

void Emulator::Replug() {
  std::lock_guard lock(mutex_);
  State& s = *state_;
  s.unplugged = false;
  s.rx.clear();
  for (auto& [id, queue] : s.readers) queue.clear();
}

void Emulator::SetLatency(const Latency& latency) {
  std::lock_guard lock(mutex_);
  state_->latency = latency;
}

std::uint64_t Emulator::ExchangeCount() const {
  std::lock_guard lock(mutex_);
  return state_->exchanges;
}

std::vector<Request> Emulator::Requests() const {
  std::lock_guard lock(mutex_);
  return {state_->requests.begin(), state_->requests.end()};
}

void Emulator::ClearRequests() {
  std::lock_guard lock(mutex_);
  state_->requests.clear();
}

void Emulator::SetAnswerToReset(std::vector<std::uint8_t> atr) {
  std::lock_guard lock(mutex_);
  if (atr.size() > kMaxReplyData) atr.resize(kMaxReplyData);
  state_->atr = std::move(atr);
}

void Emulator::SetApduResponse(std::vector<std::uint8_t> response) {
  std::lock_guard lock(mutex_);
  if (response.size() > kMaxReplyData) response.resize(kMaxReplyData);
  state_->apduResponse = std::move(response);
}

std::array<std::uint8_t, kFlashSize> Emulator::Flash() const {
  std::lock_guard lock(mutex_);
  return state_->flash;
}

void Emulator::SetFlash(const std::array<std::uint8_t, kFlashSize>& flash) {
  std::lock_guard lock(mutex_);
  state_->flash = flash;
  if (state_->persist) {
    state_->SaveFlash();
    state_->stamp = state_->Stamp();
  }
}

bool Emulator::Fused() const {
  std::lock_guard lock(mutex_);
  return state_->fused;
}

void Emulator::InsertBlankChip() {
  std::lock_guard lock(mutex_);
  if (state_->chipPresent) state_->TakeOutSocketChip();
  state_->InsertBlankChip();
  if (state_->persist && state_->SaveChanges(true, false, true)) state_->stamp = state_->Stamp();
}

void Emulator::RemoveChip() {
  std::lock_guard lock(mutex_);
  State& s = *state_;
  if (s.chipPresent && s.TakeOutSocketChip() && s.persist && s.SaveChanges(false, false, true)) {
    s.stamp = s.Stamp();
  }
  s.chipPresent = false;
  s.chipResponse.reset();
}

bool Emulator::ChipPresent() const {
  std::lock_guard lock(mutex_);
  return state_->chipPresent;
}

void Emulator::SetFeeder(std::optional<Feeder> feeder) {
  std::lock_guard lock(mutex_);
  State& s = *state_;
  s.feeder = feeder;
  s.takeOutAt.reset();
  s.refillAt.reset();
  if (!feeder) return;
  // The chip a feeder before this one left in the socket goes to the tray
  // first.
  s.ResumeNumbering();
  s.TakeOutSocketChip();
  s.InsertFeederChip();
  if (s.persist && s.SaveChanges(true, false, true)) s.stamp = s.Stamp();
}

void Emulator::SetFused(bool fused) {
  std::lock_guard lock(mutex_);
  state_->fused = fused;
  if (state_->persist) {
    state_->SaveJson();
    state_->stamp = state_->Stamp();
  }
}

std::uint8_t Emulator::Led() const {
  std::lock_guard lock(mutex_);
  return state_->led;
}

std::uint8_t Emulator::Speaker() const {
  std::lock_guard lock(mutex_);
  return state_->speaker;
}

std::string Emulator::OfflineName() const {
  std::lock_guard lock(mutex_);
  return state_->offlineName;
}

std::vector<OfflineRecord> Emulator::OfflineRecords() const {
  std::lock_guard lock(mutex_);
  return state_->records;
}

std::size_t Emulator::FirmwareSize() const {
  std::lock_guard lock(mutex_);
  return state_->firmwareSize;
}

std::vector<std::uint8_t> Emulator::Firmware() const {
  std::lock_guard lock(mutex_);
  return state_->firmware;
}

std::string Emulator::FirmwareVersion() const {
  return kFirmwareVersionText;
}

bool Emulator::BootMode() const {
  std::lock_guard lock(mutex_);
  return state_->bootMode;
}

}  // namespace velkan::emu
