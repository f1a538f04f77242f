#include "ui/production_session.h"

#include <QMetaObject>
#include <system_error>

#include "ui/ui_dialogs.h"

namespace velkan::ui {

using namespace velkan::production;

namespace {

QString Utf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The online page's words for the chip's failing line: "通信错误！",
// "错误，SW = 6A82", ...
QString FailureText(const Event& failure) {
  return DisplayText(OnlineFailureText(failure)).trimmed();
}

}  // namespace

ProductionSession::ProductionSession(QObject* owner, std::function<void()> changed, Product product,
                                     Settings settings, std::unique_ptr<RecordStore> store,
                                     std::vector<FoundDevice> devices, ProgrammerLease lease)
    : owner_(owner),
      changed_(std::move(changed)),
      product_(std::move(product)),
      settings_(std::move(settings)),
      store_(std::move(store)),
      devices_(std::move(devices)),
      gate_(devices_.size()),
      engine_(product_, settings_, *store_, *this),
      lease_(std::move(lease)) {
  state_.stations.resize(devices_.size());
  for (std::size_t i = 0; i < devices_.size(); ++i) {
    state_.stations[i].serial = devices_[i].serial;
    state_.stations[i].port = devices_[i].port;
  }
}

ProductionSession::~ProductionSession() {
  Stop();
  if (worker_.joinable()) worker_.join();
}

bool ProductionSession::Start() {
  std::vector<std::optional<DeviceSelector>> selectors;
  for (const FoundDevice& device : devices_) {
    selectors.emplace_back(DeviceSelector{DeviceSelector::Kind::kPath, device.path});
  }
  running_.store(true, std::memory_order_release);
  try {
    worker_ = std::jthread([this, selectors = std::move(selectors)] {
      engine_.Run(selectors);
      {
        std::lock_guard lock(mutex_);
        state_.finished = true;
      }
      running_.store(false, std::memory_order_release);
      Schedule();
    });
  } catch (const std::system_error&) {
    running_.store(false, std::memory_order_release);
    return false;
  }
  return true;
}

void ProductionSession::Stop() {
  stopping_.store(true, std::memory_order_release);
  engine_.RequestStop();
  gate_.End();
}

void ProductionSession::Unplugged(std::size_t i) {
  {
    std::lock_guard lock(mutex_);
    if (i >= state_.stations.size() || state_.stations[i].stop) return;
    state_.stations[i].unplugged = true;
  }
  if (Manual()) gate_.End(i);
}

ProductionSession::News ProductionSession::Take() {
  std::lock_guard lock(mutex_);
  scheduled_ = false;
  News news;
  news.stations = state_.stations;
  news.newRecords.swap(state_.newRecords);
  news.newReasons.swap(state_.newReasons);
  news.finished = state_.finished;
  return news;
}

void ProductionSession::Join() {
  if (worker_.joinable()) worker_.join();
  lease_.Release();
}

void ProductionSession::OnStationReady(std::size_t i, const std::string& serial,
                                       const std::string& port) {
  Update(i, [&](StationState& s) {
    s.ready = true;
    if (!serial.empty()) s.serial = serial;
    if (!port.empty()) s.port = port;
  });
}

void ProductionSession::OnWaiting(std::size_t i, bool forRemoval) {
  // The tile says the station waits for the key only once a press reaches
  // it; while the last chip is still in, a press is not its.
  if (Manual()) forRemoval ? gate_.Leave(i) : gate_.Arm(i);
  Update(i, [&](StationState& s) {
    s.activity = forRemoval ? Activity::kWaitingRemoval : Activity::kWaitingChip;
  });
}

void ProductionSession::OnChipStarted(std::size_t i, const std::optional<std::string>& serial) {
  Update(i, [&](StationState& s) {
    s.activity = Activity::kProgramming;
    s.percent = 0;
    s.chipSerial = serial;
    s.failure.reset();
    // The last chip's result stays in sight until this chip's result.
  });
}

void ProductionSession::OnRunEvent(std::size_t i, const Event& event) {
  if (event.kind == EventKind::kLineDone) {
    Update(i, [&](StationState& s) { s.percent = event.percent; });
  } else if (event.kind == EventKind::kLineFailed) {
    Update(i, [&](StationState& s) {
      if (!s.failure) s.failure = event;
    });
  }
}

void ProductionSession::OnChipDone(std::size_t i, const ChipRecord& row, const Counters& counters) {
  Update(i, [&](StationState& s) {
    s.counters = counters;
    const bool passed = production::IsPass(row.result);
    QString reason;
    if (!passed) {
      if (row.result == production::ChipResult::kNoProgrammer) {
        reason = Utf8(kNoProgrammerText);
      } else if (row.result == production::ChipResult::kBusy) {
        reason = Utf8(kBusyText);
      } else if (s.failure) {
        reason = FailureText(*s.failure);
      } else {
        reason = QStringLiteral("下载失败！");
      }
    }
    if (passed) s.percent = 100;
    s.result = passed ? Result::kPass : Result::kFail;
    s.resultText =
        passed ? QStringLiteral("通过") +
                     (row.chipSerial ? QStringLiteral(" ") + Utf8(*row.chipSerial) : QString())
               : QStringLiteral("失败：") + reason;
    s.resultDetail = passed ? QString() : Utf8(row.detail);
    state_.newRecords.push_back(row);
    state_.newReasons.push_back(reason);
  });
}

void ProductionSession::OnChipUnrecorded(std::size_t i, const ChipRecord& row,
                                         const std::optional<std::string>&,
                                         const std::string& error) {
  Update(i, [&](StationState& s) {
    // The programmer shows failure: the chip is put aside, its number stays
    // reserved until an engineer settles it.
    s.unrecorded = true;
    s.result = Result::kFail;
    s.resultText =
        QStringLiteral("失败：未记录！请将芯片放到一边") +
        (row.chipSerial ? QStringLiteral("（序列号 ") + Utf8(*row.chipSerial) + QStringLiteral("）")
                        : QString());
    s.resultDetail = Utf8(error);
  });
}

void ProductionSession::OnStationStopped(std::size_t i, StationStop why, const std::string& detail,
                                         const Counters& counters) {
  Update(i, [&](StationState& s) {
    s.activity = Activity::kEnded;
    s.counters = counters;
    s.stop = why;
    s.stopDetail = detail;
  });
}

production::NextChipAnswer ProductionSession::WaitForNextChip(std::size_t i,
                                                              std::chrono::milliseconds timeout) {
  {
    std::lock_guard lock(mutex_);
    if (i < state_.stations.size() && state_.stations[i].unplugged) {
      return production::NextChipAnswer::kEnd;
    }
  }
  return gate_.Wait(i, timeout);
}

template <typename F>
void ProductionSession::Update(std::size_t i, F&& change) {
  {
    std::lock_guard lock(mutex_);
    if (i >= state_.stations.size()) return;
    change(state_.stations[i]);
  }
  Schedule();
}

void ProductionSession::Detach() {
  std::lock_guard lock(mutex_);
  detached_ = true;
}

void ProductionSession::Schedule() {
  {
    std::lock_guard lock(mutex_);
    if (scheduled_ || detached_) return;
    scheduled_ = true;
  }
  QMetaObject::invokeMethod(owner_, changed_, Qt::QueuedConnection);
}

}  // namespace velkan::ui
