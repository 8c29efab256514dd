#include "sim/core/crc32.h"

#include <zlib.h>

#include <algorithm>
#include <limits>

namespace kl::sim {

namespace {

// zlib's CRC-32 is the IEEE 802.3 one: the register runs mirrored (bit 0
// here is bit 31 of the register the standard draws, so it takes each byte
// least significant bit first, as the wire does), starts at all ones and is
// complemented at the end, which is exactly the frame check sequence.
std::uint32_t zlibCrc(std::span<const std::uint8_t> bytes) {
  uLong crc = crc32(0L, Z_NULL, 0);
  while (!bytes.empty()) {
    const auto chunk =
        static_cast<uInt>(std::min<std::size_t>(bytes.size(), std::numeric_limits<uInt>::max()));
    crc = crc32(crc, bytes.data(), chunk);
    bytes = bytes.subspan(chunk);
  }
  return static_cast<std::uint32_t>(crc);
}

std::uint32_t mirrored(std::uint32_t value) {
  std::uint32_t result = 0;
  for (int bit = 0; bit < 32; ++bit) {
    result = (result << 1) | (value & 1U);
    value >>= 1;
  }
  return result;
}

}  // namespace

std::uint32_t ethernetFcs(std::span<const std::uint8_t> bytes) { return zlibCrc(bytes); }

std::uint32_t ethernetCrcRegister(std::span<const std::uint8_t> bytes) {
  return mirrored(~zlibCrc(bytes));
}

}  // namespace kl::sim
