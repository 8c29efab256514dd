// Every time the card, its PHY and the twisted pair keep, each with the range
// its source allows, and the corner of those ranges a machine runs at.
//
// A machine runs at one corner: every time at the least its source allows
// (fastest), at the source's nominal value or else the middle of the range
// (typical), at the most (slowest), or drawn afresh for each event within the
// range from the run's seed (random). A time may also be set to a value of
// its own within its range, whatever the corner.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "sim/core/clock.h"
#include "sim/core/random.h"

namespace kl::sim::card {

enum class Timing : std::uint8_t {
  PhyReset,           // BMCR reset written, to the part out of reset
  PhyPowerUp,         // power applied, to the part signalling
  BreakLink,          // auto-negotiation's break_link_timer
  AutonegWait,        // auto-negotiation's autoneg_wait_timer (parallel detection)
  LinkFailInhibit,    // auto-negotiation's link_fail_inhibit_timer
  AbilityExchange,    // the fast-link-pulse bursts of one negotiation
  LinkPass10,         // 10BASE-T link integrity test passed
  LinkLoss10,         // 10BASE-T link loss detected
  LinkReady100,       // 100BASE-TX link monitor up
  LinkLoss100,        // 100BASE-TX link loss detected
  ControllerReset,    // reset port accessed, to ISR's RST
  ControllerStop,     // STP written, to ISR's RST
  RemoteDmaComplete,  // a remote write's last data-port cycle, to ISR's RDC
  TransmitStart,      // TXP written, to the frame's first bit on the wire
};
inline constexpr std::size_t kTimingCount = 14;

struct TimingRange {
  std::string_view name;  // as an installation file and the command line write it
  Duration least;
  Duration typical;
  Duration most;
  std::string_view source;
};

// The table, in the order of Timing.
[[nodiscard]] std::span<const TimingRange, kTimingCount> timingTable();
[[nodiscard]] const TimingRange& rangeOf(Timing timing);

enum class TimingCorner : std::uint8_t { Fastest, Typical, Slowest, Random };

[[nodiscard]] std::string_view cornerName(TimingCorner corner);

// A machine's timing: its corner, the seed random draws come from, and the
// times set to a value of their own.
struct TimingSetup {
  TimingCorner corner = TimingCorner::Typical;
  std::uint64_t seed = WorldRandom::kDefaultSeed;
  std::array<std::optional<Duration>, kTimingCount> fixed{};
};

// Reads "CORNER[,NAME=DURATION]...", e.g. "slowest" or
// "typical,break-link=1300ms"; durations in ns, us, ms or s. On a bad value
// the result holds no setup, and one line that says why: for a time out of
// its range, "break-link=2s is outside break-link's range, 1.2 s to 1.5 s
// (its source)".
struct ParsedTiming {
  std::optional<TimingSetup> setup;
  std::string error;
};
[[nodiscard]] ParsedTiming parseTiming(std::string_view text, std::uint64_t seed);

// "slowest", or "typical, break-link 1.4 s": the corner and the times set
// to a value of their own.
[[nodiscard]] std::string describeTiming(const TimingSetup& setup);

// "1.35 s", "500 us": a duration as the table shows it.
[[nodiscard]] std::string formatDuration(Duration duration);

// What one part of the card draws its times from. Parts of one machine share
// its setup; each mixes its own salt into the seed, so their random draws
// are independent of one another and of the order they are made in.
class TimingSource {
 public:
  explicit TimingSource(const TimingSetup& setup = {}, std::uint64_t salt = 0);

  [[nodiscard]] const TimingSetup& setup() const { return setup_; }
  // The time `timing` takes this once.
  Duration operator()(Timing timing);

 private:
  TimingSetup setup_;
  WorldRandom random_;
};

}  // namespace kl::sim::card
