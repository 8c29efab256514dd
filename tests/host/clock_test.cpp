// Virtual time: events fire in time order, ties in the order scheduled, and
// the driver's stalls and the event loop both move through them.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "sim/core/clock.h"
#include "sim/host/machine.h"

namespace kl::sim {
namespace {

TEST(Clock, FiresEventsInTimeOrderAndTiesInSchedulingOrder) {
  Clock clock;
  std::vector<int> fired;
  clock.scheduleAt(VirtualTime(30ns), [&] { fired.push_back(3); });
  clock.scheduleAt(VirtualTime(10ns), [&] { fired.push_back(1); });
  clock.scheduleAt(VirtualTime(30ns), [&] { fired.push_back(4); });
  clock.scheduleAt(VirtualTime(20ns), [&] { fired.push_back(2); });
  const auto cancelled = clock.scheduleAt(VirtualTime(15ns), [&] { fired.push_back(99); });
  EXPECT_TRUE(clock.cancel(cancelled));
  EXPECT_FALSE(clock.cancel(cancelled));

  while (clock.fireNextDue(VirtualTime(25ns))) {
  }
  EXPECT_EQ(fired, (std::vector<int>{1, 2}));
  EXPECT_EQ(clock.now(), VirtualTime(20ns));
  while (clock.fireNextDue(VirtualTime(1s))) {
  }
  EXPECT_EQ(fired, (std::vector<int>{1, 2, 3, 4}));
}

TEST(Clock, AnEventScheduledByAnEventAtTheSameInstantStillFires) {
  Clock clock;
  int fired = 0;
  clock.scheduleAt(VirtualTime(5ns), [&] {
    ++fired;
    clock.scheduleIn(0ns, [&] { ++fired; });
  });
  while (clock.fireNextDue(VirtualTime(5ns))) {
  }
  EXPECT_EQ(fired, 2);
}

// Events scheduled and cancelled at random, many at once, fire exactly as a
// plain ordered list of the live ones says, and an id outlives its event
// without reaching the event that took its place.
TEST(Clock, FiresWhatAnOrderedListSaysThroughRandomSchedulesAndCancels) {
  const std::uint64_t seed = 7046;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 random(seed);
  Clock clock;
  std::map<std::pair<VirtualTime, int>, int> expected;  // by time, then order scheduled
  std::vector<std::pair<Clock::EventId, std::pair<VirtualTime, int>>> ids;
  std::vector<int> fired;
  for (int n = 0; n < 2000; ++n) {
    const VirtualTime at = clock.now() + Duration(random() % 500);
    ids.emplace_back(clock.scheduleAt(at, [&fired, n] { fired.push_back(n); }),
                     std::make_pair(at, n));
    expected.emplace(std::make_pair(at, n), n);
    if (random() % 2 == 0) {
      const auto& [id, key] =
          ids[ids.size() - 1 - random() % std::min<std::size_t>(ids.size(), 200)];
      EXPECT_EQ(clock.cancel(id), expected.erase(key) == 1);
    }
    if (random() % 8 == 0) {
      const VirtualTime until = clock.now() + Duration(random() % 20);
      while (clock.fireNextDue(until)) {
      }
      while (!expected.empty() && expected.begin()->first.first <= until) {
        ASSERT_FALSE(fired.empty());
        EXPECT_EQ(fired.front(), expected.begin()->second);
        fired.erase(fired.begin());
        expected.erase(expected.begin());
      }
      EXPECT_TRUE(fired.empty());
    }
  }
}

TEST(Machine, StallAdvancesVirtualTimeThroughDueEvents) {
  Machine machine;
  std::vector<VirtualTime> seen;
  machine.clock().scheduleIn(500us, [&] { seen.push_back(machine.now()); });
  machine.clock().scheduleIn(3ms, [&] { seen.push_back(machine.now()); });

  KeStallExecutionProcessor(2000);

  EXPECT_EQ(machine.now(), VirtualTime(2ms));
  EXPECT_EQ(seen, (std::vector<VirtualTime>{VirtualTime(500us)}));
  machine.runFor(1ms);
  EXPECT_EQ(seen, (std::vector<VirtualTime>{VirtualTime(500us), VirtualTime(3ms)}));
}

// Work done within a busy wait (a device's event that itself waits) may hold
// the processor past the wait's end; time goes on from there, never back.
TEST(Machine, ABusyWaitWithinAnotherHoldsTheProcessorToItsOwnEnd) {
  Machine machine;
  machine.clock().scheduleIn(500us, [] { KeStallExecutionProcessor(2000); });
  KeStallExecutionProcessor(1000);
  EXPECT_EQ(machine.now(), VirtualTime(2500us));
}

}  // namespace
}  // namespace kl::sim
