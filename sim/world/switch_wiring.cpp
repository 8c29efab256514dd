#include "sim/world/switch_wiring.h"

namespace kl::sim::world {

SwitchWiring::SwitchWiring(std::span<Clock* const> clocks, std::span<card::Card* const> cards,
                           std::span<const std::optional<card::LinkSignal>> signals,
                           const net::SwitchSetup& setup)
    : switch_(std::make_unique<net::LearningSwitch>(setup)) {
  for (std::size_t index = 0; index < cards.size(); ++index) {
    const std::optional<card::LinkSignal> signal =
        index < signals.size() ? signals[index] : std::nullopt;
    ports_.push_back(signal ? std::make_unique<card::LinkPartner>(*signal)
                            : std::make_unique<card::LinkPartner>());
    cables_.push_back(std::make_unique<PatchCable>(*clocks[index], *cards[index], *ports_.back()));
    switch_->addPort(*clocks[index], cables_.back()->cable().end(net::Cable::Side::B));
  }
}

}  // namespace kl::sim::world
