// The world builder: what it refuses to build.
#include <gtest/gtest.h>

#include <stdexcept>

#include "sim/world/network.h"

namespace kl::sim::world {
namespace {

constexpr card::MacAddress kFirst = {0x02, 0x4B, 0x4C, 0x70, 0x46, 0x01};
constexpr card::MacAddress kSecond = {0x02, 0x4B, 0x4C, 0x70, 0x46, 0x02};

TEST(Network, RefusesACableOtherThanBetweenTwoCardsAndCardsWhosePortsOverlap) {
  const auto pair = defaultSlots(kFirst, kSecond);
  SlotSetup third = pair[1];
  third.base = 0x340;
  EXPECT_THROW(Network({.slots = {pair[0], pair[1], third}}), std::invalid_argument);
  EXPECT_THROW(Network({.slots = {pair[0]}}), std::invalid_argument);
  EXPECT_NO_THROW(Network({.slots = {pair[0]}, .topology = Topology::None}));
  EXPECT_THROW(Network({.slots = {pair[0], pair[0]}}), std::invalid_argument);
  Network cabled({.slots = {pair.begin(), pair.end()}});
  EXPECT_EQ(cabled.size(), 2U);
  EXPECT_TRUE(cabled.cable().connected());
}

}  // namespace
}  // namespace kl::sim::world
