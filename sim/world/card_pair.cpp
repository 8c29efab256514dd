#include "sim/world/card_pair.h"

#include <stdexcept>

#include "sim/world/traffic_station.h"

namespace kl::sim::world {

namespace {

constexpr Duration kLinkPoll = 10ms;

}  // namespace

AdapterSetup adapterSetupFor(const SlotSetup& slot) {
  AdapterSetup setup = slot.adapter;
  setup.keywords.try_emplace("IoBaseAddress", static_cast<std::uint32_t>(slot.base));
  setup.keywords.try_emplace("InterruptNumber", static_cast<std::uint32_t>(slot.vector));
  return setup;
}

std::array<SlotSetup, 2> defaultSlots(const card::MacAddress& first,
                                      const card::MacAddress& second) {
  return {SlotSetup{.card = {.prom = card::wordWidePromImage(first)}, .base = 0x300, .vector = 3},
          SlotSetup{.card = {.prom = card::wordWidePromImage(second)}, .base = 0x320, .vector = 5}};
}

CardPair::CardPair(const std::array<SlotSetup, kSides>& slots, MachineSetup machine,
                   const Cabling& cabling)
    : world_(machine) {
  for (std::size_t side = 0; side < kSides; ++side) {
    if (world_.addCard(slots[side].card, slots[side].base, slots[side].vector) == nullptr) {
      throw std::invalid_argument("the two cards' port ranges overlap");
    }
    adapters_[side] = &world_.addAdapter(adapterSetupFor(slots[side]));
  }
  Clock& clock = world_.machine().clock();
  cable_ = cabling.repeaterPorts
               ? std::make_unique<PatchCable>(clock, card(0), card(1), *cabling.repeaterPorts)
               : std::make_unique<PatchCable>(clock, card(0), card(1));
  cable_->cable().useRandom(world_.machine().random());
}

CardPair::~CardPair() {
  // The protocols above may be gone already; the driver gives everything
  // back to the machine all the same.
  for (MiniportAdapter* adapter : adapters_) {
    adapter->unbind();
    if (adapter->initialized()) {
      adapter->halt();
    }
  }
}

NDIS_STATUS CardPair::initialize(std::array<std::size_t, kSides> order) {
  for (const std::size_t side : order) {
    if (const NDIS_STATUS status = adapters_.at(side)->initialize();
        status != NDIS_STATUS_SUCCESS) {
      return status;
    }
  }
  return NDIS_STATUS_SUCCESS;
}

bool CardPair::waitForLink(Duration wait) {
  const VirtualTime until = machine().now() + wait;
  const auto connected = [](MiniportAdapter& adapter) {
    return adapter.initialized() &&
           queryUlong(adapter, OID_GEN_MEDIA_CONNECT_STATUS) == NdisMediaStateConnected;
  };
  while (!(connected(*adapters_[0]) && connected(*adapters_[1]))) {
    if (machine().now() >= until) {
      return false;
    }
    machine().runFor(kLinkPoll);
  }
  return true;
}

}  // namespace kl::sim::world
