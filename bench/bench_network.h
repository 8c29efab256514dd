// N stations on a hub or a learning switch, brought up through the whole
// driver, each sending frames of one length to every other station in turn:
// the set-up the network benchmarks measure.
#pragma once

#include <cstdint>

#include "sim/core/clock.h"
#include "sim/world/network.h"

namespace kl::bench {

struct NetworkBenchSetup {
  sim::world::Topology topology = sim::world::Topology::Switch;
  std::size_t stations = 2;
  std::size_t frameLength = 1514;  // without FCS
};

struct NetworkFigures {
  // Test frames that reached the station they were sent to, intact.
  std::uint64_t delivered = 0;
  // Frames the network carried whole: on the hub's segment, or out of the
  // switch's ports.
  std::uint64_t carried = 0;
  // From the first packet handed down to the last frame carried.
  sim::Duration virtualTime{};
  // The processor time the host spent on it.
  double hostSeconds = 0;
  // On a hub: the collisions the senders met, and the frames given up.
  std::uint64_t collisions = 0;
  std::uint64_t givenUp = 0;
};

class BenchNetwork {
 public:
  explicit BenchNetwork(const NetworkBenchSetup& setup);
  BenchNetwork(const BenchNetwork&) = delete;
  BenchNetwork& operator=(const BenchNetwork&) = delete;
  ~BenchNetwork() = default;

  // Station i sends `frames` frames to the others in turn, starting with
  // station i + 1, so that while they keep pace no two send to one station
  // at once; runs until every packet came back. Throws when a frame arrives
  // damaged or twice, or, on a switch, goes missing: a figure is only worth
  // taking from a clean run. On a hub, frames given up after 16 collisions
  // are counted, not missed.
  NetworkFigures run(std::uint64_t frames);

 private:
  void onCarried(sim::VirtualTime at);

  NetworkBenchSetup setup_;
  sim::world::Network network_;
  std::uint64_t carried_ = 0;
  sim::VirtualTime lastCarried_{};
};

}  // namespace kl::bench
