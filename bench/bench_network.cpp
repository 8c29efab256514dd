#include "bench_network.h"

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_pair.h"
#include "driver/driver_entry.h"

namespace kl::bench {

namespace {

using namespace std::chrono_literals;

constexpr ULONG kFilter = NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST;
constexpr sim::world::Mac kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
// Long enough for every station's announcement to cross a switch.
constexpr sim::Duration kLearning = 2ms;

sim::world::StationCounts total(sim::world::Network& network) {
  sim::world::StationCounts sum;
  for (std::size_t index = 0; index < network.size(); ++index) {
    const sim::world::StationCounts& counts = network.station(index).counts();
    sum.framesSent += counts.framesSent;
    sum.framesReceived += counts.framesReceived;
    sum.damaged += counts.damaged;
    sum.duplicates += counts.duplicates;
    sum.outOfOrder += counts.outOfOrder;
  }
  return sum;
}

// What medium access did to every station's frames on a hub.
sim::net::AccessCounts accessTotal(sim::world::Network& network) {
  sim::net::AccessCounts sum;
  if (network.topology() == sim::world::Topology::Hub) {
    for (std::size_t index = 0; index < network.size(); ++index) {
      sum.collisions += network.hub().accessCounts(index).collisions;
      sum.aborts += network.hub().accessCounts(index).aborts;
    }
  }
  return sum;
}

}  // namespace

BenchNetwork::BenchNetwork(const NetworkBenchSetup& setup)
    : setup_(setup),
      network_({.slots = sim::world::stationSlots(setup.stations), .topology = setup.topology}) {
  if (network_.loadDriver([](sim::Machine& machine) { return machine.loadDriver(&DriverEntry); }) !=
          STATUS_SUCCESS ||
      network_.initialize() != NDIS_STATUS_SUCCESS || !network_.waitForLink(10s)) {
    throw std::runtime_error("the adapters did not come up");
  }
  network_.addStations({.shape = {.minSize = setup.frameLength,
                                  .maxSize = setup.frameLength,
                                  .broadcastPercent = 0,
                                  .multicastPercent = 0,
                                  .maxPieces = 1},
                        .firstSeed = 7046,
                        .firstStream = 1});
  for (std::size_t index = 0; index < network_.size(); ++index) {
    if (network_.station(index).open(kFilter, std::vector<sim::world::Mac>{}) !=
        NDIS_STATUS_SUCCESS) {
      throw std::runtime_error("an adapter refused its filter");
    }
  }
  if (setup.topology == sim::world::Topology::Hub) {
    network_.hub().onFrame([this](const sim::net::WireFrame& /*frame*/, std::size_t /*from*/,
                                  sim::VirtualTime at) { onCarried(at); });
    return;
  }
  // Each station announces itself once, so that the switch forwards to
  // where every address lives rather than flooding.
  for (std::size_t index = 0; index < network_.size(); ++index) {
    sim::world::TrafficStation& station = network_.station(index);
    station.sendShaped(kBroadcast, sim::world::kSmallestTestFrame,
                       {sim::world::kSmallestTestFrame});
    network_.switchCable(index).cable().onFrame([this](const sim::net::WireFrame& /*frame*/,
                                                       sim::net::Cable::Side from,
                                                       sim::VirtualTime at) {
      if (from == sim::net::Cable::Side::B) {
        onCarried(at);
      }
    });
  }
  network_.runFor(kLearning);
}

void BenchNetwork::onCarried(sim::VirtualTime at) {
  ++carried_;
  lastCarried_ = at;
}

NetworkFigures BenchNetwork::run(std::uint64_t frames) {
  const std::size_t count = network_.size();
  for (std::size_t index = 0; index < count; ++index) {
    std::vector<sim::world::Mac> others;
    for (std::size_t step = 1; step < count; ++step) {
      others.push_back(network_.station((index + step) % count).address());
    }
    network_.station(index).aimAt(std::move(others), frames);
  }
  const sim::world::StationCounts before = total(network_);
  const sim::net::AccessCounts accessBefore = accessTotal(network_);
  const std::uint64_t carriedBefore = carried_;
  const sim::VirtualTime start = network_.now();
  const double cpuStart = threadCpuSeconds();
  const bool finished = network_.runTraffic({.settle = 1ms});
  const double cpuEnd = threadCpuSeconds();
  const sim::world::StationCounts after = total(network_);
  const sim::net::AccessCounts accessAfter = accessTotal(network_);

  NetworkFigures figures;
  figures.delivered = after.framesReceived - before.framesReceived;
  figures.carried = carried_ - carriedBefore;
  figures.virtualTime = lastCarried_ - start;
  figures.hostSeconds = cpuEnd - cpuStart;
  figures.collisions = accessAfter.collisions - accessBefore.collisions;
  figures.givenUp = accessAfter.aborts - accessBefore.aborts;
  const std::uint64_t sent = after.framesSent - before.framesSent;
  const bool lost = setup_.topology == sim::world::Topology::Switch && figures.delivered != sent;
  if (!finished || sent != frames * count || lost || after.damaged != before.damaged ||
      after.duplicates != before.duplicates || after.outOfOrder != before.outOfOrder) {
    throw std::runtime_error("the frames did not all arrive intact: " +
                             std::to_string(figures.delivered) + " of " + std::to_string(sent));
  }
  return figures;
}

}  // namespace kl::bench
