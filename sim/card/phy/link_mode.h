// How a twisted-pair link runs once it is up, and the clause 28 technology
// abilities that auto-negotiation exchanges.
#pragma once

#include <cstdint>

namespace kl::sim::card {

enum class Speed : std::uint8_t { Mbit10, Mbit100 };
enum class Duplex : std::uint8_t { Half, Full };

struct LinkMode {
  Speed speed = Speed::Mbit100;
  Duplex duplex = Duplex::Full;
  friend bool operator==(const LinkMode&, const LinkMode&) = default;
};

// The advertisement word (ANAR, and ANLPAR as the partner sent it): the
// selector field and the technology ability bits.
namespace ability {
inline constexpr std::uint16_t kSelector8023 = 0x0001;
inline constexpr std::uint16_t k10BaseT = 0x0020;
inline constexpr std::uint16_t k10BaseTFull = 0x0040;
inline constexpr std::uint16_t k100BaseTx = 0x0080;
inline constexpr std::uint16_t k100BaseTxFull = 0x0100;
inline constexpr std::uint16_t kAll = k10BaseT | k10BaseTFull | k100BaseTx | k100BaseTxFull;
// The acknowledge bit of a received link code word.
inline constexpr std::uint16_t kAcknowledge = 0x4000;
}  // namespace ability

// The ability bit that stands for `mode`.
[[nodiscard]] constexpr std::uint16_t abilityOf(LinkMode mode) {
  if (mode.speed == Speed::Mbit100) {
    return mode.duplex == Duplex::Full ? ability::k100BaseTxFull : ability::k100BaseTx;
  }
  return mode.duplex == Duplex::Full ? ability::k10BaseTFull : ability::k10BaseT;
}

}  // namespace kl::sim::card
