// The payload of a test frame: byte i of the frame with a given identity is
// a mix of the frame's sequence and stream numbers and of i, so that a
// shifted, swapped or stale byte shows. Filled and compared in blocks, with
// the processor's vector unit where it has one, as every test frame is built
// and checked whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kl::sim::world {

// The pattern of the frame whose identity `seed` stands for (see
// patternSeed), from byte `from` of the frame on, into `out`.
void fillPattern(std::uint32_t seed, std::size_t from, std::span<std::uint8_t> out);

// Whether `bytes` are the pattern from byte `from` of the frame on.
[[nodiscard]] bool matchesPattern(std::uint32_t seed, std::size_t from,
                                  std::span<const std::uint8_t> bytes);

// What the pattern of a frame starts from.
[[nodiscard]] constexpr std::uint32_t patternSeed(std::uint8_t stream, std::uint32_t sequence) {
  return sequence * 0x9E3779B1U + stream * 0xC2B2AE35U;
}

// Byte `index` of the pattern, one at a time: the definition the block
// routines follow.
[[nodiscard]] constexpr std::uint8_t patternByte(std::uint32_t seed, std::size_t index) {
  std::uint32_t x = seed + static_cast<std::uint32_t>(index) * 0x85EBCA6BU;
  x ^= x >> 15;
  x *= 0x2C1B3C6DU;
  x ^= x >> 12;
  return static_cast<std::uint8_t>(x);
}

}  // namespace kl::sim::world
