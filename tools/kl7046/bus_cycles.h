// The time each port cycle costs the processor, as the demo's --bus-cycle
// option and the installation's BusCycle setting give it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "sim/bus/io_bus.h"

namespace kl::tools {

// A 16-bit PC Card I/O cycle: its shortest, and what a host typically runs.
inline constexpr sim::Duration kPcCardCycleShortest = std::chrono::nanoseconds(255);
inline constexpr sim::Duration kPcCardCycleTypical = std::chrono::nanoseconds(600);

// "typical" (600 ns for every cycle), "fastest" (255 ns), "N" (N ns for every
// cycle) or "N,M" (N ns for an 8-bit cycle, M ns for a 16-bit one); "0" is an
// ideal bus. Nothing when the text is none of these.
[[nodiscard]] std::optional<sim::BusCycleTimes> parseBusCycles(std::string_view text);

// "ideal", or "N ns (8-bit), M ns (16-bit)".
[[nodiscard]] std::string describeBusCycles(const sim::BusCycleTimes& cycles);

}  // namespace kl::tools
