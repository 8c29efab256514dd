// The cable between two endpoints: one frame at a time each way, both ways
// at once, arrival after the wire time, frames lost on a link that cannot
// carry them, and a capture that tshark reads back as what crossed.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "sim/core/clock.h"
#include "sim/net/cable.h"
#include "sim/net/ethernet.h"
#include "sim/net/frame_endpoint.h"
#include "sim/net/pcap_writer.h"

namespace kl::sim::net {
namespace {

std::vector<std::uint8_t> frameOf(std::size_t length, std::uint8_t seed) {
  std::vector<std::uint8_t> frame(length);
  for (std::size_t i = 0; i < length; ++i) {
    frame[i] = static_cast<std::uint8_t>(seed + i);
  }
  frame[0] = 0x02;  // a station address
  return frame;
}

struct Rig {
  explicit Rig(BitRate rate = BitRate::Mbit100)
      : cable(clock, rate),
        a(cable.end(Cable::Side::A), clock),
        b(cable.end(Cable::Side::B), clock) {}
  Clock clock;
  Cable cable;
  FrameEndpoint a;
  FrameEndpoint b;
};

TEST(Cable, FramesSentTogetherLeaveOneAfterAnotherWithTheGap) {
  Rig rig(BitRate::Mbit10);
  for (std::uint8_t i = 0; i < 3; ++i) {
    rig.a.send(frameOf(60, i));
  }
  runUntil(rig.clock, 1ms);
  ASSERT_EQ(rig.b.arrivals().size(), 3U);
  // 72 bytes on the wire and 96 bits of gap, 100 ns a bit.
  EXPECT_EQ(rig.b.arrivals()[0].at, 57'600ns);
  EXPECT_EQ(rig.b.arrivals()[1].at, 57'600ns + 67'200ns);
  EXPECT_EQ(rig.b.arrivals()[2].at, 57'600ns + 2 * 67'200ns);
  for (std::uint8_t i = 0; i < 3; ++i) {
    EXPECT_EQ(rig.b.arrivals()[i].frame.bytes, withFcs(frameOf(60, i)));
  }
}

TEST(Cable, BothDirectionsCarryAtOnce) {
  Rig rig;
  rig.a.send(frameOf(1514, 1));
  rig.b.send(frameOf(1514, 2));
  runUntil(rig.clock, 1ms);
  ASSERT_EQ(rig.a.arrivals().size(), 1U);
  ASSERT_EQ(rig.b.arrivals().size(), 1U);
  EXPECT_EQ(rig.a.arrivals()[0].at, rig.b.arrivals()[0].at);
  EXPECT_TRUE(fcsValid(rig.a.arrivals()[0].frame.bytes));
}

struct LossCase {
  std::string name;
  bool connected;
  BitRate farRate;
  bool arrives;
};

class CableLinks : public testing::TestWithParam<LossCase> {};

TEST_P(CableLinks, CarryFramesOnlyWhenConnectedAndAtOneRate) {
  const LossCase& c = GetParam();
  Rig rig;
  rig.cable.setConnected(c.connected);
  rig.cable.end(Cable::Side::B).setBitRate(c.farRate);
  EXPECT_EQ(rig.cable.end(Cable::Side::A).carriesFrames(), c.arrives);
  rig.a.send(frameOf(100, 0));
  runUntil(rig.clock, 1ms);
  EXPECT_EQ(rig.b.arrivals().size(), c.arrives ? 1U : 0U);
}

INSTANTIATE_TEST_SUITE_P(Links, CableLinks,
                         testing::Values(LossCase{"Connected", true, BitRate::Mbit100, true},
                                         LossCase{"Disconnected", false, BitRate::Mbit100, false},
                                         LossCase{"SpeedsDisagree", true, BitRate::Mbit10, false}),
                         [](const testing::TestParamInfo<LossCase>& row) {
                           return row.param.name;
                         });

TEST(Cable, AFramePulledMidWayIsLost) {
  Rig rig;
  rig.a.send(frameOf(1514, 0));
  runUntil(rig.clock, 50us);
  rig.cable.setConnected(false);
  runUntil(rig.clock, 200us);
  rig.cable.setConnected(true);
  runUntil(rig.clock, 1ms);
  EXPECT_TRUE(rig.b.arrivals().empty());
}

TEST(Cable, CutOffFrameNeverArrives) {
  Rig rig;
  const Cable::Transmission sent = rig.a.send(frameOf(200, 0));
  runUntil(rig.clock, 1us);
  EXPECT_TRUE(rig.cable.end(Cable::Side::A).cutOff(sent));
  runUntil(rig.clock, 1ms);
  EXPECT_TRUE(rig.b.arrivals().empty());
  EXPECT_FALSE(rig.cable.end(Cable::Side::A).cutOff(sent));
}

// ---------------------------------------------------------------------------
// The capture, read back by tshark.

std::string run(const std::string& command) {
  std::string output;
  const std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) {
    return output;
  }
  std::array<char, 4096> buffer{};
  while (fgets(buffer.data(), static_cast<int>(buffer.size()), pipe.get()) != nullptr) {
    output += buffer.data();
  }
  return output;
}

TEST(Capture, TsharkReadsEveryFrameThatCrossedWithoutItsFcs) {
  if (std::system("command -v tshark >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "tshark is not installed";
  }
  const std::filesystem::path file = std::filesystem::path(testing::TempDir()) /
                                     ("cable_capture_" + std::to_string(::getpid()) + ".pcap");
  std::vector<std::string> expected;
  {
    Rig rig(BitRate::Mbit10);
    PcapWriter writer(file);
    writer.capture(rig.cable);
    const std::array<std::size_t, 4> lengths = {60, 61, 1000, 1514};
    for (std::size_t i = 0; i < lengths.size(); ++i) {
      FrameEndpoint& from = i % 2 == 0 ? rig.a : rig.b;
      from.send(frameOf(lengths[i], static_cast<std::uint8_t>(i)));
      runUntil(rig.clock, rig.clock.now() + 2ms);
    }
    rig.cable.setConnected(false);
    rig.a.send(frameOf(80, 9));  // lost: not captured
    runUntil(rig.clock, rig.clock.now() + 2ms);
    for (std::size_t i = 0; i < lengths.size(); ++i) {
      const Duration arrival =
          2ms * static_cast<int>(i) + frameTime(lengths[i] + kFcsBytes, BitRate::Mbit10);
      std::ostringstream line;
      line << lengths[i] << '\t' << arrival.count() / 1'000'000'000 << '.'
           << std::to_string(1'000'000'000 + arrival.count() % 1'000'000'000).substr(1) << '\t'
           << "02:";
      expected.push_back(line.str());
    }
    EXPECT_EQ(writer.framesWritten(), lengths.size());
  }
  const std::string out =
      run("tshark -r '" + file.string() +
          "' -T fields -e frame.len -e frame.time_epoch -e eth.dst 2>/dev/null");
  std::filesystem::remove(file);
  std::istringstream lines(out);
  std::string line;
  std::size_t i = 0;
  for (; std::getline(lines, line); ++i) {
    ASSERT_LT(i, expected.size()) << out;
    EXPECT_EQ(line.substr(0, expected[i].size()), expected[i]) << out;
  }
  EXPECT_EQ(i, expected.size()) << out;
}

}  // namespace
}  // namespace kl::sim::net
