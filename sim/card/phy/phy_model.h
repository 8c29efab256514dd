// What sets one PHY part apart from another: its identifier and the vendor
// registers beside the clause 22 set.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "sim/card/phy/negotiation.h"

namespace kl::sim::card {

struct PhyModel {
  std::string_view name;
  std::uint32_t id = 0;  // PHYID1 in the high half, PHYID2 in the low half
  // The register where the part reports the link it resolved, and what it
  // reads for a given link.
  std::optional<std::uint8_t> statusRegister;
  std::function<std::uint16_t(const LinkResult& link)> status;
  // A plain read/write register for the part's own setup.
  std::optional<std::uint8_t> setupRegister;
};

// Three parts the card is built with:
//  - 0x00008201: register 0x19 reads 0x03F9 with the link at 100 Mbit/s and
//    0x03F8 otherwise;
//  - 0x001378E1: register 0x11 has bit 14 for 100 Mbit/s, bit 13 for full
//    duplex and bit 10 for link; register 0x14 is its setup register;
//  - 0x20005C21: register 0x10 has bit 0 for link, bit 1 for 10 Mbit/s and
//    bit 2 for full duplex.
[[nodiscard]] const PhyModel& phy8201();
[[nodiscard]] const PhyModel& phy78E1();
[[nodiscard]] const PhyModel& phy5C21();
// A part with the clause 22 registers only.
[[nodiscard]] PhyModel genericPhy(std::uint32_t id);

}  // namespace kl::sim::card
