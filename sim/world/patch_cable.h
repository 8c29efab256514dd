// The patch cable between a card's jack and whatever it is plugged into:
// the wire that carries the frames and the twisted pair whose link
// signalling (auto-negotiation or a forced mode) decides whether frames
// cross and at what rate.
#pragma once

#include <optional>

#include "sim/card/card.h"
#include "sim/card/phy/link_partner.h"
#include "sim/card/phy/link_segment.h"
#include "sim/core/clock.h"
#include "sim/net/cable.h"
#include "sim/net/station.h"

namespace kl::sim::world {

class PatchCable {
 public:
  // Card to card. When either card has no PHY, nothing negotiates and the
  // wire carries frames at its own rate.
  PatchCable(Clock& clock, card::Card& a, card::Card& b);
  // A card and a station of another kind (a test's endpoint, a TAP device)
  // behind `partner`, the port the card is plugged into, whose link then
  // decides the far end's rate as the card's PHY decides the near end's.
  // The cable takes the partner's link listener.
  PatchCable(Clock& clock, card::Card& card, card::LinkPartner& partner, net::Station& far);
  // The same with the far end of the wire left free, for a station that
  // plugs itself in (a net::FrameEndpoint).
  PatchCable(Clock& clock, card::Card& card, card::LinkPartner& partner);
  PatchCable(const PatchCable&) = delete;
  PatchCable& operator=(const PatchCable&) = delete;
  ~PatchCable();

  [[nodiscard]] net::Cable& cable() { return cable_; }
  // Pulls the cable (both the wire and the pair) or plugs it back in.
  void setConnected(bool connected);
  [[nodiscard]] bool connected() const { return cable_.connected(); }

 private:
  net::Cable cable_;
  std::optional<card::LinkSegment> segment_;
  card::Card& a_;
  card::Card* b_ = nullptr;
  card::LinkPartner* partner_ = nullptr;
  net::Station* far_ = nullptr;
};

}  // namespace kl::sim::world
