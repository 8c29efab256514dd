// Who sends what to whom on a network of many stations:
//   all-to-all  every station sends to each of the others in turn;
//   incast      every station but the first sends to the first;
//   multicast   the first station sends to four groups in turn, of which
//               the other stations join one each, but none the fourth;
//   storm       every station sends to broadcast.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "sim/world/test_frames.h"

namespace kl::sim::world {

enum class Pattern : std::uint8_t { AllToAll, Incast, Multicast, Storm };

inline constexpr std::array<std::string_view, 4> kPatternNames = {"all-to-all", "incast",
                                                                  "multicast", "storm"};

[[nodiscard]] std::optional<Pattern> patternNamed(std::string_view name);
[[nodiscard]] constexpr std::string_view nameOf(Pattern pattern) {
  return kPatternNames.at(static_cast<std::size_t>(pattern));
}

// What one station does under a pattern.
struct StationRole {
  std::vector<Mac> groups;        // the multicast list it sets
  std::vector<Mac> destinations;  // where it sends, in turn; none: it only listens
};

// The role of station `index` among stations with `addresses`.
[[nodiscard]] StationRole roleOf(Pattern pattern, std::size_t index,
                                 std::span<const Mac> addresses);

// Whether a station with address `address` and multicast list `groups`
// (its filter directed, broadcast and multicast) takes a frame sent to
// `destination`.
[[nodiscard]] bool admits(const Mac& address, std::span<const Mac> groups, const Mac& destination);

}  // namespace kl::sim::world
