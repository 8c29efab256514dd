// One virtual clock for several machines.
//
// The stations of one half-duplex segment must hear each other's carrier
// within a bit time, and no machine takes more than 14 cards (an interrupt
// each): a segment of more stations spans machines, and they must share one
// timeline, not take turns on clocks of their own. Each machine on the shared
// clock is stepped after every event, as the current machine: its processor
// takes what its devices' lines raised and runs its deferred work, so every
// handler runs with its own machine current, whichever machine's busy wait or
// run moved the clock.
#pragma once

#include <vector>

#include "sim/core/clock.h"

namespace kl::sim {

class Machine;

class SharedClock {
 public:
  SharedClock() = default;
  SharedClock(const SharedClock&) = delete;
  SharedClock& operator=(const SharedClock&) = delete;
  ~SharedClock() = default;

  [[nodiscard]] Clock& clock() { return clock_; }
  [[nodiscard]] VirtualTime now() const { return clock_.now(); }

  // A machine runs on the clock from its construction to its destruction.
  void join(Machine& machine) { machines_.push_back(&machine); }
  void leave(Machine& machine) { std::erase(machines_, &machine); }

  // Runs every machine on the clock for `duration`.
  void runFor(Duration duration);

 private:
  void stepEach();

  Clock clock_;
  std::vector<Machine*> machines_;  // stepped in the order they joined
};

}  // namespace kl::sim
