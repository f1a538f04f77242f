// SPDX-License-Identifier: Apache-2.0
#include "programmer/trace.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <system_error>

namespace velkan {

namespace {

struct TraceSink {
  std::mutex mutex;
  std::ofstream file;
  std::atomic<bool> active{false};
  std::optional<std::string> failure;  // why a line did not reach the file
};

TraceSink& Sink() {
  static TraceSink sink;
  return sink;
}

// A trace with a gap is no evidence: the first lost line stops it, and the
// reason is kept for TraceWritten.
void NoteFailure(TraceSink& sink) {
  const int code = errno;
  sink.failure = code != 0 ? std::generic_category().message(code) : "write error";
  sink.active.store(false);
}

void Write(bool output, const hid::Report& report) {
  TraceSink& sink = Sink();
  if (!sink.active.load(std::memory_order_relaxed)) return;
  const std::string line = TraceLine(output, report);
  std::lock_guard lock(sink.mutex);
  if (!sink.file.is_open()) return;
  errno = 0;
  sink.file << line << '\n';
  sink.file.flush();
  if (!sink.file) NoteFailure(sink);
}

class TracingDevice final : public hid::Device {
 public:
  explicit TracingDevice(std::unique_ptr<hid::Device> inner) : inner_(std::move(inner)) {}

  bool GetAttributes(hid::Attributes& out) override { return inner_->GetAttributes(out); }
  bool WriteReport(const hid::Report& report) override {
    const bool ok = inner_->WriteReport(report);
    if (ok) Write(true, report);
    return ok;
  }
  bool ReadReport(hid::Report& report, std::size_t& delivered) override {
    const bool ok = inner_->ReadReport(report, delivered);
    if (ok) Write(false, report);
    return ok;
  }
  bool ReadReportWithin(hid::Report& report, std::size_t& delivered, int timeoutMs) override {
    const bool ok = inner_->ReadReportWithin(report, delivered, timeoutMs);
    if (ok) Write(false, report);
    return ok;
  }
  bool Close() override { return inner_->Close(); }
  int LastError() const override { return inner_->LastError(); }
  bool GetIdentity(hid::Identity& out) override { return inner_->GetIdentity(out); }
  void DiscardPending() override { inner_->DiscardPending(); }
  bool Lock(bool wait) override { return inner_->Lock(wait); }
  void Unlock() override { inner_->Unlock(); }

 private:
  std::unique_ptr<hid::Device> inner_;
};

}  // namespace

bool TraceTo(const std::optional<std::filesystem::path>& path, std::string* endedLoss) {
  TraceSink& sink = Sink();
  std::lock_guard lock(sink.mutex);
  sink.active.store(false);
  if (sink.file.is_open()) {
    errno = 0;
    sink.file.close();
    if (!sink.file && !sink.failure) NoteFailure(sink);
  }
  sink.file.clear();
  if (endedLoss != nullptr) *endedLoss = sink.failure.value_or("");
  sink.failure.reset();
  if (!path) return true;
  sink.file.open(*path, std::ios::out | std::ios::app | std::ios::binary);
  if (!sink.file.is_open()) return false;
  sink.active.store(true);
  return true;
}

bool TraceWritten(std::string* why) {
  TraceSink& sink = Sink();
  std::lock_guard lock(sink.mutex);
  if (sink.failure && why != nullptr) *why = *sink.failure;
  return !sink.failure;
}

std::string TraceLine(bool output, const hid::Report& report) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string line;
  line.reserve(2 + report.size() * 3);
  line += output ? "> " : "< ";
  for (std::size_t i = 0; i < report.size(); ++i) {
    if (i > 0) line += ' ';
    line += kDigits[report[i] >> 4];
    line += kDigits[report[i] & 0x0F];
  }
  return line;
}

std::unique_ptr<hid::Device> TracedDevice(std::unique_ptr<hid::Device> device) {
  if (!device) return device;
  return std::make_unique<TracingDevice>(std::move(device));
}

}  // namespace velkan
