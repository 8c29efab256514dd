// The NDIS operations that can fail, made to fail on demand: the Nth call of
// an operation from the moment a test asks, or every call of it. Each such
// operation of the library asks here before it does its work, so a failure
// looks to the driver exactly as the system's own would: the status it gives
// (or, for an attribute-memory read, no byte read) and nothing taken.
//
// Every call of these operations is also recorded in order, so that a test
// can count what a driver's initialize asks of NDIS and then fail each call
// in turn.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "platform/ndis.h"

namespace kl::sim {

enum class NdisOperation : std::uint8_t {
  RegisterMiniport,
  AllocateMemory,
  OpenConfiguration,
  ReadConfiguration,
  ReadNetworkAddress,
  ReadMcaPosInformation,
  RegisterIoPortRange,
  RegisterInterrupt,
  // Returns a count rather than a status: failing, it reads nothing.
  ReadPcmciaAttributeMemory,
};
inline constexpr std::size_t kNdisOperations = 9;

// The operation's name as the driver calls it ("NdisAllocateMemory").
[[nodiscard]] std::string_view nameOf(NdisOperation operation);

class NdisFailures {
 public:
  // The `nth` call of `operation` from now on (1: the very next) fails with
  // `status`; the calls before and after it do not.
  void failCall(NdisOperation operation, std::uint64_t nth, NDIS_STATUS status);
  // Every call of `operation` from now on fails with `status`.
  void failEveryCall(NdisOperation operation, NDIS_STATUS status);
  // Nothing fails any more.
  void clear() { plans_ = {}; }

  // Made by each operation as it is called: records the call, and says
  // whether it must fail and with which status.
  [[nodiscard]] std::optional<NDIS_STATUS> call(NdisOperation operation);

  // Every call of these operations so far, in order.
  [[nodiscard]] std::span<const NdisOperation> calls() const { return calls_; }

 private:
  struct Plan {
    std::uint64_t callsToGo = 0;  // 0: none armed
    bool every = false;
    NDIS_STATUS status = NDIS_STATUS_SUCCESS;
  };

  static std::size_t index(NdisOperation operation) { return static_cast<std::size_t>(operation); }

  std::array<Plan, kNdisOperations> plans_{};
  std::vector<NdisOperation> calls_;
};

}  // namespace kl::sim
