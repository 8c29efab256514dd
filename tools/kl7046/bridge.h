// The bridge: one emulated card whose cable goes to a TAP device (the
// network the card is plugged into) and whose bound protocol goes to another
// (the station's own stack, as if the operating system sat above the
// driver), so that real traffic crosses the driver. Virtual time is paced to
// the wall clock.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "kl7046/installation_file.h"
#include "sim/core/random.h"

namespace kl::tools {

struct BridgeOptions {
  std::string wire;
  std::string station;
  std::optional<double> durationSeconds;  // none: until interrupted
  std::string driver;
  std::string pcap;
  std::string config;
  // The card's timing; none: the installation's, or the typical corner.
  std::optional<sim::card::TimingSetup> timing;
  // The machine's seed: a random corner's times and the wire's backoff.
  std::uint64_t seed = sim::WorldRandom::kDefaultSeed;
};

// Runs until interrupted or the duration is over, then prints the
// statistics. Returns the program's exit status.
// The card and its adapter are the installation's first adapter.
int runBridge(const BridgeOptions& options, const Installation& installation, std::ostream& out,
              std::ostream& err);

}  // namespace kl::tools
