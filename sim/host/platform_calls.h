// Every NDIS and HAL call this host provides, with the interrupt request
// levels the platform allows it at: the table the host checks each call
// against as the miniport makes it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "sim/host/irql.h"

namespace kl::sim {

enum class PlatformCall : std::uint8_t {
  NdisInitializeWrapper,
  NdisMRegisterMiniport,
  NdisMSetAttributesEx,
  NdisOpenConfiguration,
  NdisCloseConfiguration,
  NdisReadConfiguration,
  NdisReadNetworkAddress,
  NdisSystemProcessorCount,
  NdisReadMcaPosInformation,
  NdisReadPcmciaAttributeMemory,
  NdisAllocateMemory,
  NdisFreeMemory,
  NdisMRegisterIoPortRange,
  NdisMDeregisterIoPortRange,
  NdisMRegisterInterrupt,
  NdisMDeregisterInterrupt,
  NdisMSynchronizeWithInterrupt,
  NdisMInitializeTimer,
  NdisMSetPeriodicTimer,
  NdisMCancelTimer,
  NdisQueryBuffer,
  NdisMSendComplete,
  NdisWriteErrorLogEntry,
  NdisMEthIndicateReceive,
  NdisMEthIndicateReceiveComplete,
  PortIo,
  KeStallExecutionProcessor,
};
inline constexpr std::size_t kPlatformCalls = 27;

// A set of levels, one bit for each.
using IrqlSet = std::uint8_t;
[[nodiscard]] constexpr IrqlSet levelBit(Irql level) {
  return static_cast<IrqlSet>(1U << static_cast<unsigned>(level));
}
inline constexpr IrqlSet kPassiveOnly = levelBit(Irql::Passive);
inline constexpr IrqlSet kDispatchOnly = levelBit(Irql::Dispatch);
inline constexpr IrqlSet kUpToDispatch = kPassiveOnly | kDispatchOnly;
inline constexpr IrqlSet kAnyIrql = kUpToDispatch | levelBit(Irql::Device);

struct CallRule {
  PlatformCall call;
  std::string_view name;
  IrqlSet allowed;
  // Only MiniportInitialize may make the call.
  bool initializeOnly;
  // Where the platform documents the rule.
  std::string_view source;
};

// The rule of each call, in the order of PlatformCall.
[[nodiscard]] const CallRule& ruleOf(PlatformCall call);
[[nodiscard]] const std::array<CallRule, kPlatformCalls>& callRules();

// The levels of a set as a sentence's words ("PASSIVE_LEVEL or
// DISPATCH_LEVEL").
[[nodiscard]] std::string describe(IrqlSet levels);

}  // namespace kl::sim
