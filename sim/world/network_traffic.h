// A traffic pattern on every station of a network, and the check of what
// each station received: every frame its filter admits from every sender
// exactly once, intact and in order, and nothing it does not admit. A frame
// the network dropped on its way (a switch port's full queue, a hub sender
// giving up after 16 collisions) is excused where it was dropped, and
// counted.
#pragma once

#include <cstdint>
#include <set>
#include <tuple>
#include <vector>

#include "sim/net/medium_access.h"
#include "sim/world/network.h"
#include "sim/world/traffic_pattern.h"

namespace kl::sim::world {

struct NetworkTrafficSetup {
  Pattern pattern = Pattern::AllToAll;
  std::uint64_t frames = 100;  // from each sending station
  TrafficShape shape;
  std::uint64_t seed = 7046;
};

// What one station sent and received, and what the network did to it.
struct StationOutcome {
  bool running = false;  // its adapter initialized and its station opened
  StationCounts counts;
  std::uint64_t expected = 0;   // frames its filter admits that others sent
  std::uint64_t missing = 0;    // of those, never arrived and not excused
  std::uint64_t unwanted = 0;   // arrived though its filter does not admit them
  std::uint64_t excused = 0;    // the network dropped on their way here
  net::AccessCounts access;     // on a hub: what medium access did to its frames
  std::uint64_t portDrops = 0;  // on a switch: frames its port's queue turned away
};

class NetworkTraffic {
 public:
  // Adds the stations to `network` (whose adapters are initialized, or
  // failed to) and watches the network's drops.
  NetworkTraffic(Network& network, const NetworkTrafficSetup& setup);
  NetworkTraffic(const NetworkTraffic&) = delete;
  NetworkTraffic& operator=(const NetworkTraffic&) = delete;
  ~NetworkTraffic() = default;

  // Opens the station of every initialized adapter with its role's filter
  // and groups; the stations that refused.
  std::vector<std::size_t> open();
  // Runs the pattern, paced on a hub so that the backoff can part the
  // senders; whether every station finished in time.
  bool run(TrafficRun run = {});

  [[nodiscard]] std::vector<StationOutcome> outcomes() const;

 private:
  // A frame of `stream` numbered `sequence` dropped on its way to station
  // `to`, or to all of them.
  using Excuse = std::tuple<std::uint8_t, std::uint32_t, std::size_t>;
  static constexpr std::size_t kEveryone = ~std::size_t{0};

  void excuse(const net::WireFrame& frame, std::size_t to);
  [[nodiscard]] bool excused(std::uint8_t stream, std::uint32_t sequence, std::size_t to) const;
  [[nodiscard]] TrafficRun paced(TrafficRun run) const;
  void check(std::size_t receiver, StationOutcome& outcome) const;

  Network& network_;
  NetworkTrafficSetup setup_;
  std::vector<bool> running_;
  std::set<Excuse> excused_;
};

// Nothing missing, unwanted, damaged, twice or out of order at any running
// station, and every send completed (but those given up on a hub).
[[nodiscard]] bool clean(const std::vector<StationOutcome>& outcomes);

}  // namespace kl::sim::world
