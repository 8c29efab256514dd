#include "sim/world/traffic_pattern.h"

#include <algorithm>

namespace kl::sim::world {

namespace {

constexpr Mac kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
// Four IPv4-mapped groups; the last is joined by nobody.
constexpr std::array<Mac, 4> kGroups = {
    Mac{0x01, 0x00, 0x5E, 0x4B, 0x70, 0x40}, Mac{0x01, 0x00, 0x5E, 0x4B, 0x70, 0x41},
    Mac{0x01, 0x00, 0x5E, 0x4B, 0x70, 0x42}, Mac{0x01, 0x00, 0x5E, 0x4B, 0x70, 0x43}};
constexpr std::size_t kJoinedGroups = 3;

}  // namespace

std::optional<Pattern> patternNamed(std::string_view name) {
  const auto it = std::ranges::find(kPatternNames, name);
  if (it == kPatternNames.end()) {
    return std::nullopt;
  }
  return static_cast<Pattern>(it - kPatternNames.begin());
}

StationRole roleOf(Pattern pattern, std::size_t index, std::span<const Mac> addresses) {
  StationRole role;
  const std::size_t count = addresses.size();
  switch (pattern) {
    case Pattern::AllToAll:
      for (std::size_t step = 1; step < count; ++step) {
        role.destinations.push_back(addresses[(index + step) % count]);
      }
      break;
    case Pattern::Incast:
      if (index != 0) {
        role.destinations.push_back(addresses[0]);
      }
      break;
    case Pattern::Multicast:
      if (index == 0) {
        role.destinations.assign(kGroups.begin(), kGroups.end());
      } else if (index % kGroups.size() < kJoinedGroups) {
        role.groups.push_back(kGroups.at(index % kGroups.size()));
      }
      break;
    case Pattern::Storm:
      role.destinations.push_back(kBroadcast);
      break;
  }
  return role;
}

bool admits(const Mac& address, std::span<const Mac> groups, const Mac& destination) {
  return destination == address || destination == kBroadcast ||
         std::ranges::find(groups, destination) != groups.end();
}

}  // namespace kl::sim::world
