// The statistics OIDs against real traffic through the whole driver: frames
// the adapter sent and the far end got, transmissions the card aborted,
// frames from the far end that arrived intact, with a bad FCS, misaligned or
// with no room left in the ring; and the media state and speed as the link
// partner and the cable make them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <string>
#include <string_view>
#include <vector>

#include "end_to_end/far_end.h"

namespace kl::test {
namespace {

using namespace std::chrono_literals;
using sim::world::FrameIdentity;
namespace ability = sim::card::ability;

constexpr std::uint8_t kOutStream = 0x0A;
constexpr std::uint8_t kInStream = 0x1B;

std::vector<std::uint8_t> outgoing(std::uint32_t sequence) {
  return sim::world::buildTestFrame(kFarStation, kNearStation, {kOutStream, sequence},
                                    60 + (sequence * 131) % 1455);
}

std::vector<std::uint8_t> incoming(std::uint32_t sequence) {
  return sim::world::buildTestFrame(kNearStation, kFarStation, {kInStream, sequence},
                                    60 + (sequence * 173) % 1455);
}

std::vector<std::uint32_t> sequencesOf(const std::vector<FrameIdentity>& identities,
                                       std::uint8_t stream) {
  std::vector<std::uint32_t> sequences;
  for (const FrameIdentity& identity : identities) {
    if (identity.stream == stream) {
      sequences.push_back(identity.sequence);
    }
  }
  return sequences;
}

// ---- Transmit: every packet is completed and reaches the far end once; a
// transmission the card aborts is made again from the same buffer, and only
// the attempt that completes is counted.

struct TransmitCase {
  const char* name;
  std::uint32_t frames;
  unsigned aborts;          // transmissions the card aborts, from the next one on
  std::uint32_t abortFrom;  // frames sent cleanly before the aborts begin
};

class TransmitCounters : public ::testing::TestWithParam<TransmitCase> {};

TEST_P(TransmitCounters, CountEveryFrameSentOnceWhateverTheCardAborted) {
  const TransmitCase& c = GetParam();
  FarEnd far;
  far.bringUp();
  std::uint32_t sequence = 0;
  for (; sequence < c.abortFrom; ++sequence) {
    far.recorder().send(far.adapter(), outgoing(sequence));
  }
  far.run(50ms);
  far.card().faults().transmitAborts = c.aborts;
  for (; sequence < c.frames; ++sequence) {
    far.recorder().send(far.adapter(), outgoing(sequence));
  }
  far.run(100ms);

  EXPECT_EQ(far.card().faults().transmitAborts, 0U) << "the card aborted fewer than planned";
  EXPECT_EQ(far.recorder().packetsHeld(), 0U);
  EXPECT_EQ(far.recorder().sendsCompleted(), c.frames);
  std::vector<std::uint32_t> sent(c.frames);
  std::iota(sent.begin(), sent.end(), 0U);
  EXPECT_EQ(sequencesOf(far.farEndReceived(), kOutStream), sent);
  EXPECT_EQ(far.query(OID_GEN_XMIT_OK), c.frames);
  EXPECT_EQ(far.query(OID_GEN_XMIT_ERROR), 0U);
  EXPECT_EQ(far.query(OID_GEN_RCV_OK), 0U);
}

INSTANTIATE_TEST_SUITE_P(Sends, TransmitCounters,
                         ::testing::Values(TransmitCase{"Clean", 60, 0, 0},
                                           TransmitCase{"OneAbort", 60, 1, 20},
                                           TransmitCase{"AbortBurst", 60, 7, 20},
                                           TransmitCase{"AbortsFromTheFirst", 15, 15, 0}),
                         [](const auto& param) { return std::string(param.param.name); });

// ---- Receive: frames from the far end, intact or damaged on the wire.

// One letter a frame: G intact, C a bad FCS, A misaligned (dribble bits
// after a correct FCS), B both.
struct ReceiveCase {
  const char* name;
  std::string_view frames;
  std::uint32_t crc;
  std::uint32_t alignment;
};

std::vector<sim::net::WireFrame> farEndFrames(std::string_view pattern,
                                              std::vector<std::uint32_t>& intact) {
  std::vector<sim::net::WireFrame> frames;
  for (std::uint32_t i = 0; i < pattern.size(); ++i) {
    sim::net::WireFrame frame = goodFrame(incoming(i));
    const char kind = pattern[i];
    if (kind == 'C' || kind == 'B') {
      frame.bytes.back() ^= 0x5A;
    }
    frame.misaligned = kind == 'A' || kind == 'B';
    if (kind == 'G') {
      intact.push_back(i);
    }
    frames.push_back(std::move(frame));
  }
  return frames;
}

class ReceiveCounters : public ::testing::TestWithParam<ReceiveCase> {};

TEST_P(ReceiveCounters, CountIntactFramesAndEachKindOfDamage) {
  const ReceiveCase& c = GetParam();
  FarEnd far;
  far.bringUp();
  std::vector<std::uint32_t> intact;
  far.deliver(farEndFrames(c.frames, intact));

  EXPECT_EQ(sequencesOf(far.recorder().received(), kInStream), intact);
  EXPECT_EQ(far.recorder().spoiled(), 0U);
  EXPECT_EQ(far.query(OID_GEN_RCV_OK), intact.size());
  EXPECT_EQ(far.query(OID_GEN_RCV_ERROR), c.crc);
  EXPECT_EQ(far.query(OID_802_3_RCV_ERROR_ALIGNMENT), c.alignment);
  EXPECT_EQ(far.query(OID_GEN_RCV_NO_BUFFER), 0U);
}

// Each pattern ends on an intact frame: the controller interrupts for a
// received frame, not for a receive error, so the tallies are fetched when
// the driver next serves the card.
INSTANTIATE_TEST_SUITE_P(Arrivals, ReceiveCounters,
                         ::testing::Values(ReceiveCase{"Intact", "GGGGGGGGGGGG", 0, 0},
                                           ReceiveCase{"OneBadFcs", "GGCG", 1, 0},
                                           ReceiveCase{"BadFcsFirst", "CG", 1, 0},
                                           ReceiveCase{"BadFcsRun", "GCCCCCCCCG", 8, 0},
                                           ReceiveCase{"OneMisaligned", "GAG", 0, 1},
                                           ReceiveCase{"MisalignedRun", "AAAAAG", 0, 5},
                                           ReceiveCase{"Mixed", "GCAGGCCAGBACGG", 4, 4},
                                           ReceiveCase{"Interleaved", "CGCGCGAGAGAG", 3, 3}),
                         [](const auto& param) { return std::string(param.param.name); });

// Errors with nothing after them are counted once the driver serves the card
// for something else, here a frame it sends.
TEST(ReceiveCounters, ErrorsAloneAreCountedAtTheNextService) {
  FarEnd far;
  far.bringUp();
  std::vector<std::uint32_t> intact;
  far.deliver(farEndFrames("CCAC", intact));
  far.recorder().send(far.adapter(), outgoing(0));
  far.run(10ms);

  EXPECT_EQ(far.query(OID_GEN_RCV_ERROR), 3U);
  EXPECT_EQ(far.query(OID_802_3_RCV_ERROR_ALIGNMENT), 1U);
  EXPECT_EQ(far.query(OID_GEN_RCV_OK), 0U);
  EXPECT_EQ(far.query(OID_GEN_XMIT_OK), 1U);
}

// ---- The ring overrun: a burst the driver is kept from draining.

struct OverrunCase {
  const char* name;
  std::uint32_t frames;
  std::size_t length;
  unsigned bursts;
};

class OverrunCounters : public ::testing::TestWithParam<OverrunCase> {};

TEST_P(OverrunCounters, CountEveryFrameTheRingHadNoRoomFor) {
  const OverrunCase& c = GetParam();
  FarEnd far;
  far.bringUp();
  std::uint32_t sequence = 0;
  for (unsigned burst = 0; burst < c.bursts; ++burst) {
    std::vector<sim::net::WireFrame> frames;
    for (std::uint32_t i = 0; i < c.frames; ++i) {
      frames.push_back(goodFrame(sim::world::buildTestFrame(kNearStation, kFarStation,
                                                            {kInStream, sequence++}, c.length)));
    }
    far.deliverHeldOff(std::move(frames), [&] {
      EXPECT_TRUE(far.card().controller().receiver().overflowed()) << "burst " << burst;
    });
  }
  // What the ring held before it overflowed arrives, in order; the rest is
  // missed and counted so.
  const std::vector<std::uint32_t> got = sequencesOf(far.recorder().received(), kInStream);
  const auto total = static_cast<ULONG>(c.frames * c.bursts);
  EXPECT_GT(got.size(), 0U);
  EXPECT_LT(got.size(), total);
  EXPECT_TRUE(std::is_sorted(got.begin(), got.end()));
  EXPECT_EQ(far.recorder().spoiled(), 0U);
  EXPECT_EQ(far.query(OID_GEN_RCV_OK), got.size());
  EXPECT_EQ(far.query(OID_GEN_RCV_NO_BUFFER), total - got.size());
  EXPECT_EQ(far.query(OID_GEN_RCV_ERROR), 0U);

  // And the station receives as before.
  std::vector<std::uint32_t> intact;
  far.recorder().clear();
  far.deliver(farEndFrames("GGGG", intact));
  EXPECT_EQ(sequencesOf(far.recorder().received(), kInStream), intact);
}

INSTANTIATE_TEST_SUITE_P(Bursts, OverrunCounters,
                         ::testing::Values(OverrunCase{"FullLength", 24, 1514, 1},
                                           OverrunCase{"Shortest", 120, 60, 1},
                                           OverrunCase{"AroundAPage", 90, 253, 1},
                                           OverrunCase{"ThreeOverruns", 20, 1514, 3}),
                         [](const auto& param) { return std::string(param.param.name); });

// ---- The link: media state and speed follow what the PHY resolves.

// Long enough for the pair to settle and for the driver's link update,
// which may wait for auto-negotiation to be switched on again.
constexpr sim::Duration kLinkSettles = 5s;

constexpr ULONG kSpeed100 = 1'000'000;  // in units of 100 bit/s
constexpr ULONG kSpeed10 = 100'000;

// A cable pulled while the switch port changes its offer: the adapter is
// disconnected while it is out and comes back at the new speed, and frames
// cross exactly while it says it is connected.
TEST(MediaState, FollowsTheCablePulledAndPluggedBack) {
  FarEnd far;
  far.bringUp();
  EXPECT_EQ(far.query(OID_GEN_LINK_SPEED), kSpeed100);

  far.cable().setConnected(false);
  far.run(kLinkSettles);
  EXPECT_EQ(far.query(OID_GEN_MEDIA_CONNECT_STATUS), NdisMediaStateDisconnected);
  std::vector<std::uint32_t> intact;
  far.deliver(farEndFrames("GGG", intact));
  EXPECT_EQ(far.query(OID_GEN_RCV_OK), 0U);

  far.partner().negotiate(ability::k10BaseT | ability::k10BaseTFull);
  far.cable().setConnected(true);
  far.run(kLinkSettles);
  EXPECT_EQ(far.query(OID_GEN_MEDIA_CONNECT_STATUS), NdisMediaStateConnected);
  EXPECT_EQ(far.query(OID_GEN_LINK_SPEED), kSpeed10);
  far.deliver(farEndFrames("GGG", intact));
  EXPECT_EQ(far.query(OID_GEN_RCV_OK), 3U);

  far.partner().negotiate(ability::kAll);
  far.run(kLinkSettles);
  EXPECT_EQ(far.query(OID_GEN_MEDIA_CONNECT_STATUS), NdisMediaStateConnected);
  EXPECT_EQ(far.query(OID_GEN_LINK_SPEED), kSpeed100);
  far.deliver(farEndFrames("GGG", intact));
  EXPECT_EQ(far.query(OID_GEN_RCV_OK), 6U);
}

}  // namespace
}  // namespace kl::test
