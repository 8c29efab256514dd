#include "end_to_end/two_stations.h"

#include <string>

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
                         const sim::world::Cabling& cabling)
    : pair_(slots, sim::MachineSetup{.seed = seed}, cabling) {
  pair_.machine().onViolation(
      [](const std::string& what) { ADD_FAILURE() << "NDIS rule broken: " << what; });
  EXPECT_EQ(driver_.load(pair_.machine()), STATUS_SUCCESS);
  for (std::size_t side = 0; side < stations_.size(); ++side) {
    stations_[side] = std::make_unique<sim::world::TrafficStation>(
        pair_.adapter(side), static_cast<std::uint8_t>(side), seed * 2 + side, shape);
  }
}

TwoStations::~TwoStations() {
  for (std::size_t side = 0; side < stations_.size(); ++side) {
    if (pair_.adapter(side).initialized()) {
      pair_.adapter(side).halt();
    }
  }
}

void TwoStations::bringUp(ULONG filter, std::array<std::size_t, 2> order) {
  ASSERT_EQ(pair_.initialize(order), NDIS_STATUS_SUCCESS);
  ASSERT_TRUE(pair_.waitForLink(5s)) << "the link never came up";
  for (const auto& station : stations_) {
    ASSERT_EQ(station->open(filter, kGroup), NDIS_STATUS_SUCCESS);
  }
}

bool TwoStations::exchange(std::uint64_t frames, const sim::world::TrafficRun& run) {
  stations_[0]->aim(stations_[1]->address(), frames);
  stations_[1]->aim(stations_[0]->address(), frames);
  sim::world::TrafficStation* const all[] = {stations_[0].get(), stations_[1].get()};
  return sim::world::runTraffic(machine(), all, run);
}

void TwoStations::expectClean() {
  for (std::size_t side = 0; side < stations_.size(); ++side) {
    SCOPED_TRACE("station " + std::to_string(side));
    const sim::world::StationCounts& own = stations_[side]->counts();
    const sim::world::TrafficStation& peer = *stations_[1 - side];
    EXPECT_EQ(own.sendsCompleted, own.framesSent);
    EXPECT_EQ(own.sendsFailed, 0U);
    EXPECT_EQ(own.strayCompletions, 0U);
    EXPECT_EQ(own.framesReceived, peer.counts().framesSent);
    EXPECT_EQ(own.bytesReceived, peer.counts().bytesSent);
    EXPECT_EQ(stations_[side]->missingFrom(peer.stream(), peer.counts().framesSent), 0U);
    EXPECT_EQ(own.damaged, 0U);
    EXPECT_EQ(own.duplicates, 0U);
    EXPECT_EQ(own.outOfOrder, 0U);
    EXPECT_EQ(own.foreign, 0U);
    EXPECT_EQ(own.transferFailures, 0U);
  }
}

std::array<std::uint64_t, 2> TwoStations::framesSent() const {
  return {stations_[0]->counts().framesSent, stations_[1]->counts().framesSent};
}

std::uint64_t TwoStations::missingSince(std::size_t sender, std::uint64_t from) const {
  const sim::world::TrafficStation& source = *stations_.at(sender);
  const sim::world::TrafficStation& sink = *stations_.at(1 - sender);
  return sink.missingFrom(source.stream(), source.counts().framesSent) -
         sink.missingFrom(source.stream(), from);
}

void TwoStations::expectEveryPacketBackOnce() {
  for (std::size_t side = 0; side < stations_.size(); ++side) {
    SCOPED_TRACE("station " + std::to_string(side));
    const sim::world::StationCounts& own = stations_[side]->counts();
    EXPECT_EQ(stations_[side]->packetsHeld(), 0U);
    EXPECT_EQ(own.sendsCompleted + own.sendsAborted, own.framesSent);
    EXPECT_EQ(own.sendsFailed, 0U);
    EXPECT_EQ(own.strayCompletions, 0U);
  }
}

void TwoStations::expectNothingDamagedTwiceOrLate() {
  for (std::size_t side = 0; side < stations_.size(); ++side) {
    SCOPED_TRACE("station " + std::to_string(side));
    const sim::world::StationCounts& own = stations_[side]->counts();
    EXPECT_EQ(own.damaged, 0U);
    EXPECT_EQ(own.duplicates, 0U);
    EXPECT_EQ(own.outOfOrder, 0U);
    EXPECT_EQ(own.foreign, 0U);
    EXPECT_EQ(own.transferFailures, 0U);
  }
}

}  // namespace kl::test
