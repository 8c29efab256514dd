// The multicast hash worked out independently of the driver: from the common
// reflected CRC-32 (the one zlib and the Ethernet FCS use), complemented and
// bit-reversed into the form the controller's address filter shifts through.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace kl::test {

inline std::uint32_t ReflectedCrc32(std::span<const std::uint8_t> bytes) {
  std::uint32_t crc = 0xFFFFFFFFU;
  for (const std::uint8_t byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc >> 1) ^ ((crc & 1U) != 0 ? 0xEDB88320U : 0U);
    }
  }
  return ~crc;
}

inline std::uint32_t BitReversed(std::uint32_t value) {
  std::uint32_t reversed = 0;
  for (int bit = 0; bit < 32; ++bit, value >>= 1) {
    reversed = (reversed << 1) | (value & 1U);
  }
  return reversed;
}

inline std::uint32_t ReferenceFilterCrc(std::span<const std::uint8_t> bytes) {
  return BitReversed(~ReflectedCrc32(bytes));
}

// The 64-bit filter (byte i for MARi) that lets exactly these groups' hashes
// through.
inline std::array<std::uint8_t, 8> ReferenceFilter(
    const std::vector<std::array<std::uint8_t, 6>>& groups) {
  std::array<std::uint8_t, 8> filter{};
  for (const auto& group : groups) {
    const std::uint32_t crc = ReferenceFilterCrc(group);
    filter[crc >> 29] |= static_cast<std::uint8_t>(1U << ((crc >> 26) & 7U));
  }
  return filter;
}

}  // namespace kl::test
