// The host calls a serialised handler hung when it runs past its bounds in
// virtual time or in port accesses, and says which bound it broke.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "sim/host/machine.h"

namespace kl::sim {
namespace {

using namespace std::chrono_literals;

struct BoundRow {
  std::string name;
  Duration busy;
  unsigned accesses;
  std::string broken;  // empty: within bounds
};

class HandlerBoundsTest : public ::testing::TestWithParam<BoundRow> {};

TEST_P(HandlerBoundsTest, AreCheckedWhenTheHandlerReturns) {
  const BoundRow& row = GetParam();
  Machine machine({.handlerBounds = {.time = 5ms, .accesses = 100}});
  std::vector<std::string> broken;
  machine.onViolation([&](const std::string& what) { broken.push_back(what); });
  machine.atDispatch([&] {
    machine.runFor(row.busy);
    for (unsigned i = 0; i < row.accesses; ++i) {
      (void)machine.bus().read8(0x300);
    }
  });
  if (row.broken.empty()) {
    EXPECT_TRUE(broken.empty());
  } else {
    ASSERT_EQ(broken.size(), 1U);
    EXPECT_NE(broken[0].find(row.broken), std::string::npos) << broken[0];
  }
}

INSTANTIATE_TEST_SUITE_P(Handlers, HandlerBoundsTest,
                         ::testing::Values(BoundRow{"Within", 5ms, 100, ""},
                                           BoundRow{"TooLong", 6ms, 0, "virtual time"},
                                           BoundRow{"TooManyAccesses", 0ms, 101, "port accesses"}),
                         [](const auto& test) { return test.param.name; });

}  // namespace
}  // namespace kl::sim
