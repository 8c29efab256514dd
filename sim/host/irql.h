// The processor's interrupt request levels that a miniport's code runs at.
// Windows has more; these are the three NDIS runs a miniport's handlers at.
#pragma once

#include <cstdint>
#include <string_view>

namespace kl::sim {

enum class Irql : std::uint8_t {
  Passive,   // PASSIVE_LEVEL: threads, pageable code, waits allowed
  Dispatch,  // DISPATCH_LEVEL: DPCs and timers, and NDIS's serialised handlers
  Device,    // DIRQL: the adapter's interrupt, and what synchronises with it
};
inline constexpr std::size_t kIrqls = 3;

// The level as the platform's documentation names it ("DISPATCH_LEVEL").
[[nodiscard]] constexpr std::string_view nameOf(Irql level) {
  switch (level) {
    case Irql::Passive:
      return "PASSIVE_LEVEL";
    case Irql::Dispatch:
      return "DISPATCH_LEVEL";
    case Irql::Device:
      return "DIRQL";
  }
  return "an unknown IRQL";
}

}  // namespace kl::sim
