// The driver's statistics as a bound protocol reads them: by OID, named.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/host/miniport_adapter.h"

namespace kl::tools {

// Each statistic's OID name and the value the driver answered, if it did.
using Statistics = std::vector<std::pair<std::string, std::optional<ULONG>>>;

[[nodiscard]] Statistics queryStatistics(sim::MiniportAdapter& adapter);

}  // namespace kl::tools
