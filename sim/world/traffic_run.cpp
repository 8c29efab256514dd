#include "sim/world/traffic_run.h"

#include <algorithm>

namespace kl::sim::world {

bool runTraffic(Machine& machine, std::span<TrafficStation* const> stations,
                const TrafficRun& run) {
  const VirtualTime start = machine.now();
  const auto allDone = [&] {
    return std::all_of(stations.begin(), stations.end(),
                       [](const TrafficStation* station) { return station->doneSending(); });
  };
  while (!allDone()) {
    if (machine.now() - start >= run.limit) {
      return false;
    }
    for (TrafficStation* station : stations) {
      station->pump(run.framesPerStep);
    }
    machine.runFor(run.step);
    if (run.progress) {
      run.progress(machine.now() - start);
    }
  }
  const VirtualTime settleEnd = machine.now() + run.settle;
  while (machine.now() < settleEnd && !(run.settled && run.settled())) {
    machine.runFor(std::min<Duration>(run.step, settleEnd - machine.now()));
  }
  return true;
}

}  // namespace kl::sim::world
