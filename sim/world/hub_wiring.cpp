#include "sim/world/hub_wiring.h"

namespace kl::sim::world {

HubWiring::HubWiring(Clock& clock, std::span<card::Card* const> cards, net::BitRate rate,
                     WorldRandom& random)
    : hub_(clock, cards.size(), rate, random), cards_(cards.begin(), cards.end()) {
  const std::uint16_t halfDuplex =
      rate == net::BitRate::Mbit100 ? card::ability::k100BaseTx : card::ability::k10BaseT;
  for (std::size_t index = 0; index < cards_.size(); ++index) {
    card::Card& card = *cards_[index];
    if (card::Phy* phy = card.phy(); phy != nullptr) {
      ports_.push_back(std::make_unique<card::LinkPartner>(
          card::LinkSignal::negotiating(halfDuplex | card::ability::kSelector8023)));
      segments_.push_back(
          std::make_unique<card::LinkSegment>(clock, *phy, *ports_.back(), card.timing()));
    }
    card.plugInto(hub_.port(index));
  }
}

HubWiring::~HubWiring() {
  for (card::Card* card : cards_) {
    card->unplug();
  }
}

}  // namespace kl::sim::world
