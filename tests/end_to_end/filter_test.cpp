// The receive filter through the whole driver, with frames from the far end
// of the cable to every kind of destination: the station itself, another
// station, broadcast, the listed groups and groups the hash lets through or
// stops. Each packet filter receives exactly the frames the controller's
// address recognition lets through for it, and exactly the same ones again
// after a reset and after the receive ring has overflowed and recovered.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "end_to_end/far_end.h"
#include "info/reference_hash.h"

namespace kl::test {
namespace {

using namespace std::chrono_literals;
using sim::world::Mac;

constexpr Mac kOtherStation = {0x02, 0x4B, 0x4C, 0x70, 0x46, 0x2B};
constexpr Mac kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

const std::vector<Mac> kListed = {{0x01, 0x00, 0x5E, 0x00, 0x00, 0x01},
                                  {0x01, 0x00, 0x5E, 0x7F, 0xFF, 0xFA},
                                  {0x33, 0x33, 0x00, 0x00, 0x00, 0x01},
                                  {0x33, 0x33, 0xFF, 0x46, 0x1A, 0x00}};
const std::vector<Mac> kOtherListed = {{0x01, 0x00, 0x5E, 0x00, 0x00, 0xFB},
                                       {0x33, 0x33, 0x00, 0x01, 0x00, 0x02},
                                       {0x09, 0x00, 0x2B, 0x00, 0x00, 0x0F}};

constexpr std::uint8_t kRcrAb = 0x04;
constexpr std::uint8_t kRcrAm = 0x08;
constexpr std::uint8_t kRcrPro = 0x10;
constexpr std::uint8_t kRcrFilterBits = kRcrAb | kRcrAm | kRcrPro;
constexpr std::array<std::uint8_t, 8> kOpenHash = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// Streams of the test frames, one for each round of probes and one for the
// burst that overruns the ring.
constexpr std::uint8_t kBurstStream = 0xB0;
constexpr std::size_t kBurstFrames = 24;

// Every destination a probe round sends to, in order.
std::vector<Mac> probeDestinations() {
  std::vector<Mac> destinations = {kNearStation, kOtherStation, kBroadcast};
  destinations.insert(destinations.end(), kListed.begin(), kListed.end());
  destinations.insert(destinations.end(), kOtherListed.begin(), kOtherListed.end());
  for (std::uint8_t i = 0; i < 24; ++i) {
    destinations.push_back({0x01, 0x00, 0x5E, 0x01, 0x00, i});
    destinations.push_back({0x33, 0x33, 0x00, 0x00, 0x02, static_cast<std::uint8_t>(i * 11)});
  }
  return destinations;
}

bool isGroup(const Mac& address) { return (address[0] & 0x01) != 0; }

bool hashHit(const std::array<std::uint8_t, 8>& hash, const Mac& group) {
  const std::uint32_t crc = ReferenceFilterCrc(group);
  return (hash[crc >> 29] & (1U << ((crc >> 26) & 7U))) != 0;
}

// The probes that a station with `filter` and the multicast list `groups`
// receives: its own address always; others' with PROMISCUOUS; broadcast with
// BROADCAST or PROMISCUOUS; every group with ALL_MULTICAST or PROMISCUOUS,
// and with MULTICAST those whose hash bit the list sets.
std::vector<std::uint32_t> expectedProbes(ULONG filter, const std::vector<Mac>& groups) {
  const bool promiscuous = (filter & NDIS_PACKET_TYPE_PROMISCUOUS) != 0;
  const bool broadcast = promiscuous || (filter & NDIS_PACKET_TYPE_BROADCAST) != 0;
  const bool allGroups = promiscuous || (filter & NDIS_PACKET_TYPE_ALL_MULTICAST) != 0;
  const bool hashed = (filter & NDIS_PACKET_TYPE_MULTICAST) != 0;
  const std::array<std::uint8_t, 8> hash = ReferenceFilter(groups);
  std::vector<std::uint32_t> expected;
  const std::vector<Mac> destinations = probeDestinations();
  for (std::uint32_t i = 0; i < destinations.size(); ++i) {
    const Mac& to = destinations[i];
    const bool taken = to == kBroadcast ? broadcast
                       : isGroup(to)    ? allGroups || (hashed && hashHit(hash, to))
                                        : to == kNearStation || promiscuous;
    if (taken) {
      expected.push_back(i);
    }
  }
  return expected;
}

std::array<std::uint8_t, 8> expectedMar(ULONG filter, const std::vector<Mac>& groups) {
  constexpr ULONG kOpening = NDIS_PACKET_TYPE_ALL_MULTICAST | NDIS_PACKET_TYPE_PROMISCUOUS;
  return (filter & kOpening) != 0 ? kOpenHash : ReferenceFilter(groups);
}

std::uint8_t expectedRcr(ULONG filter) {
  std::uint8_t rcr = 0;
  if ((filter & (NDIS_PACKET_TYPE_MULTICAST | NDIS_PACKET_TYPE_ALL_MULTICAST |
                 NDIS_PACKET_TYPE_PROMISCUOUS)) != 0) {
    rcr |= kRcrAm;
  }
  if ((filter & NDIS_PACKET_TYPE_PROMISCUOUS) != 0) {
    rcr |= kRcrPro;
  }
  if ((filter & (NDIS_PACKET_TYPE_BROADCAST | NDIS_PACKET_TYPE_PROMISCUOUS)) != 0) {
    rcr |= kRcrAb;
  }
  return rcr;
}

// One round of probes: a frame to every destination, lengths from the
// shortest to ones that need transfer-data, identified by `stream` and the
// destination's place. Returns the places that arrived, in order.
std::vector<std::uint32_t> probe(FarEnd& far, std::uint8_t stream) {
  const std::vector<Mac> destinations = probeDestinations();
  std::vector<sim::net::WireFrame> frames;
  for (std::uint32_t i = 0; i < destinations.size(); ++i) {
    const std::size_t length = 60 + (i * 97) % 700;
    frames.push_back(
        goodFrame(sim::world::buildTestFrame(destinations[i], kFarStation, {stream, i}, length)));
  }
  far.recorder().clear();
  far.deliver(std::move(frames));
  std::vector<std::uint32_t> arrived;
  for (const sim::world::FrameIdentity& identity : far.recorder().received()) {
    EXPECT_EQ(identity.stream, stream) << "a frame of an earlier round arrived late";
    arrived.push_back(identity.sequence);
  }
  EXPECT_EQ(far.recorder().spoiled(), 0U);
  return arrived;
}

// Full-length frames to the station, enough to fill the ring several times.
std::vector<sim::net::WireFrame> ringOverrun() {
  std::vector<sim::net::WireFrame> frames;
  for (std::uint32_t i = 0; i < kBurstFrames; ++i) {
    frames.push_back(goodFrame(sim::world::buildTestFrame(
        kNearStation, kFarStation, {kBurstStream, i}, sim::world::kLargestTestFrame)));
  }
  return frames;
}

// Overruns the receive ring while the driver is held off, and lets the
// driver recover. Fails the test when the controller did not overflow.
void overflowAndRecover(FarEnd& far) {
  far.deliverHeldOff(ringOverrun(), [&] {
    EXPECT_TRUE(far.card().controller().receiver().overflowed())
        << "the burst did not overrun the ring";
  });
  EXPECT_FALSE(far.card().controller().receiver().overflowed()) << "the driver did not recover";
  EXPECT_EQ(far.recorder().spoiled(), 0U);
}

void expectRegisters(FarEnd& far, ULONG filter, const std::vector<Mac>& groups) {
  const sim::card::Controller& controller = far.card().controller();
  EXPECT_EQ(controller.rcr() & kRcrFilterBits, expectedRcr(filter));
  EXPECT_EQ(controller.multicastFilter(), expectedMar(filter, groups));
}

struct FilterCase {
  const char* name;
  ULONG filter;
  std::vector<Mac> groups;
};

class PacketFilter : public ::testing::TestWithParam<FilterCase> {};

TEST_P(PacketFilter, ReceivesTheSameFramesBeforeAndAfterResetAndOverflow) {
  const FilterCase& c = GetParam();
  FarEnd far;
  far.bringUp();
  ASSERT_EQ(far.setMulticastList(c.groups), NDIS_STATUS_SUCCESS);
  ASSERT_EQ(far.setPacketFilter(c.filter), NDIS_STATUS_SUCCESS);
  const std::vector<std::uint32_t> expected = expectedProbes(c.filter, c.groups);

  {
    SCOPED_TRACE("before");
    expectRegisters(far, c.filter, c.groups);
    EXPECT_EQ(probe(far, 1), expected);
  }
  {
    SCOPED_TRACE("after MiniportReset");
    ASSERT_EQ(far.adapter().reset(), NDIS_STATUS_SUCCESS);
    far.run(10ms);
    expectRegisters(far, c.filter, c.groups);
    EXPECT_EQ(probe(far, 2), expected);
  }
  {
    SCOPED_TRACE("after a receive overflow");
    overflowAndRecover(far);
    expectRegisters(far, c.filter, c.groups);
    EXPECT_EQ(probe(far, 3), expected);
  }
}

// The probe set means something for the hashed rows: some unlisted groups
// fall on set bits, many more on clear ones.
TEST(ProbeSet, HasGroupsTheHashStopsAndGroupsItLetsThrough) {
  const std::array<std::uint8_t, 8> hash = ReferenceFilter(kListed);
  std::size_t stopped = 0;
  for (const Mac& to : probeDestinations()) {
    if (isGroup(to) && to != kBroadcast && !hashHit(hash, to)) {
      ++stopped;
    }
  }
  EXPECT_GE(stopped, 30U);
  const std::vector<std::uint32_t> hashed = expectedProbes(NDIS_PACKET_TYPE_MULTICAST, kListed);
  EXPECT_GT(hashed.size(), kListed.size() + 1) << "no unlisted group shares a listed one's bit";
}

constexpr ULONG kDirected = NDIS_PACKET_TYPE_DIRECTED;
constexpr ULONG kMulticast = NDIS_PACKET_TYPE_MULTICAST;
constexpr ULONG kAllMulticast = NDIS_PACKET_TYPE_ALL_MULTICAST;
constexpr ULONG kBroadcastType = NDIS_PACKET_TYPE_BROADCAST;
constexpr ULONG kPromiscuous = NDIS_PACKET_TYPE_PROMISCUOUS;
constexpr ULONG kAllLocal = NDIS_PACKET_TYPE_ALL_LOCAL;

INSTANTIATE_TEST_SUITE_P(
    EveryMode, PacketFilter,
    ::testing::Values(
        FilterCase{"None", 0, kListed}, FilterCase{"Directed", kDirected, kListed},
        FilterCase{"DirectedWithAllLocal", kDirected | kAllLocal, kListed},
        FilterCase{"Broadcast", kBroadcastType, kListed},
        FilterCase{"Multicast", kDirected | kMulticast, kListed},
        FilterCase{"MulticastBroadcast", kDirected | kMulticast | kBroadcastType, kListed},
        FilterCase{"MulticastOtherList", kDirected | kMulticast | kBroadcastType, kOtherListed},
        FilterCase{"MulticastEmptyList", kDirected | kMulticast | kBroadcastType, {}},
        FilterCase{"AllMulticast", kDirected | kAllMulticast, kListed},
        FilterCase{"AllMulticastBroadcast", kDirected | kAllMulticast | kBroadcastType, kListed},
        FilterCase{"PromiscuousAlone", kPromiscuous, kListed},
        FilterCase{"PromiscuousEmptyList", kPromiscuous, {}},
        FilterCase{"Everything",
                   kDirected | kMulticast | kAllMulticast | kBroadcastType | kPromiscuous,
                   kListed}),
    [](const auto& param) { return std::string(param.param.name); });

// A filter that opens the hash (ALL_MULTICAST or PROMISCUOUS) keeps MAR all
// ones while a new list is set, through a reset and an overflow; when the
// filter closes it again, the list set meanwhile is the one that counts.
struct OpeningCase {
  const char* name;
  ULONG opening;
};

class OpenHash : public ::testing::TestWithParam<OpeningCase> {};

TEST_P(OpenHash, StaysOpenUntilTheFilterDropsItThenTheLatestListCounts) {
  constexpr ULONG kClosed = kDirected | kMulticast | kBroadcastType;
  const ULONG opening = GetParam().opening;
  FarEnd far;
  far.bringUp();
  ASSERT_EQ(far.setMulticastList(kListed), NDIS_STATUS_SUCCESS);
  ASSERT_EQ(far.setPacketFilter(kClosed), NDIS_STATUS_SUCCESS);
  expectRegisters(far, kClosed, kListed);
  EXPECT_EQ(probe(far, 1), expectedProbes(kClosed, kListed));

  ASSERT_EQ(far.setPacketFilter(opening), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(far.card().controller().multicastFilter(), kOpenHash);
  EXPECT_EQ(probe(far, 2), expectedProbes(opening, kListed));

  ASSERT_EQ(far.setMulticastList(kOtherListed), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(far.card().controller().multicastFilter(), kOpenHash) << "the new list closed MAR";
  EXPECT_EQ(probe(far, 3), expectedProbes(opening, kOtherListed));

  ASSERT_EQ(far.adapter().reset(), NDIS_STATUS_SUCCESS);
  far.run(10ms);
  EXPECT_EQ(far.card().controller().multicastFilter(), kOpenHash) << "the reset closed MAR";
  overflowAndRecover(far);
  EXPECT_EQ(far.card().controller().multicastFilter(), kOpenHash) << "the recovery closed MAR";
  EXPECT_EQ(probe(far, 4), expectedProbes(opening, kOtherListed));

  ASSERT_EQ(far.setPacketFilter(kClosed), NDIS_STATUS_SUCCESS);
  expectRegisters(far, kClosed, kOtherListed);
  EXPECT_EQ(probe(far, 5), expectedProbes(kClosed, kOtherListed));
  // So the first list's groups are gone, except where they share a bit.
  EXPECT_TRUE(std::any_of(kListed.begin(), kListed.end(), [](const Mac& group) {
    return !hashHit(ReferenceFilter(kOtherListed), group);
  }));
}

INSTANTIATE_TEST_SUITE_P(
    Openers, OpenHash,
    ::testing::Values(OpeningCase{"AllMulticast", kDirected | kAllMulticast | kBroadcastType},
                      OpeningCase{"Promiscuous", kPromiscuous},
                      OpeningCase{"PromiscuousAndMulticast",
                                  kDirected | kMulticast | kBroadcastType | kPromiscuous}),
    [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace kl::test
