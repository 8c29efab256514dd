// The keywords the driver's configuration reads, from the driver itself: the
// names its keyword strings hold, the parameter type it asks NDIS for, its
// default and the range it accepts.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/ndis.h"

namespace kl::test {

struct DriverKeyword {
  const NDIS_STRING* keyword;
  NDIS_PARAMETER_TYPE type;
  LONG defaultValue;
  std::optional<LONG> minimum;
  std::optional<LONG> maximum;
};

const std::vector<DriverKeyword>& driverKeywords();

// The keyword as text (the names are plain ASCII).
std::string keywordName(const NDIS_STRING& keyword);

}  // namespace kl::test
