#include "support/timing_under_test.h"

#include <cstdio>
#include <cstdlib>

namespace kl::test {

sim::card::TimingSetup TimingUnderTest(std::uint64_t seed) {
  const char* corner = std::getenv("KL7046_TIMING");
  if (corner == nullptr || *corner == '\0') {
    return sim::card::TimingSetup{.seed = seed};
  }
  const sim::card::ParsedTiming parsed = sim::card::parseTiming(corner, seed);
  if (!parsed.setup) {
    std::fprintf(stderr, "KL7046_TIMING: %s\n", parsed.error.c_str());
    std::abort();
  }
  return *parsed.setup;
}

}  // namespace kl::test
