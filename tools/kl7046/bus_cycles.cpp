#include "kl7046/bus_cycles.h"

#include <charconv>

namespace kl::tools {

namespace {

// Longer than any bus the card was ever put on, with room to spare.
constexpr std::uint32_t kLongestCycleNs = 1'000'000;

std::optional<sim::Duration> cycleOf(std::string_view text) {
  std::uint32_t ns = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), ns);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size() ||
      ns > kLongestCycleNs) {
    return std::nullopt;
  }
  return std::chrono::nanoseconds(ns);
}

}  // namespace

std::optional<sim::BusCycleTimes> parseBusCycles(std::string_view text) {
  if (text == "typical") {
    return sim::BusCycleTimes{kPcCardCycleTypical, kPcCardCycleTypical};
  }
  if (text == "fastest") {
    return sim::BusCycleTimes{kPcCardCycleShortest, kPcCardCycleShortest};
  }
  const std::size_t comma = text.find(',');
  const auto byteCycle = cycleOf(text.substr(0, comma));
  const auto wordCycle = comma == text.npos ? byteCycle : cycleOf(text.substr(comma + 1));
  if (!byteCycle || !wordCycle) {
    return std::nullopt;
  }
  return sim::BusCycleTimes{*byteCycle, *wordCycle};
}

std::string describeBusCycles(const sim::BusCycleTimes& cycles) {
  if (cycles.ideal()) {
    return "ideal";
  }
  return std::to_string(cycles.byteCycle.count()) + " ns (8-bit), " +
         std::to_string(cycles.wordCycle.count()) + " ns (16-bit)";
}

}  // namespace kl::tools
