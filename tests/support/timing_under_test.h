// The timing corner an end-to-end test runs its machine at: typical, or the
// one the environment names in KL7046_TIMING ("slowest", or a corner with
// times of their own, as kl7046 --timing takes it). The build registers the
// suites whose outcome can depend on timing again at the fastest and the
// slowest corner that way.
#pragma once

#include <cstdint>

#include "sim/card/timing.h"

namespace kl::test {

// The corner under test, its random draws seeded with `seed`. A setting the
// environment gets wrong stops the test program with its reason.
[[nodiscard]] sim::card::TimingSetup TimingUnderTest(std::uint64_t seed);

}  // namespace kl::test
