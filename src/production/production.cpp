#include "production/production.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <system_error>
#include <thread>

#include "common/clock.h"
#include "common/codepage.h"
#include "common/sha256.h"
#include "image/crc16.h"
#include "image/hex_loader.h"
#include "image/script_generator.h"
#include "production/chip_data.h"
#include "script/runs.h"
#include "script/session.h"
#include "script/station.h"
#include "velkan/velkan.h"

namespace velkan::production {

namespace {

constexpr unsigned kRepowerWaitMs = 100;
// Failed socket queries in a row before a station gives up.
constexpr int kMaxQueryFailures = 5;

// The host's objects (observer, record store) as the stations reach them:
// every call passes the gate, and once the gate is closed none does. Closing
// waits for the calls under way, which the host and the store bound (the
// store's cancel grace; the host ends its waits when it stops the run).
class HostGate {
 public:
  // Runs `call` unless the gate is closing or closed; false when it is.
  template <typename F>
  bool Pass(F&& call) {
    if (closing_.load(std::memory_order_acquire)) return false;
    std::shared_lock lock(mutex_);
    if (closed_) return false;
    call();
    return true;
  }
  // No call passes from now on; returns once the calls under way are over.
  void Close() {
    closing_.store(true, std::memory_order_release);
    std::unique_lock lock(mutex_);
    closed_ = true;
  }

 private:
  std::atomic<bool> closing_{false};
  std::shared_mutex mutex_;
  bool closed_ = false;
};

constexpr const char* kGivenUp = "the station was given up (it did not stop in time)";

// The host's observer through the gate. It keeps what each station told
// last, for the summary of a station that is given up.
class ObserverLink final : public Observer {
 public:
  ObserverLink(Observer& host, HostGate& gate) : host_(host), gate_(gate) {}

  void Resize(std::size_t stations) {
    std::lock_guard lock(mutex_);
    last_.assign(stations, StationSummary{});
  }
  StationSummary Last(std::size_t i) {
    std::lock_guard lock(mutex_);
    return last_[i];
  }
  // Said by the engine itself once the gate is closed.
  void GivenUp(std::size_t i, const StationSummary& summary) {
    host_.OnStationStopped(i, summary.stop, summary.detail, summary.counters);
  }

  void OnStationReady(std::size_t i, const std::string& serial, const std::string& port) override {
    {
      std::lock_guard lock(mutex_);
      last_[i].serial = serial;
      last_[i].port = port;
    }
    gate_.Pass([&] { host_.OnStationReady(i, serial, port); });
  }
  void OnWaiting(std::size_t i, bool forRemoval) override {
    gate_.Pass([&] { host_.OnWaiting(i, forRemoval); });
  }
  void OnChipStarted(std::size_t i, const std::optional<std::string>& serial) override {
    gate_.Pass([&] { host_.OnChipStarted(i, serial); });
  }
  void OnRunEvent(std::size_t i, const Event& event) override {
    gate_.Pass([&] { host_.OnRunEvent(i, event); });
  }
  void OnChipDone(std::size_t i, const ChipRecord& row, const Counters& counters) override {
    {
      std::lock_guard lock(mutex_);
      last_[i].counters = counters;
    }
    gate_.Pass([&] { host_.OnChipDone(i, row, counters); });
  }
  void OnChipUnrecorded(std::size_t i, const ChipRecord& row,
                        const std::optional<std::string>& chipHex,
                        const std::string& error) override {
    gate_.Pass([&] { host_.OnChipUnrecorded(i, row, chipHex, error); });
  }
  void OnNotice(std::size_t i, const std::string& text) override {
    gate_.Pass([&] { host_.OnNotice(i, text); });
  }
  void OnStationStopped(std::size_t i, StationStop why, const std::string& detail,
                        const Counters& counters) override {
    gate_.Pass([&] { host_.OnStationStopped(i, why, detail, counters); });
  }
  NextChipAnswer WaitForNextChip(std::size_t i, std::chrono::milliseconds timeout) override {
    NextChipAnswer next = NextChipAnswer::kEnd;
    gate_.Pass([&] { next = host_.WaitForNextChip(i, timeout); });
    return next;
  }

 private:
  Observer& host_;
  HostGate& gate_;
  std::mutex mutex_;
  std::vector<StationSummary> last_;
};

// The record store through the gate; none for gang runs.
class StoreLink {
 public:
  StoreLink(RecordStore* store, HostGate& gate) : store_(store), gate_(gate) {}
  bool Present() const { return store_ != nullptr; }
  void SetCancel(const std::atomic<bool>* cancel) {
    if (store_ != nullptr) store_->SetCancel(cancel);
  }
  bool ReserveFor(const std::string& series, std::int64_t first, std::int64_t step,
                  const std::string& station, const std::string& attempt, const JobLimit& job,
                  const ChipHexOf& chipHexOf, std::int64_t& number, ReserveRefusal& refusal,
                  std::string& error) {
    bool reserved = false;
    if (!gate_.Pass([&] {
          reserved = store_->ReserveFor(series, first, step, station, attempt, job, chipHexOf,
                                        number, refusal, error);
        })) {
      error = kGivenUp;
    }
    return reserved;
  }
  bool Record(const ChipRecord& row, const std::optional<Reservation>& reservation,
              SerialSettle settle, std::string& error) {
    bool recorded = false;
    if (!gate_.Pass([&] { recorded = store_->Record(row, reservation, settle, error); })) {
      error = kGivenUp;
    }
    return recorded;
  }

 private:
  RecordStore* store_;
  HostGate& gate_;
};

// Passes a station's run events on and keeps the first line failure. Once
// the station's programmer is known (the engine opened it, or with kNow the
// run did), `ready` is called, once.
class ChipSink final : public EventSink {
 public:
  ChipSink(Observer& observer, std::size_t index, const Station& station,
           std::function<void()> ready)
      : observer_(observer), index_(index), station_(station), ready_(std::move(ready)) {}
  void OnEvent(const Event& event) override {
    if (event.kind == EventKind::kLineFailed && !failure_) failure_ = event;
    if (!known_ && (!station_.Serial().empty() || !station_.Port().empty())) {
      known_ = true;
      ready_();
    }
    observer_.OnRunEvent(index_, event);
  }
  void Reset() { failure_.reset(); }
  const std::optional<Event>& Failure() const { return failure_; }

 private:
  Observer& observer_;
  std::size_t index_;
  const Station& station_;
  std::function<void()> ready_;
  bool known_ = false;
  std::optional<Event> failure_;
};

std::string Hex4(std::uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", value);
  return text;
}

}  // namespace

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

ChipResult ResultOf(LineFailure failure) {
  switch (failure) {
    case LineFailure::kComm:
      return ChipResult::kCommunication;
    case LineFailure::kStatusWord:
      return ChipResult::kStatusWord;
    case LineFailure::kMismatch:
      return ChipResult::kMismatch;
    case LineFailure::kReset:
      return ChipResult::kReset;
    case LineFailure::kUnsupported:
      return ChipResult::kUnsupported;
    case LineFailure::kRecord:
      return ChipResult::kRecordLine;
  }
  return ChipResult::kFailed;
}

void Counters::Count(ChipResult result) {
  if (!ReachedChip(result)) {
    ++notReached;
  } else if (IsPass(result)) {
    ++passed;
  } else {
    ++failed;
  }
}

std::string_view StopName(StationStop stop) {
  switch (stop) {
    case StationStop::kCount:
      return "count reached";
    case StationStop::kStopped:
      return "stopped";
    case StationStop::kFailures:
      return "too many failures in a row";
    case StationStop::kNoProgrammer:
      return "no programmer";
    case StationStop::kBusy:
      return "programmer busy";
    case StationStop::kLog:
      return "log failed";
    case StationStop::kSerial:
      return "no serial number left";
    case StationStop::kNoAnswer:
      return "programmer does not answer";
    case StationStop::kLimit:
      return "job limit reached";
    case StationStop::kNotStopped:
      return "did not stop in time";
  }
  return "?";
}

bool LoadProduct(Dialogs& dialogs, const std::string& hexPath, bool fuse, Product& out,
                 std::string& error) {
  // One read: the image and the SHA-256 come from the same bytes (a FIFO or
  // /dev/stdin is read once).
  HexFile file;
  if (ReadHexFile(dialogs, hexPath, file) != HexLoadResult::kOk) {
    error.clear();  // the loader's message box said why
    return false;
  }
  return ProductOf(file, hexPath, fuse, out, error);
}

bool LoadProductText(Dialogs& dialogs, const std::string& hexName, std::string text, bool fuse,
                     Product& out, std::string& error) {
  HexFile file;
  if (ReadHexText(dialogs, std::move(text), file) != HexLoadResult::kOk) {
    error = hexName + ": the job's HEX file cannot be used";
    return false;
  }
  return ProductOf(file, hexName, fuse, out, error);
}

bool ProductOf(const HexFile& file, const std::string& hexPath, bool fuse, Product& out,
               std::string& error) {
  if (file.endAddress == 0) {
    error = hexPath + ": no data in the HEX file";
    return false;
  }
  const std::unique_ptr<ChipImage> image = BuildChipImage(file.lines);
  if (!image) {
    error = hexPath + ": the chip image cannot be built";
    return false;
  }
  out.hexPath = hexPath;
  out.hexName = BaseName(hexPath);
  out.hexSha256 = Sha256Hex(file.lines.text);
  out.image = *image;
  out.endAddress = file.endAddress;
  out.fuse = fuse;
  return true;
}

bool ChipScript(const Product& product, const SerialPlan* plan, const SerialValue* serial,
                ScriptTable& script, std::string& crcHex) {
  if (product.script) {
    if (plan && serial) return false;  // a script given whole has no place for a number
    script = *product.script;
    crcHex.clear();
    return true;
  }
  auto image = std::make_unique<ChipImage>(product.image);
  std::uint32_t end = product.endAddress;
  if (plan && serial) {
    const std::size_t offset = plan->address - kAppStart;
    if (offset + serial->bytes.size() > image->size()) return false;
    std::copy(serial->bytes.begin(), serial->bytes.end(), image->begin() + offset);
    end = std::max<std::uint32_t>(end,
                                  plan->address + static_cast<std::uint32_t>(serial->bytes.size()));
  }
  ScriptTable fresh;
  if (!GenerateScript(*image, end, product.fuse, fresh)) return false;
  script.swap(fresh);
  crcHex = Hex4(Crc16Xmodem(image->data(), image->size()));
  return true;
}

namespace {
std::atomic<int> gStationThreads{0};
}  // namespace

int StationThreadsRunning() {
  return gStationThreads.load(std::memory_order_acquire);
}

struct Engine::Shared {
  Shared(const Product& product, const Settings& settings, RecordStore* store, Observer& observer)
      : product_(product), settings_(settings), store_(store, gate_), observer_(observer, gate_) {}

  StationSummary RunStation(std::size_t index, const std::optional<DeviceSelector>& device);
  bool StopRequested() const { return stop_.load(std::memory_order_acquire); }

  // Copies: a station that is given up may outlive the host's.
  const Product product_;
  const Settings settings_;
  HostGate gate_;
  StoreLink store_;
  ObserverLink observer_;
  std::atomic<bool> stop_{false};
  // Set once the stations have had their time after a stop: the runs in
  // progress end before their next line.
  std::atomic<bool> cancel_{false};

  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<std::chrono::steady_clock::time_point> stopAt_;
  std::vector<std::optional<StationSummary>> ended_;
};

Engine::Engine(const Product& product, const Settings& settings, RecordStore& store,
               Observer& observer)
    : shared_(std::make_shared<Shared>(product, settings, &store, observer)) {}

Engine::Engine(const Product& product, const Settings& settings, Observer& observer)
    : shared_(std::make_shared<Shared>(product, settings, nullptr, observer)) {}

Engine::~Engine() = default;

void Engine::RequestStop() {
  shared_->stop_.store(true, std::memory_order_release);
  {
    std::lock_guard lock(shared_->mutex_);
    if (!shared_->stopAt_) shared_->stopAt_ = std::chrono::steady_clock::now();
  }
  shared_->changed_.notify_all();
}

bool Engine::StopRequested() const {
  return shared_->StopRequested();
}

std::vector<StationSummary> Engine::Run(const std::vector<std::optional<DeviceSelector>>& devices) {
  Shared& shared = *shared_;
  const std::size_t count = devices.size();
  shared.observer_.Resize(count);
  {
    std::lock_guard lock(shared.mutex_);
    shared.ended_.assign(count, std::nullopt);
  }
  // A stop request also ends a wait on the store (after a short grace).
  shared.store_.SetCancel(&shared.stop_);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < count; ++i) {
    // Each thread keeps what it shares alive: it may be given up below.
    gStationThreads.fetch_add(1, std::memory_order_acq_rel);
    try {
      threads.emplace_back([state = shared_, i, device = devices[i]] {
        struct Counted {
          ~Counted() { gStationThreads.fetch_sub(1, std::memory_order_acq_rel); }
        } counted;
        StationSummary summary = state->RunStation(i, device);
        {
          std::lock_guard lock(state->mutex_);
          state->ended_[i] = std::move(summary);
        }
        state->changed_.notify_all();
      });
    } catch (const std::system_error&) {
      gStationThreads.fetch_sub(1, std::memory_order_acq_rel);
      threads.emplace_back();
      StationSummary none;
      none.stop = StationStop::kStopped;
      none.detail = "no thread could be started for the station";
      std::lock_guard lock(shared.mutex_);
      shared.ended_[i] = std::move(none);
    }
  }

  // Until every station has ended; after a stop request at most stopWait
  // for the chips in progress, then (their runs cut short) stopWait more.
  const auto allEnded = [&] {
    return std::all_of(shared.ended_.begin(), shared.ended_.end(),
                       [](const auto& e) { return e.has_value(); });
  };
  std::unique_lock lock(shared.mutex_);
  for (;;) {
    if (allEnded()) break;
    if (!shared.stopAt_) {
      shared.changed_.wait(lock);
      continue;
    }
    const auto wait = shared.settings_.stopWait;
    if (!shared.cancel_.load(std::memory_order_acquire)) {
      if (shared.changed_.wait_until(lock, *shared.stopAt_ + wait, allEnded)) break;
      shared.cancel_.store(true, std::memory_order_release);
    }
    shared.changed_.wait_until(lock, *shared.stopAt_ + 2 * wait, allEnded);
    break;
  }
  // The stations that have not ended by now are given up; no station's call
  // reaches the host after this.
  const std::vector<std::optional<StationSummary>> ended = shared.ended_;
  lock.unlock();
  shared.gate_.Close();
  shared.store_.SetCancel(nullptr);
  std::vector<StationSummary> summaries(count);
  for (std::size_t i = 0; i < count; ++i) {
    if (ended[i]) {
      summaries[i] = *ended[i];
      if (threads[i].joinable()) threads[i].join();
      continue;
    }
    threads[i].detach();
    summaries[i] = shared.observer_.Last(i);
    summaries[i].stop = StationStop::kNotStopped;
    char waited[32];
    std::snprintf(waited, sizeof waited, "%.1f s",
                  std::chrono::duration<double>(2 * shared.settings_.stopWait).count());
    summaries[i].detail = std::string("still busy ") + waited +
                          " after the stop request; its chip's state is unknown";
    shared.observer_.GivenUp(i, summaries[i]);
  }
  return summaries;
}

StationSummary Engine::Shared::RunStation(std::size_t index,
                                          const std::optional<DeviceSelector>& device) {
  StationSummary summary;
  Clock& clock = GetClock();
  Station station(device);
  // The station's programmer is known: its serial number and port.
  bool ready = false;
  const auto reportReady = [&] {
    if (ready) return;
    ready = true;
    summary.serial = station.Serial();
    summary.port = station.Port();
    observer_.OnStationReady(index, summary.serial, summary.port);
  };
  ChipSink sink(observer_, index, station, reportReady);
  // The station's programmer is closed when the station ends (after the
  // lease has let go of it).
  struct Closer {
    Station& station;
    ~Closer() { station.CloseReader(); }
  } closer{station};
  ProgrammerLease lease = ProgrammerLease::TryAcquire(station);

  auto stop = [&](StationStop why, std::string detail = {}) {
    summary.stop = why;
    summary.detail = std::move(detail);
    observer_.OnStationStopped(index, why, summary.detail, summary.counters);
    return summary;
  };
  // The programmer open and held for this station: false when it is gone
  // or another program holds it (`why` says which).
  StationStop why = StationStop::kNoProgrammer;
  auto ensureOpen = [&]() {
    int handle = station.Handle();
    if (!IsOpenHandle(handle)) {
      handle = station.OpenReader();
      station.SetHandle(handle);
      if (handle == kNoProgrammerHandle) {
        why = StationStop::kNoProgrammer;
        return false;
      }
    }
    if (station.HoldForActivity(handle) == kReaderBusy) {
      why = StationStop::kBusy;
      return false;
    }
    return true;
  };
  // Whether the socket holds a chip: 1 yes, 0 no, -1 the programmer failed.
  auto query = [&]() {
    if (!ensureOpen()) return -1;
    if (settings_.next == NextChip::kProbe) {
      // A chip answers an I2C read at its address; an empty socket fails
      // it. Nothing is written to the chip.
      unsigned char answer[2] = {};
      unsigned long length = sizeof answer;
      return DllI2cRead(station.Handle(), kChipI2cAddress, answer, &length) == 0 ? 1 : 0;
    }
    unsigned char state = 0;
    if (DllI2cGetStatus(station.Handle(), &state) != 0) {
      station.CloseReader();
      return -1;
    }
    return (state & 0x01) != 0 ? 1 : 0;
  };
  // The socket's state as the programmer reports it (1 a chip, 0 empty),
  // -1 when it cannot say; unlike `query` a failure closes nothing.
  auto sense = [&]() {
    const int handle = station.Handle();
    if (!IsOpenHandle(handle) || station.HoldForActivity(handle) != 0) return -1;
    unsigned char state = 0;
    if (DllI2cGetStatus(handle, &state) != 0) return -1;
    return (state & 0x01) != 0 ? 1 : 0;
  };
  // Polls until the socket answers `want` settlePolls times in a row; false
  // on a stop request or a programmer that does not answer (`why`).
  auto waitSocket = [&](int want) {
    int same = 0;
    int failures = 0;
    for (;;) {
      if (StopRequested()) {
        why = StationStop::kStopped;
        return false;
      }
      const int state = query();
      if (state < 0) {
        if (why == StationStop::kBusy || station.Handle() == kNoProgrammerHandle) return false;
        if (++failures >= kMaxQueryFailures) {
          why = StationStop::kNoAnswer;
          return false;
        }
        same = 0;
      } else {
        failures = 0;
        same = state == want ? same + 1 : 0;
        if (same >= settings_.settlePolls) return true;
      }
      clock.Sleep(std::chrono::duration_cast<Clock::Duration>(settings_.pollInterval));
    }
  };

  // With kNow the run opens the programmer (and says so).
  const bool now = settings_.next == NextChip::kNow;
  if (!now) {
    if (!ensureOpen()) return stop(why);
    reportReady();
  }
  // Only a label in the record: numbers are reserved by attempts.
  const std::string stationKey = !summary.serial.empty() ? summary.serial
                                 : !summary.port.empty() ? summary.port
                                                         : "station" + std::to_string(index + 1);

  // Serial numbers are reserved in the record: none without one.
  const SerialPlan* plan = settings_.serial && store_.Present() ? &*settings_.serial : nullptr;
  // The generator's result call runs beside the station (the next chip
  // goes on meanwhile), one at a time: it ends before the next chip's data
  // is asked for, and before the station ends.
  std::jthread reporter;
  int failuresInRow = 0;
  bool chipInSocket = false;  // the last chip is still in the socket
  bool socketSensed = false;  // manual: the programmer has shown an empty socket
  for (;;) {
    if (settings_.count > 0 && summary.counters.passed >= settings_.count) {
      return stop(StationStop::kCount);
    }
    if (StopRequested()) return stop(StationStop::kStopped);
    if (now) {
      // At once: the chip is in the socket.
    } else if (settings_.next != NextChip::kManual) {
      if (chipInSocket) {
        observer_.OnWaiting(index, true);
        if (!waitSocket(0)) return stop(why);
      }
      observer_.OnWaiting(index, false);
      if (!waitSocket(1)) return stop(why);
    } else {
      // The operator says when. Once this programmer has shown an empty
      // socket it is known to sense its chip: then the chip of the last
      // result must leave the socket before a press counts (a press while
      // it is still in does not start it again), and a press made before
      // the next chip is in waits for it.
      if (chipInSocket && socketSensed) {
        observer_.OnWaiting(index, true);
        if (!waitSocket(0)) return stop(why);
        chipInSocket = false;
      }
      observer_.OnWaiting(index, false);
      for (;;) {
        const NextChipAnswer answer = observer_.WaitForNextChip(index, settings_.pollInterval);
        if (answer == NextChipAnswer::kNext) break;
        if (answer == NextChipAnswer::kEnd || StopRequested()) {
          return stop(StationStop::kStopped);
        }
        if (sense() == 0) {
          socketSensed = true;
          chipInSocket = false;
        }
      }
      if (StopRequested()) return stop(StationStop::kStopped);
      if (socketSensed && sense() == 0 && !waitSocket(1)) return stop(why);
    }

    // The chip's serial number, reserved for this attempt alone, and its script.
    const std::string attempt = NewAttemptId();
    std::optional<Reservation> reservation;
    std::optional<SerialValue> value;
    if (plan) {
      std::int64_t number = 0;
      bool exhausted = false;
      std::string error;
      const auto chipHexOf = [&](std::int64_t n, std::string& why) -> std::optional<std::string> {
        value = ValueOf(*plan, n, why);
        if (!value) return std::nullopt;
        return HexText(value->bytes);
      };
      // Tried as often as a record: a busy file or a reconnecting server
      // passes. A reservation whose answer was lost stays reserved, and is
      // listed as unknown: never given twice.
      bool reserved = false;
      for (int tries = 0; tries < std::max(1, settings_.recordTries) && !reserved; ++tries) {
        if (tries > 0) {
          if (StopRequested()) break;
          clock.Sleep(std::chrono::duration_cast<Clock::Duration>(settings_.recordPause));
        }
        ReserveRefusal refusal = ReserveRefusal::kNone;
        reserved = store_.ReserveFor(plan->Series(), plan->First(), plan->Step(), stationKey,
                                     attempt, JobLimit{settings_.jobId, settings_.countLimit},
                                     chipHexOf, number, refusal, error);
        // The chip after the job's last one is not programmed.
        if (refusal == ReserveRefusal::kLimit) return stop(StationStop::kLimit, error);
        exhausted = refusal == ReserveRefusal::kExhausted;
        if (exhausted) break;
      }
      if (!reserved) return stop(exhausted ? StationStop::kSerial : StationStop::kLog, error);
      reservation = Reservation{plan->Series(), number, attempt};
    }
    ScriptTable script;
    ChipRecord row;
    row.attempt = attempt;
    row.jobId = settings_.jobId;
    // The chip's own data, from the owner's generator, before anything is
    // written; a generator that fails fails the chip.
    ChipDataCall dataCall;
    std::string dataError;
    std::optional<Product> withData;
    if (settings_.chipData) {
      if (reporter.joinable()) reporter.join();
      dataCall =
          ChipDataCallOf(settings_.jobId, stationKey, attempt, plan, value ? &*value : nullptr);
      std::vector<ChipDataPiece> pieces;
      if (FetchChipData(*settings_.chipData, dataCall, value ? value->bytes.size() : std::size_t{0},
                        pieces, dataError)) {
        withData = WithChipData(product_, pieces);
        row.dataSha256 = ChipDataSha256(pieces);
      }
    }
    if (!ChipScript(withData ? *withData : product_, plan, value ? &*value : nullptr, script,
                    row.imageCrc)) {
      return stop(StationStop::kLog, "the chip's script cannot be built");
    }
    if (value) row.chipSerial = value->text;
    observer_.OnChipStarted(index, row.chipSerial);

    // The run, on a freshly powered chip. The programmer shows its result
    // only once the chip's record is committed.
    row.started = std::chrono::system_clock::now();
    row.timeUtc = IsoUtc(row.started);
    const auto started = clock.Now();
    if (IsOpenHandle(station.Handle())) {
      DllI2cRePower(station.Handle());
      clock.SleepMs(kRepowerWaitMs);
    }
    sink.Reset();
    RunContext run;
    run.script = &script;
    run.hexPath = product_.hexPath;
    run.fuse = product_.fuse;
    run.cancel = &cancel_;
    run.sink = &sink;
    const bool online = settings_.run != RunKind::kOffline;
    const bool dataFailed = !dataError.empty();
    const RunOutcome outcome = dataFailed ? RunOutcome{}
                               : online   ? OnlineProgramRun(station, run, ResultSignal::kByCaller)
                                          : OfflineLoadRun(station, run);
    row.durationMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(clock.Now() - started).count();

    row.stationSerial = station.Serial().empty() ? summary.serial : station.Serial();
    row.stationPort = station.Port().empty() ? summary.port : station.Port();
    row.toolVersion = settings_.toolVersion;
    row.hexName = product_.hexName;
    row.hexSha256 = product_.hexSha256;
    row.fuse = product_.fuse;
    row.runResult = outcome.result;
    const bool reached = outcome.opened && !outcome.busy;
    if (!outcome.opened) {
      row.result = ChipResult::kNoProgrammer;
      row.runResult = kRunCommFailure;
    } else if (outcome.busy) {
      row.result = ChipResult::kBusy;
      row.runResult = kRunCommFailure;
    } else if (dataFailed) {
      // Nothing was written: the chip shows the failure and goes out.
      row.result = ChipResult::kChipData;
      row.runResult = kRunCommFailure;
      row.detail = dataError;
    } else if (outcome.result == kRunOk) {
      row.result = ChipResult::kPass;
    } else if (outcome.result == kRunStopped) {
      row.result = ChipResult::kStopped;
    } else if (const auto& failure = sink.Failure()) {
      row.result = ResultOf(failure->failure);
      row.detail = failure->lineText;
      if (failure->failure == LineFailure::kStatusWord && failure->statusWord >= 0) {
        row.statusWord = failure->statusWord;
        char sw[32];
        std::snprintf(sw, sizeof sw, " (status word %04X)", failure->statusWord);
        row.detail += sw;
      }
    } else {
      row.result = ChipResult::kFailed;
    }
    const bool passed = !dataFailed && outcome.opened && !outcome.busy && outcome.result == kRunOk;
    // A chip that was never reached (or never written to) does not carry
    // the number: it is given again. A failed chip's number is given again
    // unless the plan burns it.
    const SerialSettle settle = passed ? SerialSettle::kUsed
                                : plan && plan->burnFailed && reached && !dataFailed
                                    ? SerialSettle::kBurnt
                                    : SerialSettle::kReleased;
    std::string error;
    bool recorded = !store_.Present();  // without a record there is nothing to commit
    for (int tries = 0; tries < std::max(1, settings_.recordTries) && !recorded; ++tries) {
      if (tries > 0)
        clock.Sleep(std::chrono::duration_cast<Clock::Duration>(settings_.recordPause));
      recorded = store_.Record(row, reservation, settle, error);
    }
    const int handle = station.Handle();
    if (online && reached && IsOpenHandle(handle)) SignalResult(handle, passed && recorded);
    if (outcome.result == kRunCommFailure && reached) station.CloseReader();
    if (!recorded) {
      observer_.OnChipUnrecorded(
          index, row, value ? std::optional<std::string>(HexText(value->bytes)) : std::nullopt,
          error);
      std::string detail = "the chip";
      if (value) detail += " with serial number " + value->text;
      detail +=
          " (" + std::string(passed ? "passed" : "failed") + ") is not recorded: put it aside";
      if (value) detail += "; its number stays reserved (velkan log --unknown)";
      return stop(StationStop::kLog, detail + ": " + error);
    }
    summary.counters.Count(row.result);
    if (reached) failuresInRow = passed ? 0 : failuresInRow + 1;
    observer_.OnChipDone(index, row, summary.counters);
    if (settings_.chipData) {
      // The owner's side settles its data with the committed result.
      dataCall.result = std::string(ResultName(row.result));
      dataCall.dataSha256 = row.dataSha256;
      if (reporter.joinable()) reporter.join();
      reporter = std::jthread([this, index, call = dataCall] {
        if (std::string why; !ReportChipResult(*settings_.chipData, call, why)) {
          observer_.OnNotice(index, "the chip data generator was not told the result: " + why);
        }
      });
    }
    chipInSocket = true;

    if (!outcome.opened) return stop(StationStop::kNoProgrammer);
    if (outcome.busy) return stop(StationStop::kBusy);
    if (now) return stop(StationStop::kCount);  // its one chip
    if (settings_.stopAfterFailures > 0 && failuresInRow >= settings_.stopAfterFailures) {
      return stop(StationStop::kFailures, std::to_string(failuresInRow) + " failures in a row");
    }
  }
}

}  // namespace velkan::production
