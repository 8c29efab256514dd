// Many stations through the whole driver on each topology, under each
// traffic pattern: every station gets exactly what its filter admits, once,
// intact and in order, or what the network is seen to drop on the way.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "sim/world/network_traffic.h"
#include "support/driver_under_test.h"

namespace kl::sim::world {
namespace {

struct Row {
  Topology topology;
  std::size_t stations;
  Pattern pattern;
  std::size_t perMachine = kCardsPerMachine;
};

std::string NameOf(const Row& row) {
  const std::array<std::string, 4> topologies = {"None", "Cable", "Hub", "Switch"};
  std::string pattern(nameOf(row.pattern));
  std::erase(pattern, '-');
  return topologies.at(static_cast<std::size_t>(row.topology)) + std::to_string(row.stations) +
         "_" + pattern + "_" + std::to_string(row.perMachine) + "PerMachine";
}

class Networks : public testing::TestWithParam<Row> {};

TEST_P(Networks, DeliverWhatEachFilterAdmitsOnceIntactInOrder) {
  const Row& row = GetParam();
  constexpr std::uint64_t kSeed = 26;
  SCOPED_TRACE("seed " + std::to_string(kSeed));
  Network network({.slots = stationSlots(row.stations, row.perMachine),
                   .topology = row.topology,
                   .machine = {.seed = kSeed},
                   .cardsPerMachine = row.perMachine});
  test::DriverUnderTest driver;
  ASSERT_EQ(network.loadDriver([&](Machine& machine) { return driver.load(machine); }),
            STATUS_SUCCESS);
  ASSERT_TRUE(network.initializeEach().empty());
  ASSERT_TRUE(network.waitForLink(std::chrono::seconds(10)));
  NetworkTraffic traffic(
      network, {.pattern = row.pattern, .frames = 12, .shape = {.maxSize = 600}, .seed = kSeed});
  ASSERT_TRUE(traffic.open().empty());
  ASSERT_TRUE(traffic.run());
  const std::vector<StationOutcome> outcomes = traffic.outcomes();
  EXPECT_TRUE(clean(outcomes));
  std::uint64_t expected = 0;
  std::uint64_t collisions = 0;
  for (std::size_t index = 0; index < outcomes.size(); ++index) {
    const StationOutcome& outcome = outcomes[index];
    SCOPED_TRACE("station " + std::to_string(index + 1));
    EXPECT_EQ(outcome.missing, 0U);
    EXPECT_EQ(outcome.unwanted, 0U);
    EXPECT_EQ(outcome.counts.framesReceived, outcome.expected - outcome.excused);
    expected += outcome.expected;
    collisions += outcome.access.collisions;
    if (row.topology == Topology::Switch && outcome.counts.framesSent != 0) {
      EXPECT_EQ(network.learningSwitch().portOf(network.station(index).address(), network.now()),
                index);
    }
  }
  EXPECT_GT(expected, 0U);
  // Senders into one switch port overrun its queue, and what it drops is
  // counted and excused where it was dropped.
  if (row.topology == Topology::Switch && row.pattern == Pattern::Incast) {
    EXPECT_GT(outcomes[0].portDrops, 0U);
    EXPECT_EQ(outcomes[0].excused, outcomes[0].portDrops);
  }
  // Senders on one segment contend for it.
  EXPECT_EQ(collisions > 0, row.topology == Topology::Hub && row.pattern != Pattern::Multicast);
  network.halt();
}

// A hub or a cable whose stations span machines runs them on one clock.
const Row kRows[] = {
    Row{Topology::Cable, 2, Pattern::AllToAll},    Row{Topology::Cable, 2, Pattern::Storm},
    Row{Topology::Cable, 2, Pattern::AllToAll, 1}, Row{Topology::Hub, 4, Pattern::AllToAll},
    Row{Topology::Hub, 8, Pattern::Incast},        Row{Topology::Hub, 6, Pattern::Multicast},
    Row{Topology::Hub, 14, Pattern::Storm},        Row{Topology::Hub, 16, Pattern::AllToAll},
    Row{Topology::Hub, 16, Pattern::Storm, 5},     Row{Topology::Switch, 4, Pattern::AllToAll},
    Row{Topology::Switch, 16, Pattern::Incast, 8}, Row{Topology::Switch, 9, Pattern::Multicast},
    Row{Topology::Switch, 12, Pattern::Storm, 5},
};

INSTANTIATE_TEST_SUITE_P(Table, Networks, testing::ValuesIn(kRows),
                         [](const auto& param) { return NameOf(param.param); });

}  // namespace
}  // namespace kl::sim::world
