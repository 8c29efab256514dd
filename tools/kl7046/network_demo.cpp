#include "kl7046/network_demo.h"

#include <algorithm>
#include <chrono>
#include <iomanip>
#include <memory>
#include <stdexcept>

#include "kl7046/driver_source.h"
#include "kl7046/report.h"
#include "sim/net/pcap_writer.h"

namespace kl::tools {

namespace {

using namespace std::chrono_literals;
using sim::world::Topology;

constexpr sim::Duration kLinkWait = 10s;
constexpr std::array<const char*, 4> kTopologyNames = {"none", "cable", "hub", "switch"};

std::string stationName(std::size_t index, const sim::card::MacAddress& address) {
  return "station " + std::to_string(index + 1) + " (" + formatAddress(address) + ")";
}

std::vector<sim::world::SlotSetup> slotsFor(const DemoOptions& options,
                                            const Installation& installation,
                                            const NetworkChoice& choice) {
  std::vector<sim::world::SlotSetup> slots =
      sim::world::stationSlots(choice.stations, choice.perMachine);
  for (std::size_t index = 0; index < slots.size(); ++index) {
    const sim::card::MacAddress address = sim::world::stationAddress(index);
    const SlotSettings settings =
        index < installation.adapters.size() ? installation.adapters[index] : SlotSettings{};
    slots[index] = applySettings(settings, slotFor(options, slots[index], address), address);
  }
  return slots;
}

// FILE as FILE-N.EXT for the port of station N.
std::string portFile(const std::string& file, std::size_t port) {
  const std::size_t dot = file.rfind('.');
  const std::size_t slash = file.rfind('/');
  const bool extension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  const std::string stem = extension ? file.substr(0, dot) : file;
  return stem + "-" + std::to_string(port + 1) + (extension ? file.substr(dot) : "");
}

// The hub's segment is one capture whatever the port; a switch port's is
// its cable's, both ways.
std::vector<std::unique_ptr<sim::net::PcapWriter>> captures(sim::world::Network& network,
                                                            const DemoOptions& options) {
  std::vector<std::unique_ptr<sim::net::PcapWriter>> writers;
  if (options.pcap.empty()) {
    return writers;
  }
  if (network.topology() != Topology::Switch) {
    writers.push_back(std::make_unique<sim::net::PcapWriter>(options.pcap));
    sim::net::PcapWriter& writer = *writers.back();
    if (network.topology() == Topology::Hub) {
      network.hub().onFrame([&writer](const sim::net::WireFrame& frame, std::size_t /*from*/,
                                      sim::VirtualTime at) { writer.write(frame.bytes, at); });
    } else {
      writer.capture(network.cable().cable());
    }
    return writers;
  }
  for (std::size_t port = 0; port < network.size(); ++port) {
    if (!options.pcapPort || *options.pcapPort == port + 1) {
      writers.push_back(std::make_unique<sim::net::PcapWriter>(
          options.pcapPort ? options.pcap : portFile(options.pcap, port)));
      writers.back()->capture(network.switchCable(port).cable());
    }
  }
  return writers;
}

void collectErrorLog(NetworkReport& report, sim::world::Network& network) {
  for (std::size_t machine = 0; machine < network.machineCount(); ++machine) {
    for (const sim::ErrorLogEntry& entry : network.machine(machine).errorLog()) {
      unsigned station = 0;
      for (std::size_t index = 0; index < network.size(); ++index) {
        if (entry.adapter == network.adapter(index).handle()) {
          station = static_cast<unsigned>(index + 1);
        }
      }
      report.errorLog.push_back({station, static_cast<ULONG>(entry.code), entry.values});
    }
  }
}

// Brings the stations up; those that fail are named and left out.
bool bringUp(NetworkReport& report, sim::world::Network& network, DriverSource& driver) {
  if (network.loadDriver([&](sim::Machine& machine) { return driver.load(machine); }) !=
      STATUS_SUCCESS) {
    report.failure = "DriverEntry failed";
    return false;
  }
  for (const std::size_t index : network.initializeEach()) {
    report.stations[index].failure = "failed to initialize (see the error log)";
  }
  const auto running = std::ranges::count_if(
      report.stations, [](const StationReport& station) { return station.failure.empty(); });
  if (running < 2) {
    report.failure = "fewer than two stations came up";
    return false;
  }
  if (!network.waitForLink(kLinkWait)) {
    report.failure = "the links did not come up";
    return false;
  }
  return true;
}

void exchange(NetworkReport& report, sim::world::Network& network, const DemoOptions& options,
              const DemoObserver& observer) {
  sim::world::NetworkTraffic traffic(
      network, {.pattern = report.choice.pattern,
                .frames = options.frames,
                .shape = {.minSize = options.minSize, .maxSize = options.maxSize},
                .seed = options.seed});
  for (const std::size_t index : traffic.open()) {
    report.stations[index].failure = "refused its packet filter or multicast list";
  }
  sim::world::TrafficRun run;
  if (observer.progress) {
    run.progress = [&](sim::Duration /*elapsed*/) {
      std::uint64_t delivered = 0;
      std::uint64_t due = 0;
      for (std::size_t index = 0; index < network.size(); ++index) {
        delivered += network.station(index).counts().framesSent;
        due += network.station(index).counts().framesSent == 0 ? 0 : options.frames;
      }
      observer.progress(delivered, std::max(due, delivered));
    };
  }
  const sim::VirtualTime start = network.now();
  if (!traffic.run(run)) {
    report.failure = "the traffic did not finish in its virtual time";
  }
  report.virtualSeconds = std::chrono::duration<double>(network.now() - start).count();
  const std::vector<sim::world::StationOutcome> outcomes = traffic.outcomes();
  for (std::size_t index = 0; index < outcomes.size(); ++index) {
    report.stations[index].outcome = outcomes[index];
  }
  network.halt();
}

}  // namespace

bool asksForNetwork(const DemoOptions& options, const Installation& installation) {
  const NetworkSettings& file = installation.network;
  return options.stations || options.topology || options.pattern || options.perMachine ||
         file.stations || file.topology || file.pattern || file.perMachine;
}

NetworkChoice networkChoice(const DemoOptions& options, const Installation& installation) {
  const NetworkSettings& file = installation.network;
  NetworkChoice choice;
  choice.stations = options.stations.value_or(file.stations.value_or(2));
  choice.topology = options.topology.value_or(
      file.topology.value_or(choice.stations == 2 ? Topology::Cable : Topology::Switch));
  choice.pattern = options.pattern.value_or(file.pattern.value_or(choice.pattern));
  choice.perMachine = options.perMachine.value_or(file.perMachine.value_or(choice.perMachine));
  return choice;
}

std::string networkProblem(const NetworkChoice& choice, const DemoOptions& options) {
  const std::string stations = std::to_string(choice.stations);
  if (choice.topology == Topology::Cable && choice.stations != 2) {
    return "a cable joins two stations, not " + stations + " (a hub or a switch joins more)";
  }
  if (options.pcapPort && *options.pcapPort > choice.stations) {
    return "--pcap-port names station " + std::to_string(*options.pcapPort) + " of " + stations;
  }
  return {};
}

bool NetworkReport::clean() const {
  if (!failure.empty() || !violations.empty() ||
      std::ranges::any_of(stations, [](const StationReport& s) { return !s.failure.empty(); })) {
    return false;
  }
  std::vector<sim::world::StationOutcome> outcomes;
  for (const StationReport& station : stations) {
    outcomes.push_back(station.outcome);
  }
  return sim::world::clean(outcomes);
}

NetworkReport runNetworkDemo(const DemoOptions& options, const Installation& installation,
                             const DemoObserver& observer) {
  const auto hostStart = std::chrono::steady_clock::now();
  NetworkReport report;
  report.options = options;
  report.choice = networkChoice(options, installation);
  try {
    DriverSource driver(options.driver);
    report.timing = timingOf(options.timing, installation, options.seed);
    const std::vector<sim::world::SlotSetup> slots = slotsFor(options, installation, report.choice);
    sim::world::Network network(
        {.slots = slots,
         .topology = report.choice.topology,
         .machine = {.processorCount = installation.processors.value_or(1),
                     .busCycles = options.busCycles.value_or(
                         installation.busCycles.value_or(sim::BusCycleTimes{})),
                     .timing = report.timing},
         .cardsPerMachine = report.choice.perMachine});
    for (std::size_t index = 0; index < slots.size(); ++index) {
      report.stations.push_back({.address = stationName(index, sim::world::stationAddress(index)),
                                 .machine = index / report.choice.perMachine + 1});
    }
    if (network.size() > 1) {
      network.card(1).faults().corruptStoredFrames = options.corruptFrames;
    }
    for (std::size_t machine = 0; machine < network.machineCount(); ++machine) {
      network.machine(machine).onViolation(
          [&](const std::string& what) { report.violations.push_back(what); });
    }
    const auto writers = captures(network, options);
    if (bringUp(report, network, driver)) {
      exchange(report, network, options, observer);
    }
    collectErrorLog(report, network);
  } catch (const std::exception& error) {
    report.failure = error.what();
  }
  report.hostSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - hostStart).count();
  return report;
}

void printNetworkReport(const NetworkReport& report, std::ostream& out) {
  const DemoOptions& o = report.options;
  const NetworkChoice& c = report.choice;
  const bool hub = c.topology == Topology::Hub;
  const bool onSwitch = c.topology == Topology::Switch;
  out << "KL7046 demo: " << c.stations << " stations on a "
      << kTopologyNames.at(static_cast<int>(c.topology)) << ", pattern "
      << sim::world::nameOf(c.pattern) << ", " << o.frames << " frames from each sender, "
      << o.minSize << " to " << o.maxSize << " bytes, seed " << o.seed << ", timing "
      << sim::card::describeTiming(report.timing) << "\n\n";
  out << "  " << std::left << std::setw(34) << "station" << std::right;
  for (const char* head :
       {"machine", "sent", "received", "expected", "missing", "unwanted", "dropped", "damaged"}) {
    out << std::setw(9) << head;
  }
  out << (hub ? "  collisions  given up" : "") << (onSwitch ? "  port drops" : "") << '\n';
  for (const StationReport& station : report.stations) {
    const sim::world::StationOutcome& s = station.outcome;
    out << "  " << std::left << std::setw(34) << station.address << std::right << std::setw(9)
        << station.machine;
    if (!station.failure.empty()) {
      out << "  " << station.failure << '\n';
      continue;
    }
    for (const std::uint64_t value :
         {s.counts.framesSent, s.counts.framesReceived, s.expected, s.missing, s.unwanted,
          s.excused, s.counts.damaged + s.counts.duplicates + s.counts.outOfOrder}) {
      out << std::setw(9) << value;
    }
    if (hub) {
      out << std::setw(12) << s.access.collisions << std::setw(10) << s.access.aborts;
    }
    if (onSwitch) {
      out << std::setw(12) << s.portDrops;
    }
    out << '\n';
  }
  out << "\n  error log               " << (report.errorLog.empty() ? "empty" : "") << '\n';
  for (const ErrorLogLine& line : report.errorLog) {
    out << "    station " << line.adapter << ": 0x" << std::hex << std::setw(8) << std::setfill('0')
        << line.code << std::dec << std::setfill(' ') << '\n';
  }
  out << "  time                    " << std::fixed << std::setprecision(3) << report.virtualSeconds
      << " s virtual, " << report.hostSeconds << " s on this host\n";
  const auto idle = std::ranges::count_if(
      report.stations, [](const StationReport& station) { return !station.failure.empty(); });
  std::string result = "every station got what its filter admits, intact, once and in order";
  if (!report.failure.empty()) {
    result = "FAILED: " + report.failure;
  } else if (!report.violations.empty()) {
    result = "FAILED: the driver broke an NDIS rule: " + report.violations.front();
  } else if (idle != 0) {
    result =
        "FAILED: " + std::to_string(idle) + (idle == 1 ? " station" : " stations") + " did not run";
  } else if (!report.clean()) {
    result = "FAILED: frames missing, unwanted, damaged, twice or out of order (above)";
  }
  out << "  result                  " << result << '\n';
}

void printNetworkReportJson(const NetworkReport& report, std::ostream& out) {
  const NetworkChoice& c = report.choice;
  out << R"({"stations":)" << c.stations << R"(,"topology":")"
      << kTopologyNames.at(static_cast<int>(c.topology)) << R"(","pattern":")"
      << sim::world::nameOf(c.pattern) << R"(","frames_each_sender":)" << report.options.frames
      << ",\"seed\":" << report.options.seed << ",\"station\":[";
  const char* comma = "";
  for (const StationReport& station : report.stations) {
    const sim::world::StationOutcome& s = station.outcome;
    out << comma << "{\"name\":";
    jsonString(out, station.address);
    out << ",\"machine\":" << station.machine << ",\"failure\":";
    jsonString(out, station.failure);
    out << ",\"sent\":" << s.counts.framesSent << ",\"received\":" << s.counts.framesReceived
        << ",\"expected\":" << s.expected << ",\"missing\":" << s.missing
        << ",\"unwanted\":" << s.unwanted << ",\"dropped\":" << s.excused
        << ",\"damaged\":" << s.counts.damaged << ",\"duplicates\":" << s.counts.duplicates
        << ",\"out_of_order\":" << s.counts.outOfOrder << ",\"collisions\":" << s.access.collisions
        << ",\"given_up\":" << s.access.aborts << ",\"port_drops\":" << s.portDrops << '}';
    comma = ",";
  }
  out << "],\"failure\":";
  jsonString(out, report.failure);
  out << ",\"violations\":" << report.violations.size()
      << ",\"virtual_seconds\":" << report.virtualSeconds
      << ",\"host_seconds\":" << report.hostSeconds
      << ",\"ok\":" << (report.clean() ? "true" : "false") << "}\n";
}

}  // namespace kl::tools
