// Receive-ring overflow through the whole driver: a burst from the wire fills
// the ring while the adapter's service is held off and a frame of its own is
// on its way out. The card overruns for real (OVW, missed frames counted),
// the recovery stops the controller, which cuts the outgoing frame off,
// empties the ring in loopback, sends the cut frame again and receives again.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "end_to_end/far_end.h"
#include "support/card_ports.h"

namespace kl::test {
namespace {

using namespace std::chrono_literals;
using sim::card::BusWidth;

// What the adapter sends: one frame at a time, as long as a frame can be, so
// that it is still on the wire when the recovery stops the controller.
constexpr sim::world::TrafficShape kLongUnicast{
    .minSize = 1514, .maxSize = 1514, .broadcastPercent = 0, .multicastPercent = 0};
// The stop of the recovery lets the controller settle this long before it
// looks at the transmitter.
constexpr sim::Duration kRecoveryStop = 2ms;

struct OverflowCase {
  const char* name;
  BusWidth width;
  std::size_t burstLength;
  std::size_t burstCount;
  sim::Duration hold;
  // Frames the ring holds from empty before the next one overruns it.
  std::size_t ringHolds;
  std::uint64_t seed;
  // Bytes a remote transfer cut short left to move when the service starts:
  // the controller stops, but reaches its reset state, which lifts the
  // receiver's overflow latch, only once the recovery clears RBCR.
  std::uint16_t countLeft = 0;
};

class Overflow : public ::testing::TestWithParam<OverflowCase> {};

TEST_P(Overflow, RecoveryResendsTheCutFrameAndReceivesAgainWithNothingTwiceOrDamaged) {
  const OverflowCase& c = GetParam();
  SCOPED_TRACE("seed " + std::to_string(c.seed));
  FarEnd rig(c.width);
  rig.bringUp(c.seed, kLongUnicast);
  sim::world::TrafficStation& station = rig.station();
  station.aim(kFarStation, 1);

  rig.burst(c.burstCount, c.burstLength);
  sim::VirtualTime handedDown{};
  rig.holdDispatch(c.hold, [&] {
    handedDown = rig.machine().now();
    station.pump();
    if (c.countLeft != 0) {
      rig.card().write8(port::RBCR0, static_cast<std::uint8_t>(c.countLeft));
      rig.card().write8(port::RBCR1, static_cast<std::uint8_t>(c.countLeft >> 8));
    }
  });
  rig.machine().runFor(20ms);

  // The ring really overran: frames were missed for want of ring space, and
  // the receiver has been stopped and started again since.
  EXPECT_GT(sim::world::queryUlong(rig.adapter(), OID_GEN_RCV_NO_BUFFER).value_or(0), 0U);
  EXPECT_FALSE(rig.card().controller().receiver().overflowed());
  EXPECT_EQ(rig.card().controller().tcr(), 0x00) << "left in loopback";

  // The frame on its way when the controller stopped went out once more, in
  // full, after the stop.
  ASSERT_EQ(rig.endpoint().arrivals().size(), 1U);
  ASSERT_EQ(rig.farEndReceived(), (std::vector<sim::world::FrameIdentity>{{station.stream(), 0}}));
  EXPECT_GE(rig.endpoint().arrivals()[0].at, handedDown + kRecoveryStop)
      << "arrived as first sent: the stop did not cut it off";
  EXPECT_EQ(station.counts().sendsCompleted, 1U);
  EXPECT_EQ(sim::world::queryUlong(rig.adapter(), OID_GEN_XMIT_OK), 1U);

  // What the ring held came up intact, once and in order.
  const sim::world::StationCounts& first = station.counts();
  EXPECT_GE(first.framesReceived, c.ringHolds);
  EXPECT_LT(first.framesReceived, c.burstCount);

  // The receiver runs again: a second burst arrives whole.
  constexpr std::size_t kAfterwards = 8;
  const std::uint32_t before = rig.framesBurst();
  const std::uint64_t missedBefore = station.missingFrom(kFarStream, before);
  rig.burst(kAfterwards, c.burstLength);
  rig.machine().runFor(10ms);
  EXPECT_EQ(station.missingFrom(kFarStream, rig.framesBurst()), missedBefore);

  const sim::world::StationCounts& all = station.counts();
  EXPECT_EQ(all.damaged, 0U);
  EXPECT_EQ(all.duplicates, 0U);
  EXPECT_EQ(all.outOfOrder, 0U);
  EXPECT_EQ(all.foreign, 0U);
  EXPECT_EQ(all.transferFailures, 0U);
  EXPECT_EQ(rig.endpoint().arrivals().size(), 1U) << "the cut frame went out more than once";
}

// A 52-page ring: 8 frames of 6 pages, 51 of one page, 17 of three before
// the page behind the boundary is reached. Short frames take several budget
// stops to drain, so the recovery returns to the wire with frames still in
// the ring.
INSTANTIATE_TEST_SUITE_P(
    Bursts, Overflow,
    ::testing::Values(OverflowCase{"WordLongFrames", BusWidth::Word, 1514, 24, 2ms, 8, 61},
                      OverflowCase{"ByteLongFrames", BusWidth::Byte, 1514, 24, 2ms, 8, 62},
                      OverflowCase{"WordShortFrames", BusWidth::Word, 60, 300, 1ms, 51, 63},
                      OverflowCase{"ByteShortFrames", BusWidth::Byte, 60, 300, 1ms, 51, 64},
                      OverflowCase{"WordThreePageFrames", BusWidth::Word, 700, 60, 2ms, 17, 65},
                      OverflowCase{"ByteAfterATransferCutShort", BusWidth::Byte, 1514, 24, 2ms, 8,
                                   66, 0x0102}),
    [](const auto& param) { return std::string(param.param.name); });

// A reset that cuts a frame off leaves no transmission pending behind it: two
// overflows later, one with the transmitter idle and one right after a frame
// went out whole, that frame is not sent a second time.
TEST(OverflowAfterReset, ResendsNothingThatWasSentWhole) {
  FarEnd rig;
  rig.bringUp(71, kLongUnicast);
  sim::world::TrafficStation& station = rig.station();

  station.aim(kFarStation, 1);
  station.pump();
  ASSERT_TRUE(rig.card().controller().transmitter().busy());
  ASSERT_EQ(rig.adapter().reset(), NDIS_STATUS_SUCCESS);
  rig.machine().runFor(1ms);

  // Overflow with nothing being sent.
  rig.burst(24, 1514);
  rig.holdDispatch(2ms);
  rig.machine().runFor(10ms);
  ASSERT_TRUE(rig.endpoint().arrivals().empty()) << "the frame the reset cut off came back";

  // A frame goes out whole while the service is held off, and the ring
  // overflows meanwhile.
  station.aim(kFarStation, 1);
  station.pump();
  rig.burst(24, 1514);
  rig.holdDispatch(2ms);
  rig.machine().runFor(10ms);

  ASSERT_EQ(rig.endpoint().arrivals().size(), 1U) << "sent again after it had gone out whole";
  EXPECT_EQ(rig.farEndReceived(), (std::vector<sim::world::FrameIdentity>{{station.stream(), 1}}));
  EXPECT_TRUE(rig.machine().errorLog().empty());
  EXPECT_EQ(sim::world::queryUlong(rig.adapter(), OID_GEN_XMIT_OK), 1U);
  EXPECT_EQ(station.counts().duplicates + station.counts().damaged, 0U);
}

}  // namespace
}  // namespace kl::test
