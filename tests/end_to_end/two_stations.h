// Two adapters brought up through the driver on two cards cabled together,
// with a traffic station bound to each: the end-to-end tests' common ground.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>

#include "sim/world/network.h"
#include "sim/world/traffic_run.h"
#include "sim/world/traffic_station.h"
#include "support/driver_under_test.h"

namespace kl::test {

inline constexpr sim::card::MacAddress kFirstStation = {0x02, 0x4B, 0x4C, 0x70, 0x46, 0x0A};
inline constexpr sim::card::MacAddress kSecondStation = {0x02, 0x4B, 0x4C, 0x70, 0x46, 0x0B};
inline constexpr sim::world::Mac kGroup = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
inline constexpr ULONG kUsualFilter =
    NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST | NDIS_PACKET_TYPE_MULTICAST;

// The default slots with both cards of the bus width `width`, each with the
// station PROM image of that width.
[[nodiscard]] std::array<sim::world::SlotSetup, 2> SlotsOf(sim::card::BusWidth width);

class TwoStations {
 public:
  // `seed` seeds the traffic and the world's generator. The cards run at
  // `timing`, by default the corner under test with its draws seeded so.
  explicit TwoStations(std::uint64_t seed, const sim::world::TrafficShape& shape = {},
                       const std::array<sim::world::SlotSetup, 2>& slots =
                           sim::world::defaultSlots(kFirstStation, kSecondStation),
                       const sim::world::Cabling& cabling = {},
                       const std::optional<sim::card::TimingSetup>& timing = std::nullopt);
  TwoStations(const TwoStations&) = delete;
  TwoStations& operator=(const TwoStations&) = delete;
  ~TwoStations() = default;

  [[nodiscard]] sim::world::Network& pair() { return pair_; }
  [[nodiscard]] sim::Machine& machine() { return pair_.machine(); }
  [[nodiscard]] sim::world::TrafficStation& station(std::size_t side) {
    return pair_.station(side);
  }
  [[nodiscard]] const DriverUnderTest& driver() const { return driver_; }

  // Brings both adapters up, side `order[0]` first, waits for the link and
  // opens both stations with `filter`. Fails the test when any of it does
  // not succeed.
  void bringUp(ULONG filter = kUsualFilter, std::array<std::size_t, 2> order = {0, 1});
  // Each side sends `frames` frames to the other; returns whether the run
  // finished in its time.
  bool exchange(std::uint64_t frames, const sim::world::TrafficRun& run = {});
  // Every frame each side sent arrived at the other intact, once and in
  // order, and came back to its sender exactly once with success.
  void expectClean();

  // What a fault, a reset or a halt may cost: frames lost while it lasted,
  // and packets aborted. Never more:
  // each side's frames sent so far, to count what follows from;
  [[nodiscard]] std::array<std::uint64_t, 2> framesSent() const;
  // frames of `sender`'s stream numbered from `from` that never reached the
  // other side;
  [[nodiscard]] std::uint64_t missingSince(std::size_t sender, std::uint64_t from) const;
  // every packet came back to its sender once, with success or aborted, or,
  // up to `mayFail` of each side's, with a failure (what a card pulled from
  // its socket fails);
  void expectEveryPacketBackOnce(std::array<std::uint64_t, 2> mayFail = {});
  // and no frame arrived damaged, twice, out of order or from nowhere.
  void expectNothingDamagedTwiceOrLate();

 private:
  DriverUnderTest driver_;  // outlives the machine, which may run its image
  sim::world::Network pair_;
};

}  // namespace kl::test
