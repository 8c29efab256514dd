// The world builder: N KL7046 cards in one machine, each with the adapter
// NDIS brings up on it and, once added, a traffic station bound to that
// adapter, joined by a network of the topology asked for. The demo, the
// end-to-end tests, the benchmarks and the fuzz targets are built by it. The
// caller loads the driver into the machine before it initializes the
// adapters.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "sim/core/clock.h"
#include "sim/world/card_world.h"
#include "sim/world/patch_cable.h"
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

// What joins the cards.
enum class Topology : std::uint8_t {
  None,   // nothing: the cards are on no network
  Cable,  // two cards on one cable (see Cabling)
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

  [[nodiscard]] CardWorld& world() { return world_; }
  [[nodiscard]] Machine& machine() { return world_.machine(); }
  [[nodiscard]] std::size_t size() const { return adapters_.size(); }
  [[nodiscard]] card::Card& card(std::size_t index) { return world_.card(index); }
  [[nodiscard]] MiniportAdapter& adapter(std::size_t index) { return *adapters_.at(index); }
  // The cable of the Cable topology.
  [[nodiscard]] PatchCable& cable() { return *cable_; }

  // Initializes every adapter, in the order given (by default, the slots');
  // the first status that is not success.
  NDIS_STATUS initialize(const std::vector<std::size_t>& order = {});
  // Runs the machine until every adapter reports its media connected, or
  // `wait` has passed. Returns whether they do.
  bool waitForLink(Duration wait);
  // Halts every adapter that is initialized.
  void halt();

  // A traffic station on each adapter, not yet open.
  void addStations(const StationsSetup& setup);
  [[nodiscard]] TrafficStation& station(std::size_t index) { return *stations_.at(index); }
  [[nodiscard]] const TrafficStation& station(std::size_t index) const {
    return *stations_.at(index);
  }
  // Pumps every station and runs the machine until all are done (see
  // runTraffic).
  bool runTraffic(const TrafficRun& run = {});

 private:
  CardWorld world_;
  std::vector<MiniportAdapter*> adapters_;
  std::unique_ptr<PatchCable> cable_;
  std::vector<std::unique_ptr<TrafficStation>> stations_;
};

}  // namespace kl::sim::world
