// Two adapters brought up through the linked driver, one on a word-wide and
// one on a byte-wide card, in one machine built once per fuzz process: the
// world the driver-level fuzz targets run their inputs in. (The platform's
// entry points reach the machine built last, so a process holds only one.)
// A broken NDIS rule or a failed check aborts, which libFuzzer reports as a
// finding with the input that caused it.
#pragma once

#include <string_view>

#include "driver/adapter.h"
#include "sim/card/card.h"
#include "sim/host/machine.h"
#include "sim/world/network.h"

namespace kl::fuzz {

class AdaptersOnCards {
 public:
  AdaptersOnCards();
  AdaptersOnCards(const AdaptersOnCards&) = delete;
  AdaptersOnCards& operator=(const AdaptersOnCards&) = delete;
  ~AdaptersOnCards() = default;

  // The one world of this process.
  static AdaptersOnCards& instance();

  [[nodiscard]] sim::Machine& machine() { return network_.machine(); }
  [[nodiscard]] sim::card::Card& card(sim::card::BusWidth width) {
    return network_.card(slot(width));
  }
  [[nodiscard]] sim::MiniportAdapter& adapter(sim::card::BusWidth width) {
    return network_.adapter(slot(width));
  }
  // The driver's record of the adapter.
  [[nodiscard]] Adapter& record(sim::card::BusWidth width) {
    return *static_cast<Adapter*>(adapter(width).context());
  }

 private:
  static std::size_t slot(sim::card::BusWidth width) {
    return width == sim::card::BusWidth::Word ? 0 : 1;
  }

  sim::world::Network network_;
};

// Reports a broken invariant and aborts.
[[noreturn]] void fail(std::string_view what);
// Aborts with `what` unless `holds`.
inline void check(bool holds, std::string_view what) {
  if (!holds) {
    fail(what);
  }
}

}  // namespace kl::fuzz
