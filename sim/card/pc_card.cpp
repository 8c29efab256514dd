#include "sim/card/pc_card.h"

#include <algorithm>

namespace kl::sim::card {

namespace {

constexpr std::uint8_t kErased = 0xFF;

}  // namespace

std::vector<std::uint8_t> pcCardAttributeMemory(const MacAddress& station) {
  std::vector<std::uint8_t> memory(kAttributeMemorySize, kErased);
  std::copy(station.begin(), station.end(), memory.begin() + kAttributeStationAddressOffset);
  return memory;
}

}  // namespace kl::sim::card
