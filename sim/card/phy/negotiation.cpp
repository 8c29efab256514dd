#include "sim/card/phy/negotiation.h"

#include <array>

namespace kl::sim::card {

namespace {

using Kind = LinkSignal::Kind;

// Clause 28 priority, highest first (100BASE-T4 is not built into this card).
constexpr std::array<LinkMode, 4> kPriority = {
    LinkMode{Speed::Mbit100, Duplex::Full},
    LinkMode{Speed::Mbit100, Duplex::Half},
    LinkMode{Speed::Mbit10, Duplex::Full},
    LinkMode{Speed::Mbit10, Duplex::Half},
};

LinkResult up(LinkMode mode) { return LinkResult{true, mode, false, 0}; }

}  // namespace

LinkResult resolveLink(const LinkSignal& local, const LinkSignal& remote) {
  if (local.kind == Kind::None || remote.kind == Kind::None) {
    return {};
  }
  if (local.kind == Kind::AutoNegotiation) {
    if (remote.kind == Kind::Forced) {
      return up(LinkMode{remote.forced.speed, Duplex::Half});
    }
    const std::uint16_t common = local.advertisement & remote.advertisement;
    for (const LinkMode mode : kPriority) {
      if ((common & abilityOf(mode)) != 0) {
        return LinkResult{true, mode, true,
                          static_cast<std::uint16_t>(remote.advertisement | ability::kAcknowledge)};
      }
    }
    return {};
  }
  if (remote.kind == Kind::AutoNegotiation || remote.forced.speed == local.forced.speed) {
    return up(local.forced);
  }
  return {};
}

}  // namespace kl::sim::card
