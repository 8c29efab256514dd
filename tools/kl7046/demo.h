// The demo: two emulated cards on one cable in one machine, each brought up
// through the whole driver, with a protocol on each that sets its filter and
// a multicast list and then exchanges checked frames with the other.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "kl7046/installation_file.h"
#include "kl7046/statistics.h"
#include "sim/bus/io_bus.h"
#include "sim/core/clock.h"
#include "sim/host/irql.h"
#include "sim/world/network.h"
#include "sim/world/traffic_pattern.h"
#include "sim/world/traffic_station.h"

namespace kl::tools {

enum class DuplexChoice : std::uint8_t { Auto, Half, Full };

// What the demo runs, as its command line sets it.
struct DemoOptions {
  std::uint64_t frames = 2000;  // each way
  std::size_t minSize = 60;
  std::size_t maxSize = 1514;
  unsigned busWidth = 16;
  std::uint32_t cardType = 0;
  // No speed: the cards negotiate.
  std::optional<unsigned> speed;
  DuplexChoice duplex = DuplexChoice::Auto;
  std::uint64_t seed = 7046;
  std::string pcap;
  std::string config;
  std::string driver;  // a kl7046.sys to load instead of the linked driver
  bool json = false;
  // Frames the second card's packet memory damages once stored, to show
  // the receiving protocol's check catching what the driver cannot see.
  unsigned corruptFrames = 0;
  // What each port cycle costs in virtual time; none: the installation's,
  // or an ideal bus.
  std::optional<sim::BusCycleTimes> busCycles;
  // The card's timing; none: the installation's, or the typical corner.
  std::optional<sim::card::TimingSetup> timing;
  // A network of many stations rather than the two cards' exchange, when
  // any of these is given here or under [network] in the installation.
  std::optional<std::size_t> stations;
  std::optional<sim::world::Topology> topology;
  std::optional<sim::world::Pattern> pattern;
  // Cards each machine takes, 1 to 14.
  std::optional<std::size_t> perMachine;
  // The station whose port --pcap captures, from 1; none: every port, a
  // file each.
  std::optional<std::size_t> pcapPort = 1;
};

// The ConnectionType keyword the options ask both adapters for: 0 lets them
// negotiate; 1 to 4 force 10 or 100 Mbit/s, half or full duplex.
[[nodiscard]] std::uint32_t connectionTypeOf(const DemoOptions& options);

// "02:4b:4c:70:46:01".
[[nodiscard]] std::string formatAddress(const sim::world::Mac& mac);

// A card and its adapter as the options set them up, before the
// installation's settings, with `station` as its address.
[[nodiscard]] sim::world::SlotSetup slotFor(const DemoOptions& options, sim::world::SlotSetup slot,
                                            const sim::card::MacAddress& station);

struct AdapterReport {
  std::string address;
  sim::world::StationCounts counts;
  std::uint64_t missing = 0;  // frames the other side sent that never came
  // What the wire did to the frames this side sent: collisions (none on a
  // full-duplex link), and frames given up after 16 of them.
  std::uint64_t collisions = 0;
  std::uint64_t givenUp = 0;
  Statistics statistics;
};

struct ErrorLogLine {
  unsigned adapter = 0;  // 1 or 2
  ULONG code = 0;
  std::vector<ULONG> values;
};

struct DemoReport {
  DemoOptions options;
  bool broughtUp = false;
  std::string failure;  // what went wrong, when something did
  unsigned speedMbps = 0;
  std::string duplex;
  std::array<AdapterReport, 2> adapters;
  std::vector<ErrorLogLine> errorLog;
  std::vector<std::string> violations;  // NDIS rules the driver broke
  sim::BusCycleTimes busCycles{};       // as the run had them
  // The driver's longest busy wait at PASSIVE_LEVEL, DISPATCH_LEVEL and DIRQL.
  std::array<sim::Duration, sim::kIrqls> longestBusyWait{};
  sim::card::TimingSetup timing{};
  double virtualSeconds = 0;
  double hostSeconds = 0;

  // Nothing lost, duplicated or corrupted, and nothing else went wrong.
  [[nodiscard]] bool clean() const;
};

struct DemoObserver {
  // Called now and then with the frames delivered so far and the frames due.
  std::function<void(std::uint64_t delivered, std::uint64_t due)> progress;
  // Called with every frame a side (0 or 1) hands to its adapter.
  std::function<void(std::size_t side, std::span<const std::uint8_t> frame)> sent;
};

// Runs the demo on the installation the configuration file describes (by
// default, none: the options alone).
[[nodiscard]] DemoReport runDemo(const DemoOptions& options, const Installation& installation = {},
                                 const DemoObserver& observer = {});

}  // namespace kl::tools
