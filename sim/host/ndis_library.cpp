// The NDIS library entry points. Each finds the machine of this thread,
// checks the call against the level and the routine running, and finds the
// adapter behind the handle it was given, refusing a handle of another kind.
#include <cstdarg>
#include <optional>
#include <span>

#include "platform/ndis.h"
#include "sim/host/machine.h"

using kl::sim::HandleKind;
using kl::sim::Machine;
using kl::sim::MiniportAdapter;
using kl::sim::NdisOperation;
using kl::sim::OpenConfiguration;
using kl::sim::PlatformCall;

namespace {

// One call of the library as it is made.
class Call {
 public:
  explicit Call(PlatformCall call) : machine_(Machine::current()), call_(call) {
    machine_.checkCall(call);
  }

  [[nodiscard]] Machine& machine() const { return machine_; }
  // The adapter behind `handle`, which must be of `kind`; nothing when the
  // handle is refused.
  [[nodiscard]] MiniportAdapter* adapter(const void* handle,
                                         HandleKind kind = HandleKind::Adapter) const {
    return machine_.resolve(handle, kind, call_);
  }
  // The interrupt and timer objects are embedded in the miniport's record;
  // the block they belong to was stored in them when NDIS filled them.
  [[nodiscard]] MiniportAdapter* adapter(const NDIS_MINIPORT_INTERRUPT& interrupt) const {
    return adapter(interrupt.Miniport);
  }
  [[nodiscard]] MiniportAdapter* adapter(const NDIS_MINIPORT_TIMER& timer) const {
    return adapter(timer.Miniport);
  }
  [[nodiscard]] OpenConfiguration* configuration(NDIS_HANDLE handle) const {
    return adapter(handle, HandleKind::Configuration) != nullptr
               ? static_cast<OpenConfiguration*>(handle)
               : nullptr;
  }
  // Whether this call of `operation` is one a test has made fail, and how.
  [[nodiscard]] std::optional<NDIS_STATUS> failure(NdisOperation operation) const {
    return machine_.ndisFailures().call(operation);
  }

 private:
  Machine& machine_;
  PlatformCall call_;
};

// The system address of the memory an MDL describes. Nonpaged pool and
// mapped pages have one already; locked pages are mapped on first use, and
// this host's system addresses are the ones the pages were described at.
PVOID systemAddressOf(Machine& machine, MDL& mdl) {
  if ((mdl.MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) != 0) {
    return mdl.MappedSystemVa;
  }
  if ((mdl.MdlFlags & MDL_PAGES_LOCKED) == 0) {
    machine.violation("NdisQueryBuffer of a buffer whose pages are not locked");
    return nullptr;
  }
  mdl.MappedSystemVa = MmGetMdlVirtualAddress(&mdl);
  mdl.MdlFlags = static_cast<CSHORT>(mdl.MdlFlags | MDL_MAPPED_TO_SYSTEM_VA);
  return mdl.MappedSystemVa;
}

}  // namespace

extern "C" {

VOID NDIS_API NdisInitializeWrapper(PNDIS_HANDLE NdisWrapperHandle, PVOID SystemSpecific1,
                                    PVOID /*SystemSpecific2*/, PVOID /*SystemSpecific3*/) {
  const Call call(PlatformCall::NdisInitializeWrapper);
  *NdisWrapperHandle = call.machine().initializeWrapper(SystemSpecific1);
}

NDIS_STATUS NDIS_API NdisMRegisterMiniport(NDIS_HANDLE NdisWrapperHandle,
                                           PNDIS_MINIPORT_CHARACTERISTICS MiniportCharacteristics,
                                           UINT CharacteristicsLength) {
  const Call call(PlatformCall::NdisMRegisterMiniport);
  return call.machine().registerMiniport(NdisWrapperHandle, *MiniportCharacteristics,
                                         CharacteristicsLength);
}

VOID NDIS_API NdisMSetAttributesEx(NDIS_HANDLE MiniportAdapterHandle,
                                   NDIS_HANDLE MiniportAdapterContext,
                                   UINT CheckForHangTimeInSeconds, ULONG AttributeFlags,
                                   NDIS_INTERFACE_TYPE AdapterType) {
  const Call call(PlatformCall::NdisMSetAttributesEx);
  if (MiniportAdapter* adapter = call.adapter(MiniportAdapterHandle)) {
    adapter->setAttributes(
        {MiniportAdapterContext, CheckForHangTimeInSeconds, AttributeFlags, AdapterType});
  }
}

VOID NDIS_API NdisOpenConfiguration(PNDIS_STATUS Status, PNDIS_HANDLE ConfigurationHandle,
                                    NDIS_HANDLE WrapperConfigurationContext) {
  const Call call(PlatformCall::NdisOpenConfiguration);
  MiniportAdapter* adapter =
      call.adapter(WrapperConfigurationContext, HandleKind::ConfigurationContext);
  if (adapter == nullptr) {
    *Status = NDIS_STATUS_FAILURE;
    return;
  }
  if (const auto failure = call.failure(NdisOperation::OpenConfiguration)) {
    *Status = *failure;
    return;
  }
  *ConfigurationHandle = &adapter->openConfiguration();
  *Status = NDIS_STATUS_SUCCESS;
}

VOID NDIS_API NdisCloseConfiguration(NDIS_HANDLE ConfigurationHandle) {
  const Call call(PlatformCall::NdisCloseConfiguration);
  if (OpenConfiguration* configuration = call.configuration(ConfigurationHandle)) {
    configuration->owner().closeConfiguration(*configuration);
  }
}

VOID NDIS_API NdisReadConfiguration(PNDIS_STATUS Status,
                                    PNDIS_CONFIGURATION_PARAMETER* ParameterValue,
                                    NDIS_HANDLE ConfigurationHandle, PNDIS_STRING Keyword,
                                    NDIS_PARAMETER_TYPE ParameterType) {
  const Call call(PlatformCall::NdisReadConfiguration);
  OpenConfiguration* configuration = call.configuration(ConfigurationHandle);
  *Status = configuration != nullptr ? configuration->read(*Keyword, ParameterType, ParameterValue)
                                     : NDIS_STATUS_FAILURE;
}

VOID NDIS_API NdisReadNetworkAddress(PNDIS_STATUS Status, PVOID* NetworkAddress,
                                     PUINT NetworkAddressLength, NDIS_HANDLE ConfigurationHandle) {
  const Call call(PlatformCall::NdisReadNetworkAddress);
  const OpenConfiguration* configuration = call.configuration(ConfigurationHandle);
  if (configuration == nullptr) {
    *Status = NDIS_STATUS_FAILURE;
    return;
  }
  if (const auto failure = call.failure(NdisOperation::ReadNetworkAddress)) {
    *Status = *failure;
    return;
  }
  const auto& address = configuration->setup().networkAddress;
  if (!address) {
    *Status = NDIS_STATUS_FAILURE;
    return;
  }
  *NetworkAddress = const_cast<std::uint8_t*>(address->data());
  *NetworkAddressLength = static_cast<UINT>(address->size());
  *Status = NDIS_STATUS_SUCCESS;
}

CCHAR NDIS_API NdisSystemProcessorCount(VOID) {
  const Call call(PlatformCall::NdisSystemProcessorCount);
  return static_cast<CCHAR>(call.machine().processorCount());
}

VOID NDIS_API NdisReadMcaPosInformation(PNDIS_STATUS Status,
                                        NDIS_HANDLE WrapperConfigurationContext,
                                        PUINT ChannelNumber, PNDIS_MCA_POS_DATA McaData) {
  const Call call(PlatformCall::NdisReadMcaPosInformation);
  const MiniportAdapter* adapter =
      call.adapter(WrapperConfigurationContext, HandleKind::ConfigurationContext);
  if (adapter == nullptr) {
    *Status = NDIS_STATUS_FAILURE;
    return;
  }
  if (const auto failure = call.failure(NdisOperation::ReadMcaPosInformation)) {
    *Status = *failure;
    return;
  }
  const auto& slot = adapter->setup().mca;
  if (!slot) {
    *Status = NDIS_STATUS_FAILURE;
    return;
  }
  *ChannelNumber = slot->channel;
  *McaData = slot->pos;
  *Status = NDIS_STATUS_SUCCESS;
}

ULONG NDIS_API NdisReadPcmciaAttributeMemory(NDIS_HANDLE NdisAdapterHandle, ULONG Offset,
                                             PVOID Buffer, ULONG Length) {
  const Call call(PlatformCall::NdisReadPcmciaAttributeMemory);
  const MiniportAdapter* adapter = call.adapter(NdisAdapterHandle);
  if (adapter == nullptr || call.failure(NdisOperation::ReadPcmciaAttributeMemory)) {
    return 0;
  }
  return adapter->readAttributeMemory(Offset,
                                      std::span(static_cast<std::uint8_t*>(Buffer), Length));
}

NDIS_STATUS NDIS_API NdisAllocateMemory(PVOID* VirtualAddress, UINT Length, UINT /*MemoryFlags*/,
                                        NDIS_PHYSICAL_ADDRESS /*HighestAcceptableAddress*/) {
  const Call call(PlatformCall::NdisAllocateMemory);
  return call.machine().allocateMemory(VirtualAddress, Length);
}

VOID NDIS_API NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT /*MemoryFlags*/) {
  const Call call(PlatformCall::NdisFreeMemory);
  call.machine().freeMemory(VirtualAddress, Length);
}

// Port I/O space is not translated on this machine: the mapped base is the
// port number itself.
NDIS_STATUS NDIS_API NdisMRegisterIoPortRange(PVOID* PortOffset, NDIS_HANDLE MiniportAdapterHandle,
                                              UINT InitialPort, UINT NumberOfPorts) {
  const Call call(PlatformCall::NdisMRegisterIoPortRange);
  const MiniportAdapter* adapter = call.adapter(MiniportAdapterHandle);
  if (adapter == nullptr) {
    return NDIS_STATUS_FAILURE;
  }
  const NDIS_STATUS status =
      call.machine().registerIoPortRange(*adapter, InitialPort, NumberOfPorts);
  if (status == NDIS_STATUS_SUCCESS) {
    *PortOffset = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(InitialPort));
  }
  return status;
}

VOID NDIS_API NdisMDeregisterIoPortRange(NDIS_HANDLE MiniportAdapterHandle, UINT InitialPort,
                                         UINT NumberOfPorts, PVOID /*PortOffset*/) {
  const Call call(PlatformCall::NdisMDeregisterIoPortRange);
  if (const MiniportAdapter* adapter = call.adapter(MiniportAdapterHandle)) {
    call.machine().deregisterIoPortRange(*adapter, InitialPort, NumberOfPorts);
  }
}

NDIS_STATUS NDIS_API NdisMRegisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt,
                                            NDIS_HANDLE MiniportAdapterHandle, UINT InterruptVector,
                                            UINT InterruptLevel, BOOLEAN RequestIsr,
                                            BOOLEAN SharedInterrupt,
                                            NDIS_INTERRUPT_MODE InterruptMode) {
  const Call call(PlatformCall::NdisMRegisterInterrupt);
  MiniportAdapter* adapter = call.adapter(MiniportAdapterHandle);
  if (adapter == nullptr) {
    return NDIS_STATUS_FAILURE;
  }
  return adapter->registerInterrupt(
      *Interrupt, {InterruptVector, InterruptLevel, RequestIsr != FALSE, SharedInterrupt != FALSE,
                   InterruptMode});
}

VOID NDIS_API NdisMDeregisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt) {
  const Call call(PlatformCall::NdisMDeregisterInterrupt);
  if (MiniportAdapter* adapter = call.adapter(*Interrupt)) {
    adapter->interrupt().disconnect(*Interrupt);
  }
}

BOOLEAN NDIS_API NdisMSynchronizeWithInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt,
                                               PVOID SynchronizeFunction,
                                               PVOID SynchronizeContext) {
  const Call call(PlatformCall::NdisMSynchronizeWithInterrupt);
  MiniportAdapter* adapter = call.adapter(*Interrupt);
  return adapter != nullptr
             ? adapter->interrupt().synchronize(*Interrupt, SynchronizeFunction, SynchronizeContext)
             : FALSE;
}

VOID NDIS_API NdisMInitializeTimer(PNDIS_MINIPORT_TIMER Timer, NDIS_HANDLE MiniportAdapterHandle,
                                   PNDIS_TIMER_FUNCTION TimerFunction, PVOID FunctionContext) {
  const Call call(PlatformCall::NdisMInitializeTimer);
  if (MiniportAdapter* adapter = call.adapter(MiniportAdapterHandle)) {
    adapter->timers().initialize(*Timer, TimerFunction, FunctionContext);
  }
}

VOID NDIS_API NdisMSetPeriodicTimer(PNDIS_MINIPORT_TIMER Timer, UINT MillisecondPeriod) {
  const Call call(PlatformCall::NdisMSetPeriodicTimer);
  if (MiniportAdapter* adapter = call.adapter(*Timer)) {
    adapter->timers().setPeriodic(*Timer, MillisecondPeriod);
  }
}

VOID NDIS_API NdisMCancelTimer(PNDIS_MINIPORT_TIMER Timer, PBOOLEAN TimerCancelled) {
  const Call call(PlatformCall::NdisMCancelTimer);
  MiniportAdapter* adapter = call.adapter(*Timer);
  *TimerCancelled = adapter != nullptr ? adapter->timers().cancel(*Timer) : FALSE;
}

VOID NdisWriteErrorLogEntry(NDIS_HANDLE NdisAdapterHandle, NDIS_ERROR_CODE ErrorCode,
                            ULONG NumberOfErrorValues, ...) {
  const Call call(PlatformCall::NdisWriteErrorLogEntry);
  if (call.adapter(NdisAdapterHandle) == nullptr) {
    return;
  }
  kl::sim::ErrorLogEntry entry{NdisAdapterHandle, ErrorCode, {}};
  va_list values;
  va_start(values, NumberOfErrorValues);
  for (ULONG i = 0; i < NumberOfErrorValues; ++i) {
    entry.values.push_back(va_arg(values, ULONG));
  }
  va_end(values);
  call.machine().logError(std::move(entry));
}

VOID NDIS_API NdisQueryBuffer(PNDIS_BUFFER Buffer, PVOID* VirtualAddress, PUINT Length) {
  const Call call(PlatformCall::NdisQueryBuffer);
  if (VirtualAddress != nullptr) {
    *VirtualAddress = systemAddressOf(call.machine(), *Buffer);
  }
  *Length = MmGetMdlByteCount(Buffer);
}

VOID NDIS_API NdisMSendComplete(NDIS_HANDLE MiniportAdapterHandle, PNDIS_PACKET Packet,
                                NDIS_STATUS Status) {
  const Call call(PlatformCall::NdisMSendComplete);
  if (MiniportAdapter* adapter = call.adapter(MiniportAdapterHandle)) {
    adapter->sendComplete(*Packet, Status);
  }
}

}  // extern "C"
