// The system error log, as a list the tests and the tool can read.
#pragma once

#include <vector>

#include "platform/ndis.h"

namespace kl::sim {

struct ErrorLogEntry {
  NDIS_HANDLE adapter = nullptr;
  NDIS_ERROR_CODE code = 0;
  std::vector<ULONG> values;

  friend bool operator==(const ErrorLogEntry&, const ErrorLogEntry&) = default;
};

}  // namespace kl::sim
