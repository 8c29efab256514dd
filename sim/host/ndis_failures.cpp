#include "sim/host/ndis_failures.h"

namespace kl::sim {

std::string_view nameOf(NdisOperation operation) {
  static constexpr std::array<std::string_view, kNdisOperations> kNames = {
      "NdisMRegisterMiniport",    "NdisAllocateMemory",     "NdisOpenConfiguration",
      "NdisReadConfiguration",    "NdisReadNetworkAddress", "NdisReadMcaPosInformation",
      "NdisMRegisterIoPortRange", "NdisMRegisterInterrupt", "NdisReadPcmciaAttributeMemory",
  };
  return kNames.at(static_cast<std::size_t>(operation));
}

void NdisFailures::failCall(NdisOperation operation, std::uint64_t nth, NDIS_STATUS status) {
  plans_.at(index(operation)) = Plan{.callsToGo = nth, .every = false, .status = status};
}

void NdisFailures::failEveryCall(NdisOperation operation, NDIS_STATUS status) {
  plans_.at(index(operation)) = Plan{.callsToGo = 0, .every = true, .status = status};
}

std::optional<NDIS_STATUS> NdisFailures::call(NdisOperation operation) {
  calls_.push_back(operation);
  Plan& plan = plans_.at(index(operation));
  if (plan.every) {
    return plan.status;
  }
  if (plan.callsToGo == 0 || --plan.callsToGo != 0) {
    return std::nullopt;
  }
  return plan.status;
}

}  // namespace kl::sim
