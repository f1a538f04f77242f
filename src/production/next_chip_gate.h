// The operator's "next chip" for the stations of a production run in which
// the operator says when the next chip is in (NextChip::kManual). The host's
// Observer::WaitForNextChip waits here.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace velkan::production {

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

  // Blocks until station `station` may take the next chip (true) or its
  // waiting has ended (false).
  bool Wait(std::size_t station);
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
