// Queries as NDIS and its protocols make them: every OID the driver answers
// and every OID it refuses, each with buffers from empty to larger than the
// answer. A query touches no port and changes no field; it writes exactly
// one out-parameter and never a byte beyond its answer.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "support/guarded_query.h"
#include "tests/info/info_bench.h"

namespace kl::test {
namespace {

std::vector<std::uint8_t> Bytes(const MacAddress& address) {
  return {address.begin(), address.end()};
}

std::vector<std::uint8_t> Le16(std::uint16_t value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8)};
}

// The 35 OIDs reported as supported, in the order reported.
const std::vector<std::uint32_t> kSupported = {
    0x00010101, 0x00010102, 0x00010103, 0x00010104, 0x00010105, 0x00010106, 0x00010111,
    0x00010113, 0x00010112, 0x00010107, 0x00010108, 0x00010109, 0x0001010A, 0x0001010B,
    0x0001010D, 0x0001010C, 0x00010110, 0x0001010E, 0x0001010F, 0x00020101, 0x00020102,
    0x00020103, 0x00020104, 0x00020105, 0x00010114, 0x00010115, 0x00010116, 0x01010105,
    0x01010101, 0x01010102, 0x01010103, 0x01010104, 0x01020101, 0x01020102, 0x01020103,
};

std::vector<std::uint8_t> SupportedListBytes() {
  std::vector<std::uint8_t> bytes;
  for (const std::uint32_t oid : kSupported) {
    const auto le = Le32(oid);
    bytes.insert(bytes.end(), le.begin(), le.end());
  }
  return bytes;
}

std::vector<std::uint8_t> DescriptionBytes() {
  const char text[] = "VELMORAN KL7046 PC Card.";
  return {text, text + sizeof(text)};  // with its terminating zero
}

constexpr MacAddress kGroupA = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
constexpr MacAddress kGroupB = {0x33, 0x33, 0x00, 0x00, 0x00, 0xFB};

// Counters and settings of the record under query, all different, so an
// answer taken from the wrong field shows.
void LoadDistinctState(Adapter& adapter) {
  adapter.TxGoodCount = 0x01020304;
  adapter.RxGoodCount = 0x11121314;
  adapter.TxBadCount = 0x21222324;
  adapter.CrcErrorCount = 0x31323334;
  adapter.MissedCount = 0x41424344;
  adapter.AlignErrorCount = 0x51525354;
  adapter.OneCollisionCount = 0x61626364;
  adapter.MoreCollisionCount = 0x71727374;
  adapter.PacketFilter = 0x0000008B;
  adapter.Lookahead = 100;
  adapter.MaxMulticastList = 20;
  adapter.LinkUp = TRUE;
  adapter.Is100Mbps = TRUE;
  adapter.MulticastCount = 2;
  std::copy(kGroupA.begin(), kGroupA.end(), adapter.MulticastList[0]);
  std::copy(kGroupB.begin(), kGroupB.end(), adapter.MulticastList[1]);
}

struct AnswerRow {
  std::string name;
  NDIS_OID oid;
  std::vector<std::uint8_t> answer;
};

std::vector<AnswerRow> AnswerRows() {
  std::vector<std::uint8_t> list = Bytes(kGroupA);
  list.insert(list.end(), kGroupB.begin(), kGroupB.end());
  return {
      {"SupportedList", OID_GEN_SUPPORTED_LIST, SupportedListBytes()},
      {"HardwareStatus", OID_GEN_HARDWARE_STATUS, Le32(0)},
      {"MediaSupported", OID_GEN_MEDIA_SUPPORTED, Le32(0)},
      {"MediaInUse", OID_GEN_MEDIA_IN_USE, Le32(0)},
      {"MaximumLookahead", OID_GEN_MAXIMUM_LOOKAHEAD, Le32(238)},
      {"MaximumFrameSize", OID_GEN_MAXIMUM_FRAME_SIZE, Le32(1500)},
      {"LinkSpeed", OID_GEN_LINK_SPEED, Le32(1000000)},
      {"TransmitBufferSpace", OID_GEN_TRANSMIT_BUFFER_SPACE, Le32(3072)},
      {"ReceiveBufferSpace", OID_GEN_RECEIVE_BUFFER_SPACE, Le32(5120)},
      {"TransmitBlockSize", OID_GEN_TRANSMIT_BLOCK_SIZE, Le32(256)},
      {"ReceiveBlockSize", OID_GEN_RECEIVE_BLOCK_SIZE, Le32(256)},
      {"VendorId", OID_GEN_VENDOR_ID, {0x00, 0x60, 0x8C, 0x00}},
      {"VendorDescription", OID_GEN_VENDOR_DESCRIPTION, DescriptionBytes()},
      {"CurrentPacketFilter", OID_GEN_CURRENT_PACKET_FILTER, Le32(0x8B)},
      {"CurrentLookahead", OID_GEN_CURRENT_LOOKAHEAD, Le32(100)},
      {"DriverVersion", OID_GEN_DRIVER_VERSION, Le16(0x0400)},
      {"MaximumTotalSize", OID_GEN_MAXIMUM_TOTAL_SIZE, Le32(1514)},
      {"MacOptions", OID_GEN_MAC_OPTIONS, Le32(0x0F)},
      {"MediaConnectStatus", OID_GEN_MEDIA_CONNECT_STATUS, Le32(0)},
      {"MaximumSendPackets", OID_GEN_MAXIMUM_SEND_PACKETS, Le32(1)},
      {"VendorDriverVersion", OID_GEN_VENDOR_DRIVER_VERSION, Le32(0x00010000)},
      {"XmitOk", OID_GEN_XMIT_OK, Le32(0x01020304)},
      {"RcvOk", OID_GEN_RCV_OK, Le32(0x11121314)},
      {"XmitError", OID_GEN_XMIT_ERROR, Le32(0x21222324)},
      {"RcvError", OID_GEN_RCV_ERROR, Le32(0x31323334)},
      {"RcvNoBuffer", OID_GEN_RCV_NO_BUFFER, Le32(0x41424344)},
      {"PermanentAddress", OID_802_3_PERMANENT_ADDRESS, Bytes(InfoBench::kPermanent)},
      {"CurrentAddress", OID_802_3_CURRENT_ADDRESS, Bytes(InfoBench::kCurrent)},
      {"MulticastList", OID_802_3_MULTICAST_LIST, list},
      {"MaximumListSize", OID_802_3_MAXIMUM_LIST_SIZE, Le32(20)},
      {"MacOptions8023", OID_802_3_MAC_OPTIONS, Le32(0)},
      {"RcvErrorAlignment", OID_802_3_RCV_ERROR_ALIGNMENT, Le32(0x51525354)},
      {"XmitOneCollision", OID_802_3_XMIT_ONE_COLLISION, Le32(0x61626364)},
      {"XmitMoreCollisions", OID_802_3_XMIT_MORE_COLLISIONS, Le32(0x71727374)},
  };
}

using Outcome = QueryOutcome;

Outcome Query(InfoBench& bench, NDIS_OID oid, std::size_t length) {
  return GuardedQuery([&bench](NDIS_OID id, std::span<std::uint8_t> buffer, ULONG& written,
                               ULONG& needed) { return bench.query(id, buffer, written, needed); },
                      oid, length);
}

class QueryAnswer : public ::testing::TestWithParam<AnswerRow> {};

TEST_P(QueryAnswer, AnswersExactlyItsLengthOrAsksForIt) {
  const AnswerRow& row = GetParam();
  InfoBench bench;
  LoadDistinctState(bench.adapter());
  const std::vector<std::uint8_t> before = bench.recordBytes();
  const std::size_t size = row.answer.size();

  for (std::size_t length = 0; length <= size + 2; ++length) {
    SCOPED_TRACE("buffer length " + std::to_string(length));
    const Outcome outcome = Query(bench, row.oid, length);
    if (length < size) {
      EXPECT_EQ(outcome.status, NDIS_STATUS_INVALID_LENGTH);
      EXPECT_EQ(outcome.needed, size);
      EXPECT_EQ(outcome.written, kWrittenSentinel) << "BytesWritten was written";
      EXPECT_TRUE(UntouchedFrom(outcome.buffer, 0));
    } else {
      EXPECT_EQ(outcome.status, NDIS_STATUS_SUCCESS);
      EXPECT_EQ(outcome.written, size);
      EXPECT_EQ(outcome.needed, kNeededSentinel) << "BytesNeeded was written";
      EXPECT_EQ(std::vector<std::uint8_t>(outcome.buffer.begin(),
                                          outcome.buffer.begin() + static_cast<long>(size)),
                row.answer);
      EXPECT_TRUE(UntouchedFrom(outcome.buffer, size));
    }
  }
  EXPECT_TRUE(bench.machine().bus().trace().empty()) << "a query touched the card";
  EXPECT_EQ(bench.recordBytes(), before) << "a query changed the record";
}

INSTANTIATE_TEST_SUITE_P(EveryAnsweredOid, QueryAnswer, ::testing::ValuesIn(AnswerRows()),
                         [](const auto& test) { return test.param.name; });

// ---------------------------------------------------------------------------
// Refused OIDs: the ranges refused as not supported, their neighbours, and
// the OIDs that only look answerable.

struct RefusedRow {
  std::string name;
  NDIS_OID oid;
  NDIS_STATUS status;
};

std::vector<RefusedRow> RefusedRows() {
  constexpr NDIS_STATUS kNotSupported = NDIS_STATUS_NOT_SUPPORTED;
  constexpr NDIS_STATUS kInvalid = NDIS_STATUS_INVALID_OID;
  return {
      {"SupportedGuids", 0x00010117, kNotSupported},
      {"AfterSupportedGuids", 0x00010118, kInvalid},
      {"BeforeDirectedBytesXmit", 0x00020200, kInvalid},
      {"DirectedBytesXmit", 0x00020201, kNotSupported},
      {"RcvCrcError", 0x0002020D, kNotSupported},
      {"TransmitQueueLength", 0x0002020E, kNotSupported},
      {"AfterTransmitQueueLength", 0x0002020F, kInvalid},
      {"BeforeXmitDeferred", 0x01020200, kInvalid},
      {"XmitDeferred", 0x01020201, kNotSupported},
      {"RcvOverrun", 0x01020203, kNotSupported},
      {"XmitLateCollisions", 0x01020207, kNotSupported},
      {"AfterXmitLateCollisions", 0x01020208, kInvalid},
      {"BeforePnpCapabilities", 0xFD0100FF, kInvalid},
      {"PnpCapabilities", 0xFD010100, kNotSupported},
      {"PnpQueryPower", 0xFD010102, kNotSupported},
      {"PnpRemoveWakeUpPattern", 0xFD010104, kNotSupported},
      {"PnpWakeUpPatternList", 0xFD010105, kInvalid},
      {"PnpEnableWakeUp", 0xFD010106, kNotSupported},
      {"AfterPnpEnableWakeUp", 0xFD010107, kInvalid},
      {"BeforePnpWakeUpOk", 0xFD0201FF, kInvalid},
      {"PnpWakeUpOk", 0xFD020200, kNotSupported},
      {"PnpWakeUpError", 0xFD020201, kNotSupported},
      {"AfterPnpWakeUpError", 0xFD020202, kInvalid},
      {"ProtocolOptions", 0x00010112, kInvalid},
      {"BeforeSupportedList", 0x00010100, kInvalid},
      {"AfterRcvNoBuffer", 0x00020106, kInvalid},
      {"Before8023PermanentAddress", 0x01010100, kInvalid},
      {"After8023MacOptions", 0x01010106, kInvalid},
      {"After8023XmitMoreCollisions", 0x01020104, kInvalid},
      {"Zero", 0x00000000, kInvalid},
      {"AllOnes", 0xFFFFFFFF, kInvalid},
  };
}

class QueryRefused : public ::testing::TestWithParam<RefusedRow> {};

TEST_P(QueryRefused, WritesNothing) {
  const RefusedRow& row = GetParam();
  InfoBench bench;
  LoadDistinctState(bench.adapter());
  const std::vector<std::uint8_t> before = bench.recordBytes();

  for (const std::size_t length : {0, 1, 2, 3, 4, 6, 8, 140, 256}) {
    SCOPED_TRACE("buffer length " + std::to_string(length));
    const Outcome outcome = Query(bench, row.oid, length);
    EXPECT_EQ(outcome.status, row.status);
    EXPECT_EQ(outcome.written, kWrittenSentinel) << "BytesWritten was written";
    EXPECT_EQ(outcome.needed, kNeededSentinel) << "BytesNeeded was written";
    EXPECT_TRUE(UntouchedFrom(outcome.buffer, 0));
  }
  EXPECT_TRUE(bench.machine().bus().trace().empty()) << "a query touched the card";
  EXPECT_EQ(bench.recordBytes(), before) << "a query changed the record";
}

INSTANTIATE_TEST_SUITE_P(RefusedRangesAndNeighbours, QueryRefused,
                         ::testing::ValuesIn(RefusedRows()),
                         [](const auto& test) { return test.param.name; });

// ---------------------------------------------------------------------------
// Answers that follow the record's state.

struct StateRow {
  std::string name;
  NDIS_OID oid;
  UCHAR linkUp;
  UCHAR is100Mbps;
  std::uint32_t answer;
};

class QueryFollowsState : public ::testing::TestWithParam<StateRow> {};

TEST_P(QueryFollowsState, AnswersTheFieldAsItStands) {
  const StateRow& row = GetParam();
  InfoBench bench;
  bench.adapter().LinkUp = row.linkUp;
  bench.adapter().Is100Mbps = row.is100Mbps;
  const Outcome outcome = Query(bench, row.oid, 4);
  EXPECT_EQ(outcome.status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(std::vector<std::uint8_t>(outcome.buffer.begin(), outcome.buffer.begin() + 4),
            Le32(row.answer));
}

INSTANTIATE_TEST_SUITE_P(
    LinkAndSpeed, QueryFollowsState,
    ::testing::Values(StateRow{"ConnectedWhileLinkUp", OID_GEN_MEDIA_CONNECT_STATUS, 1, 0, 0},
                      StateRow{"DisconnectedWhileLinkDown", OID_GEN_MEDIA_CONNECT_STATUS, 0, 1, 1},
                      StateRow{"TenMegabitBeforeAnyFastLink", OID_GEN_LINK_SPEED, 1, 0, 100000},
                      StateRow{"HundredMegabit", OID_GEN_LINK_SPEED, 1, 1, 1000000},
                      StateRow{"SpeedKeptWhileLinkDown", OID_GEN_LINK_SPEED, 0, 1, 1000000}),
    [](const auto& test) { return test.param.name; });

TEST(QueryFreshAdapter, ReportsZeroCountersAnEmptyListAndTheInitialSettings) {
  InfoBench bench;
  for (const NDIS_OID oid :
       {OID_GEN_XMIT_OK, OID_GEN_RCV_OK, OID_GEN_XMIT_ERROR, OID_GEN_RCV_ERROR,
        OID_GEN_RCV_NO_BUFFER, OID_802_3_RCV_ERROR_ALIGNMENT, OID_802_3_XMIT_ONE_COLLISION,
        OID_802_3_XMIT_MORE_COLLISIONS, OID_GEN_CURRENT_PACKET_FILTER}) {
    const Outcome outcome = Query(bench, oid, 4);
    EXPECT_EQ(outcome.status, NDIS_STATUS_SUCCESS) << std::hex << oid;
    EXPECT_EQ(std::vector<std::uint8_t>(outcome.buffer.begin(), outcome.buffer.begin() + 4),
              Le32(0))
        << std::hex << oid;
  }
  const Outcome lookahead = Query(bench, OID_GEN_CURRENT_LOOKAHEAD, 4);
  EXPECT_EQ(std::vector<std::uint8_t>(lookahead.buffer.begin(), lookahead.buffer.begin() + 4),
            Le32(238));
}

// A protocol learning the list size first passes no buffer at all.
TEST(QueryEmptyMulticastList, SucceedsWithNothingWrittenEvenWithoutABuffer) {
  InfoBench bench;
  ULONG written = kWrittenSentinel;
  ULONG needed = kNeededSentinel;
  EXPECT_EQ(bench.query(OID_802_3_MULTICAST_LIST, {}, written, needed), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(written, 0U);
  EXPECT_EQ(needed, kNeededSentinel);

  const Outcome outcome = Query(bench, OID_802_3_MULTICAST_LIST, 6);
  EXPECT_EQ(outcome.status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(outcome.written, 0U);
  EXPECT_TRUE(UntouchedFrom(outcome.buffer, 0));
}

// The answer is the list as last set, in the order given, duplicates kept.
TEST(QueryMulticastList, ReturnsTheListAsSet) {
  InfoBench bench;
  const std::vector<MacAddress> groups = {kGroupB, kGroupA, kGroupB};
  ASSERT_EQ(bench.setMulticastList(groups), NDIS_STATUS_SUCCESS);

  const Outcome outcome = Query(bench, OID_802_3_MULTICAST_LIST, 18);
  EXPECT_EQ(outcome.status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(outcome.written, 18U);
  std::vector<std::uint8_t> expected;
  for (const MacAddress& group : groups) {
    expected.insert(expected.end(), group.begin(), group.end());
  }
  EXPECT_EQ(std::vector<std::uint8_t>(outcome.buffer.begin(), outcome.buffer.begin() + 18),
            expected);
}

}  // namespace
}  // namespace kl::test
