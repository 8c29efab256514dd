// Sets as protocols make them: every outcome of every settable OID, with the
// out-parameters each outcome reports. A refused set leaves the record and
// the card exactly as they were and makes no port access; an accepted filter
// set reprograms MAR and RCR, only while holding the interrupt's lock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "info/information.h"
#include "nic/controller.h"
#include "tests/info/info_bench.h"
#include "tests/info/reference_hash.h"
#include "tests/support/card_ports.h"

namespace kl::test {
namespace {

constexpr ULONG kReadSentinel = 0xDEADBEEF;
constexpr ULONG kNeededSentinel = 0xFEEDFACE;

constexpr ULONG kDirected = 0x01;
constexpr ULONG kMulticast = 0x02;
constexpr ULONG kAllMulticast = 0x04;
constexpr ULONG kBroadcast = 0x08;
constexpr ULONG kPromiscuous = 0x20;

constexpr std::uint8_t kAb = 0x04;
constexpr std::uint8_t kAm = 0x08;
constexpr std::uint8_t kPro = 0x10;

constexpr MacAddress kAllHosts = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
constexpr MacAddress kMdns = {0x33, 0x33, 0x00, 0x00, 0x00, 0xFB};
constexpr MacAddress kBroadcastAddress = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr MarBytes kOpen = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr MarBytes kClosed = {};

// The list every row starts from, unless it says otherwise.
const std::vector<MacAddress> kPriorList = {kAllHosts, kMdns};

std::vector<std::uint8_t> ListBytes(const std::vector<MacAddress>& groups) {
  std::vector<std::uint8_t> bytes;
  for (const MacAddress& group : groups) {
    bytes.insert(bytes.end(), group.begin(), group.end());
  }
  return bytes;
}

std::vector<MacAddress> Groups(std::size_t count) {
  std::vector<MacAddress> groups;
  for (std::size_t i = 0; i < count; ++i) {
    groups.push_back({0x01, 0x00, 0x5E, 0x01, static_cast<std::uint8_t>(i),
                      static_cast<std::uint8_t>(0x40 + i)});
  }
  return groups;
}

// What an accepted set leaves behind.
struct Effect {
  std::optional<ULONG> packetFilter;
  std::optional<std::uint8_t> rcr;  // in the record and in the card
  std::optional<MarBytes> mar;      // in the card
  std::optional<ULONG> lookahead;
  std::optional<std::vector<MacAddress>> list;  // stored, in order
  std::optional<MarBytes> multicastFilter;      // in the record
};

struct SetRow {
  std::string name;
  NDIS_OID oid;
  std::vector<std::uint8_t> buffer;
  NDIS_STATUS status;
  std::optional<ULONG> bytesRead;  // nullopt: left as the caller passed it
  std::optional<ULONG> bytesNeeded;
  // The state the row starts from.
  ULONG priorFilter = kDirected | kMulticast | kBroadcast;
  std::vector<MacAddress> priorList = kPriorList;
  ULONG maxMulticastList = 32;
  // nullopt: nothing may change at all.
  std::optional<Effect> effect;
};

std::vector<SetRow> SetRows() {
  const MarBytes priorHash = ReferenceFilter(kPriorList);
  const ULONG all = kDirected | kMulticast | kBroadcast;
  constexpr NDIS_STATUS kOk = NDIS_STATUS_SUCCESS;
  constexpr NDIS_STATUS kLength = NDIS_STATUS_INVALID_LENGTH;
  constexpr NDIS_STATUS kNotSupported = NDIS_STATUS_NOT_SUPPORTED;
  constexpr NDIS_STATUS kInvalid = NDIS_STATUS_INVALID_OID;
  const auto filter = [](ULONG value, std::uint8_t rcr, MarBytes mar) {
    return Effect{.packetFilter = value, .rcr = rcr, .mar = mar};
  };
  return {
      // Packet filter.
      {"FilterEmptyBuffer", OID_GEN_CURRENT_PACKET_FILTER, {}, kLength, 0, 0},
      {"FilterThreeBytes", OID_GEN_CURRENT_PACKET_FILTER, {0x0A, 0, 0}, kLength, 0, 0},
      {"FilterFiveBytes", OID_GEN_CURRENT_PACKET_FILTER, {0x0A, 0, 0, 0, 0}, kLength, 0, 0},
      {"FilterAllLocalAlone", OID_GEN_CURRENT_PACKET_FILTER, Le32(0x80), kNotSupported, 4, 0},
      {"FilterGroupAlone", OID_GEN_CURRENT_PACKET_FILTER, Le32(0x1000), kNotSupported, 4, 0},
      {"FilterSourceRoutingAlone", OID_GEN_CURRENT_PACKET_FILTER, Le32(0x10), kNotSupported, 4, 0},
      {"FilterHighBitsOnly", OID_GEN_CURRENT_PACKET_FILTER, Le32(0xFFFF0000), kNotSupported, 4, 0},
      {"FilterZero", OID_GEN_CURRENT_PACKET_FILTER, Le32(0), kOk, 4, 0, all, kPriorList, 32,
       filter(0, 0, priorHash)},
      {"FilterDirected", OID_GEN_CURRENT_PACKET_FILTER, Le32(kDirected), kOk, 4, 0, kPromiscuous,
       kPriorList, 32, filter(kDirected, 0, priorHash)},
      {"FilterMulticast", OID_GEN_CURRENT_PACKET_FILTER, Le32(kMulticast), kOk, 4, 0, 0, kPriorList,
       32, filter(kMulticast, kAm, priorHash)},
      {"FilterBroadcast", OID_GEN_CURRENT_PACKET_FILTER, Le32(kBroadcast), kOk, 4, 0, 0, kPriorList,
       32, filter(kBroadcast, kAb, priorHash)},
      {"FilterMulticastAndBroadcast", OID_GEN_CURRENT_PACKET_FILTER, Le32(0x0A), kOk, 4, 0, 0,
       kPriorList, 32, filter(0x0A, kAm | kAb, priorHash)},
      {"FilterAllMulticast", OID_GEN_CURRENT_PACKET_FILTER, Le32(kAllMulticast), kOk, 4, 0, 0,
       kPriorList, 32, filter(kAllMulticast, kAm, kOpen)},
      {"FilterPromiscuous", OID_GEN_CURRENT_PACKET_FILTER, Le32(kPromiscuous), kOk, 4, 0, 0,
       kPriorList, 32, filter(kPromiscuous, kAm | kPro | kAb, kOpen)},
      {"FilterEveryAcceptedBit", OID_GEN_CURRENT_PACKET_FILTER, Le32(0x2F), kOk, 4, 0, 0,
       kPriorList, 32, filter(0x2F, kAm | kPro | kAb, kOpen)},
      {"FilterDirectedWithAllLocal", OID_GEN_CURRENT_PACKET_FILTER, Le32(0x81), kOk, 4, 0,
       kMulticast, kPriorList, 32, filter(0x81, 0, priorHash)},
      {"FilterEveryBit", OID_GEN_CURRENT_PACKET_FILTER, Le32(0xFFFFFFFF), kOk, 4, 0, 0, kPriorList,
       32, filter(0xFFFFFFFF, kAm | kPro | kAb, kOpen)},
      {"FilterClosesAllMulticastAgain", OID_GEN_CURRENT_PACKET_FILTER, Le32(kMulticast), kOk, 4, 0,
       kAllMulticast, kPriorList, 32, filter(kMulticast, kAm, priorHash)},
      // Lookahead.
      {"LookaheadEmptyBuffer", OID_GEN_CURRENT_LOOKAHEAD, {}, kLength, 0, 4},
      {"LookaheadThreeBytes", OID_GEN_CURRENT_LOOKAHEAD, {100, 0, 0}, kLength, 0, 4},
      {"LookaheadFiveBytes", OID_GEN_CURRENT_LOOKAHEAD, {100, 0, 0, 0, 0}, kLength, 0, 4},
      {"LookaheadAboveMaximum", OID_GEN_CURRENT_LOOKAHEAD, Le32(239), kLength, std::nullopt,
       std::nullopt},
      {"LookaheadFarAboveMaximum", OID_GEN_CURRENT_LOOKAHEAD, Le32(0x80000000), kLength,
       std::nullopt, std::nullopt},
      {"LookaheadMaximum", OID_GEN_CURRENT_LOOKAHEAD, Le32(238), kOk, 4, 0, all, kPriorList, 32,
       Effect{.lookahead = 238}},
      {"LookaheadSmall", OID_GEN_CURRENT_LOOKAHEAD, Le32(64), kOk, 4, 0, all, kPriorList, 32,
       Effect{.lookahead = 64}},
      {"LookaheadZero", OID_GEN_CURRENT_LOOKAHEAD, Le32(0), kOk, 4, 0, all, kPriorList, 32,
       Effect{.lookahead = 0}},
      // Protocol options: accepted and forgotten.
      {"ProtocolOptions", OID_GEN_PROTOCOL_OPTIONS, Le32(0x7), kOk, 4, 0},
      {"ProtocolOptionsTwoBytes", OID_GEN_PROTOCOL_OPTIONS, {7, 0}, kLength, 0, 4},
      {"ProtocolOptionsEightBytes", OID_GEN_PROTOCOL_OPTIONS, std::vector<std::uint8_t>(8), kLength,
       0, 4},
      // Multicast list.
      {"ListOneByte", OID_802_3_MULTICAST_LIST, {0x01}, kLength, 0, 0},
      {"ListSevenBytes", OID_802_3_MULTICAST_LIST, std::vector<std::uint8_t>(7, 0x01), kLength, 0,
       0},
      {"ListAboveMaximum", OID_802_3_MULTICAST_LIST, ListBytes(Groups(33)), kLength, 0, 192},
      {"ListAboveConfiguredMaximum", OID_802_3_MULTICAST_LIST, ListBytes(Groups(5)), kLength, 0, 24,
       all, kPriorList, 4},
      {"ListAtConfiguredMaximum", OID_802_3_MULTICAST_LIST, ListBytes(Groups(4)), kOk, 24, 0, all,
       kPriorList, 4,
       Effect{.mar = ReferenceFilter(Groups(4)),
              .list = Groups(4),
              .multicastFilter = ReferenceFilter(Groups(4))}},
      {"ListFull", OID_802_3_MULTICAST_LIST, ListBytes(Groups(32)), kOk, 192, 0, all, kPriorList,
       32,
       Effect{.mar = ReferenceFilter(Groups(32)),
              .list = Groups(32),
              .multicastFilter = ReferenceFilter(Groups(32))}},
      {"ListEmpty",
       OID_802_3_MULTICAST_LIST,
       {},
       kOk,
       0,
       0,
       all,
       kPriorList,
       32,
       Effect{.mar = kClosed, .list = std::vector<MacAddress>{}, .multicastFilter = kClosed}},
      {"ListAllHosts",
       OID_802_3_MULTICAST_LIST,
       ListBytes({kAllHosts}),
       kOk,
       6,
       0,
       all,
       {},
       32,
       Effect{.mar = MarBytes{0, 0, 0, 0x80, 0, 0, 0, 0},
              .list = std::vector<MacAddress>{kAllHosts},
              .multicastFilter = MarBytes{0, 0, 0, 0x80, 0, 0, 0, 0}}},
      {"ListBroadcastAddress",
       OID_802_3_MULTICAST_LIST,
       ListBytes({kBroadcastAddress}),
       kOk,
       6,
       0,
       all,
       {},
       32,
       Effect{.mar = MarBytes{0, 0, 0, 0, 0, 0, 0, 0x80},
              .list = std::vector<MacAddress>{kBroadcastAddress},
              .multicastFilter = MarBytes{0, 0, 0, 0, 0, 0, 0, 0x80}}},
      {"ListSameGroupTwice",
       OID_802_3_MULTICAST_LIST,
       ListBytes({kAllHosts, kAllHosts}),
       kOk,
       12,
       0,
       all,
       {},
       32,
       Effect{.mar = MarBytes{0, 0, 0, 0x80, 0, 0, 0, 0},
              .list = std::vector<MacAddress>{kAllHosts, kAllHosts},
              .multicastFilter = MarBytes{0, 0, 0, 0x80, 0, 0, 0, 0}}},
      {"ListWhileAllMulticast", OID_802_3_MULTICAST_LIST, ListBytes({kAllHosts}), kOk, 6, 0,
       kAllMulticast, kPriorList, 32,
       Effect{
           .mar = kOpen, .list = std::vector<MacAddress>{kAllHosts}, .multicastFilter = priorHash}},
      {"ListWhilePromiscuous", OID_802_3_MULTICAST_LIST, ListBytes({kAllHosts}), kOk, 6, 0,
       kPromiscuous, kPriorList, 32,
       Effect{
           .mar = kOpen, .list = std::vector<MacAddress>{kAllHosts}, .multicastFilter = priorHash}},
      // OIDs that can only be queried, and unknown ones.
      {"LinkSpeed", OID_GEN_LINK_SPEED, Le32(100000), kInvalid, 0, 0},
      {"SupportedList", OID_GEN_SUPPORTED_LIST, Le32(0), kInvalid, 0, 0},
      {"CurrentAddress", OID_802_3_CURRENT_ADDRESS, ListBytes({kMdns}), kInvalid, 0, 0},
      {"PnpSetPower", 0xFD010101, Le32(0), kInvalid, 0, 0},
      {"Unknown", 0xFFFFFFFF, {}, kInvalid, 0, 0},
  };
}

class SetRequest : public ::testing::TestWithParam<SetRow> {};

TEST_P(SetRequest, ReportsAndAppliesAsTheOutcomeRequires) {
  const SetRow& row = GetParam();
  InfoBench bench;
  Adapter& adapter = bench.adapter();
  adapter.MaxMulticastList = row.maxMulticastList;
  adapter.Lookahead = 100;
  ASSERT_EQ(bench.setMulticastList(row.priorList), NDIS_STATUS_SUCCESS);
  ASSERT_EQ(bench.setPacketFilter(row.priorFilter), NDIS_STATUS_SUCCESS);
  bench.machine().bus().clearTrace();
  bench.levels().takeWrites();
  const std::vector<std::uint8_t> recordBefore = bench.recordBytes();
  const std::uint8_t rcrBefore = bench.rcr();
  const MarBytes marBefore = bench.mar();

  std::vector<std::uint8_t> buffer = row.buffer;
  ULONG read = kReadSentinel;
  ULONG needed = kNeededSentinel;
  EXPECT_EQ(bench.set(row.oid, buffer, read, needed), row.status);

  EXPECT_EQ(read, row.bytesRead.value_or(kReadSentinel));
  EXPECT_EQ(needed, row.bytesNeeded.value_or(kNeededSentinel));
  EXPECT_EQ(buffer, row.buffer) << "the caller's buffer was written";

  if (!row.effect) {
    EXPECT_EQ(bench.recordBytes(), recordBefore) << "the record changed";
    EXPECT_TRUE(bench.machine().bus().trace().empty()) << "the card was touched";
    EXPECT_EQ(bench.rcr(), rcrBefore);
    EXPECT_EQ(bench.mar(), marBefore);
    return;
  }
  const Effect& effect = *row.effect;
  EXPECT_EQ(adapter.PacketFilter, effect.packetFilter.value_or(row.priorFilter));
  EXPECT_EQ(adapter.Lookahead, effect.lookahead.value_or(100));
  EXPECT_EQ(bench.rcr(), effect.rcr.value_or(rcrBefore));
  EXPECT_EQ(adapter.RcrValue, effect.rcr.value_or(rcrBefore));
  EXPECT_EQ(bench.mar(), effect.mar.value_or(marBefore));
  const std::vector<MacAddress> list = effect.list.value_or(row.priorList);
  ASSERT_EQ(adapter.MulticastCount, list.size());
  for (std::size_t i = 0; i < list.size(); ++i) {
    EXPECT_TRUE(std::equal(list[i].begin(), list[i].end(), adapter.MulticastList[i]))
        << "list entry " << i;
  }
  if (effect.multicastFilter) {
    EXPECT_TRUE(std::equal(effect.multicastFilter->begin(), effect.multicastFilter->end(),
                           adapter.MulticastFilter));
  }
  // Register page 0 is selected again, and every write held the lock.
  EXPECT_EQ(bench.card().controller().page(), 0);
  for (const bool atDeviceLevel : bench.levels().takeWrites()) {
    EXPECT_TRUE(atDeviceLevel) << "a register write outside NdisMSynchronizeWithInterrupt";
  }
}

INSTANTIATE_TEST_SUITE_P(EverySettableOid, SetRequest, ::testing::ValuesIn(SetRows()),
                         [](const auto& test) { return test.param.name; });

// ---------------------------------------------------------------------------
// The register writes a filter set makes: MAR first (page 1, and back to page
// 0), then RCR.

struct SequenceRow {
  std::string name;
  NDIS_OID oid;
  std::vector<std::uint8_t> buffer;
  ULONG priorFilter;
  std::optional<MarBytes> mar;      // nullopt: MAR is not written
  std::optional<std::uint8_t> rcr;  // nullopt: RCR is not written
};

class SetSequence : public ::testing::TestWithParam<SequenceRow> {};

TEST_P(SetSequence, WritesMarThenRcr) {
  const SequenceRow& row = GetParam();
  InfoBench bench;
  ASSERT_EQ(bench.setMulticastList(kPriorList), NDIS_STATUS_SUCCESS);
  ASSERT_EQ(bench.setPacketFilter(row.priorFilter), NDIS_STATUS_SUCCESS);
  bench.machine().bus().clearTrace();

  ASSERT_EQ(bench.set(row.oid, row.buffer), NDIS_STATUS_SUCCESS);

  std::vector<std::pair<std::uint16_t, std::uint16_t>> expected;
  if (row.mar) {
    expected.emplace_back(port::CR, 0x62);
    for (std::uint16_t i = 0; i < 8; ++i) {
      expected.emplace_back(port::MAR0 + i, (*row.mar)[i]);
    }
    expected.emplace_back(port::CR, 0x22);
  }
  if (row.rcr) {
    expected.emplace_back(port::RCR, *row.rcr);
  }
  std::vector<std::pair<std::uint16_t, std::uint16_t>> observed;
  for (const sim::PortAccess& access : bench.machine().bus().trace()) {
    EXPECT_EQ(access.direction, sim::Direction::Write) << "a set read a register";
    observed.emplace_back(access.offset, access.value);
  }
  EXPECT_EQ(observed, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Filters, SetSequence,
    ::testing::Values(SequenceRow{"Promiscuous", OID_GEN_CURRENT_PACKET_FILTER, Le32(kPromiscuous),
                                  0, kOpen, 0x1C},
                      SequenceRow{"AllMulticast", OID_GEN_CURRENT_PACKET_FILTER,
                                  Le32(kAllMulticast), 0, kOpen, 0x08},
                      SequenceRow{"MulticastAndBroadcast", OID_GEN_CURRENT_PACKET_FILTER,
                                  Le32(0x0A), 0, ReferenceFilter(kPriorList), 0x0C},
                      SequenceRow{"NoFilter", OID_GEN_CURRENT_PACKET_FILTER, Le32(0), kPromiscuous,
                                  ReferenceFilter(kPriorList), 0x00},
                      SequenceRow{"ListLoadsMarOnly", OID_802_3_MULTICAST_LIST,
                                  ListBytes({kAllHosts}), kMulticast,
                                  MarBytes{0, 0, 0, 0x80, 0, 0, 0, 0}, std::nullopt},
                      SequenceRow{"ListUnderAllMulticastWritesNothing", OID_802_3_MULTICAST_LIST,
                                  ListBytes({kAllHosts}), kAllMulticast, std::nullopt,
                                  std::nullopt},
                      SequenceRow{"LookaheadWritesNothing", OID_GEN_CURRENT_LOOKAHEAD, Le32(10), 0,
                                  std::nullopt, std::nullopt}),
    [](const auto& test) { return test.param.name; });

// ---------------------------------------------------------------------------
// Filters in any order: a list set while every group is let through is kept
// and takes effect when the filter closes MAR again; the controller's start
// after a reset or recovery loads what the last sets left.

TEST(SetOrder, ListSetUnderAllMulticastTakesEffectWhenTheFilterDropsIt) {
  InfoBench bench;
  ASSERT_EQ(bench.setPacketFilter(kDirected | kAllMulticast), NDIS_STATUS_SUCCESS);
  ASSERT_EQ(bench.setMulticastList({kMdns}), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(bench.mar(), kOpen);
  ASSERT_EQ(bench.setPacketFilter(kDirected | kAllMulticast | kPromiscuous), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(bench.mar(), kOpen);
  ASSERT_EQ(bench.setPacketFilter(kDirected | kPromiscuous), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(bench.mar(), kOpen);
  ASSERT_EQ(bench.setPacketFilter(kDirected | kMulticast), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(bench.mar(), ReferenceFilter({kMdns}));
  EXPECT_EQ(bench.rcr(), kAm);
}

TEST(SetOrder, RefusedFilterKeepsThePreviousOne) {
  InfoBench bench;
  ASSERT_EQ(bench.setPacketFilter(kDirected | kBroadcast), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(bench.setPacketFilter(0x80), NDIS_STATUS_NOT_SUPPORTED);
  EXPECT_EQ(bench.adapter().PacketFilter, kDirected | kBroadcast);
  EXPECT_EQ(bench.rcr(), kAb);
}

struct RestartRow {
  std::string name;
  ULONG filter;
};

class FiltersAcrossRestart : public ::testing::TestWithParam<RestartRow> {};

TEST_P(FiltersAcrossRestart, ControllerStartReloadsWhatTheSetsLoaded) {
  const RestartRow& row = GetParam();
  InfoBench bench;
  ASSERT_EQ(bench.setMulticastList({kAllHosts, kMdns}), NDIS_STATUS_SUCCESS);
  ASSERT_EQ(bench.setPacketFilter(row.filter), NDIS_STATUS_SUCCESS);
  const std::uint8_t rcr = bench.rcr();
  const MarBytes mar = bench.mar();

  ASSERT_TRUE(ControllerRestart(&bench.adapter()));

  EXPECT_EQ(bench.rcr(), rcr);
  EXPECT_EQ(bench.mar(), mar);
}

INSTANTIATE_TEST_SUITE_P(EveryMode, FiltersAcrossRestart,
                         ::testing::Values(RestartRow{"None", 0}, RestartRow{"Directed", kDirected},
                                           RestartRow{"DirectedMulticast", kDirected | kMulticast},
                                           RestartRow{"Broadcast", kBroadcast},
                                           RestartRow{"AllMulticast", kAllMulticast},
                                           RestartRow{"PromiscuousAlone", kPromiscuous},
                                           RestartRow{"Everything", 0x2F}),
                         [](const auto& test) { return test.param.name; });

}  // namespace
}  // namespace kl::test
