// The demo on a network of many stations: each a card with its own driver
// instance and a traffic station, on a hub, a switch or the two-station
// cable, carrying a traffic pattern that every station checks.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kl7046/demo.h"
#include "kl7046/installation_file.h"
#include "sim/world/network_traffic.h"

namespace kl::tools {

// The network the options and the installation ask for, the options first.
struct NetworkChoice {
  std::size_t stations = 2;
  sim::world::Topology topology = sim::world::Topology::Cable;
  sim::world::Pattern pattern = sim::world::Pattern::AllToAll;
  std::size_t perMachine = sim::world::kCardsPerMachine;
};

// Whether the demo runs a network: any of its settings is given.
[[nodiscard]] bool asksForNetwork(const DemoOptions& options, const Installation& installation);
// The network asked for; a topology not given is the cable for two stations
// and the switch for more.
[[nodiscard]] NetworkChoice networkChoice(const DemoOptions& options,
                                          const Installation& installation);
// What makes the choice impossible, in one line; empty when nothing does.
[[nodiscard]] std::string networkProblem(const NetworkChoice& choice, const DemoOptions& options);

struct StationReport {
  std::string address;
  std::size_t machine = 0;  // from 1
  std::string failure;      // why it did not run, when it did not
  sim::world::StationOutcome outcome;
};

struct NetworkReport {
  DemoOptions options;
  NetworkChoice choice;
  std::string failure;  // what stopped the whole run, when something did
  std::vector<StationReport> stations;
  std::vector<ErrorLogLine> errorLog;   // `adapter` is the station, from 1
  std::vector<std::string> violations;  // NDIS rules the driver broke
  sim::card::TimingSetup timing{};
  double virtualSeconds = 0;
  double hostSeconds = 0;

  // Every station that ran got what it should, and nothing else went wrong.
  [[nodiscard]] bool clean() const;
};

[[nodiscard]] NetworkReport runNetworkDemo(const DemoOptions& options,
                                           const Installation& installation,
                                           const DemoObserver& observer = {});

void printNetworkReport(const NetworkReport& report, std::ostream& out);
// The same as one JSON object (`ok` is what the exit status says).
void printNetworkReportJson(const NetworkReport& report, std::ostream& out);

}  // namespace kl::tools
