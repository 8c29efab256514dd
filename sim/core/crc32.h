// The IEEE 802.3 CRC-32 (generator 0x04C11DB7), in the two forms an Ethernet
// controller needs: the frame check sequence it appends and checks, and the
// raw shift-register value whose top bits index the multicast hash filter.
#pragma once

#include <cstdint>
#include <span>

namespace kl::sim {

// The FCS of `bytes`: the complemented register, sent least significant byte
// first.
[[nodiscard]] std::uint32_t ethernetFcs(std::span<const std::uint8_t> bytes);

// The shift register after `bytes`, each byte fed least significant bit
// first into a register that shifts towards bit 31, started at all ones and
// neither complemented nor reflected: the value a DP8390-style controller
// takes its multicast hash from (bits 31..26).
[[nodiscard]] std::uint32_t ethernetCrcRegister(std::span<const std::uint8_t> bytes);

}  // namespace kl::sim
