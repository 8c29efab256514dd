// Two adapters on a half-duplex wire, through the whole driver. Each card's
// PHY links with a port of a two-port repeater, so the driver finds a
// partner that does not negotiate (a hub's port, forced to half duplex) or
// one that does, or the two cards negotiate half duplex with each other; the
// driver sets the MAC's duplex to the link's. Half duplex against half
// duplex: frames collide and back off, yet every frame arrives once, intact
// and in order, and the collision counters, which the driver does not keep,
// still answer 0. Half duplex against full duplex: the half-duplex side sees
// collisions, late ones too, and gives frames up after 16 of them, which the
// driver sends again; the full-duplex side receives what was cut short as
// CRC errors; neither driver passes a damaged frame up.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "end_to_end/two_stations.h"

namespace kl::test {
namespace {

using sim::card::Duplex;
using sim::card::LinkMode;
using sim::card::LinkSignal;
using sim::card::Speed;
using sim::net::Cable;
using sim::world::queryUlong;
using sim::world::SlotSetup;
using sim::world::TrafficShape;

constexpr std::uint8_t kMiimrFullDuplex = 0x40;
// OID_GEN_LINK_SPEED, in 100 bit/s.
constexpr ULONG kTenMbit = 100'000;
constexpr ULONG kHundredMbit = 1'000'000;

std::array<SlotSetup, 2> slotsWith(std::uint32_t firstType, std::uint32_t secondType) {
  auto slots = sim::world::defaultSlots(kFirstStation, kSecondStation);
  slots[0].adapter.keywords["ConnectionType"] = firstType;
  slots[1].adapter.keywords["ConnectionType"] = secondType;
  return slots;
}

bool macFullDuplex(TwoStations& world, std::size_t side) {
  return (world.pair().card(side).controller().miimr() & kMiimrFullDuplex) != 0;
}

const sim::net::AccessCounts& access(TwoStations& world, std::size_t side) {
  return world.pair().cable().cable().accessCounts(side == 0 ? Cable::Side::A : Cable::Side::B);
}

// Rounds of one frame from each side: side 0 hands its frame down, side 1
// `offset` later, and the next round begins `step` after this one. Then the
// rest of the wire's work is let finish.
bool pacedRounds(TwoStations& world, std::uint64_t rounds, sim::Duration step,
                 sim::Duration offset) {
  sim::world::TrafficStation& first = world.station(0);
  sim::world::TrafficStation& second = world.station(1);
  for (std::uint64_t round = 0; round < rounds; ++round) {
    first.aim(second.address(), round + 1 - first.counts().framesSent);
    first.pump();
    world.machine().runFor(offset);
    second.aim(first.address(), round + 1 - second.counts().framesSent);
    second.pump();
    world.machine().runFor(step - offset);
  }
  sim::world::TrafficStation* const both[] = {&first, &second};
  return sim::world::runTraffic(world.machine(), both);
}

constexpr LinkMode kTenHalf{Speed::Mbit10, Duplex::Half};
constexpr LinkMode kHundredHalf{Speed::Mbit100, Duplex::Half};
constexpr TrafficShape kMixed{};
constexpr TrafficShape kShortest{.minSize = 60, .maxSize = 60};
constexpr TrafficShape kLongest{.minSize = 1514, .maxSize = 1514, .maxPieces = 12};

// ---------------------------------------------------------------------------
// Half duplex against half duplex: both sides start each round's frame at
// the same moment, so every round collides, and backoff sorts it out.

struct HalfCase {
  std::string name;
  std::uint32_t connectionType;
  std::optional<LinkMode> hubPort;  // none: the cards cabled to each other
  ULONG linkSpeed;
  TrafficShape shape;
  sim::Duration step;
  std::uint64_t rounds;
  std::uint64_t seed;
};

class HalfAgainstHalf : public ::testing::TestWithParam<HalfCase> {};

TEST_P(HalfAgainstHalf, FramesCollideYetEveryOneArrivesOnceIntactAndInOrder) {
  const HalfCase& c = GetParam();
  SCOPED_TRACE("seed " + std::to_string(c.seed));
  sim::world::Cabling cabling;
  if (c.hubPort) {
    const LinkSignal port = LinkSignal::forcedTo(*c.hubPort);
    cabling.repeaterPorts = {{port, port}};
  }
  TwoStations world(c.seed, c.shape, slotsWith(c.connectionType, c.connectionType), cabling);
  std::uint64_t crossed = 0;
  world.pair().cable().cable().onFrame([&crossed](const sim::net::WireFrame& /*frame*/,
                                                  Cable::Side /*from*/,
                                                  sim::VirtualTime /*at*/) { ++crossed; });
  world.bringUp();
  for (std::size_t side = 0; side < 2; ++side) {
    EXPECT_FALSE(macFullDuplex(world, side)) << "side " << side;
    EXPECT_EQ(queryUlong(world.pair().adapter(side), OID_GEN_LINK_SPEED), c.linkSpeed);
  }

  ASSERT_TRUE(pacedRounds(world, c.rounds, c.step, sim::Duration{}));
  world.expectClean();
  for (std::size_t side = 0; side < 2; ++side) {
    SCOPED_TRACE("side " + std::to_string(side));
    // Most rounds collide; a round whose backoff ran long lets the next
    // round's frames meet a busy wire instead.
    EXPECT_GE(access(world, side).collisions, c.rounds / 2);
    EXPECT_EQ(access(world, side).lateCollisions, 0U);
    // The runts that collisions leave are neither stored nor counted.
    sim::MiniportAdapter& adapter = world.pair().adapter(side);
    EXPECT_EQ(queryUlong(adapter, OID_GEN_RCV_OK), world.station(1 - side).counts().framesSent);
    EXPECT_EQ(queryUlong(adapter, OID_GEN_RCV_ERROR), 0U);
    EXPECT_EQ(queryUlong(adapter, OID_GEN_XMIT_OK), world.station(side).counts().framesSent);
    EXPECT_EQ(queryUlong(adapter, OID_GEN_XMIT_ERROR), 0U);
    EXPECT_EQ(queryUlong(adapter, OID_802_3_XMIT_ONE_COLLISION), 0U);
    EXPECT_EQ(queryUlong(adapter, OID_802_3_XMIT_MORE_COLLISIONS), 0U);
  }
  // The capture shows the frames that crossed whole, each once.
  EXPECT_EQ(crossed, 2 * c.rounds);
}

// A round leaves room for both frames at their longest.
INSTANTIATE_TEST_SUITE_P(
    HalfDuplexWire, HalfAgainstHalf,
    ::testing::Values(HalfCase{"TenMixed", 1, kTenHalf, kTenMbit, kMixed,
                               std::chrono::milliseconds(3), 500, 21},
                      HalfCase{"TenShortest", 1, kTenHalf, kTenMbit, kShortest,
                               std::chrono::microseconds(500), 500, 22},
                      HalfCase{"HundredMixed", 3, kHundredHalf, kHundredMbit, kMixed,
                               std::chrono::microseconds(300), 1000, 23},
                      HalfCase{"AutomaticHundred", 0, kHundredHalf, kHundredMbit, kLongest,
                               std::chrono::microseconds(300), 500, 24},
                      HalfCase{"NegotiatedHundredHalf", 3, std::nullopt, kHundredMbit, kMixed,
                               std::chrono::microseconds(300), 1000, 26},
                      HalfCase{"NegotiatedTenHalf", 1, std::nullopt, kTenMbit, kMixed,
                               std::chrono::milliseconds(3), 500, 27}),
    [](const auto& param) { return param.param.name; });

// Both sides sending as fast as the driver lets them: the side that has
// just sent a frame starts its next one at once, so the other keeps losing
// (the capture effect) until its frame has collided 16 times and is given
// up with TXE. The driver restarts the controller and sends the frame again;
// while it is stopped it receives nothing, so each side loses some of the
// other's frames, but none arrives damaged, twice or out of order.
TEST(HalfAgainstHalfSaturated, FramesGivenUpAfterSixteenCollisionsAreSentAgain) {
  constexpr std::uint64_t kSeed = 25;
  SCOPED_TRACE("seed " + std::to_string(kSeed));
  const LinkSignal port = LinkSignal::forcedTo(kTenHalf);
  TwoStations world(kSeed, kMixed, slotsWith(1, 1),
                    sim::world::Cabling{.repeaterPorts = {{port, port}}});
  world.bringUp();
  ASSERT_TRUE(world.exchange(2000));
  std::uint64_t aborts = 0;
  for (std::size_t side = 0; side < 2; ++side) {
    SCOPED_TRACE("side " + std::to_string(side));
    aborts += access(world, side).aborts;
    const sim::world::StationCounts& counts = world.station(side).counts();
    EXPECT_EQ(counts.sendsCompleted, counts.framesSent);
    EXPECT_EQ(counts.damaged, 0U);
    EXPECT_EQ(counts.duplicates, 0U);
    EXPECT_EQ(counts.outOfOrder, 0U);
    EXPECT_EQ(counts.foreign, 0U);
    EXPECT_GT(counts.framesReceived, 0U);
    // Every frame is sent whole in the end: XMIT_OK counts each once.
    EXPECT_EQ(queryUlong(world.pair().adapter(side), OID_GEN_XMIT_OK), counts.framesSent);
  }
  EXPECT_GT(aborts, 0U);
  EXPECT_TRUE(world.machine().errorLog().empty());
}

// ---------------------------------------------------------------------------
// Half duplex against full duplex. Side 0's port is forced to 100 Mbit/s
// half duplex; side 1's negotiates, so its driver runs the MAC at full
// duplex and sends whenever it has a frame.

struct MismatchCase {
  std::string name;
  TrafficShape shape;
  sim::Duration step;
  sim::Duration offset;  // side 1's frame after side 0's, each round
  std::uint64_t rounds;
  std::uint64_t seed;
};

class DuplexMismatch : public ::testing::TestWithParam<MismatchCase> {};

TEST_P(DuplexMismatch, DriversSurviveCountWhatTheCardsReportAndPassNothingDamaged) {
  const MismatchCase& c = GetParam();
  SCOPED_TRACE("seed " + std::to_string(c.seed));
  TwoStations world(c.seed, c.shape, slotsWith(3, 0),
                    sim::world::Cabling{.repeaterPorts = {{LinkSignal::forcedTo(kHundredHalf),
                                                           LinkSignal::negotiating(0x01E1)}}});
  world.bringUp();
  ASSERT_FALSE(macFullDuplex(world, 0));
  ASSERT_TRUE(macFullDuplex(world, 1));
  ASSERT_TRUE(pacedRounds(world, c.rounds, c.step, c.offset));
  sim::world::TrafficStation& half = world.station(0);
  sim::world::TrafficStation& full = world.station(1);

  // Only the half-duplex side collides; side 1's frames start in the middle
  // of side 0's, after the slot time.
  EXPECT_GT(access(world, 0).collisions, 0U);
  EXPECT_GT(access(world, 0).lateCollisions, 0U);
  EXPECT_EQ(access(world, 1).collisions, 0U);
  // Every frame of the half-duplex side gets across once, intact and in
  // order, however often it was cut short.
  EXPECT_EQ(full.counts().framesReceived, half.counts().framesSent);
  EXPECT_EQ(full.missingFrom(half.stream(), half.counts().framesSent), 0U);
  // What was cut short past the slot time reached side 1 with a bad FCS:
  // the driver counts it from CNTR1 and passes none of it up.
  const ULONG crcErrors = *queryUlong(world.pair().adapter(1), OID_GEN_RCV_ERROR);
  EXPECT_GT(crcErrors, 0U);
  EXPECT_LE(crcErrors, access(world, 0).lateCollisions);
  // The half-duplex side loses the frames it was sending over, and passes
  // up only whole ones.
  EXPECT_LT(half.counts().framesReceived, full.counts().framesSent);
  for (const sim::world::TrafficStation* station : {&half, &full}) {
    SCOPED_TRACE("stream " + std::to_string(station->stream()));
    const sim::world::StationCounts& counts = station->counts();
    EXPECT_EQ(counts.sendsCompleted, counts.framesSent);
    EXPECT_EQ(counts.sendsFailed, 0U);
    EXPECT_EQ(counts.damaged, 0U);
    EXPECT_EQ(counts.duplicates, 0U);
    EXPECT_EQ(counts.outOfOrder, 0U);
    EXPECT_EQ(counts.foreign, 0U);
    EXPECT_EQ(counts.transferFailures, 0U);
  }
  EXPECT_TRUE(world.machine().errorLog().empty());
}

INSTANTIATE_TEST_SUITE_P(
    HalfAgainstFull, DuplexMismatch,
    ::testing::Values(MismatchCase{"Mixed", kMixed, std::chrono::microseconds(300),
                                   std::chrono::microseconds(30), 1000, 31},
                      MismatchCase{"Longest", kLongest, std::chrono::microseconds(300),
                                   std::chrono::microseconds(60), 500, 32}),
    [](const auto& param) { return param.param.name; });

// The full-duplex side sending back to back keeps the wire busy, so the
// half-duplex side's frames collide on every attempt and are given up after
// 16; the driver restarts the controller and sends each again, and every
// one of them still arrives once, since the full-duplex side never stops
// receiving.
TEST(DuplexMismatchFlood, FramesGivenUpWithTxeAreSentAgainAndArriveOnce) {
  constexpr std::uint64_t kSeed = 33;
  SCOPED_TRACE("seed " + std::to_string(kSeed));
  TwoStations world(kSeed, kLongest, slotsWith(3, 0),
                    sim::world::Cabling{.repeaterPorts = {{LinkSignal::forcedTo(kHundredHalf),
                                                           LinkSignal::negotiating(0x01E1)}}});
  world.bringUp();
  sim::world::TrafficStation& half = world.station(0);
  sim::world::TrafficStation& full = world.station(1);
  half.aim(full.address(), 200);
  full.aim(half.address(), 5000);
  sim::world::TrafficStation* const both[] = {&half, &full};
  ASSERT_TRUE(sim::world::runTraffic(world.machine(), both));

  EXPECT_GT(access(world, 0).aborts, 0U);
  EXPECT_EQ(full.counts().framesReceived, half.counts().framesSent);
  EXPECT_EQ(full.missingFrom(half.stream(), half.counts().framesSent), 0U);
  EXPECT_EQ(full.counts().duplicates, 0U);
  EXPECT_EQ(full.counts().damaged, 0U);
  EXPECT_EQ(half.counts().damaged, 0U);
  EXPECT_EQ(queryUlong(world.pair().adapter(0), OID_GEN_XMIT_OK), half.counts().framesSent);
  EXPECT_TRUE(world.machine().errorLog().empty());
}

}  // namespace
}  // namespace kl::test
