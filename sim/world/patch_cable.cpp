#include "sim/world/patch_cable.h"

namespace kl::sim::world {

PatchCable::PatchCable(Clock& clock, card::Card& a, card::Card& b) : cable_(clock), a_(a), b_(&b) {
  if (a.phy() != nullptr && b.phy() != nullptr) {
    segments_[0].emplace(clock, *a.phy(), *b.phy(), a.timing());
  }
  a.plugInto(cable_.end(net::Cable::Side::A));
  b.plugInto(cable_.end(net::Cable::Side::B));
}

PatchCable::PatchCable(Clock& clock, card::Card& card, card::LinkPartner& partner,
                       net::Station& far)
    : PatchCable(clock, card, partner) {
  far_ = &far;
  cable_.end(net::Cable::Side::B).plug(far);
}

PatchCable::PatchCable(Clock& clock, card::Card& card, card::LinkPartner& partner)
    : cable_(clock), a_(card) {
  if (card.phy() != nullptr) {
    segments_[0].emplace(clock, *card.phy(), partner, card.timing());
    partner_ = &partner;
    net::Cable::End& far = cable_.end(net::Cable::Side::B);
    const auto follow = [&far](const card::LinkResult& link) { card::applyLink(far, link); };
    follow(partner.link());
    partner.onLinkChange(follow);
  }
  card.plugInto(cable_.end(net::Cable::Side::A));
}

PatchCable::PatchCable(Clock& clock, card::Card& a, card::Card& b,
                       const std::array<card::LinkSignal, 2>& ports)
    : cable_(clock), a_(a), b_(&b) {
  const std::array<card::Card*, 2> cards = {&a, &b};
  for (std::size_t side = 0; side < cards.size(); ++side) {
    if (card::Phy* phy = cards[side]->phy(); phy != nullptr) {
      segments_[side].emplace(clock, *phy, ports_[side].emplace(ports[side]),
                              cards[side]->timing());
    }
  }
  a.plugInto(cable_.end(net::Cable::Side::A));
  b.plugInto(cable_.end(net::Cable::Side::B));
}

PatchCable::~PatchCable() {
  if (partner_ != nullptr) {
    partner_->onLinkChange({});
  }
  a_.unplug();
  if (b_ != nullptr) {
    b_->unplug();
  }
  if (far_ != nullptr) {
    cable_.end(net::Cable::Side::B).unplug();
  }
}

void PatchCable::setConnected(bool connected) {
  cable_.setConnected(connected);
  for (std::optional<card::LinkSegment>& segment : segments_) {
    if (segment) {
      segment->setConnected(connected);
    }
  }
}

}  // namespace kl::sim::world
