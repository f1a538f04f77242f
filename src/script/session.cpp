#include "script/session.h"

#include <atomic>
#include <utility>

#include "programmer/backend.h"

namespace velkan {

namespace {

std::atomic<int> g_readerHandle{0};
std::atomic<bool> g_programmerBusy{false};
// The handle the current activity holds the programmer through (0: none).
std::atomic<int> g_heldHandle{0};

}  // namespace

int ReaderHandle() {
  return g_readerHandle.load(std::memory_order_acquire);
}

void SetReaderHandle(int handle) {
  g_readerHandle.store(handle, std::memory_order_release);
}

ProgrammerLease::~ProgrammerLease() {
  Release();
}

ProgrammerLease::ProgrammerLease(ProgrammerLease&& other) noexcept
    : held_(std::exchange(other.held_, false)) {}

ProgrammerLease& ProgrammerLease::operator=(ProgrammerLease&& other) noexcept {
  if (this != &other) {
    Release();
    held_ = std::exchange(other.held_, false);
  }
  return *this;
}

ProgrammerLease ProgrammerLease::TryAcquire() {
  ProgrammerLease lease;
  bool expected = false;
  if (g_programmerBusy.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) {
    lease.held_ = true;
  }
  return lease;
}

void ProgrammerLease::Release() {
  if (held_) {
    held_ = false;
    if (const int handle = g_heldHandle.exchange(0); handle != 0) ReleaseReader(handle);
    g_programmerBusy.store(false, std::memory_order_release);
  }
}

int HoldProgrammerForActivity(int handle) {
  if (g_heldHandle.load() == handle) return 0;
  const int rc = HoldReader(handle);
  if (rc != 0) return rc;
  if (const int previous = g_heldHandle.exchange(handle); previous != 0) ReleaseReader(previous);
  return 0;
}

bool ProgrammerBusy() {
  return g_programmerBusy.load(std::memory_order_acquire);
}

ProgrammerLease AcquireForRun(Dialogs& owner) {
  ProgrammerLease lease = ProgrammerLease::TryAcquire();
  if (!lease) owner.MessageBox(kBusyText, kCaptionNotice, MsgButtons::kOk, MsgIcon::kNone);
  return lease;
}

}  // namespace velkan
