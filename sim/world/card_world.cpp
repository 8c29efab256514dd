#include "sim/world/card_world.h"

namespace kl::sim::world {

// Every card runs at the machine's timing corner; each draws its own random
// times.
card::Card* CardWorld::addCard(const card::CardConfig& config, PortAddress base, UINT vector) {
  card::CardConfig timed = config;
  timed.timing = machine_.timing();
  timed.timing.seed += slots_.size();
  Slot slot;
  slot.card = std::make_unique<card::Card>(machine_.clock(), timed);
  slot.interposer = std::make_unique<Interposer>(*slot.card);
  if (!machine_.bus().attach(base, card::Card::kPortCount, *slot.interposer)) {
    return nullptr;
  }
  machine_.wireInterrupt(vector, *slot.card);
  // The driver reaching for a register the card does not have is a broken
  // rule like any the host finds.
  slot.card->onBrokenRule([this](const std::string& what) { machine_.violation(what); });
  slots_.push_back(std::move(slot));
  return slots_.back().card.get();
}

}  // namespace kl::sim::world
