// kl7046: run the KL7046 driver on emulated cards.
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kl7046/bridge.h"
#include "kl7046/demo.h"
#include "kl7046/demo_options.h"
#include "kl7046/installation_file.h"
#include "kl7046/progress_bar.h"
#include "kl7046/report.h"
#include "kl7046/trace.h"

namespace {

constexpr std::string_view kUsage = R"(usage: kl7046 [demo] [options]
       kl7046 bridge --wire TAP --station TAP [--duration S] [--pcap FILE] [--config FILE]
                     [--driver FILE]
       kl7046 trace [--vcd FILE] [--mii] [--driver FILE]

Two emulated KL7046 cards on one cable in one machine, each brought up through
the whole driver (DriverEntry, MiniportInitialize, PHY negotiation). A
protocol on each sets the packet filter and a multicast list, then both send
a seeded mix of unicast, broadcast and multicast frames of varied sizes and
buffer chains, and check every frame that arrives. Exits 0 only when nothing
was lost, duplicated or damaged.

  --frames N         frames each way (default 2000)
  --min-size N       smallest frame in bytes, without FCS (default 60)
  --max-size N       largest frame (default 1514)
  --bus-width 8|16   the cards' data path (default 16)
  --card-type N      the CardType keyword: 0 probed, 1 PC Card, others fixed memory
  --speed 10|100     force the link speed (default: negotiate)
  --duplex auto|half|full
  --seed S           seed of the frames' sizes, destinations and chains (default 7046)
  --bus-cycle T      charge every port cycle to virtual time: typical (600 ns, a
                     16-bit PC Card I/O cycle as hosts run it), fastest (255 ns,
                     the shortest the PC Card allows), NS, or NS8,NS16 for 8- and
                     16-bit cycles apart (default: an ideal bus, cycles take no time)
  --pcap FILE        capture the cable into FILE
  --config FILE      the installation: registry keywords and card settings of
                     [adapter1] and [adapter2], and the [machine] (see the README)
  --driver FILE      run kl7046.sys from FILE instead of the linked driver
                     (32-bit build only)
  --json             print the summary as one JSON object
  --corrupt N        the second card's memory damages N frames once stored,
                     to see the check catch what the driver cannot
  --help             show this text

The bridge runs one emulated card for real traffic: its cable goes to the
--wire TAP device (the network the card is plugged into), the protocol above
the driver to the --station TAP device (the station's own stack), which takes
the adapter's address. The protocol keeps the packet filter and multicast
list equal to the station interface's. Missing TAP devices are created. It
runs in step with the wall clock until interrupted or --duration seconds,
then prints its statistics. It needs CAP_NET_ADMIN. With --config, the card
and its adapter are the file's [adapter1].

The trace runs one card through bring-up, one send, one receive and a link
change, and prints every port access the driver makes: virtual time, port,
register (by the page selected then), value and its bits named. Runs of MII
management accesses are shown as the frames they carry (--mii shows each
access); --vcd FILE writes MDC, MDIO by the host, MDIO by the PHY and the
MDIO line as a VCD file for GTKWave.

Examples:
  kl7046
  kl7046 demo --frames 100000 --seed 1 --pcap cable.pcap
  kl7046 demo --bus-width 8 --speed 10 --duplex half --json
  kl7046 bridge --wire kl-wire --station kl-station --duration 60
  kl7046 trace --vcd mii.vcd | less
)";

int fail(const std::string& message) {
  std::cerr << "kl7046: " << message << "\n";
  return 2;
}

// The installation in `file`, or the default one when no file is named;
// nothing, with the reason on standard error, when the file cannot be used.
std::optional<kl::tools::Installation> readConfig(const std::string& file) {
  if (file.empty()) {
    return kl::tools::Installation{};
  }
  std::ifstream in(file);
  if (!in) {
    fail("cannot read " + file);
    return std::nullopt;
  }
  std::string error;
  auto installation = kl::tools::readInstallation(in, error);
  if (!installation) {
    fail(file + ": " + error);
  }
  return installation;
}

int bridge(const std::vector<std::string_view>& args) {
  std::string error;
  const auto options = kl::tools::parseBridgeOptions(args, error);
  if (!options) {
    return fail(error + " (kl7046 --help lists the options)");
  }
  const auto installation = readConfig(options->config);
  if (!installation) {
    return 2;
  }
  return kl::tools::runBridge(*options, *installation, std::cout, std::cerr);
}

int trace(const std::vector<std::string_view>& args) {
  std::string error;
  const auto options = kl::tools::parseTraceOptions(args, error);
  if (!options) {
    return fail(error + " (kl7046 --help lists the options)");
  }
  return kl::tools::runTrace(*options, std::cout, std::cerr);
}

int demo(const std::vector<std::string_view>& args) {
  std::string error;
  const auto options = kl::tools::parseDemoOptions(args, error);
  if (!options) {
    return fail(error + " (kl7046 --help lists the options)");
  }
  const auto installation = readConfig(options->config);
  if (!installation) {
    return 2;
  }
  kl::tools::ProgressBar bar(std::cerr, isatty(STDERR_FILENO) != 0 && !options->json);
  const kl::tools::DemoReport report = kl::tools::runDemo(
      *options, *installation, {.progress = [&](std::uint64_t delivered, std::uint64_t due) {
        bar.update(delivered, due);
      }});
  bar.finish();
  if (options->json) {
    kl::tools::printReportJson(report, std::cout);
  } else {
    kl::tools::printReport(report, std::cout);
  }
  return report.clean() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  for (const std::string_view arg : args) {
    if (arg == "--help" || arg == "-h" || (arg == "help" && arg == args.front())) {
      std::cout << kUsage;
      return 0;
    }
  }
  const std::string_view command = args.empty() ? "demo" : args.front();
  if (command == "bridge" || command == "trace" || command == "demo") {
    args.erase(args.begin(), args.begin() + (args.empty() ? 0 : 1));
  }
  if (command == "bridge") {
    return bridge(args);
  }
  if (command == "trace") {
    return trace(args);
  }
  return demo(args);
}
