#include "sim/world/network.h"

#include <algorithm>
#include <numeric>
#include <stdexcept>
#include <string>

namespace kl::sim::world {

namespace {

constexpr Duration kLinkPoll = 10ms;

bool connected(MiniportAdapter& adapter) {
  return adapter.initialized() &&
         queryUlong(adapter, OID_GEN_MEDIA_CONNECT_STATUS) == NdisMediaStateConnected;
}

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

Network::Network(const NetworkSetup& setup) : world_(setup.machine) {
  if (setup.topology == Topology::Cable && setup.slots.size() != 2) {
    throw std::invalid_argument("a cable joins two cards, not " +
                                std::to_string(setup.slots.size()));
  }
  for (const SlotSetup& slot : setup.slots) {
    if (world_.addCard(slot.card, slot.base, slot.vector) == nullptr) {
      throw std::invalid_argument("the cards' port ranges overlap");
    }
    adapters_.push_back(&world_.addAdapter(adapterSetupFor(slot)));
  }
  if (setup.topology == Topology::Cable) {
    Clock& clock = machine().clock();
    cable_ =
        setup.cabling.repeaterPorts
            ? std::make_unique<PatchCable>(clock, card(0), card(1), *setup.cabling.repeaterPorts)
            : std::make_unique<PatchCable>(clock, card(0), card(1));
    cable_->cable().useRandom(machine().random());
  }
}

Network::~Network() {
  halt();
  for (MiniportAdapter* adapter : adapters_) {
    adapter->unbind();
  }
}

NDIS_STATUS Network::initialize(const std::vector<std::size_t>& order) {
  std::vector<std::size_t> sequence = order;
  if (sequence.empty()) {
    sequence.resize(adapters_.size());
    std::iota(sequence.begin(), sequence.end(), 0);
  }
  for (const std::size_t index : sequence) {
    if (const NDIS_STATUS status = adapters_.at(index)->initialize();
        status != NDIS_STATUS_SUCCESS) {
      return status;
    }
  }
  return NDIS_STATUS_SUCCESS;
}

bool Network::waitForLink(Duration wait) {
  const VirtualTime until = machine().now() + wait;
  while (!std::all_of(adapters_.begin(), adapters_.end(),
                      [](MiniportAdapter* adapter) { return connected(*adapter); })) {
    if (machine().now() >= until) {
      return false;
    }
    machine().runFor(kLinkPoll);
  }
  return true;
}

void Network::halt() {
  for (MiniportAdapter* adapter : adapters_) {
    if (adapter->initialized()) {
      adapter->halt();
    }
  }
}

void Network::addStations(const StationsSetup& setup) {
  stations_.clear();
  for (std::size_t index = 0; index < adapters_.size(); ++index) {
    stations_.push_back(std::make_unique<TrafficStation>(
        *adapters_[index], static_cast<std::uint8_t>(setup.firstStream + index),
        setup.firstSeed + index, setup.shape));
  }
}

bool Network::runTraffic(const TrafficRun& run) {
  std::vector<TrafficStation*> all;
  for (const auto& station : stations_) {
    all.push_back(station.get());
  }
  return sim::world::runTraffic(machine(), all, run);
}

}  // namespace kl::sim::world
