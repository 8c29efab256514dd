// The trace: one card through a short scenario (bring-up, the link coming
// up, one send, one receive, a link change) with every port access the
// driver makes decoded, and the MII management lines optionally written as
// a VCD file.
#pragma once

#include <optional>
#include <ostream>
#include <string>

#include "sim/card/timing.h"

namespace kl::tools {

struct TraceOptions {
  std::string vcd;
  // Every MIIMR access on its own line, rather than each run of them as the
  // management frames it carried.
  bool mii = false;
  std::string driver;
  // The card's timing; none: the typical corner.
  std::optional<sim::card::TimingSetup> timing;
};

// Returns the program's exit status.
int runTrace(const TraceOptions& options, std::ostream& out, std::ostream& err);

}  // namespace kl::tools
