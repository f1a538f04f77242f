// One press of "开始量产" until every station has ended: the production
// engine on a worker thread, one station per programmer, and what the
// stations reported, kept for the page. The stations report from their own
// threads; `changed` runs on the owner's thread, one queued call at a time
// however fast they report, and the page then Takes the news.
#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "production/next_chip_gate.h"
#include "production/production.h"
#include "script/session.h"

namespace velkan::ui {

// The online run's text for a programmer that could not be opened.
inline constexpr std::string_view kNoProgrammerText = "打开设备失败！";

class ProductionSession final : public production::Observer {
 public:
  enum class Activity { kOpening, kWaitingChip, kWaitingRemoval, kProgramming, kEnded };
  enum class Result { kNone, kPass, kFail };

  struct StationState {
    Activity activity = Activity::kOpening;
    std::string serial;
    std::string port;
    bool ready = false;
    int percent = 0;
    std::optional<std::string> chipSerial;
    std::optional<Event> failure;  // the chip's first failing line
    // The last chip: none yet, passed or failed, and its text; kept while
    // the next chip is programmed, until that chip's result.
    Result result = Result::kNone;
    QString resultText;
    QString resultDetail;
    production::Counters counters;
    bool unplugged = false;
    bool unrecorded = false;  // the last chip's record could not be committed
    std::optional<production::StationStop> stop;
    std::string stopDetail;
  };

  struct News {
    std::vector<StationState> stations;
    std::vector<production::ChipRecord> newRecords;
    std::vector<QString> newReasons;  // the failure text of each new record
    bool finished = false;
  };

  // `lease` (the default station's) is held until Join.
  ProductionSession(QObject* owner, std::function<void()> changed, production::Product product,
                    production::Settings settings, std::unique_ptr<production::RecordStore> store,
                    std::vector<FoundDevice> devices, ProgrammerLease lease);
  ~ProductionSession() override;
  ProductionSession(const ProductionSession&) = delete;
  ProductionSession& operator=(const ProductionSession&) = delete;

  // Starts the worker; false when no thread could be had.
  bool Start();
  // Every station finishes (and records) the chip in progress, then ends.
  void Stop();
  bool Stopping() const { return stopping_.load(std::memory_order_acquire); }
  bool Running() const { return running_.load(std::memory_order_acquire); }
  bool Manual() const { return settings_.next == production::NextChip::kManual; }
  // Button mode: the stations waiting now take the next chip.
  std::size_t ReleaseWaiting() { return gate_.ReleaseWaiting(); }
  const std::vector<FoundDevice>& Devices() const { return devices_; }
  // Station `i`'s programmer is no longer attached: in button mode its
  // station would only notice at the next chip, so its waiting ends now.
  void Unplugged(std::size_t i);
  // What the stations reported since the last call.
  News Take();
  // After the worker has ended: joins it and lets go of the lease.
  void Join();
  // The owner goes away before the worker has ended: nothing is reported
  // to it any more. The session is then left to its worker (never
  // destroyed).
  void Detach();

  // ---- production::Observer (the stations' threads) ----
  void OnStationReady(std::size_t i, const std::string& serial, const std::string& port) override;
  void OnWaiting(std::size_t i, bool forRemoval) override;
  void OnChipStarted(std::size_t i, const std::optional<std::string>& serial) override;
  void OnRunEvent(std::size_t i, const Event& event) override;
  void OnChipDone(std::size_t i, const production::ChipRecord& row,
                  const production::Counters& counters) override;
  void OnChipUnrecorded(std::size_t i, const production::ChipRecord& row,
                        const std::optional<std::string>& chipHex,
                        const std::string& error) override;
  void OnStationStopped(std::size_t i, production::StationStop why, const std::string& detail,
                        const production::Counters& counters) override;
  production::NextChipAnswer WaitForNextChip(std::size_t i,
                                             std::chrono::milliseconds timeout) override;

 private:
  template <typename F>
  void Update(std::size_t i, F&& change);
  void Schedule();

  QObject* owner_;
  std::function<void()> changed_;
  const production::Product product_;
  const production::Settings settings_;
  std::unique_ptr<production::RecordStore> store_;
  const std::vector<FoundDevice> devices_;
  production::NextChipGate gate_;
  production::Engine engine_;
  ProgrammerLease lease_;
  std::mutex mutex_;
  News state_;
  bool scheduled_ = false;
  bool detached_ = false;
  std::atomic<bool> running_{false};
  std::atomic<bool> stopping_{false};
  std::jthread worker_;
};

}  // namespace velkan::ui
