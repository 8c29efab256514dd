// Cards on a repeater hub: each card's PHY links with a hub port that
// signals half duplex only, at the hub's rate, and the card plugs into the
// port's jack on the shared segment.
#pragma once

#include <memory>
#include <span>
#include <vector>

#include "sim/card/card.h"
#include "sim/card/phy/link_partner.h"
#include "sim/card/phy/link_segment.h"
#include "sim/core/random.h"
#include "sim/net/hub.h"

namespace kl::sim::world {

class HubWiring {
 public:
  HubWiring(Clock& clock, std::span<card::Card* const> cards, net::BitRate rate,
            WorldRandom& random);
  HubWiring(const HubWiring&) = delete;
  HubWiring& operator=(const HubWiring&) = delete;
  ~HubWiring();

  [[nodiscard]] net::Hub& hub() { return hub_; }

 private:
  net::Hub hub_;
  std::vector<card::Card*> cards_;
  // The hub's ports, which outlive their segments.
  std::vector<std::unique_ptr<card::LinkPartner>> ports_;
  std::vector<std::unique_ptr<card::LinkSegment>> segments_;
};

}  // namespace kl::sim::world
