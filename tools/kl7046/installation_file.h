// An installation as a text file, for `--config`: per adapter, the registry
// keywords the driver reads, written as the INF installs them (text that
// NDIS parses in the base the driver asks for), and beside them the settings
// of the emulated card and its slot; and the machine's own settings.
//
//   [machine]
//   Processors=1
//   BusCycle=typical           what a port cycle costs: typical (600 ns),
//                              fastest (255 ns), NS, or NS8,NS16
//   Timing=slowest             the card's timing corner: fastest, typical,
//                              slowest or random, then any ,NAME=DURATION
//                              of a time of its own within its range
//   [network]                  the demo's network (see kl7046 demo --help)
//   Stations=16                2 to 64
//   Topology=hub               cable, hub or switch
//   Pattern=storm              all-to-all, incast, multicast or storm
//   PerMachine=14              cards each machine takes, 1 to 14
//   [adapter1]
//   IoBaseAddress=300          registry keywords, as kl7046.inf writes them
//   ConnectionType=4
//   NetworkAddress=02005E102030
//   sim.BusWidth=8             the card: 8 or 16
//   sim.MemoryStart=4000       packet memory, hex
//   sim.MemorySize=4000
//   sim.Phy=78E1               78E1, 8201, 5C21, generic or none
//   sim.PhyAddress=1
//   sim.LinkPartner=auto       what the card is plugged into (bridge only):
//                              auto, 10half, 10full, 100half, 100full, none
//   sim.StationAddress=02-4B-4C-70-46-01
//   sim.AttributeMemory=pccard the PC Card's attribute memory, or none
//   sim.AttributeMemorySize=800  hex; shorter memory makes short reads
//   sim.McaAdapterId=7154      hex; with sim.McaPos the slot's POS bytes
//   sim.McaPos=01-02-03-04
//
// Names compare without regard to case; `#` starts a comment.
#pragma once

#include <array>
#include <cstdint>
#include <istream>
#include <optional>
#include <string>

#include "sim/card/card.h"
#include "sim/card/phy/negotiation.h"
#include "sim/card/timing.h"
#include "sim/host/adapter_setup.h"
#include "sim/world/network.h"
#include "sim/world/traffic_pattern.h"

namespace kl::tools {

struct SlotSettings {
  sim::AdapterSetup adapter;
  std::optional<sim::card::BusWidth> busWidth;
  std::optional<std::uint32_t> memoryStart;
  std::optional<std::uint32_t> memorySize;
  // Set: the card's PHY, or none at all.
  std::optional<std::optional<sim::card::PhyConfig>> phy;
  std::optional<std::uint8_t> phyAddress;
  std::optional<sim::card::LinkSignal> partner;
  std::optional<sim::card::MacAddress> stationAddress;
  std::optional<bool> pcCardAttributeMemory;
  std::optional<std::size_t> attributeMemorySize;
};

// The network the demo runs, as [network] gives it.
struct NetworkSettings {
  std::optional<std::size_t> stations;
  std::optional<sim::world::Topology> topology;
  std::optional<sim::world::Pattern> pattern;
  std::optional<std::size_t> perMachine;
};

struct Installation {
  std::array<SlotSettings, 2> adapters;
  NetworkSettings network;
  std::optional<unsigned> processors;
  std::optional<sim::BusCycleTimes> busCycles;
  std::optional<sim::card::TimingSetup> timing;
};

// The timing a run uses: the command line's, else the installation's, else
// the typical corner; its random draws seeded with `seed`.
[[nodiscard]] sim::card::TimingSetup timingOf(const std::optional<sim::card::TimingSetup>& given,
                                              const Installation& installation, std::uint64_t seed);

// `slot` with the settings applied over it: the card (its station address
// in the PROM image of its bus width, or `station` when the file gives none)
// and the adapter's installation.
[[nodiscard]] sim::world::SlotSetup applySettings(const SlotSettings& settings,
                                                  sim::world::SlotSetup slot,
                                                  const sim::card::MacAddress& station);

// The topology a word names: cable, hub or switch, in any case.
[[nodiscard]] std::optional<sim::world::Topology> topologyNamed(std::string_view name);

// Reads the whole file. On anything it cannot use, returns nothing with
// `error` naming the line and what is wrong with it.
[[nodiscard]] std::optional<Installation> readInstallation(std::istream& in, std::string& error);

}  // namespace kl::tools
