// What one end of a twisted pair puts on it, and what the other end makes of
// it (IEEE 802.3 clause 28): auto-negotiation to the highest common ability,
// parallel detection of a partner that does not negotiate, and forced modes.
#pragma once

#include <cstdint>

#include "sim/card/phy/link_mode.h"

namespace kl::sim::card {

struct LinkSignal {
  enum class Kind : std::uint8_t {
    None,             // nothing on the pair: unplugged, or powered off
    AutoNegotiation,  // fast link pulses carrying `advertisement`
    Forced,           // the signalling of `forced`, without negotiation
  };
  Kind kind = Kind::None;
  std::uint16_t advertisement = 0;  // ANAR as sent
  LinkMode forced{};

  [[nodiscard]] static LinkSignal none() { return {}; }
  [[nodiscard]] static LinkSignal negotiating(std::uint16_t advertisement) {
    return {Kind::AutoNegotiation, advertisement, {}};
  }
  [[nodiscard]] static LinkSignal forcedTo(LinkMode mode) { return {Kind::Forced, 0, mode}; }
};

// The link as one end sees it once the pair has settled.
struct LinkResult {
  bool up = false;
  LinkMode mode{};
  bool partnerNegotiated = false;    // the partner took part in auto-negotiation
  std::uint16_t partnerAbility = 0;  // its link code word, as ANLPAR shows it
  friend bool operator==(const LinkResult&, const LinkResult&) = default;
};

// The outcome at the end that sends `local` when the other end sends
// `remote`:
//  - both negotiate: the highest ability both advertise, by the clause 28
//    priority 100BASE-TX full duplex, 100BASE-TX, 10BASE-T full duplex,
//    10BASE-T; none in common: no link;
//  - only `local` negotiates: it detects the partner's speed and runs half
//    duplex, since a partner that does not negotiate says nothing of duplex;
//  - `local` is forced: it runs its own forced mode, when the partner
//    negotiates (and so detects that speed) or is forced to the same speed;
//  - nothing on either side, or forced speeds that differ: no link.
[[nodiscard]] LinkResult resolveLink(const LinkSignal& local, const LinkSignal& remote);

}  // namespace kl::sim::card
