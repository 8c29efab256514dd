#include "sim/core/crc32.h"

#include <array>

namespace kl::sim {

namespace {

// The generator with its bits mirrored, for a register that shifts towards
// bit 0 and so takes each byte least significant bit first, as the wire does.
constexpr std::uint32_t kReflectedGenerator = 0xEDB88320;

constexpr std::array<std::uint32_t, 256> makeTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < table.size(); ++i) {
    std::uint32_t value = i;
    for (int bit = 0; bit < 8; ++bit) {
      value = (value & 1U) != 0 ? (value >> 1) ^ kReflectedGenerator : value >> 1;
    }
    table[i] = value;
  }
  return table;
}

constexpr std::array<std::uint32_t, 256> kTable = makeTable();

// The register in mirrored form: bit 0 here is bit 31 of the register the
// standard draws.
std::uint32_t reflectedRegister(std::span<const std::uint8_t> bytes) {
  std::uint32_t crc = 0xFFFFFFFF;
  for (const std::uint8_t byte : bytes) {
    crc = kTable[(crc ^ byte) & 0xFFU] ^ (crc >> 8);
  }
  return crc;
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

std::uint32_t ethernetFcs(std::span<const std::uint8_t> bytes) { return ~reflectedRegister(bytes); }

std::uint32_t ethernetCrcRegister(std::span<const std::uint8_t> bytes) {
  return mirrored(reflectedRegister(bytes));
}

}  // namespace kl::sim
