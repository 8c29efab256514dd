#include "end_to_end/two_stations.h"

#include <string>

#include "support/timing_under_test.h"

namespace kl::test {

using namespace std::chrono_literals;

std::array<sim::world::SlotSetup, 2> SlotsOf(sim::card::BusWidth width) {
  auto slots = sim::world::defaultSlots(kFirstStation, kSecondStation);
  for (std::size_t side = 0; side < slots.size(); ++side) {
    const auto& mac = side == 0 ? kFirstStation : kSecondStation;
    slots[side].card.busWidth = width;
    slots[side].card.prom = width == sim::card::BusWidth::Word ? sim::card::wordWidePromImage(mac)
                                                               : sim::card::byteWidePromImage(mac);
  }
  return slots;
}

TwoStations::TwoStations(std::uint64_t seed, const sim::world::TrafficShape& shape,
                         const std::array<sim::world::SlotSetup, 2>& slots,
                         const sim::world::Cabling& cabling,
                         const std::optional<sim::card::TimingSetup>& timing)
    : pair_({.slots = {slots.begin(), slots.end()},
             .cabling = cabling,
             .machine = sim::MachineSetup{.seed = seed,
                                          .timing = timing.value_or(TimingUnderTest(seed))}}) {
  pair_.machine().onViolation(
      [](const std::string& what) { ADD_FAILURE() << "NDIS rule broken: " << what; });
  EXPECT_EQ(driver_.load(pair_.machine()), STATUS_SUCCESS);
  pair_.addStations({.shape = shape, .firstSeed = seed * 2});
}

void TwoStations::bringUp(ULONG filter, std::array<std::size_t, 2> order) {
  ASSERT_EQ(pair_.initialize({order.begin(), order.end()}), NDIS_STATUS_SUCCESS);
  ASSERT_TRUE(pair_.waitForLink(5s)) << "the link never came up";
  for (std::size_t side = 0; side < pair_.size(); ++side) {
    ASSERT_EQ(station(side).open(filter, kGroup), NDIS_STATUS_SUCCESS);
  }
}

bool TwoStations::exchange(std::uint64_t frames, const sim::world::TrafficRun& run) {
  station(0).aim(station(1).address(), frames);
  station(1).aim(station(0).address(), frames);
  return pair_.runTraffic(run);
}

void TwoStations::expectClean() {
  for (std::size_t side = 0; side < pair_.size(); ++side) {
    SCOPED_TRACE("station " + std::to_string(side));
    const sim::world::StationCounts& own = pair_.station(side).counts();
    const sim::world::TrafficStation& peer = pair_.station(1 - side);
    EXPECT_EQ(own.sendsCompleted, own.framesSent);
    EXPECT_EQ(own.sendsFailed, 0U);
    EXPECT_EQ(own.strayCompletions, 0U);
    EXPECT_EQ(own.framesReceived, peer.counts().framesSent);
    EXPECT_EQ(own.bytesReceived, peer.counts().bytesSent);
    EXPECT_EQ(pair_.station(side).missingFrom(peer.stream(), peer.counts().framesSent), 0U);
    EXPECT_EQ(own.damaged, 0U);
    EXPECT_EQ(own.duplicates, 0U);
    EXPECT_EQ(own.outOfOrder, 0U);
    EXPECT_EQ(own.foreign, 0U);
    EXPECT_EQ(own.transferFailures, 0U);
  }
}

std::array<std::uint64_t, 2> TwoStations::framesSent() const {
  return {pair_.station(0).counts().framesSent, pair_.station(1).counts().framesSent};
}

std::uint64_t TwoStations::missingSince(std::size_t sender, std::uint64_t from) const {
  const sim::world::TrafficStation& source = pair_.station(sender);
  const sim::world::TrafficStation& sink = pair_.station(1 - sender);
  return sink.missingFrom(source.stream(), source.counts().framesSent) -
         sink.missingFrom(source.stream(), from);
}

void TwoStations::expectEveryPacketBackOnce(std::array<std::uint64_t, 2> mayFail) {
  for (std::size_t side = 0; side < pair_.size(); ++side) {
    SCOPED_TRACE("station " + std::to_string(side));
    const sim::world::StationCounts& own = pair_.station(side).counts();
    EXPECT_EQ(pair_.station(side).packetsHeld(), 0U);
    EXPECT_EQ(own.sendsCompleted + own.sendsAborted + own.sendsFailed, own.framesSent);
    EXPECT_LE(own.sendsFailed, mayFail[side]);
    EXPECT_EQ(own.strayCompletions, 0U);
  }
}

void TwoStations::expectNothingDamagedTwiceOrLate() {
  for (std::size_t side = 0; side < pair_.size(); ++side) {
    SCOPED_TRACE("station " + std::to_string(side));
    const sim::world::StationCounts& own = pair_.station(side).counts();
    EXPECT_EQ(own.damaged, 0U);
    EXPECT_EQ(own.duplicates, 0U);
    EXPECT_EQ(own.outOfOrder, 0U);
    EXPECT_EQ(own.foreign, 0U);
    EXPECT_EQ(own.transferFailures, 0U);
  }
}

}  // namespace kl::test
