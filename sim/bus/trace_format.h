// Port traces as text, one access a line.
#pragma once

#include <string>

#include "sim/bus/io_bus.h"

namespace kl::sim {

// "   12.345 us  W  0x30D TCR    = 0x02", or for a string transfer
// "   12.345 us  R  0x310 DATA   x 757 words, first 0x1234".
std::string formatAccess(const PortAccess& access);

}  // namespace kl::sim
