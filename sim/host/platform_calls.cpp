#include "sim/host/platform_calls.h"

namespace kl::sim {

namespace {

// Each level is the one the call's page of the Windows NT 4.0 / Windows 2000
// DDK network-driver reference gives in its "Callers of ... run at IRQL"
// line; the HAL's port and stall routines are those of the kernel-mode
// driver reference. The memory calls' levels are those for memory flags of
// 0 (nonpaged pool), the only kind this platform declares.
constexpr std::string_view kNdisReference = "DDK network reference";
constexpr std::string_view kHalReference = "DDK kernel-mode reference";

using enum PlatformCall;

constexpr std::array<CallRule, kPlatformCalls> kRules{{
    {NdisInitializeWrapper, "NdisInitializeWrapper", kPassiveOnly, false, kNdisReference},
    {NdisMRegisterMiniport, "NdisMRegisterMiniport", kPassiveOnly, false, kNdisReference},
    {NdisMSetAttributesEx, "NdisMSetAttributesEx", kPassiveOnly, true, kNdisReference},
    {NdisOpenConfiguration, "NdisOpenConfiguration", kPassiveOnly, false, kNdisReference},
    {NdisCloseConfiguration, "NdisCloseConfiguration", kPassiveOnly, false, kNdisReference},
    {NdisReadConfiguration, "NdisReadConfiguration", kPassiveOnly, false, kNdisReference},
    {NdisReadNetworkAddress, "NdisReadNetworkAddress", kPassiveOnly, false, kNdisReference},
    {NdisSystemProcessorCount, "NdisSystemProcessorCount", kPassiveOnly, false, kNdisReference},
    {NdisReadMcaPosInformation, "NdisReadMcaPosInformation", kPassiveOnly, false, kNdisReference},
    {NdisReadPcmciaAttributeMemory, "NdisReadPcmciaAttributeMemory", kPassiveOnly, false,
     kNdisReference},
    {NdisAllocateMemory, "NdisAllocateMemory", kUpToDispatch, false, kNdisReference},
    {NdisFreeMemory, "NdisFreeMemory", kUpToDispatch, false, kNdisReference},
    {NdisMRegisterIoPortRange, "NdisMRegisterIoPortRange", kPassiveOnly, true, kNdisReference},
    {NdisMDeregisterIoPortRange, "NdisMDeregisterIoPortRange", kPassiveOnly, false, kNdisReference},
    {NdisMRegisterInterrupt, "NdisMRegisterInterrupt", kPassiveOnly, true, kNdisReference},
    {NdisMDeregisterInterrupt, "NdisMDeregisterInterrupt", kPassiveOnly, false, kNdisReference},
    {NdisMSynchronizeWithInterrupt, "NdisMSynchronizeWithInterrupt", kUpToDispatch, false,
     kNdisReference},
    {NdisMInitializeTimer, "NdisMInitializeTimer", kPassiveOnly, false, kNdisReference},
    {NdisMSetPeriodicTimer, "NdisMSetPeriodicTimer", kUpToDispatch, false, kNdisReference},
    {NdisMCancelTimer, "NdisMCancelTimer", kUpToDispatch, false, kNdisReference},
    {NdisQueryBuffer, "NdisQueryBuffer", kUpToDispatch, false, kNdisReference},
    {NdisMSendComplete, "NdisMSendComplete", kUpToDispatch, false, kNdisReference},
    {NdisWriteErrorLogEntry, "NdisWriteErrorLogEntry", kUpToDispatch, false, kNdisReference},
    {NdisMEthIndicateReceive, "NdisMEthIndicateReceive", kDispatchOnly, false, kNdisReference},
    {NdisMEthIndicateReceiveComplete, "NdisMEthIndicateReceiveComplete", kDispatchOnly, false,
     kNdisReference},
    {PortIo, "READ_PORT_*/WRITE_PORT_*", kAnyIrql, false, kHalReference},
    {KeStallExecutionProcessor, "KeStallExecutionProcessor", kAnyIrql, false, kHalReference},
}};

constexpr bool inOrder() {
  for (std::size_t i = 0; i < kRules.size(); ++i) {
    if (static_cast<std::size_t>(kRules[i].call) != i) {
      return false;
    }
  }
  return true;
}
static_assert(inOrder(), "the rules are indexed by the call");

}  // namespace

const CallRule& ruleOf(PlatformCall call) { return kRules[static_cast<std::size_t>(call)]; }

const std::array<CallRule, kPlatformCalls>& callRules() { return kRules; }

std::string describe(IrqlSet levels) {
  if (levels == kAnyIrql) {
    return "any IRQL";
  }
  std::string words;
  for (const Irql level : {Irql::Passive, Irql::Dispatch, Irql::Device}) {
    if ((levels & levelBit(level)) != 0) {
      words += (words.empty() ? "" : " or ") + std::string(nameOf(level));
    }
  }
  return words;
}

}  // namespace kl::sim
