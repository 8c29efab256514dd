#include "sim/world/network.h"

#include <algorithm>
#include <array>
#include <numeric>
#include <stdexcept>
#include <string>

namespace kl::sim::world {

namespace {

constexpr Duration kLinkPoll = 10ms;
// The interrupts a machine's cards take, the first two as the pair of the
// demo and the tests have them.
constexpr std::array<UINT, kCardsPerMachine> kVectors = {3,  5, 7, 9, 10, 11, 12,
                                                         15, 4, 6, 2, 13, 14, 8};
constexpr PortAddress kFirstBase = 0x300;
constexpr PortAddress kBaseStep = 0x20;

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

card::MacAddress stationAddress(std::size_t index) {
  return {0x02, 0x4B, 0x4C, 0x70, 0x46, static_cast<std::uint8_t>(index + 1)};
}

std::vector<SlotSetup> stationSlots(std::size_t count, std::size_t perMachine) {
  std::vector<SlotSetup> slots;
  for (std::size_t index = 0; index < count; ++index) {
    const std::size_t place = index % perMachine;
    SlotSetup slot;
    slot.card.prom = card::wordWidePromImage(stationAddress(index));
    slot.base = static_cast<PortAddress>(kFirstBase + kBaseStep * place);
    slot.vector = kVectors.at(place);
    slots.push_back(std::move(slot));
  }
  return slots;
}

VirtualTime Network::now() const {
  VirtualTime furthest = now_;
  for (const auto& world : worlds_) {
    furthest = std::max(furthest, world->machine().now());
  }
  return furthest;
}

Network::Network(const NetworkSetup& setup) : topology_(setup.topology) {
  const std::size_t count = setup.slots.size();
  if (setup.topology == Topology::Cable && count != 2) {
    throw std::invalid_argument("a cable joins two cards, not " + std::to_string(count));
  }
  if (count > kMostStations || (setup.topology != Topology::None && count < 2)) {
    throw std::invalid_argument("a network has 2 to " + std::to_string(kMostStations) +
                                " stations, not " + std::to_string(count));
  }
  const std::size_t perMachine =
      std::clamp<std::size_t>(setup.cardsPerMachine, 1, kCardsPerMachine);
  if (count > perMachine && setup.topology != Topology::Switch) {
    sharedClock_ = std::make_unique<SharedClock>();
  }
  for (std::size_t index = 0; index < count; ++index) {
    if (index % perMachine == 0) {
      MachineSetup machine = setup.machine;
      machine.sharedClock = sharedClock_.get();
      machine.seed += worlds_.size();
      machine.timing.seed += worlds_.size() * kCardsPerMachine;
      worlds_.push_back(std::make_unique<CardWorld>(machine));
    }
    CardWorld& world = *worlds_.back();
    const SlotSetup& slot = setup.slots[index];
    if (world.addCard(slot.card, slot.base, slot.vector) == nullptr) {
      throw std::invalid_argument("the cards' port ranges overlap");
    }
    places_.push_back({worlds_.size() - 1, world.cardCount() - 1});
    adapters_.push_back(&world.addAdapter(adapterSetupFor(slot)));
  }
  if (worlds_.empty()) {
    worlds_.push_back(std::make_unique<CardWorld>(setup.machine));
  }
  join(setup);
}

void Network::join(const NetworkSetup& setup) {
  Clock& clock = machine().clock();
  std::vector<card::Card*> cards;
  std::vector<Clock*> clocks;
  for (std::size_t index = 0; index < size(); ++index) {
    cards.push_back(&card(index));
    clocks.push_back(&machineOf(index).clock());
  }
  switch (setup.topology) {
    case Topology::None:
      break;
    case Topology::Cable:
      cable_ =
          setup.cabling.repeaterPorts
              ? std::make_unique<PatchCable>(clock, card(0), card(1), *setup.cabling.repeaterPorts)
              : std::make_unique<PatchCable>(clock, card(0), card(1));
      cable_->cable().useRandom(machine().random());
      break;
    case Topology::Hub:
      hub_ = std::make_unique<HubWiring>(clock, cards, setup.hubRate, machine().random());
      break;
    case Topology::Switch:
      switch_ = std::make_unique<SwitchWiring>(clocks, cards, setup.switchPorts, setup.switchSetup);
      break;
  }
}

// The machines' stack of current ones unwinds in the order they were made.
Network::~Network() {
  halt();
  for (MiniportAdapter* adapter : adapters_) {
    adapter->unbind();
  }
  stations_.clear();
  cable_.reset();
  hub_.reset();
  switch_.reset();
  while (!worlds_.empty()) {
    worlds_.pop_back();
  }
}

// Machines on a switch keep clocks of their own, so that each processor runs
// its handlers, busy waits included, alongside the others' rather than
// nested in them. Each machine in its turn runs a quantum no longer than the
// switch's latency, so that a frame one machine's port takes in is forwarded
// no earlier than the time every other machine has reached. A machine that
// ran alone (an initialize's busy waits) or was carried past the quantum by
// a busy wait is ahead: the others catch up with it first. Machines on one
// shared clock run together.
void Network::runFor(Duration duration) {
  if (worlds_.size() == 1 || sharedClock_) {
    machine().runFor(duration);
    return;
  }
  now_ = now();
  const VirtualTime target = now_ + duration;
  const Duration quantum = learningSwitch().latency();
  while (now_ < target) {
    now_ = std::min(target, now_ + quantum);
    for (const auto& world : worlds_) {
      Machine& each = world->machine();
      const Machine::Current current(each);
      each.runFor(std::max(Duration{}, now_ - each.now()));
    }
  }
}

std::vector<std::size_t> Network::initializeEach() {
  std::vector<std::size_t> failed;
  for (std::size_t index = 0; index < adapters_.size(); ++index) {
    if (adapters_[index]->initialize() != NDIS_STATUS_SUCCESS) {
      failed.push_back(index);
    }
  }
  return failed;
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
  const VirtualTime until = now() + wait;
  while (!std::all_of(adapters_.begin(), adapters_.end(), [](MiniportAdapter* adapter) {
    return !adapter->initialized() || connected(*adapter);
  })) {
    if (now() >= until) {
      return false;
    }
    runFor(kLinkPoll);
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
  std::vector<TrafficStation*> running;
  for (const auto& station : stations_) {
    if (station->adapter().initialized()) {
      running.push_back(station.get());
    }
  }
  return sim::world::runTraffic([this](Duration step) { runFor(step); }, [this] { return now(); },
                                running, run);
}

}  // namespace kl::sim::world
