// Reset and halt of an adapter in the middle of traffic, through the whole
// driver: packets still waiting for the card come back aborted, each once;
// nothing the host lent the driver is kept; and traffic flows both ways again
// afterwards, intact, once and in order.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "end_to_end/two_stations.h"

namespace kl::test {
namespace {

using namespace std::chrono_literals;
using sim::card::BusWidth;
using sim::world::StationCounts;
using sim::world::TrafficShape;

// Frames a card can hold at most: one per transmit buffer. A reset or a halt
// forgets them, and the one being sent is cut off.
constexpr std::uint64_t kCardHolds = 12;
constexpr sim::Duration kStep = 50us;
constexpr sim::Duration kLimit = 10s;
constexpr sim::Duration kSettle = 20ms;

// Pumps both stations and runs the machine until `done` holds; false when
// it never does.
bool RunUntil(TwoStations& world, const std::function<bool()>& done) {
  const sim::VirtualTime until = world.machine().now() + kLimit;
  while (!done()) {
    if (world.machine().now() >= until) {
      return false;
    }
    world.station(0).pump();
    world.station(1).pump();
    world.machine().runFor(kStep);
  }
  return true;
}

// The first side has packets waiting in the driver's queue while its card
// sends a frame.
bool QueuedWhileSending(TwoStations& world) {
  return world.station(0).packetsHeld() >= 2 &&
         world.pair().card(0).controller().transmitter().busy();
}

constexpr TrafficShape kLongest{.minSize = 1514, .maxSize = 1514};
constexpr TrafficShape kMixed{};

struct TrafficCase {
  const char* name;
  BusWidth width;
  TrafficShape shape;
  unsigned interruptions;
  std::uint64_t seed;
};

// ---------------------------------------------------------------------------
// Reset.

class ResetDuringTraffic : public ::testing::TestWithParam<TrafficCase> {};

TEST_P(ResetDuringTraffic, AbortsTheQueueOnceAndTrafficFlowsBothWaysAfterwards) {
  const TrafficCase& c = GetParam();
  SCOPED_TRACE("seed " + std::to_string(c.seed));
  TwoStations world(c.seed, c.shape, SlotsOf(c.width));
  world.bringUp();
  constexpr std::uint64_t kFrames = 3000;
  world.station(0).aim(world.station(1).address(), kFrames);
  world.station(1).aim(world.station(0).address(), kFrames);

  std::uint64_t aborted = 0;
  std::array<std::uint64_t, 2> sentAtLastReset{};
  for (unsigned reset = 0; reset < c.interruptions; ++reset) {
    SCOPED_TRACE("reset " + std::to_string(reset));
    const std::uint64_t after = world.station(0).counts().framesSent + 100;
    ASSERT_TRUE(RunUntil(world, [&] {
      return world.station(0).counts().framesSent >= after && QueuedWhileSending(world);
    }));
    const std::uint64_t queued = world.station(0).packetsHeld();
    const std::uint64_t abortedBefore = world.station(0).counts().sendsAborted;

    EXPECT_EQ(world.pair().adapter(0).reset(), NDIS_STATUS_SUCCESS);

    EXPECT_EQ(world.station(0).packetsHeld(), 0U) << "a queued packet was kept";
    EXPECT_EQ(world.station(0).counts().sendsAborted - abortedBefore, queued);
    EXPECT_FALSE(world.pair().card(0).controller().transmitter().busy());
    aborted += queued;
    sentAtLastReset = {world.station(0).counts().framesSent, world.station(1).counts().framesSent};
  }
  sim::world::TrafficStation* const all[] = {&world.station(0), &world.station(1)};
  ASSERT_TRUE(sim::world::runTraffic(world.machine(), all));

  world.expectEveryPacketBackOnce();
  world.expectNothingDamagedTwiceOrLate();
  EXPECT_EQ(world.station(0).counts().sendsAborted, aborted);
  EXPECT_EQ(world.station(1).counts().sendsAborted, 0U);
  // What was handed down after the last reset arrived, both ways.
  EXPECT_EQ(world.missingSince(0, sentAtLastReset[0]), 0U);
  EXPECT_EQ(world.missingSince(1, sentAtLastReset[1]), 0U);
  // Lost at the resets: the aborted packets, and at most what each card held.
  const std::uint64_t lostOut = world.station(1).missingFrom(world.station(0).stream(), kFrames);
  EXPECT_GE(lostOut, aborted);
  EXPECT_LE(lostOut, aborted + kCardHolds * c.interruptions);
  EXPECT_LE(world.station(0).missingFrom(world.station(1).stream(), kFrames),
            kCardHolds * c.interruptions);
}

INSTANTIATE_TEST_SUITE_P(
    Traffic, ResetDuringTraffic,
    ::testing::Values(TrafficCase{"WordLongestOnce", BusWidth::Word, kLongest, 1, 81},
                      TrafficCase{"ByteLongestOnce", BusWidth::Byte, kLongest, 1, 82},
                      TrafficCase{"WordMixedRepeatedly", BusWidth::Word, kMixed, 8, 83},
                      TrafficCase{"ByteMixedRepeatedly", BusWidth::Byte, kMixed, 8, 84}),
    [](const auto& param) { return std::string(param.param.name); });

// ---------------------------------------------------------------------------
// Halt, and initialize again.

class HaltDuringTraffic : public ::testing::TestWithParam<TrafficCase> {};

TEST_P(HaltDuringTraffic, CompletesEveryPacketGivesEverythingBackAndComesUpToCarryTrafficAgain) {
  const TrafficCase& c = GetParam();
  SCOPED_TRACE("seed " + std::to_string(c.seed));
  TwoStations world(c.seed, c.shape, SlotsOf(c.width));
  world.bringUp();
  sim::MiniportAdapter& first = world.pair().adapter(0);

  for (unsigned round = 0; round < c.interruptions; ++round) {
    SCOPED_TRACE("halt " + std::to_string(round));
    world.station(0).aim(world.station(1).address(), 2000);
    world.station(1).aim(world.station(0).address(), 2000);
    const std::uint64_t after = world.station(0).counts().framesSent + 100;
    ASSERT_TRUE(RunUntil(world, [&] {
      return world.station(0).counts().framesSent >= after && QueuedWhileSending(world);
    }));
    const std::uint64_t queued = world.station(0).packetsHeld();
    const std::uint64_t abortedBefore = world.station(0).counts().sendsAborted;

    // The host fails the test on anything kept or given back twice.
    first.halt();

    EXPECT_FALSE(first.initialized());
    EXPECT_EQ(world.station(0).packetsHeld(), 0U);
    EXPECT_EQ(world.station(0).counts().sendsAborted - abortedBefore, queued);
    EXPECT_EQ(world.pair().card(0).controller().tcr(), 0x02) << "still on the wire after the halt";
    const std::uint64_t timerRuns = first.timerRuns();
    // The far side stops sending; what it still holds goes out into nothing.
    world.station(0).aim(world.station(1).address(), 0);
    world.station(1).aim(world.station(0).address(), 0);
    world.machine().runFor(kSettle);
    world.expectEveryPacketBackOnce();
    EXPECT_FALSE(world.pair().card(0).interruptAsserted());

    world.machine().runFor(6s);
    EXPECT_EQ(first.timerRuns(), timerRuns) << "the timer ran after the halt";
    ASSERT_EQ(first.initialize(), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(world.station(0).open(kUsualFilter, kGroup), NDIS_STATUS_SUCCESS);
    ASSERT_TRUE(world.pair().waitForLink(5s));

    const std::array<std::uint64_t, 2> sentBefore = world.framesSent();
    ASSERT_TRUE(world.exchange(1000));
    world.expectEveryPacketBackOnce();
    EXPECT_EQ(world.missingSince(0, sentBefore[0]), 0U);
    EXPECT_EQ(world.missingSince(1, sentBefore[1]), 0U);
  }
  world.expectNothingDamagedTwiceOrLate();
  EXPECT_EQ(world.station(1).counts().sendsAborted, 0U);
}

INSTANTIATE_TEST_SUITE_P(
    Traffic, HaltDuringTraffic,
    ::testing::Values(TrafficCase{"WordLongestOnce", BusWidth::Word, kLongest, 1, 91},
                      TrafficCase{"ByteMixedThreeTimes", BusWidth::Byte, kMixed, 3, 92}),
    [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace kl::test
