// Runs a machine while its traffic stations exchange frames.
#pragma once

#include <functional>
#include <limits>
#include <span>

#include "sim/core/clock.h"
#include "sim/host/machine.h"
#include "sim/world/traffic_station.h"

namespace kl::sim::world {

struct TrafficRun {
  // Virtual time between two rounds of handing packets down.
  Duration step = 50us;
  // Packets each station hands down in one round at the most.
  std::size_t framesPerStep = std::numeric_limits<std::size_t>::max();
  // The stations take turns: station i hands packets down only in the
  // rounds whose number is i modulo `turns`.
  std::size_t turns = 1;
  // Time allowed after the last completion for frames still on the wire.
  Duration settle = 5ms;
  // Ends the settle time early once it holds (checked every step).
  std::function<bool()> settled;
  // The run gives up after this much virtual time.
  Duration limit = 600s;
  // Called after every round, with the virtual time the run has taken.
  std::function<void(Duration elapsed)> progress;
};

// Pumps every station and runs the machine until all of them are done
// sending and the wire has settled, or the limit is reached. Returns whether
// every station finished in time.
bool runTraffic(Machine& machine, std::span<TrafficStation* const> stations,
                const TrafficRun& run = {});
// The same for a world that `runFor` runs and `now` tells the time of.
bool runTraffic(const std::function<void(Duration)>& runFor,
                const std::function<VirtualTime()>& now, std::span<TrafficStation* const> stations,
                const TrafficRun& run = {});

}  // namespace kl::sim::world
