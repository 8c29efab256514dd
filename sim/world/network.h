// The world builder: N KL7046 cards, each with the adapter NDIS brings up on
// it and, once added, a traffic station bound to that adapter, joined by a
// network of the topology asked for. The cards share one machine, or as many
// machines as it takes to give each card a port range and an interrupt of its
// own. Machines on a switch each keep a clock of their own and run in step
// within the switch's latency; those of a hub's segment or a cable, which
// hear each other within a bit time, run on one shared clock. The demo, the end-to-end tests, the
// benchmarks and the fuzz targets are built by it. The caller loads the
// driver into every machine before it initializes the adapters.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "sim/core/clock.h"
#include "sim/host/shared_clock.h"
#include "sim/net/learning_switch.h"
#include "sim/world/card_world.h"
#include "sim/world/hub_wiring.h"
#include "sim/world/patch_cable.h"
#include "sim/world/switch_wiring.h"
#include "sim/world/traffic_run.h"
#include "sim/world/traffic_station.h"

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

// The most stations a network has, and the most cards one machine takes (an
// interrupt each, 2 to 15).
inline constexpr std::size_t kMostStations = 64;
inline constexpr std::size_t kCardsPerMachine = 14;

// The address of station `index`: 02:4B:4C:70:46:01 on.
[[nodiscard]] card::MacAddress stationAddress(std::size_t index);

// `count` word-wide cards with station addresses 02:4B:4C:70:46:01 on, each
// machine's cards at 0x300, 0x320, ... on interrupts 3, 5, 7, ...; a new
// machine every `perMachine` cards.
[[nodiscard]] std::vector<SlotSetup> stationSlots(std::size_t count,
                                                  std::size_t perMachine = kCardsPerMachine);

// What joins the cards.
enum class Topology : std::uint8_t {
  None,    // nothing: the cards are on no network
  Cable,   // two cards on one cable (see Cabling)
  Hub,     // one shared half-duplex segment
  Switch,  // a learning switch, a port for each card
};

// How the two cards of a cable are joined: a patch cable from one to the
// other, or a two-port repeater whose ports signal as given (see PatchCable).
struct Cabling {
  std::optional<std::array<card::LinkSignal, 2>> repeaterPorts;
};

struct NetworkSetup {
  std::vector<SlotSetup> slots;  // a card and its adapter each
  Topology topology = Topology::Cable;
  Cabling cabling;
  MachineSetup machine;
  // Cards per machine, in the slots' order (at most kCardsPerMachine).
  std::size_t cardsPerMachine = kCardsPerMachine;
  net::BitRate hubRate = net::BitRate::Mbit100;
  net::SwitchSetup switchSetup;
  // How each switch port signals (none: every 10/100 ability).
  std::vector<std::optional<card::LinkSignal>> switchPorts;
};

// The traffic stations, one on each adapter: station i carries stream
// `firstStream` + i and draws its traffic from seed `firstSeed` + i.
struct StationsSetup {
  TrafficShape shape;
  std::uint64_t firstSeed = 0;
  std::uint8_t firstStream = 0;
};

class Network {
 public:
  // Throws std::invalid_argument when the slots' ports overlap or the
  // topology cannot join that many cards.
  explicit Network(const NetworkSetup& setup);
  Network(const Network&) = delete;
  Network& operator=(const Network&) = delete;
  // Halts the adapters still initialized while the stations are there to be
  // given back their packets, then unbinds them.
  ~Network();

  // The first machine, with the first cards.
  [[nodiscard]] CardWorld& world() { return *worlds_.front(); }
  [[nodiscard]] Machine& machine() { return world().machine(); }
  [[nodiscard]] std::size_t machineCount() const { return worlds_.size(); }
  [[nodiscard]] Machine& machine(std::size_t index) { return worlds_.at(index)->machine(); }
  // The machine station `index` is on.
  [[nodiscard]] Machine& machineOf(std::size_t index) {
    return worlds_.at(places_.at(index).world)->machine();
  }
  [[nodiscard]] std::size_t size() const { return adapters_.size(); }
  [[nodiscard]] Topology topology() const { return topology_; }
  [[nodiscard]] card::Card& card(std::size_t index) {
    const Place& place = places_.at(index);
    return worlds_.at(place.world)->card(place.card);
  }
  [[nodiscard]] MiniportAdapter& adapter(std::size_t index) { return *adapters_.at(index); }
  // The cable of the Cable topology.
  [[nodiscard]] PatchCable& cable() { return *cable_; }
  // The hub of the Hub topology, the switch of the Switch topology.
  [[nodiscard]] net::Hub& hub() { return hub_->hub(); }
  [[nodiscard]] net::LearningSwitch& learningSwitch() { return switch_->learningSwitch(); }
  // The cable between station `index` and its switch port.
  [[nodiscard]] PatchCable& switchCable(std::size_t index) { return switch_->cable(index); }

  // Runs `load` (loading the driver) on every machine, as the current one;
  // the first status that is not success.
  template <class Load>
  auto loadDriver(Load&& load) {
    decltype(load(machine())) status{};
    for (const auto& world : worlds_) {
      const Machine::Current current(world->machine());
      if (status = load(world->machine()); status != decltype(status){}) {
        break;
      }
    }
    return status;
  }
  // Runs every machine for `duration`, in step.
  void runFor(Duration duration);
  // The time of the machine furthest ahead.
  [[nodiscard]] VirtualTime now() const;

  // Initializes every adapter, in the order given (by default, the slots');
  // the first status that is not success.
  NDIS_STATUS initialize(const std::vector<std::size_t>& order = {});
  // Initializes every adapter; the stations whose adapter failed.
  std::vector<std::size_t> initializeEach();
  // Runs the machines until every initialized adapter reports its media
  // connected, or `wait` has passed. Returns whether they do.
  bool waitForLink(Duration wait);
  // Halts every adapter that is initialized.
  void halt();

  // A traffic station on each adapter, not yet open.
  void addStations(const StationsSetup& setup);
  [[nodiscard]] TrafficStation& station(std::size_t index) { return *stations_.at(index); }
  [[nodiscard]] const TrafficStation& station(std::size_t index) const {
    return *stations_.at(index);
  }
  // Pumps every station and runs the machines until all are done (see
  // runTraffic). Stations whose adapter is not initialized take no part.
  bool runTraffic(const TrafficRun& run = {});

 private:
  struct Place {
    std::size_t world = 0;
    std::size_t card = 0;
  };

  void join(const NetworkSetup& setup);

  Topology topology_;
  // The clock of several machines, which outlives them.
  std::unique_ptr<SharedClock> sharedClock_;
  std::vector<std::unique_ptr<CardWorld>> worlds_;
  std::vector<Place> places_;
  std::vector<MiniportAdapter*> adapters_;
  std::unique_ptr<PatchCable> cable_;
  std::unique_ptr<HubWiring> hub_;
  std::unique_ptr<SwitchWiring> switch_;
  VirtualTime now_{};  // where every machine on a switch has come to
  std::vector<std::unique_ptr<TrafficStation>> stations_;
};

}  // namespace kl::sim::world
