// Ethernet framing and timing as the cable and the controllers on it see
// them: what a frame costs on the wire at a given bit rate, and its FCS.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "sim/core/clock.h"

namespace kl::sim::net {

enum class BitRate : std::uint32_t { Mbit10 = 10'000'000, Mbit100 = 100'000'000 };

inline constexpr std::size_t kAddressBytes = 6;
inline constexpr std::size_t kHeaderBytes = 14;
inline constexpr std::size_t kFcsBytes = 4;
// The shortest frame the standard allows, FCS included; anything shorter
// is a runt (a collision fragment, or a frame nobody padded).
inline constexpr std::size_t kMinFrameBytes = 64;
// Preamble and start-of-frame delimiter, ahead of every frame.
inline constexpr std::size_t kPreambleBytes = 8;
inline constexpr std::uint32_t kInterFrameGapBits = 96;

// Half-duplex medium access (CSMA/CD). The slot time bounds the window in
// which two stations can start without hearing each other; a MAC that sees a
// collision sends the jam so that every station sees it too, then waits a
// random number of slot times before it tries again.
enum class Duplex : std::uint8_t { Full, Half };
inline constexpr std::uint32_t kSlotTimeBits = 512;
inline constexpr std::uint32_t kJamBits = 32;
// A frame that collides on this many attempts is given up.
inline constexpr unsigned kAttemptLimit = 16;
// The backoff range stops doubling after this many collisions.
inline constexpr unsigned kBackoffLimit = 10;

// The time `bits` take at `rate`. Both rates give whole nanoseconds a bit.
constexpr Duration bitTime(std::uint64_t bits, BitRate rate) {
  return Duration{bits * (1'000'000'000ULL / static_cast<std::uint32_t>(rate))};
}

// Preamble, delimiter and the frame's bytes (FCS included) on the wire.
constexpr Duration frameTime(std::size_t bytesWithFcs, BitRate rate) {
  return bitTime((kPreambleBytes + bytesWithFcs) * 8, rate);
}

constexpr Duration interFrameGap(BitRate rate) { return bitTime(kInterFrameGapBits, rate); }

constexpr Duration slotTime(BitRate rate) { return bitTime(kSlotTimeBits, rate); }

// After the n-th collision of a frame (truncated binary exponential backoff)
// the MAC waits r slot times, r drawn evenly from 0 to this value - 1.
constexpr std::uint64_t backoffRange(unsigned collisions) {
  return std::uint64_t{1} << (collisions < kBackoffLimit ? collisions : kBackoffLimit);
}

// `frame` followed by its FCS, least significant byte first.
[[nodiscard]] std::vector<std::uint8_t> withFcs(std::span<const std::uint8_t> frame);
// Appends the FCS of the bytes `frame` holds to them.
void appendFcs(std::vector<std::uint8_t>& frame);

// Whether the last four bytes of `frame` are the FCS of the bytes before them.
[[nodiscard]] bool fcsValid(std::span<const std::uint8_t> frame);

[[nodiscard]] constexpr bool isGroupAddress(std::span<const std::uint8_t> destination) {
  return (destination[0] & 0x01) != 0;
}

[[nodiscard]] constexpr bool isBroadcast(std::span<const std::uint8_t> destination) {
  for (std::size_t i = 0; i < kAddressBytes; ++i) {
    if (destination[i] != 0xFF) {
      return false;
    }
  }
  return true;
}

}  // namespace kl::sim::net
