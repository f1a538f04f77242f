#include "production/production.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <thread>

#include "common/clock.h"
#include "common/codepage.h"
#include "common/sha256.h"
#include "image/crc16.h"
#include "image/hex_loader.h"
#include "image/script_generator.h"
#include "production/chip_data.h"
#include "script/run_common.h"
#include "script/runs.h"
#include "script/session.h"
#include "script/station.h"
#include "velkan/velkan.h"

namespace velkan::production {

namespace {

constexpr unsigned kRepowerWaitMs = 100;
// Failed socket queries in a row before a station gives up.
constexpr int kMaxQueryFailures = 5;

// The run's page: the chip's script, the fuse choice; its log text and
// message boxes go nowhere (the events carry everything).
class ChipPage final : public Page {
 public:
  explicit ChipPage(bool fuse) : fuse_(fuse) {}
  void EnableInputs(bool) override {}
  bool FuseChosen() override { return fuse_; }
  MsgResult MessageBox(std::string_view, std::string_view, MsgButtons, MsgIcon) override {
    return MsgResult::kOk;
  }

 protected:
  void Display(const std::string&, std::string_view) override {}

 private:
  bool fuse_;
};

// Passes a station's run events on and keeps the first line failure.
class ChipSink final : public EventSink {
 public:
  ChipSink(Observer& observer, std::size_t index) : observer_(observer), index_(index) {}
  void OnEvent(const Event& event) override {
    if (event.kind == EventKind::kLineFailed && !failure_) failure_ = event;
    observer_.OnRunEvent(index_, event);
  }
  void Reset() { failure_.reset(); }
  const std::optional<Event>& Failure() const { return failure_; }

 private:
  Observer& observer_;
  std::size_t index_;
  std::optional<Event> failure_;
};

std::string Hex4(std::uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", value);
  return text;
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

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

std::vector<StationSummary> Engine::Run(const std::vector<std::optional<DeviceSelector>>& devices) {
  std::vector<StationSummary> summaries(devices.size());
  // A stop request also ends a wait on the store (after a short grace).
  store_.SetCancel(&stop_);
  {
    std::vector<std::jthread> threads;
    for (std::size_t i = 0; i < devices.size(); ++i) {
      threads.emplace_back([&, i] { summaries[i] = RunStation(i, devices[i]); });
    }
  }  // all joined
  store_.SetCancel(nullptr);
  return summaries;
}

StationSummary Engine::RunStation(std::size_t index, const std::optional<DeviceSelector>& device) {
  StationSummary summary;
  Clock& clock = GetClock();
  Station station(device);
  ChipSink sink(observer_, index);
  station.SetSink(&sink);
  // The station's programmer is closed when the station ends (after the
  // lease has let go of it).
  struct Closer {
    Station& station;
    ~Closer() {
      if (IsOpenHandle(station.Handle())) DllCloseReader(station.Handle());
      station.SetHandle(0);
    }
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
      if (handle == -2) {
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
  auto closeReader = [&] {
    if (IsOpenHandle(station.Handle())) DllCloseReader(station.Handle());
    station.SetHandle(0);
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
      closeReader();
      return -1;
    }
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
        if (why == StationStop::kBusy || station.Handle() == -2) return false;
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

  if (!ensureOpen()) return stop(why);
  summary.serial = station.Serial();
  summary.port = station.Port();
  observer_.OnStationReady(index, summary.serial, summary.port);
  // Only a label in the record: numbers are reserved by attempts.
  const std::string stationKey = !summary.serial.empty() ? summary.serial
                                 : !summary.port.empty() ? summary.port
                                                         : "station" + std::to_string(index + 1);

  const SerialPlan* plan = settings_.serial ? &*settings_.serial : nullptr;
  // The generator's result call runs beside the station (the next chip
  // goes on meanwhile), one at a time: it ends before the next chip's data
  // is asked for, and before the station ends.
  std::jthread reporter;
  int failuresInRow = 0;
  bool chipInSocket = false;  // auto: the last chip is still in the socket
  for (;;) {
    if (settings_.count > 0 && summary.counters.passed >= settings_.count) {
      return stop(StationStop::kCount);
    }
    if (StopRequested()) return stop(StationStop::kStopped);
    if (settings_.next != NextChip::kManual) {
      if (chipInSocket) {
        observer_.OnWaiting(index, true);
        if (!waitSocket(0)) return stop(why);
      }
      observer_.OnWaiting(index, false);
      if (!waitSocket(1)) return stop(why);
    } else {
      observer_.OnWaiting(index, false);
      if (!observer_.WaitForNextChip(index)) {
        return stop(StationStop::kStopped);
      }
      if (StopRequested()) return stop(StationStop::kStopped);
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
    ChipPage page(product_.fuse);
    page.SetHexPath(product_.hexPath);
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
    if (!ChipScript(withData ? *withData : product_, plan, value ? &*value : nullptr, page.Script(),
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
    const bool dataFailed = !dataError.empty();
    const RunOutcome outcome =
        dataFailed ? RunOutcome{} : OnlineProgramRun(station, page, ResultSignal::kByCaller);
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
    bool recorded = false;
    for (int tries = 0; tries < std::max(1, settings_.recordTries) && !recorded; ++tries) {
      if (tries > 0)
        clock.Sleep(std::chrono::duration_cast<Clock::Duration>(settings_.recordPause));
      recorded = store_.Record(row, reservation, settle, error);
    }
    const int handle = station.Handle();
    if (reached && IsOpenHandle(handle)) SignalResult(handle, passed && recorded);
    if (outcome.result == kRunCommFailure && reached) closeReader();
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
    if (settings_.stopAfterFailures > 0 && failuresInRow >= settings_.stopAfterFailures) {
      return stop(StationStop::kFailures, std::to_string(failuresInRow) + " failures in a row");
    }
  }
}

}  // namespace velkan::production
