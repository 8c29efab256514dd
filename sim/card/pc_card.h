// The PC Card variant's attribute memory, where the card keeps its station
// address instead of in a station PROM.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/card/station_prom.h"

namespace kl::sim::card {

// Where the station address lies in attribute memory, and how much
// attribute memory the card has.
inline constexpr std::uint32_t kAttributeStationAddressOffset = 0x7F8;
inline constexpr std::uint32_t kAttributeMemorySize = 0x800;

// The card's attribute memory: erased (0xFF) but for the station address.
[[nodiscard]] std::vector<std::uint8_t> pcCardAttributeMemory(const MacAddress& station);

}  // namespace kl::sim::card
