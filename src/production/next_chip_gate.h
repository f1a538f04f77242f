// The operator's "next chip" for the stations of a production run in which
// the operator says when the next chip is in (NextChip::kManual). The host's
// Observer::WaitForNextChip waits here.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace velkan::production {

// What a wait for the operator's next chip ended with.
enum class NextChipAnswer {
  kNext,    // take the next chip
  kEnd,     // the station's waiting has ended
  kNotYet,  // the time given passed: the station still waits (and may look
            // at its socket before it asks again)
};

class NextChipGate {
 public:
  explicit NextChipGate(std::size_t stations);

  // Every station takes one more chip: a station still busy with a chip
  // takes it as soon as it waits (words given ahead wait their turn, as
  // lines typed ahead of a terminal prompt do).
  void Next();
  // The stations waiting now take the next chip; a station busy with a
  // chip is not given one (a key pressed during a run starts nothing
  // later: the operator presses again once that socket is ready).
  // Returns how many stations were released.
  std::size_t ReleaseWaiting();
  // Ends one station's waiting: its Wait returns false from now on.
  void End(std::size_t station);
  // Ends every station's waiting.
  void End();

  // Blocks until station `station` may take the next chip (kNext), its
  // waiting has ended (kEnd), or `timeout` has passed (kNotYet). After
  // kNotYet the station still counts as waiting (a press meanwhile is
  // its) until it asks again or calls Leave.
  NextChipAnswer Wait(std::size_t station, std::chrono::milliseconds timeout);
  // The station no longer waits (it gave up after kNotYet, or it waits
  // for its chip to be taken out).
  void Leave(std::size_t station);
  // The station waits from now on, before it calls Wait: a press the
  // operator makes once the station says it waits is never lost.
  void Arm(std::size_t station);
  // How many stations wait now (and have not been given a chip yet).
  std::size_t Waiting() const;

 private:
  struct Slot {
    std::uint64_t granted = 0;  // chips given to the station
    std::uint64_t taken = 0;    // chips it has started
    bool waiting = false;
    bool ended = false;
  };
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Slot> slots_;
};

}  // namespace velkan::production
