#include "sim/card/timing.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace kl::sim::card {

namespace {

// The controller's times rest on its bus clock, BSCK, which the parts run at
// 10 to 20 MHz: 50 to 100 ns a cycle.
constexpr std::array<TimingRange, kTimingCount> kTable = {{
    {"phy-reset", 0ms, 250ms, 500ms,
     "IEEE 802.3 22.2.4.1.1: the reset process completes within 0.5 s of setting BMCR bit 15"},
    {"phy-power-up", 0ms, 250ms, 500ms,
     "IEEE 802.3 22.2.4.1.1: a power-on reset completes, as any reset, within 0.5 s"},
    {"break-link", 1200ms, 1350ms, 1500ms, "IEEE 802.3 28.3.2: break_link_timer"},
    {"autoneg-wait", 500ms, 750ms, 1000ms, "IEEE 802.3 28.3.2: autoneg_wait_timer"},
    {"link-fail-inhibit", 750ms, 875ms, 1000ms, "IEEE 802.3 28.3.2: link_fail_inhibit_timer"},
    {"ability-exchange", 96ms, 208ms, 336ms,
     "IEEE 802.3 28.2.3.4 and Table 28-1: 12 to 14 FLP bursts (3 to match the abilities, 3 to "
     "match the acknowledgements, 6 to 8 to complete them), 8 to 24 ms apart (16 ms nominal)"},
    {"link-pass-10", 16ms, 96ms, 240ms,
     "IEEE 802.3 14.2.1.7: lc_max, 2 to 10, link test pulses, 8 to 24 ms apart (16 ms nominal, "
     "14.2.1.1)"},
    {"link-loss-10", 50ms, 100ms, 150ms, "IEEE 802.3 14.2.1.7: link_loss_timer"},
    {"link-ready-100", 313500ns, 830us, 1346500ns,
     "IEEE 802.3 24.3.4.4: stabilize_timer, 330 us +/- 5 %, after the PMD's signal detect "
     "asserts (within 1000 us, ANSI X3.263 by clause 25)"},
    {"link-loss-100", 0us, 175us, 350us,
     "ANSI X3.263 by IEEE 802.3 clause 25: signal detect deasserts within 350 us"},
    {"controller-reset", 400ns, 1us, 1600ns,
     "DP8390 data sheet: the reset state is entered within 8 to 16 BSCK cycles of RESET"},
    {"controller-stop", 0ms, 800us, 1600us,
     "DP8390 data sheet: after STP a reception or transmission in progress completes before the "
     "reset state; its stop procedure allows 1.6 ms, a longest frame at 10 Mbit/s"},
    {"remote-dma-complete", 200ns, 1900ns, 3600ns,
     "DP8390 data sheet: a remote write's last word goes to memory in a remote-DMA cycle of 4 "
     "BSCK cycles, which may wait out a local-DMA burst of up to 8 words of 4 BSCK cycles each"},
    {"transmit-start", 1600ns, 2400ns, 3200ns,
     "DP8390 data sheet: TXP starts a prefetch burst of 8 words of 4 BSCK cycles each into the "
     "FIFO before the preamble goes out"},
}};

constexpr std::array<std::string_view, 4> kCornerNames = {"fastest", "typical", "slowest",
                                                          "random"};

struct Unit {
  std::string_view suffix;
  Duration size;
};
constexpr std::array<Unit, 4> kUnits = {{{"s", 1s}, {"ms", 1ms}, {"us", 1us}, {"ns", 1ns}}};

// The entry of `entries` whose name (by `nameOf`) is `name`, as an `Id`.
template <typename Id, typename Entries, typename NameOf>
std::optional<Id> named(const Entries& entries, std::string_view name, NameOf nameOf) {
  const auto found = std::ranges::find(entries, name, nameOf);
  if (found == std::ranges::end(entries)) {
    return std::nullopt;
  }
  return static_cast<Id>(found - std::ranges::begin(entries));
}

std::optional<TimingCorner> cornerNamed(std::string_view name) {
  return named<TimingCorner>(kCornerNames, name, std::identity{});
}

std::optional<Timing> timingNamed(std::string_view name) {
  return named<Timing>(kTable, name, &TimingRange::name);
}

// "1.35s", "500us": a decimal number and a unit, to the nanosecond.
std::optional<Duration> parseDuration(std::string_view text) {
  for (const Unit& unit : kUnits) {
    if (text.size() <= unit.suffix.size() || !text.ends_with(unit.suffix)) {
      continue;
    }
    const std::string_view number = text.substr(0, text.size() - unit.suffix.size());
    // "ms" ends in "s" too: a number must be all digits and one point.
    if (!std::all_of(number.begin(), number.end(),
                     [](char c) { return (c >= '0' && c <= '9') || c == '.'; }) ||
        std::count(number.begin(), number.end(), '.') > 1) {
      continue;
    }
    double value = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (error != std::errc{} || end != number.data() + number.size()) {
      return std::nullopt;
    }
    const double nanoseconds = value * static_cast<double>(unit.size.count());
    // Longer than any time's range: refused as out of it, never wrapped.
    if (nanoseconds >= static_cast<double>(Duration::max().count())) {
      return Duration::max();
    }
    return Duration(std::llround(nanoseconds));
  }
  return std::nullopt;
}

std::string splitOff(std::string_view& text) {
  const std::size_t comma = text.find(',');
  std::string item(text.substr(0, comma));
  text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
  return item;
}

std::string rangeText(const TimingRange& range) {
  return formatDuration(range.least) + " to " + formatDuration(range.most);
}

}  // namespace

std::span<const TimingRange, kTimingCount> timingTable() { return kTable; }

const TimingRange& rangeOf(Timing timing) { return kTable.at(static_cast<std::size_t>(timing)); }

std::string_view cornerName(TimingCorner corner) {
  return kCornerNames.at(static_cast<std::size_t>(corner));
}

std::string formatDuration(Duration duration) {
  for (const Unit& unit : kUnits) {
    if (duration >= unit.size || unit.size == 1ns) {
      char text[32];
      const double value =
          static_cast<double>(duration.count()) / static_cast<double>(unit.size.count());
      std::snprintf(text, sizeof text, "%.4g %s", value, std::string(unit.suffix).c_str());
      return text;
    }
  }
  return {};
}

std::string describeTiming(const TimingSetup& setup) {
  std::string text(cornerName(setup.corner));
  for (std::size_t i = 0; i < kTable.size(); ++i) {
    if (setup.fixed.at(i)) {
      text += ", " + std::string(kTable.at(i).name) + " " + formatDuration(*setup.fixed.at(i));
    }
  }
  return text;
}

ParsedTiming parseTiming(std::string_view text, std::uint64_t seed) {
  TimingSetup setup{.seed = seed};
  const std::string corner = splitOff(text);
  if (const auto named = cornerNamed(corner)) {
    setup.corner = *named;
  } else {
    return {std::nullopt,
            "corner \"" + corner + "\" is none of fastest, typical, slowest and random"};
  }
  while (!text.empty()) {
    const std::string item = splitOff(text);
    const std::size_t equals = item.find('=');
    const std::string name = item.substr(0, equals);
    const auto timing = timingNamed(name);
    if (!timing) {
      return {std::nullopt, "no time of the card is called \"" + name + "\""};
    }
    const TimingRange& range = rangeOf(*timing);
    const auto value = equals == std::string::npos
                           ? std::nullopt
                           : parseDuration(std::string_view(item).substr(equals + 1));
    if (!value || *value < range.least || *value > range.most) {
      return {std::nullopt, item + " is outside " + std::string(range.name) + "'s range, " +
                                rangeText(range) + " (" + std::string(range.source) + ")"};
    }
    setup.fixed.at(static_cast<std::size_t>(*timing)) = *value;
  }
  return {setup, {}};
}

TimingSource::TimingSource(const TimingSetup& setup, std::uint64_t salt)
    : setup_(setup), random_(setup.seed ^ (salt * 0x9E3779B97F4A7C15ULL)) {}

Duration TimingSource::operator()(Timing timing) {
  const auto index = static_cast<std::size_t>(timing);
  if (setup_.fixed.at(index)) {
    return *setup_.fixed.at(index);
  }
  const TimingRange& range = kTable.at(index);
  switch (setup_.corner) {
    case TimingCorner::Fastest:
      return range.least;
    case TimingCorner::Typical:
      return range.typical;
    case TimingCorner::Slowest:
      return range.most;
    case TimingCorner::Random:
      break;
  }
  const auto span = static_cast<std::uint64_t>((range.most - range.least).count());
  return range.least + Duration(static_cast<Duration::rep>(random_.below(span + 1)));
}

}  // namespace kl::sim::card
