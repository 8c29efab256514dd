// The far end of a card's twisted pair when no second card is there: a
// switch port or a hub that a test or a program sets up. It auto-negotiates
// with the abilities it is given, is forced to one mode, or sends nothing.
#pragma once

#include <cstdint>
#include <functional>

#include "sim/card/phy/link_segment.h"

namespace kl::sim::card {

class LinkPartner final : public LinkEnd {
 public:
  // A partner that negotiates with every 10/100 ability.
  LinkPartner() : signal_(LinkSignal::negotiating(ability::kAll | ability::kSelector8023)) {}
  explicit LinkPartner(const LinkSignal& signal) : signal_(signal) {}

  // Each of these restarts the link, as plugging the partner in anew would.
  void negotiate(std::uint16_t abilities) {
    change(LinkSignal::negotiating(abilities | ability::kSelector8023));
  }
  void force(LinkMode mode) { change(LinkSignal::forcedTo(mode)); }
  void silence() { change(LinkSignal::none()); }

  [[nodiscard]] LinkSignal signal() const override { return signal_; }
  void linkChanged(const LinkResult& result) override {
    if (listener_) {
      listener_(result);
    }
  }
  void onLinkChange(std::function<void(const LinkResult&)> listener) {
    listener_ = std::move(listener);
  }

 private:
  void change(const LinkSignal& signal) {
    signal_ = signal;
    signalChanged(true);
  }

  LinkSignal signal_;
  std::function<void(const LinkResult&)> listener_;
};

}  // namespace kl::sim::card
