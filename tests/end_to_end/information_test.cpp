// Information requests through NDIS on adapters brought up end to end: every
// answer with buffers from empty to larger than it, the refusals, and sets
// that take effect, on whichever driver runs (in the 32-bit build also
// kl7046.sys loaded from its image).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "end_to_end/two_stations.h"
#include "support/guarded_query.h"

namespace kl::test {
namespace {

std::vector<std::uint8_t> Le32(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

std::vector<std::uint8_t> Bytes(std::span<const std::uint8_t> bytes) {
  return {bytes.begin(), bytes.end()};
}

struct Row {
  std::string name;
  NDIS_OID oid;
  std::vector<std::uint8_t> answer;
};

// The answers of the first adapter once both are up, their stations open
// with the usual filter and the group joined, before any traffic.
std::vector<Row> Rows() {
  const char description[] = "VELMORAN KL7046 PC Card.";
  return {
      {"HardwareStatus", OID_GEN_HARDWARE_STATUS, Le32(0)},
      {"MediaSupported", OID_GEN_MEDIA_SUPPORTED, Le32(0)},
      {"MediaInUse", OID_GEN_MEDIA_IN_USE, Le32(0)},
      {"MaximumFrameSize", OID_GEN_MAXIMUM_FRAME_SIZE, Le32(1500)},
      {"LinkSpeed", OID_GEN_LINK_SPEED, Le32(1000000)},
      {"TransmitBufferSpace", OID_GEN_TRANSMIT_BUFFER_SPACE, Le32(3072)},
      {"TransmitBlockSize", OID_GEN_TRANSMIT_BLOCK_SIZE, Le32(256)},
      {"ReceiveBlockSize", OID_GEN_RECEIVE_BLOCK_SIZE, Le32(256)},
      // The vendor's code from the permanent address, then the vendor's own byte, 0.
      {"VendorId", OID_GEN_VENDOR_ID, {kFirstStation[0], kFirstStation[1], kFirstStation[2], 0x00}},
      {"VendorDescription", OID_GEN_VENDOR_DESCRIPTION,
       std::vector<std::uint8_t>(description, description + sizeof(description))},
      {"CurrentPacketFilter", OID_GEN_CURRENT_PACKET_FILTER, Le32(kUsualFilter)},
      {"DriverVersion", OID_GEN_DRIVER_VERSION, {0x00, 0x04}},
      {"MaximumTotalSize", OID_GEN_MAXIMUM_TOTAL_SIZE, Le32(1514)},
      {"MacOptions", OID_GEN_MAC_OPTIONS, Le32(0x0F)},
      {"MediaConnectStatus", OID_GEN_MEDIA_CONNECT_STATUS, Le32(0)},
      {"MaximumSendPackets", OID_GEN_MAXIMUM_SEND_PACKETS, Le32(1)},
      {"XmitOk", OID_GEN_XMIT_OK, Le32(0)},
      {"RcvOk", OID_GEN_RCV_OK, Le32(0)},
      {"PermanentAddress", OID_802_3_PERMANENT_ADDRESS, Bytes(kFirstStation)},
      {"CurrentAddress", OID_802_3_CURRENT_ADDRESS, Bytes(kFirstStation)},
      {"MulticastList", OID_802_3_MULTICAST_LIST, Bytes(kGroup)},
      {"MaximumListSize", OID_802_3_MAXIMUM_LIST_SIZE, Le32(32)},
  };
}

QueryOutcome Query(sim::MiniportAdapter& adapter, NDIS_OID oid, std::size_t length) {
  return GuardedQuery(
      [&adapter](NDIS_OID id, std::span<std::uint8_t> buffer, ULONG& written, ULONG& needed) {
        return adapter.query(id, buffer, written, needed);
      },
      oid, length);
}

class BroughtUp : public ::testing::Test {
 protected:
  void SetUp() override { world_.bringUp(); }
  sim::MiniportAdapter& adapter() { return world_.pair().adapter(0); }
  TwoStations world_{31};
};

class Answer : public ::testing::TestWithParam<Row> {};

TEST_P(Answer, ExactlyItsLengthOrAsksForIt) {
  const Row& row = GetParam();
  TwoStations world(31);
  world.bringUp();
  sim::MiniportAdapter& adapter = world.pair().adapter(0);
  const std::size_t size = row.answer.size();
  for (std::size_t length = 0; length <= size + 2; ++length) {
    SCOPED_TRACE("buffer length " + std::to_string(length));
    const QueryOutcome outcome = Query(adapter, row.oid, length);
    if (length < size) {
      EXPECT_EQ(outcome.status, NDIS_STATUS_INVALID_LENGTH);
      EXPECT_EQ(outcome.needed, size);
      EXPECT_EQ(outcome.written, kWrittenSentinel);
      EXPECT_TRUE(UntouchedFrom(outcome.buffer, 0));
    } else {
      EXPECT_EQ(outcome.status, NDIS_STATUS_SUCCESS);
      EXPECT_EQ(outcome.written, size);
      EXPECT_EQ(outcome.needed, kNeededSentinel);
      EXPECT_EQ(std::vector<std::uint8_t>(outcome.buffer.begin(),
                                          outcome.buffer.begin() + static_cast<long>(size)),
                row.answer);
      EXPECT_TRUE(UntouchedFrom(outcome.buffer, size));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(OnTheDriverUnderTest, Answer, ::testing::ValuesIn(Rows()),
                         [](const auto& param) { return param.param.name; });

struct RefusedRow {
  const char* name;
  NDIS_OID oid;
  NDIS_STATUS status;
};

class Refused : public ::testing::TestWithParam<RefusedRow> {};

TEST_P(Refused, WithItsStatusAndNothingWritten) {
  const RefusedRow& row = GetParam();
  TwoStations world(32);
  world.bringUp();
  const QueryOutcome outcome = Query(world.pair().adapter(0), row.oid, 16);
  EXPECT_EQ(outcome.status, row.status);
  EXPECT_TRUE(UntouchedFrom(outcome.buffer, 0));
}

INSTANTIATE_TEST_SUITE_P(
    OnTheDriverUnderTest, Refused,
    ::testing::Values(RefusedRow{"SupportedGuids", 0x00010117, NDIS_STATUS_NOT_SUPPORTED},
                      RefusedRow{"DirectedBytesXmit", 0x00020201, NDIS_STATUS_NOT_SUPPORTED},
                      RefusedRow{"XmitDeferred", 0x01020201, NDIS_STATUS_NOT_SUPPORTED},
                      RefusedRow{"PnpCapabilities", 0xFD010100, NDIS_STATUS_NOT_SUPPORTED},
                      RefusedRow{"ProtocolOptions", 0x00010112, NDIS_STATUS_INVALID_OID},
                      RefusedRow{"Unknown", 0x12345678, NDIS_STATUS_INVALID_OID}),
    [](const auto& param) { return std::string(param.param.name); });

// What a protocol sets is what it reads back, and traffic shows in the
// counters that answer for it.
TEST_F(BroughtUp, SetsReadBackAndCountersFollowTraffic) {
  std::uint8_t filter[4];
  const ULONG directed = NDIS_PACKET_TYPE_DIRECTED;
  std::memcpy(filter, &directed, sizeof(filter));
  ULONG read = 0;
  ULONG needed = 0;
  ASSERT_EQ(adapter().set(OID_GEN_CURRENT_PACKET_FILTER, filter, read, needed),
            NDIS_STATUS_SUCCESS);
  EXPECT_EQ(read, 4U);
  EXPECT_EQ(sim::world::queryUlong(adapter(), OID_GEN_CURRENT_PACKET_FILTER), directed);
  std::uint8_t lookahead[4] = {128, 0, 0, 0};
  ASSERT_EQ(adapter().set(OID_GEN_CURRENT_LOOKAHEAD, lookahead, read, needed), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(sim::world::queryUlong(adapter(), OID_GEN_CURRENT_LOOKAHEAD), 128U);
  ASSERT_EQ(adapter().set(OID_GEN_CURRENT_PACKET_FILTER, std::span(filter).first(3), read, needed),
            NDIS_STATUS_INVALID_LENGTH);

  // With only directed frames taken, the far side's broadcasts and
  // multicasts no longer arrive; its unicasts do.
  ASSERT_TRUE(world_.exchange(200));
  const sim::world::StationCounts& sent = world_.station(1).counts();
  EXPECT_EQ(sim::world::queryUlong(adapter(), OID_GEN_XMIT_OK),
            world_.station(0).counts().framesSent);
  EXPECT_EQ(sim::world::queryUlong(adapter(), OID_GEN_RCV_OK),
            world_.station(0).counts().framesReceived);
  EXPECT_LT(world_.station(0).counts().framesReceived, sent.framesSent);
  EXPECT_GT(world_.station(0).counts().framesReceived, 0U);
  EXPECT_EQ(world_.station(0).counts().damaged, 0U);
}

}  // namespace
}  // namespace kl::test
