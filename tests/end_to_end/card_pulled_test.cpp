// A card pulled out of its socket while traffic runs both ways: in the middle
// of a packet copy, of a receive pass, of the interrupt service loop, or just
// before a reset. From then on every port reads 0xFF. No handler hangs or
// loops on it, every packet handed down comes back exactly once, a reset
// reports the failure and logs it, the halt gives everything back, and with
// the card back in place the adapter comes up again and carries traffic. A
// packet copied to a card that is gone comes back with a failure, never with
// success; none that was back before the card went, or that is sent once it
// is back, does.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

#include "end_to_end/two_stations.h"
#include "support/card_ports.h"

namespace kl::test {
namespace {

using namespace std::chrono_literals;
using sim::card::BusWidth;

constexpr ULONG kHardwareFailure = 0xC000138A;
constexpr std::uint64_t kFrames = 2000;
constexpr sim::Duration kStep = 50us;

enum class Moment : std::uint8_t { MidCopy, MidReceivePass, MidServiceLoop, BeforeReset };

struct PullRow {
  std::string name;
  BusWidth width;
  Moment moment;
  std::uint64_t seed;
  bool failsACopy = false;  // the packet being copied comes back failed
};

void PrintTo(const PullRow& row, std::ostream* out) { *out << row.name; }

// Pumps both stations and runs the machine for `duration`, or until `done`.
void Pump(TwoStations& world, sim::Duration duration, const std::function<bool()>& done = {}) {
  const sim::VirtualTime until = world.machine().now() + duration;
  while (world.machine().now() < until && !(done && done())) {
    world.station(0).pump();
    world.station(1).pump();
    world.machine().runFor(kStep);
  }
}

class CardPulled : public ::testing::TestWithParam<PullRow> {};

TEST_P(CardPulled, NothingHangsEveryPacketComesBackOnceAndTheCardComesBackUp) {
  const PullRow& row = GetParam();
  SCOPED_TRACE("seed " + std::to_string(row.seed));
  TwoStations world(row.seed, {}, SlotsOf(row.width));
  world.bringUp();
  sim::card::Card& card = world.pair().card(0);
  sim::MiniportAdapter& adapter = world.pair().adapter(0);
  world.station(0).aim(world.station(1).address(), kFrames);
  world.station(1).aim(world.station(0).address(), kFrames);
  Pump(world, 20ms);

  // What was back with its sender when the card went may not fail.
  std::uint64_t backAtThePull = 0;
  const auto pull = [&] {
    const sim::world::StationCounts& counts = world.station(0).counts();
    EXPECT_EQ(counts.sendsFailed, 0U) << "a send failed before the card went";
    backAtThePull = counts.sendsCompleted + counts.sendsAborted;
    card.faults().removed = true;
  };
  // The moment is recognised by what the card is doing at the access.
  unsigned maskedStatusReads = 0;
  world.pair().world().interposer(0).setHook(
      [&](std::uint64_t, std::uint16_t offset, sim::Direction direction) {
        const sim::card::Controller& controller = card.controller();
        bool now = false;
        switch (row.moment) {
          case Moment::MidCopy:
            now = offset == port::DATA && direction == sim::Direction::Write;
            break;
          case Moment::MidReceivePass:
            now = offset == port::DATA && direction == sim::Direction::Read &&
                  controller.remoteDma().remainingCount() > 2;
            break;
          case Moment::MidServiceLoop:
            now = offset == port::ISR && direction == sim::Direction::Read &&
                  controller.imr() == 0 && ++maskedStatusReads == 3;
            break;
          case Moment::BeforeReset:
            break;
        }
        if (now && !card.faults().removed) {
          pull();
        }
      });
  if (row.moment == Moment::BeforeReset) {
    pull();
  }
  Pump(world, 100ms, [&] { return card.faults().removed; });
  ASSERT_TRUE(card.faults().removed) << "the moment never came";
  world.pair().world().interposer(0).clearHook();
  Pump(world, 20ms);

  const std::size_t logged = world.machine().errorLog().size();
  EXPECT_EQ(adapter.reset(), NDIS_STATUS_FAILURE);
  ASSERT_EQ(world.machine().errorLog().size(), logged + 1);
  EXPECT_EQ(world.machine().errorLog().back(),
            (sim::ErrorLogEntry{adapter.handle(), kHardwareFailure, {0, 1}}));
  adapter.halt();
  EXPECT_EQ(world.station(0).packetsHeld(), 0U);

  const std::uint64_t mayFail = world.framesSent()[0] - backAtThePull;
  if (row.failsACopy) {
    EXPECT_GT(world.station(0).counts().sendsFailed, 0U) << "the copy cut short came back good";
  }

  // Back in its socket, the card comes up again and traffic flows.
  card.faults().removed = false;
  ASSERT_EQ(adapter.initialize(), NDIS_STATUS_SUCCESS);
  ASSERT_EQ(world.station(0).open(kUsualFilter, kGroup), NDIS_STATUS_SUCCESS);
  ASSERT_TRUE(world.pair().waitForLink(5s));
  const std::array<std::uint64_t, 2> sentBefore = world.framesSent();
  ASSERT_TRUE(world.exchange(500));
  world.expectEveryPacketBackOnce({mayFail, 0});
  world.expectNothingDamagedTwiceOrLate();
  EXPECT_EQ(world.missingSince(0, sentBefore[0]), 0U) << "lost after the card came back";
  EXPECT_EQ(world.missingSince(1, sentBefore[1]), 0U) << "lost after the card came back";
}

INSTANTIATE_TEST_SUITE_P(
    Moments, CardPulled,
    ::testing::Values(PullRow{"WordMidCopy", BusWidth::Word, Moment::MidCopy, 181, true},
                      PullRow{"ByteMidCopy", BusWidth::Byte, Moment::MidCopy, 182, true},
                      PullRow{"WordMidReceivePass", BusWidth::Word, Moment::MidReceivePass, 183},
                      PullRow{"ByteMidReceivePass", BusWidth::Byte, Moment::MidReceivePass, 184},
                      PullRow{"WordMidServiceLoop", BusWidth::Word, Moment::MidServiceLoop, 185},
                      PullRow{"WordBeforeReset", BusWidth::Word, Moment::BeforeReset, 186}),
    [](const auto& test) { return test.param.name; });

}  // namespace
}  // namespace kl::test
