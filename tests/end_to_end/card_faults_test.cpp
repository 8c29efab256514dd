// Card faults injected while traffic runs both ways, for a while, and then
// lifted: a remote-DMA address that never moves during a packet copy, a
// memory cell that reads back wrong, transmit aborts and receive overruns in
// bursts, glitches on the interrupt line, and a link that flaps. Whatever the
// fault, every packet handed down comes back exactly once, nothing arrives
// twice or out of order, a fault that corrupts bytes is caught by the frame
// check rather than passed off as good, and once the fault is gone traffic is
// clean again.
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

constexpr sim::Duration kStep = 50us;
constexpr unsigned kFaultSteps = 400;  // 20 ms of traffic under the fault
constexpr std::uint64_t kFrames = 100000;
constexpr std::uint64_t kCleanFrames = 300;
constexpr ULONG kHardwareFailure = 0xC000138A;
// The cards' twelve transmit buffers, at the start of their packet memory.
constexpr ULONG kTransmitArea = 0x4000;
constexpr ULONG kTransmitAreaEnd = 0x4C00;
// A cell in the first card's receive ring, and one in its transmit buffers.
constexpr std::uint32_t kRingCell = 0x4E40;
constexpr std::uint32_t kTransmitCell = 0x4030;

// What a fault may do to the bytes of frames: nothing; damage that the
// receiver's frame check must catch; or, for a fault that garbles reads only
// now and then, damage that the check catches when there is any.
enum class Damage : std::uint8_t { None, Caught, Possible };

struct FaultRow {
  std::string name;
  // Runs at each step of the fault's window, the first being step 0.
  std::function<void(TwoStations&, unsigned step)> during;
  // Lifts the fault.
  std::function<void(TwoStations&)> lift;
  Damage damage = Damage::None;
  bool failsSends = false;    // packets come back with a failure status
  bool missesFrames = false;  // the card counts frames it could not store
};

void PrintTo(const FaultRow& row, std::ostream* out) { *out << row.name; }

sim::card::CardFaults& Faults(TwoStations& world) { return world.pair().card(0).faults(); }

void Pump(TwoStations& world) {
  world.station(0).pump();
  world.station(1).pump();
  world.machine().runFor(kStep);
}

class FaultDuringTraffic : public ::testing::TestWithParam<FaultRow> {};

TEST_P(FaultDuringTraffic, EveryPacketComesBackOnceAndTrafficIsCleanAfterwards) {
  const FaultRow& row = GetParam();
  constexpr std::uint64_t kSeed = 1800;
  SCOPED_TRACE("seed " + std::to_string(kSeed));
  TwoStations world(kSeed);
  world.bringUp();
  world.station(0).aim(world.station(1).address(), kFrames);
  world.station(1).aim(world.station(0).address(), kFrames);
  for (unsigned step = 0; step < 40; ++step) {
    Pump(world);
  }
  for (unsigned step = 0; step < kFaultSteps; ++step) {
    row.during(world, step);
    Pump(world);
  }
  row.lift(world);
  ASSERT_TRUE(world.pair().waitForLink(5s));
  world.station(0).aim(world.station(1).address(), 0);
  world.station(1).aim(world.station(0).address(), 0);
  world.machine().runFor(20ms);

  std::array<std::uint64_t, 2> damagedBefore{};
  std::uint64_t damaged = 0;
  for (std::size_t side = 0; side < 2; ++side) {
    damagedBefore[side] = world.station(side).counts().damaged;
    damaged += damagedBefore[side];
  }
  if (row.damage != Damage::Possible) {
    EXPECT_EQ(damaged > 0, row.damage == Damage::Caught) << "damaged frames: " << damaged;
  }
  const std::array<std::uint64_t, 2> sentBefore = world.framesSent();
  ASSERT_TRUE(world.exchange(kCleanFrames));

  for (std::size_t side = 0; side < 2; ++side) {
    SCOPED_TRACE("station " + std::to_string(side));
    const sim::world::StationCounts& own = world.station(side).counts();
    EXPECT_EQ(own.sendsCompleted + own.sendsFailed, own.framesSent);
    EXPECT_EQ(own.sendsAborted, 0U);
    EXPECT_EQ(own.strayCompletions, 0U);
    EXPECT_EQ(own.duplicates, 0U);
    EXPECT_EQ(own.outOfOrder, 0U);
    EXPECT_EQ(own.foreign, 0U);
    EXPECT_EQ(own.damaged, damagedBefore[side]) << "damaged after the fault was lifted";
    EXPECT_EQ(world.missingSince(1 - side, sentBefore[1 - side]), 0U)
        << "lost after the fault was lifted";
  }
  const std::uint64_t failed = world.station(0).counts().sendsFailed;
  EXPECT_EQ(failed > 0, row.failsSends);
  EXPECT_EQ(world.station(1).counts().sendsFailed, 0U);
  std::uint64_t failuresLogged = 0;
  for (const sim::ErrorLogEntry& entry : world.machine().errorLog()) {
    // A copy failure names itself (1) and the transmit buffer it was for.
    EXPECT_EQ(entry.code, kHardwareFailure);
    ASSERT_EQ(entry.values.size(), 2U);
    EXPECT_EQ(entry.values[0], 1U);
    EXPECT_TRUE(entry.values[1] >= kTransmitArea && entry.values[1] < kTransmitAreaEnd &&
                entry.values[1] % 256 == 0)
        << "not a transmit buffer's address: " << entry.values[1];
    ++failuresLogged;
  }
  EXPECT_EQ(failuresLogged, failed) << "each failed copy is logged once";
  const std::optional<ULONG> missed =
      sim::world::queryUlong(world.pair().adapter(0), OID_GEN_RCV_NO_BUFFER);
  ASSERT_TRUE(missed.has_value());
  EXPECT_EQ(*missed > 0, row.missesFrames);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultDuringTraffic,
    ::testing::Values(
        FaultRow{.name = "CrdaFrozenForAWhile",
                 // Until a copy has failed: how soon one starts depends on the
                 // card's timing.
                 .during =
                     [](TwoStations& world, unsigned step) {
                       Faults(world).crdaFrozen =
                           step >= 100 && world.station(0).counts().sendsFailed == 0;
                     },
                 .lift = [](TwoStations& world) { Faults(world).crdaFrozen = false; },
                 .damage = Damage::Possible,
                 .failsSends = true},
        FaultRow{.name = "MemoryCellReadsBackWrong",
                 .during =
                     [](TwoStations& world, unsigned step) {
                       Faults(world).badCell = step % 2 == 0 ? kRingCell : kTransmitCell;
                     },
                 .lift = [](TwoStations& world) { Faults(world).badCell.reset(); },
                 .damage = Damage::Caught},
        FaultRow{.name = "TransmitAbortsInBursts",
                 .during =
                     [](TwoStations& world, unsigned step) {
                       if (step % 100 == 0) {
                         Faults(world).transmitAborts = 8;
                       }
                     },
                 .lift = [](TwoStations& world) { Faults(world).transmitAborts = 0; }},
        FaultRow{.name = "ReceiveOverrunsInBursts",
                 .during =
                     [](TwoStations& world, unsigned step) {
                       if (step % 100 == 0) {
                         Faults(world).receiveOverruns = 3;
                       }
                     },
                 .lift = [](TwoStations& world) { Faults(world).receiveOverruns = 0; },
                 .missesFrames = true},
        FaultRow{.name = "SpuriousInterrupts",
                 .during = [](TwoStations& world,
                              unsigned /*step*/) { Faults(world).lineGlitch = true; },
                 .lift = [](TwoStations& world) { Faults(world).lineGlitch = false; }},
        FaultRow{.name = "LinkFlaps",
                 .during =
                     [](TwoStations& world, unsigned step) {
                       if (step % 100 == 0) {
                         world.pair().cable().setConnected(false);
                       } else if (step % 100 == 10) {
                         world.pair().cable().setConnected(true);
                       }
                     },
                 .lift =
                     [](TwoStations& world) {
                       if (!world.pair().cable().connected()) {
                         world.pair().cable().setConnected(true);
                       }
                     }}),
    [](const auto& test) { return test.param.name; });

}  // namespace
}  // namespace kl::test
