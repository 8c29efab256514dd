// Virtual time: events fire in time order, ties in the order scheduled, and
// the driver's stalls and the event loop both move through them.
#include <gtest/gtest.h>

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
