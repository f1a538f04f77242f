#include "production/next_chip_gate.h"

namespace velkan::production {

NextChipGate::NextChipGate(std::size_t stations) : slots_(stations) {}

void NextChipGate::Next() {
  std::lock_guard lock(mutex_);
  for (Slot& slot : slots_) ++slot.granted;
  changed_.notify_all();
}

std::size_t NextChipGate::ReleaseWaiting() {
  std::lock_guard lock(mutex_);
  std::size_t released = 0;
  for (Slot& slot : slots_) {
    if (slot.waiting && !slot.ended && slot.granted == slot.taken) {
      ++slot.granted;
      ++released;
    }
  }
  if (released != 0) changed_.notify_all();
  return released;
}

void NextChipGate::End(std::size_t station) {
  std::lock_guard lock(mutex_);
  if (station >= slots_.size()) return;
  slots_[station].ended = true;
  changed_.notify_all();
}

void NextChipGate::End() {
  std::lock_guard lock(mutex_);
  for (Slot& slot : slots_) slot.ended = true;
  changed_.notify_all();
}

NextChipAnswer NextChipGate::Wait(std::size_t station, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (station >= slots_.size()) return NextChipAnswer::kEnd;
  Slot& slot = slots_[station];
  slot.waiting = true;
  if (!changed_.wait_for(lock, timeout, [&] { return slot.ended || slot.granted > slot.taken; })) {
    return NextChipAnswer::kNotYet;
  }
  slot.waiting = false;
  // Chips granted before the end are still served.
  if (slot.granted <= slot.taken) return NextChipAnswer::kEnd;
  ++slot.taken;
  return NextChipAnswer::kNext;
}

void NextChipGate::Arm(std::size_t station) {
  std::lock_guard lock(mutex_);
  if (station < slots_.size() && !slots_[station].ended) slots_[station].waiting = true;
}

void NextChipGate::Leave(std::size_t station) {
  std::lock_guard lock(mutex_);
  if (station < slots_.size()) slots_[station].waiting = false;
}

std::size_t NextChipGate::Waiting() const {
  std::lock_guard lock(mutex_);
  std::size_t count = 0;
  for (const Slot& slot : slots_) {
    count += slot.waiting && !slot.ended && slot.granted == slot.taken ? 1 : 0;
  }
  return count;
}

}  // namespace velkan::production
