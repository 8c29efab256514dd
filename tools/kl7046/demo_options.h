// The demo's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/bus/io_bus.h"

namespace kl::tools {

enum class DuplexChoice : std::uint8_t { Auto, Half, Full };

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
};

// Parses the arguments after "demo". On a bad argument, returns nothing and
// puts one line saying what is wrong in `error`.
[[nodiscard]] std::optional<DemoOptions> parseDemoOptions(const std::vector<std::string_view>& args,
                                                          std::string& error);

// The ConnectionType keyword the options ask both adapters for: 0 lets them
// negotiate; 1 to 4 force 10 or 100 Mbit/s, half or full duplex.
[[nodiscard]] std::uint32_t connectionTypeOf(const DemoOptions& options);

}  // namespace kl::tools
