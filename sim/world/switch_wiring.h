// Cards on a learning switch: each card's patch cable leads to a switch
// port of its own, whose link signalling (by default every 10/100 ability)
// decides that port's speed and duplex.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "sim/card/card.h"
#include "sim/card/phy/link_partner.h"
#include "sim/net/learning_switch.h"
#include "sim/world/patch_cable.h"

namespace kl::sim::world {

class SwitchWiring {
 public:
  // `clocks[i]` runs card i's cable; `signals[i]`, when given, is how its
  // port signals.
  SwitchWiring(std::span<Clock* const> clocks, std::span<card::Card* const> cards,
               std::span<const std::optional<card::LinkSignal>> signals,
               const net::SwitchSetup& setup);
  SwitchWiring(const SwitchWiring&) = delete;
  SwitchWiring& operator=(const SwitchWiring&) = delete;
  ~SwitchWiring() = default;

  [[nodiscard]] net::LearningSwitch& learningSwitch() { return *switch_; }
  [[nodiscard]] PatchCable& cable(std::size_t port) { return *cables_.at(port); }

 private:
  // Destroyed in reverse: the switch leaves the cables, which leave their
  // ports.
  std::vector<std::unique_ptr<card::LinkPartner>> ports_;
  std::vector<std::unique_ptr<PatchCable>> cables_;
  std::unique_ptr<net::LearningSwitch> switch_;
};

}  // namespace kl::sim::world
