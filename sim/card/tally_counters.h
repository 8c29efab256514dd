// The controller's three 8-bit receive-error tallies (CNTR0-CNTR2).
#pragma once

#include <array>
#include <cstdint>

namespace kl::sim::card {

enum class Tally : std::uint8_t { FrameAlignment, Crc, MissedFrame };

class TallyCounters {
 public:
  // Counts `events` more. A counter sticks at 0xFF rather than wrapping, so
  // a counter nobody reads cannot fall back below half range and hide that
  // it needs reading. Returns true when this made the counter's top bit set.
  bool add(Tally tally, unsigned events);

  // A read of a counter clears it, as the host sees it through the port.
  [[nodiscard]] std::uint8_t take(Tally tally);
  // The count, left as it is.
  [[nodiscard]] std::uint8_t count(Tally tally) const { return counts_[index(tally)]; }

  // Some counter has reached half its range (its top bit is set).
  [[nodiscard]] bool anyHalfFull() const;

 private:
  static constexpr std::size_t index(Tally tally) { return static_cast<std::size_t>(tally); }

  std::array<std::uint8_t, 3> counts_{};
};

}  // namespace kl::sim::card
