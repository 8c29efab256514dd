// Two KL7046 cards in one machine, cabled to each other, each with its
// adapter block: the set-up of the demo and of the end-to-end tests. The
// caller loads the driver into the machine before it initializes them.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <optional>

#include "sim/core/clock.h"
#include "sim/world/card_world.h"
#include "sim/world/patch_cable.h"

namespace kl::sim::world {

struct SlotSetup {
  card::CardConfig card;
  PortAddress base = 0x300;
  UINT vector = 3;
  // IoBaseAddress and InterruptNumber are added from base and vector unless
  // the keywords already hold them.
  AdapterSetup adapter;
};

// The slot's installation with IoBaseAddress and InterruptNumber added from
// its base and vector, unless its keywords already hold them.
[[nodiscard]] AdapterSetup adapterSetupFor(const SlotSetup& slot);

// Word-wide cards with the given station addresses at 0x300/3 and 0x320/5.
[[nodiscard]] std::array<SlotSetup, 2> defaultSlots(const card::MacAddress& first,
                                                    const card::MacAddress& second);

// How the two cards are joined: a patch cable from one to the other, or a
// two-port repeater whose ports signal as given (see PatchCable).
struct Cabling {
  std::optional<std::array<card::LinkSignal, 2>> repeaterPorts;
};

class CardPair {
 public:
  static constexpr std::size_t kSides = 2;

  explicit CardPair(const std::array<SlotSetup, kSides>& slots, MachineSetup machine = {},
                    const Cabling& cabling = {});
  CardPair(const CardPair&) = delete;
  CardPair& operator=(const CardPair&) = delete;
  // Halts the adapters still initialized.
  ~CardPair();

  [[nodiscard]] CardWorld& world() { return world_; }
  [[nodiscard]] Machine& machine() { return world_.machine(); }
  [[nodiscard]] card::Card& card(std::size_t side) { return world_.card(side); }
  [[nodiscard]] MiniportAdapter& adapter(std::size_t side) { return *adapters_.at(side); }
  [[nodiscard]] PatchCable& cable() { return *cable_; }

  // Initializes both adapters, side `order[0]` first; the first status that
  // is not success.
  NDIS_STATUS initialize(std::array<std::size_t, kSides> order = {0, 1});
  // Runs the machine until both adapters report their media connected, or
  // `wait` has passed. Returns whether they do.
  bool waitForLink(Duration wait);

 private:
  CardWorld world_;
  std::array<MiniportAdapter*, kSides> adapters_{};
  std::unique_ptr<PatchCable> cable_;
};

}  // namespace kl::sim::world
