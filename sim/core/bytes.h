// 16-bit bus words and their halves. On this bus the low byte of a word is
// the one at the lower address, and the first in a byte buffer.
#pragma once

#include <cstdint>
#include <span>

namespace kl::sim {

constexpr std::uint8_t lowByte(std::uint16_t word) { return static_cast<std::uint8_t>(word); }
constexpr std::uint8_t highByte(std::uint16_t word) { return static_cast<std::uint8_t>(word >> 8); }
constexpr std::uint16_t makeWord(std::uint8_t low, std::uint8_t high) {
  return static_cast<std::uint16_t>(low | (high << 8));
}
constexpr std::uint16_t withLowByte(std::uint16_t word, std::uint8_t low) {
  return makeWord(low, highByte(word));
}
constexpr std::uint16_t withHighByte(std::uint16_t word, std::uint8_t high) {
  return makeWord(lowByte(word), high);
}

// The word held by the first two bytes of a buffer in bus order.
constexpr std::uint16_t wordAt(std::span<const std::uint8_t> bytes) {
  return makeWord(bytes[0], bytes[1]);
}

}  // namespace kl::sim
