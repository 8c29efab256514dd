// The bits of a controller register value, named as a bus analyser would
// show them: "page 0, STA, abort remote DMA" for a CR of 0x22. The names are
// the card model's register table's.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "sim/bus/io_device.h"

namespace kl::tools {

// `name` is the register as the card decoded the access (its page and
// direction taken into account). Empty for registers that hold a number
// rather than bits (addresses, counts, pages).
[[nodiscard]] std::string describeRegister(std::string_view name, sim::Direction direction,
                                           std::uint8_t value);

}  // namespace kl::tools
