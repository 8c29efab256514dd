// Transmissions that the controller aborts (TSR without PTX, ISR TXE), once
// or many times in a row, through the whole driver: the driver restarts the
// controller and sends the same buffer again, so the far side sees every
// frame once, intact and in order, and the aborted attempts count as
// neither sent nor failed.
#include <gtest/gtest.h>

#include <string>

#include "end_to_end/far_end.h"
#include "sim/world/traffic_run.h"

namespace kl::test {
namespace {

using namespace std::chrono_literals;
using sim::card::BusWidth;
using sim::world::TrafficShape;

struct AbortCase {
  const char* name;
  BusWidth width;
  TrafficShape shape;
  // Each time this many more frames have arrived, the next `burst`
  // transmissions abort.
  std::size_t every;
  unsigned burst;
  // Frames the port sends the adapter each time.
  std::size_t incoming;
  std::uint64_t seed;
};

class TransmitAborts : public ::testing::TestWithParam<AbortCase> {};

TEST_P(TransmitAborts, TheSameBufferGoesOutAgainAndTheFarSideSeesEveryFrameOnceInOrder) {
  const AbortCase& c = GetParam();
  SCOPED_TRACE("seed " + std::to_string(c.seed));
  FarEnd rig(c.width);
  rig.bringUp(c.seed, c.shape);
  constexpr std::uint32_t kFrames = 600;
  rig.station().aim(kFarStation, kFrames);

  std::size_t nextAt = c.every;
  unsigned injected = 0;
  // Packets complete once on the card; what is still there goes out after
  // the station is done, each abort costing a controller restart.
  sim::world::TrafficRun run{.settle = 200ms};
  run.progress = [&](sim::Duration /*elapsed*/) {
    const std::size_t arrived = rig.endpoint().arrivals().size();
    if (arrived < nextAt || rig.card().faults().transmitAborts > 0) {
      return;
    }
    nextAt = arrived + c.every;
    rig.card().faults().transmitAborts += c.burst;
    injected += c.burst;
    rig.burst(c.incoming, 300);
  };
  sim::world::TrafficStation* const stations[] = {&rig.station()};
  ASSERT_TRUE(sim::world::runTraffic(rig.machine(), stations, run));
  ASSERT_GT(injected, 0U);
  EXPECT_EQ(rig.card().faults().transmitAborts, 0U) << "the run ended before every abort";

  ASSERT_EQ(rig.endpoint().arrivals().size(), kFrames);
  const std::vector<sim::world::FrameIdentity> received = rig.farEndReceived();
  ASSERT_EQ(received.size(), kFrames) << "frames arrived damaged";
  for (std::uint32_t i = 0; i < kFrames; ++i) {
    EXPECT_EQ(received[i].stream, rig.station().stream());
    ASSERT_EQ(received[i].sequence, i) << "lost, repeated or reordered";
  }
  const sim::world::StationCounts& counts = rig.station().counts();
  EXPECT_EQ(counts.sendsCompleted, kFrames);
  EXPECT_EQ(counts.sendsFailed + counts.sendsAborted + counts.strayCompletions, 0U);
  EXPECT_EQ(sim::world::queryUlong(rig.adapter(), OID_GEN_XMIT_OK), kFrames);
  EXPECT_EQ(sim::world::queryUlong(rig.adapter(), OID_GEN_XMIT_ERROR), 0U);
  // Frames coming in while the transmitter restarts may miss a stopped
  // receiver, but none arrives twice or damaged.
  EXPECT_EQ(counts.damaged, 0U);
  EXPECT_EQ(counts.duplicates, 0U);
  EXPECT_EQ(counts.outOfOrder, 0U);
  EXPECT_EQ(counts.transferFailures, 0U);

  // After all the restarts the receiver takes every frame again.
  const std::uint64_t missed = rig.station().missingFrom(kFarStream, rig.framesBurst());
  rig.burst(8, 300);
  rig.machine().runFor(5ms);
  EXPECT_EQ(rig.station().missingFrom(kFarStream, rig.framesBurst()), missed);
}

constexpr TrafficShape kMixedUnicast{.broadcastPercent = 0, .multicastPercent = 0};
constexpr TrafficShape kShortUnicast{
    .minSize = 60, .maxSize = 60, .broadcastPercent = 0, .multicastPercent = 0};
constexpr TrafficShape kLongUnicast{
    .minSize = 1514, .maxSize = 1514, .broadcastPercent = 0, .multicastPercent = 0};

INSTANTIATE_TEST_SUITE_P(
    Aborts, TransmitAborts,
    ::testing::Values(AbortCase{"WordSingle", BusWidth::Word, kMixedUnicast, 3, 1, 0, 101},
                      AbortCase{"ByteSingle", BusWidth::Byte, kMixedUnicast, 3, 1, 0, 102},
                      AbortCase{"WordBurstsOfFive", BusWidth::Word, kShortUnicast, 7, 5, 0, 103},
                      AbortCase{"ByteBurstsOfFive", BusWidth::Byte, kLongUnicast, 7, 5, 0, 104},
                      AbortCase{"WordFortyInARow", BusWidth::Word, kMixedUnicast, 50, 40, 0, 105},
                      AbortCase{"WordWhileReceiving", BusWidth::Word, kMixedUnicast, 4, 2, 3, 106},
                      AbortCase{"ByteWhileReceiving", BusWidth::Byte, kShortUnicast, 5, 3, 4, 107}),
    [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace kl::test
