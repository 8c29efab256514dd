// The host calls a serialised handler hung when it runs past its bounds in
// virtual time or in port accesses, and says which handler broke which bound.
// One that passes a bound and still runs is stopped, so its test fails
// instead of looping.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "sim/host/machine.h"

namespace kl::sim {
namespace {

using namespace std::chrono_literals;

struct BoundRow {
  std::string name;
  std::function<void(Machine&)> handler;
  std::string broken;  // empty: within bounds
  bool stopped = false;
};

class HandlerBoundsTest : public ::testing::TestWithParam<BoundRow> {};

TEST_P(HandlerBoundsTest, AreCheckedWhileTheHandlerRunsAndAsItReturns) {
  const BoundRow& row = GetParam();
  const auto run = [&row] {
    Machine machine({.handlerBounds = {.time = 5ms, .accesses = 100}});
    std::vector<std::string> broken;
    machine.onViolation([&](const std::string& what) { broken.push_back(what); });
    machine.atDispatch([&] { row.handler(machine); });
    return broken;
  };
  if (row.stopped) {
    EXPECT_DEATH(run(), "kl7046 host: code a test runs at DISPATCH_LEVEL " + row.broken +
                            ", and has not returned: stopping");
    return;
  }
  const std::vector<std::string> broken = run();
  if (row.broken.empty()) {
    EXPECT_TRUE(broken.empty());
  } else {
    ASSERT_EQ(broken.size(), 1U);
    EXPECT_EQ(broken[0], "code a test runs at DISPATCH_LEVEL " + row.broken);
  }
}

void accesses(Machine& machine, unsigned count) {
  for (unsigned i = 0; i < count; ++i) {
    (void)machine.bus().read8(0x300);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Handlers, HandlerBoundsTest,
    ::testing::Values(BoundRow{"Within",
                               [](Machine& m) {
                                 m.runFor(5ms);
                                 accesses(m, 100);
                               },
                               ""},
                      BoundRow{"TooLong", [](Machine& m) { m.runFor(6ms); },
                               "ran for more than 5 ms of virtual time"},
                      BoundRow{"AccessesWithoutEnd", [](Machine& m) { accesses(m, ~0U); },
                               "made more than 100 port accesses", true},
                      // The bound is crossed in an interrupt routine nested in the
                      // code: the code it is kept for is named, not the routine.
                      BoundRow{"AccessesWithoutEndInANestedRoutine",
                               [](Machine& m) {
                                 m.processor().atDeviceLevel([&] { accesses(m, ~0U); },
                                                             "MiniportISR");
                               },
                               "made more than 100 port accesses", true},
                      BoundRow{"StallsWithoutEnd",
                               [](Machine&) {
                                 for (;;) {
                                   KeStallExecutionProcessor(1000);
                                 }
                               },
                               "ran for more than 5 ms of virtual time", true}),
    [](const auto& test) { return test.param.name; });

}  // namespace
}  // namespace kl::sim
