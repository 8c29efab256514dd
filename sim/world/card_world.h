// A machine with KL7046 cards on its bus, each behind an interposer through
// which a test can act at any of its port accesses, and the adapters NDIS
// brings up on them. A program or a test loads the driver into it (linked,
// or an image) and cables the cards together.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "sim/bus/interposer.h"
#include "sim/card/card.h"
#include "sim/host/machine.h"

namespace kl::sim::world {

class CardWorld {
 public:
  explicit CardWorld(MachineSetup setup = {}) : machine_(setup) {}
  CardWorld(const CardWorld&) = delete;
  CardWorld& operator=(const CardWorld&) = delete;
  ~CardWorld() = default;

  [[nodiscard]] Machine& machine() { return machine_; }

  // A card at an I/O base with its interrupt line on a vector, at the
  // machine's timing. Returns null when the ports overlap a device already
  // on the bus.
  card::Card* addCard(const card::CardConfig& config, PortAddress base = 0x300, UINT vector = 3);
  [[nodiscard]] card::Card& card(std::size_t index) { return *slots_.at(index).card; }
  [[nodiscard]] Interposer& interposer(std::size_t index) { return *slots_.at(index).interposer; }
  [[nodiscard]] std::size_t cardCount() const { return slots_.size(); }

  // An adapter block for the installation's settings.
  MiniportAdapter& addAdapter(AdapterSetup setup = {}) {
    return machine_.addAdapter(std::move(setup));
  }

 private:
  struct Slot {
    std::unique_ptr<card::Card> card;
    std::unique_ptr<Interposer> interposer;
  };

  Machine machine_;
  std::vector<Slot> slots_;  // given up before the machine
};

}  // namespace kl::sim::world
