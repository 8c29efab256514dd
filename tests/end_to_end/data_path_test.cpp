// Frames between two adapters on one cable, through the whole driver: every
// frame arrives intact, once and in order, in both bus widths, through the
// receive ring's wraps, and the cable's capture holds what crossed it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <vector>

#include "end_to_end/two_stations.h"
#include "sim/net/pcap_writer.h"

namespace kl::test {
namespace {

using namespace std::chrono_literals;
using sim::card::BusWidth;
using sim::world::SlotSetup;
using sim::world::TrafficShape;

struct ExchangeCase {
  const char* name;
  BusWidth width;
  TrafficShape shape;
  std::uint64_t frames;
  std::uint64_t seed;
  // What a port cycle costs, and the ConnectionType both adapters are given
  // (0: they negotiate). On a costed bus and a 10 Mbit/s wire a protocol's
  // transfer-data takes long enough for the adapter's own transmission to
  // end meanwhile with the next frame waiting on the card, and the driver
  // starts that one from within the copy.
  sim::BusCycleTimes bus{};
  std::uint32_t connectionType = 0;
};

class Exchange : public ::testing::TestWithParam<ExchangeCase> {};

TEST_P(Exchange, EveryFrameArrivesIntactOnceAndInOrder) {
  const ExchangeCase& c = GetParam();
  SCOPED_TRACE("seed " + std::to_string(c.seed));
  auto slots = SlotsOf(c.width);
  for (SlotSetup& slot : slots) {
    slot.adapter.keywords["ConnectionType"] = c.connectionType;
  }
  TwoStations world(c.seed, c.shape, slots);
  world.machine().bus().setCycleTimes(c.bus);
  world.bringUp();
  ASSERT_TRUE(world.exchange(c.frames));
  world.expectClean();
}

constexpr TrafficShape kMixed{};
constexpr TrafficShape kShortest{.minSize = 60, .maxSize = 60};
constexpr TrafficShape kLongest{.minSize = 1514, .maxSize = 1514, .maxPieces = 12};
constexpr TrafficShape kOneBuffer{.maxPieces = 1};
// Odd lengths and odd piece boundaries on the word-wide path.
constexpr TrafficShape kAroundPages{.minSize = 250, .maxSize = 262, .maxPieces = 7};
// A 16-bit PC Card I/O cycle as hosts run it.
constexpr sim::BusCycleTimes kTypicalPcCardBus{.byteCycle = 600ns, .wordCycle = 600ns};
constexpr std::uint32_t kTenFull = 2;  // ConnectionType: 10 Mbit/s full duplex

INSTANTIATE_TEST_SUITE_P(
    BothWays, Exchange,
    ::testing::Values(ExchangeCase{"WordMixed", BusWidth::Word, kMixed, 10000, 11},
                      ExchangeCase{"ByteMixed", BusWidth::Byte, kMixed, 10000, 12},
                      ExchangeCase{"WordShortest", BusWidth::Word, kShortest, 2000, 13},
                      ExchangeCase{"ByteLongest", BusWidth::Byte, kLongest, 1000, 14},
                      ExchangeCase{"WordLongest", BusWidth::Word, kLongest, 1000, 15},
                      ExchangeCase{"WordOneBuffer", BusWidth::Word, kOneBuffer, 1000, 16},
                      ExchangeCase{"ByteAroundPages", BusWidth::Byte, kAroundPages, 1000, 17},
                      ExchangeCase{"WordMixedAtTenOnACostedBus", BusWidth::Word, kMixed, 1000, 18,
                                   kTypicalPcCardBus, kTenFull}),
    [](const auto& param) { return std::string(param.param.name); });

// Every length from the shortest the protocol builds to the longest, each
// handed down in one of the chain shapes a protocol produces: empty buffers
// first, odd-length buffers (on the word-wide path), a 3-1-2 start, one
// buffer a byte. Frames shorter than 60 bytes leave padded with 0x20.
std::vector<std::size_t> ChainFor(std::size_t length, std::size_t shape) {
  switch (shape % 4) {
    case 0:
      return {0, 0, length};
    case 1: {
      std::vector<std::size_t> pieces;
      for (std::size_t left = length; left > 0; left -= std::min<std::size_t>(left, 7)) {
        pieces.push_back(std::min<std::size_t>(left, 7));
      }
      return pieces;
    }
    case 2:
      return {3, 1, 2, length - 6};
    default:
      return length < 64 ? std::vector<std::size_t>(length, 1)
                         : std::vector<std::size_t>{1, 1, length - 3, 1};
  }
}

class EveryLength : public ::testing::TestWithParam<BusWidth> {};

TEST_P(EveryLength, ArrivesByteForByteInEveryChainShape) {
  TwoStations world(21, {}, SlotsOf(GetParam()));
  std::vector<std::vector<std::uint8_t>> wire;
  world.pair().cable().cable().onFrame(
      [&](const sim::net::WireFrame& frame, sim::net::Cable::Side from, sim::VirtualTime) {
        if (from == sim::net::Cable::Side::A) {
          wire.push_back(frame.bytes);
        }
      });
  world.bringUp();
  sim::world::TrafficStation& sender = world.station(0);
  const sim::world::Mac peer = world.station(1).address();
  constexpr std::size_t kFirstLength = sim::world::kTestHeaderBytes;
  std::size_t sent = 0;
  for (std::size_t length = kFirstLength; length <= sim::world::kLargestTestFrame;
       ++length, ++sent) {
    sender.sendShaped(peer, length, ChainFor(length, length));
    // Let the sender's queue drain now and then, as a protocol's would.
    if (sender.packetsHeld() >= 8) {
      world.machine().runFor(1ms);
    }
  }
  world.machine().runFor(10ms);
  world.expectClean();
  EXPECT_EQ(world.station(1).counts().framesReceived, sent);
  ASSERT_EQ(wire.size(), sent);
  for (std::size_t i = 0; i + kFirstLength < 60; ++i) {
    const std::size_t length = kFirstLength + i;
    SCOPED_TRACE("a frame of " + std::to_string(length) + " bytes");
    ASSERT_EQ(wire[i].size(), 60 + sim::net::kFcsBytes);
    for (std::size_t at = length; at < 60; ++at) {
      EXPECT_EQ(wire[i][at], 0x20) << "pad byte " << at;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(BothWidths, EveryLength, ::testing::Values(BusWidth::Word, BusWidth::Byte),
                         [](const auto& param) {
                           return param.param == BusWidth::Word ? "Word" : "Byte";
                         });

TEST(LongExchange, HundredThousandSeededFramesCrossIntact) {
  constexpr std::uint64_t kSeed = 70460001;
  SCOPED_TRACE("seed " + std::to_string(kSeed));
  TwoStations world(kSeed);
  world.bringUp();
  ASSERT_TRUE(world.exchange(50'000));
  world.expectClean();
}

// The capture of the cable: pcap's file header, then one record a frame,
// FCS left out, in the order the frames crossed.
TEST(CableCapture, HoldsEveryFrameThatCrossed) {
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() /
      ("kl7046-capture-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
       ".pcap");
  std::uint64_t sent = 0;
  {
    TwoStations world(5);
    sim::net::PcapWriter writer(file);
    writer.capture(world.pair().cable().cable());
    world.bringUp();
    ASSERT_TRUE(world.exchange(200));
    world.expectClean();
    sent = world.station(0).counts().framesSent + world.station(1).counts().framesSent;
    EXPECT_EQ(writer.framesWritten(), sent);
  }
  std::ifstream in(file, std::ios::binary);
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
  std::filesystem::remove(file);
  ASSERT_GE(bytes.size(), 24U);
  // Nanosecond-resolution magic, little endian; link type 1 (Ethernet).
  EXPECT_EQ(bytes[0], 0x4D);
  EXPECT_EQ(bytes[1], 0x3C);
  EXPECT_EQ(bytes[2], 0xB2);
  EXPECT_EQ(bytes[3], 0xA1);
  EXPECT_EQ(bytes[20], 1);
  std::size_t at = 24;
  std::uint64_t records = 0;
  while (at + 16 <= bytes.size()) {
    const std::uint32_t captured = bytes[at + 8] | bytes[at + 9] << 8 | bytes[at + 10] << 16 |
                                   static_cast<std::uint32_t>(bytes[at + 11]) << 24;
    const std::span<const std::uint8_t> frame(bytes.data() + at + 16, captured);
    EXPECT_TRUE(sim::world::checkTestFrame(frame).has_value()) << "record " << records;
    at += 16 + captured;
    ++records;
  }
  EXPECT_EQ(at, bytes.size());
  EXPECT_EQ(records, sent);
}

}  // namespace
}  // namespace kl::test
