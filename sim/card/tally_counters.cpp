#include "sim/card/tally_counters.h"

#include <algorithm>
#include <utility>

namespace kl::sim::card {

namespace {

constexpr std::uint8_t kHalfRange = 0x80;
constexpr unsigned kMaximum = 0xFF;

}  // namespace

bool TallyCounters::add(Tally tally, unsigned events) {
  std::uint8_t& count = counts_[index(tally)];
  const bool wasHalfFull = (count & kHalfRange) != 0;
  count = static_cast<std::uint8_t>(std::min(kMaximum, count + std::min(events, kMaximum)));
  return !wasHalfFull && (count & kHalfRange) != 0;
}

std::uint8_t TallyCounters::take(Tally tally) {
  return std::exchange(counts_[index(tally)], std::uint8_t{0});
}

bool TallyCounters::anyHalfFull() const {
  return std::any_of(counts_.begin(), counts_.end(),
                     [](std::uint8_t count) { return (count & kHalfRange) != 0; });
}

}  // namespace kl::sim::card
