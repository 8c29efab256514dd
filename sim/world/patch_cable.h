// The patch cable between a card's jack and whatever it is plugged into:
// the wire that carries the frames and the twisted pair whose link
// signalling (auto-negotiation or a forced mode) decides whether frames
// cross and at what rate.
#pragma once

#include <array>
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
  // Card to card through a two-port repeater: each card's PHY links with a
  // port of its own that signals as `ports` gives (a hub's ports are forced
  // to half duplex), and frames pass from port to port as on one wire, with
  // its carrier and collisions. Each end runs as its card's link has it.
  PatchCable(Clock& clock, card::Card& a, card::Card& b,
             const std::array<card::LinkSignal, 2>& ports);
  PatchCable(const PatchCable&) = delete;
  PatchCable& operator=(const PatchCable&) = delete;
  ~PatchCable();

  [[nodiscard]] net::Cable& cable() { return cable_; }
  // Pulls the cable (both the wire and the pair) or plugs it back in.
  void setConnected(bool connected);
  [[nodiscard]] bool connected() const { return cable_.connected(); }

 private:
  net::Cable cable_;
  // The repeater's ports, when there is one; they outlive their segments.
  std::array<std::optional<card::LinkPartner>, 2> ports_;
  std::array<std::optional<card::LinkSegment>, 2> segments_;
  card::Card& a_;
  card::Card* b_ = nullptr;
  card::LinkPartner* partner_ = nullptr;
  net::Station* far_ = nullptr;
};

}  // namespace kl::sim::world
