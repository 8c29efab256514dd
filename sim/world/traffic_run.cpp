#include "sim/world/traffic_run.h"

#include <algorithm>

namespace kl::sim::world {

bool runTraffic(Machine& machine, std::span<TrafficStation* const> stations,
                const TrafficRun& run) {
  return runTraffic([&machine](Duration step) { machine.runFor(step); },
                    [&machine] { return machine.now(); }, stations, run);
}

bool runTraffic(const std::function<void(Duration)>& runFor,
                const std::function<VirtualTime()>& now, std::span<TrafficStation* const> stations,
                const TrafficRun& run) {
  const VirtualTime start = now();
  const auto allDone = [&] {
    return std::all_of(stations.begin(), stations.end(),
                       [](const TrafficStation* station) { return station->doneSending(); });
  };
  for (std::size_t round = 0; !allDone(); ++round) {
    if (now() - start >= run.limit) {
      return false;
    }
    for (std::size_t index = 0; index < stations.size(); ++index) {
      if (index % run.turns == round % run.turns) {
        stations[index]->pump(run.framesPerStep);
      }
    }
    runFor(run.step);
    if (run.progress) {
      run.progress(now() - start);
    }
  }
  const VirtualTime settleEnd = now() + run.settle;
  while (now() < settleEnd && !(run.settled && run.settled())) {
    runFor(std::min<Duration>(run.step, settleEnd - now()));
  }
  return true;
}

}  // namespace kl::sim::world
