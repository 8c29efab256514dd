#include "sim/world/card_world.h"

namespace kl::sim::world {

card::Card* CardWorld::addCard(const card::CardConfig& config, PortAddress base, UINT vector) {
  Slot slot;
  slot.card = std::make_unique<card::Card>(machine_.clock(), config);
  slot.interposer = std::make_unique<Interposer>(*slot.card);
  if (!machine_.bus().attach(base, card::Card::kPortCount, *slot.interposer)) {
    return nullptr;
  }
  machine_.wireInterrupt(vector, *slot.card);
  slots_.push_back(std::move(slot));
  return slots_.back().card.get();
}

}  // namespace kl::sim::world
