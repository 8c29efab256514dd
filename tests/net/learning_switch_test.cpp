// The learning switch's forwarding table: a station it learned is forwarded
// to alone until the entry ages, and is flooded to again once it has.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <deque>
#include <vector>

#include "sim/net/frame_endpoint.h"
#include "sim/net/learning_switch.h"

namespace kl::sim::net {
namespace {

constexpr LearningSwitch::Address kFirst = {0x02, 0, 0, 0, 0, 1};
constexpr LearningSwitch::Address kSecond = {0x02, 0, 0, 0, 0, 2};

std::vector<std::uint8_t> frameFrom(const LearningSwitch::Address& source,
                                    const LearningSwitch::Address& destination) {
  std::vector<std::uint8_t> frame(kMinFrameBytes - kFcsBytes);
  std::copy(destination.begin(), destination.end(), frame.begin());
  std::copy(source.begin(), source.end(), frame.begin() + kAddressBytes);
  return frame;
}

struct AgeingRow {
  const char* name;
  Duration idle;  // after the second station was last heard
  bool flooded;
};

class SwitchAgeing : public testing::TestWithParam<AgeingRow> {};

// Three stations on three ports; the second speaks once, and after `idle`
// the first sends to it.
TEST_P(SwitchAgeing, ALearnedStationIsFloodedToAgainOnceItsEntryAged) {
  const AgeingRow& row = GetParam();
  Clock clock;
  std::array<Cable, 3> cables{Cable(clock), Cable(clock), Cable(clock)};
  std::deque<FrameEndpoint> stations;
  LearningSwitch bridge;
  for (Cable& cable : cables) {
    stations.emplace_back(cable.end(Cable::Side::A), clock);
    bridge.addPort(clock, cable.end(Cable::Side::B));
  }
  stations[1].send(frameFrom(kSecond, kFirst));
  runUntil(clock, clock.now() + row.idle);
  EXPECT_EQ(bridge.portOf(kSecond, clock.now()).has_value(), !row.flooded);
  stations[2].clear();
  stations[0].send(frameFrom(kFirst, kSecond));
  runUntil(clock, clock.now() + std::chrono::milliseconds(1));
  EXPECT_EQ(stations[1].arrivals().size(), 1U);
  EXPECT_EQ(stations[2].arrivals().size(), row.flooded ? 1U : 0U);
}

INSTANTIATE_TEST_SUITE_P(Table, SwitchAgeing,
                         testing::Values(AgeingRow{"Heard", std::chrono::seconds(299), false},
                                         AgeingRow{"Aged", std::chrono::seconds(301), true}),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace kl::sim::net
