// The NDIS library entry points. Each finds the machine of this thread and
// the adapter block behind the handle it was given.
#include <cstdarg>
#include <optional>
#include <span>

#include "platform/ndis.h"
#include "sim/host/machine.h"

using kl::sim::Machine;
using kl::sim::MiniportAdapter;
using kl::sim::NdisOperation;
using kl::sim::OpenConfiguration;

namespace {

MiniportAdapter& adapterOf(NDIS_HANDLE handle) { return MiniportAdapter::fromHandle(handle); }

// Whether this call of `operation` is one a test has made fail, and how.
std::optional<NDIS_STATUS> failureOf(NdisOperation operation) {
  return Machine::current().ndisFailures().call(operation);
}

// The interrupt and timer objects are embedded in the miniport's record; the
// block they belong to was stored in them at registration.
MiniportAdapter& adapterOf(const NDIS_MINIPORT_INTERRUPT& interrupt) {
  return adapterOf(interrupt.Miniport);
}

MiniportAdapter& adapterOf(const NDIS_MINIPORT_TIMER& timer) { return adapterOf(timer.Miniport); }

// The system address of the memory an MDL describes. Nonpaged pool and
// mapped pages have one already; locked pages are mapped on first use, and
// this host's system addresses are the ones the pages were described at.
PVOID systemAddressOf(MDL& mdl) {
  if ((mdl.MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) != 0) {
    return mdl.MappedSystemVa;
  }
  if ((mdl.MdlFlags & MDL_PAGES_LOCKED) == 0) {
    Machine::current().violation("NdisQueryBuffer of a buffer whose pages are not locked");
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
  *NdisWrapperHandle = Machine::current().initializeWrapper(SystemSpecific1);
}

NDIS_STATUS NDIS_API NdisMRegisterMiniport(NDIS_HANDLE NdisWrapperHandle,
                                           PNDIS_MINIPORT_CHARACTERISTICS MiniportCharacteristics,
                                           UINT CharacteristicsLength) {
  return Machine::current().registerMiniport(NdisWrapperHandle, *MiniportCharacteristics,
                                             CharacteristicsLength);
}

VOID NDIS_API NdisMSetAttributesEx(NDIS_HANDLE MiniportAdapterHandle,
                                   NDIS_HANDLE MiniportAdapterContext,
                                   UINT CheckForHangTimeInSeconds, ULONG AttributeFlags,
                                   NDIS_INTERFACE_TYPE AdapterType) {
  adapterOf(MiniportAdapterHandle)
      .setAttributes(
          {MiniportAdapterContext, CheckForHangTimeInSeconds, AttributeFlags, AdapterType});
}

VOID NDIS_API NdisOpenConfiguration(PNDIS_STATUS Status, PNDIS_HANDLE ConfigurationHandle,
                                    NDIS_HANDLE WrapperConfigurationContext) {
  if (const auto failure = failureOf(NdisOperation::OpenConfiguration)) {
    *Status = *failure;
    return;
  }
  *ConfigurationHandle = &adapterOf(WrapperConfigurationContext).openConfiguration();
  *Status = NDIS_STATUS_SUCCESS;
}

VOID NDIS_API NdisCloseConfiguration(NDIS_HANDLE ConfigurationHandle) {
  auto& configuration = *static_cast<OpenConfiguration*>(ConfigurationHandle);
  configuration.owner().closeConfiguration(configuration);
}

VOID NDIS_API NdisReadConfiguration(PNDIS_STATUS Status,
                                    PNDIS_CONFIGURATION_PARAMETER* ParameterValue,
                                    NDIS_HANDLE ConfigurationHandle, PNDIS_STRING Keyword,
                                    NDIS_PARAMETER_TYPE ParameterType) {
  auto& configuration = *static_cast<OpenConfiguration*>(ConfigurationHandle);
  *Status = configuration.read(*Keyword, ParameterType, ParameterValue);
}

VOID NDIS_API NdisReadNetworkAddress(PNDIS_STATUS Status, PVOID* NetworkAddress,
                                     PUINT NetworkAddressLength, NDIS_HANDLE ConfigurationHandle) {
  auto& configuration = *static_cast<OpenConfiguration*>(ConfigurationHandle);
  if (const auto failure = failureOf(NdisOperation::ReadNetworkAddress)) {
    *Status = *failure;
    return;
  }
  const auto& address = configuration.setup().networkAddress;
  if (!address) {
    *Status = NDIS_STATUS_FAILURE;
    return;
  }
  *NetworkAddress = const_cast<std::uint8_t*>(address->data());
  *NetworkAddressLength = static_cast<UINT>(address->size());
  *Status = NDIS_STATUS_SUCCESS;
}

CCHAR NDIS_API NdisSystemProcessorCount(VOID) {
  return static_cast<CCHAR>(Machine::current().processorCount());
}

VOID NDIS_API NdisReadMcaPosInformation(PNDIS_STATUS Status,
                                        NDIS_HANDLE WrapperConfigurationContext,
                                        PUINT ChannelNumber, PNDIS_MCA_POS_DATA McaData) {
  if (const auto failure = failureOf(NdisOperation::ReadMcaPosInformation)) {
    *Status = *failure;
    return;
  }
  const auto& slot = adapterOf(WrapperConfigurationContext).setup().mca;
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
  if (failureOf(NdisOperation::ReadPcmciaAttributeMemory)) {
    return 0;
  }
  return adapterOf(NdisAdapterHandle)
      .readAttributeMemory(Offset, std::span(static_cast<std::uint8_t*>(Buffer), Length));
}

NDIS_STATUS NDIS_API NdisAllocateMemory(PVOID* VirtualAddress, UINT Length, UINT /*MemoryFlags*/,
                                        NDIS_PHYSICAL_ADDRESS /*HighestAcceptableAddress*/) {
  return Machine::current().allocateMemory(VirtualAddress, Length);
}

VOID NDIS_API NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT /*MemoryFlags*/) {
  Machine::current().freeMemory(VirtualAddress, Length);
}

// Port I/O space is not translated on this machine: the mapped base is the
// port number itself.
NDIS_STATUS NDIS_API NdisMRegisterIoPortRange(PVOID* PortOffset, NDIS_HANDLE MiniportAdapterHandle,
                                              UINT InitialPort, UINT NumberOfPorts) {
  const NDIS_STATUS status = Machine::current().registerIoPortRange(
      adapterOf(MiniportAdapterHandle), InitialPort, NumberOfPorts);
  if (status == NDIS_STATUS_SUCCESS) {
    *PortOffset = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(InitialPort));
  }
  return status;
}

VOID NDIS_API NdisMDeregisterIoPortRange(NDIS_HANDLE MiniportAdapterHandle, UINT InitialPort,
                                         UINT NumberOfPorts, PVOID /*PortOffset*/) {
  Machine::current().deregisterIoPortRange(adapterOf(MiniportAdapterHandle), InitialPort,
                                           NumberOfPorts);
}

NDIS_STATUS NDIS_API NdisMRegisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt,
                                            NDIS_HANDLE MiniportAdapterHandle, UINT InterruptVector,
                                            UINT InterruptLevel, BOOLEAN RequestIsr,
                                            BOOLEAN SharedInterrupt,
                                            NDIS_INTERRUPT_MODE InterruptMode) {
  return adapterOf(MiniportAdapterHandle)
      .registerInterrupt(*Interrupt, {InterruptVector, InterruptLevel, RequestIsr != FALSE,
                                      SharedInterrupt != FALSE, InterruptMode});
}

VOID NDIS_API NdisMDeregisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt) {
  adapterOf(*Interrupt).interrupt().disconnect(*Interrupt);
}

BOOLEAN NDIS_API NdisMSynchronizeWithInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt,
                                               PVOID SynchronizeFunction,
                                               PVOID SynchronizeContext) {
  return adapterOf(*Interrupt)
      .interrupt()
      .synchronize(*Interrupt, SynchronizeFunction, SynchronizeContext);
}

VOID NDIS_API NdisMInitializeTimer(PNDIS_MINIPORT_TIMER Timer, NDIS_HANDLE MiniportAdapterHandle,
                                   PNDIS_TIMER_FUNCTION TimerFunction, PVOID FunctionContext) {
  adapterOf(MiniportAdapterHandle).timers().initialize(*Timer, TimerFunction, FunctionContext);
}

VOID NDIS_API NdisMSetPeriodicTimer(PNDIS_MINIPORT_TIMER Timer, UINT MillisecondPeriod) {
  adapterOf(*Timer).timers().setPeriodic(*Timer, MillisecondPeriod);
}

VOID NDIS_API NdisMCancelTimer(PNDIS_MINIPORT_TIMER Timer, PBOOLEAN TimerCancelled) {
  *TimerCancelled = adapterOf(*Timer).timers().cancel(*Timer);
}

VOID NdisWriteErrorLogEntry(NDIS_HANDLE NdisAdapterHandle, NDIS_ERROR_CODE ErrorCode,
                            ULONG NumberOfErrorValues, ...) {
  kl::sim::ErrorLogEntry entry{NdisAdapterHandle, ErrorCode, {}};
  va_list values;
  va_start(values, NumberOfErrorValues);
  for (ULONG i = 0; i < NumberOfErrorValues; ++i) {
    entry.values.push_back(va_arg(values, ULONG));
  }
  va_end(values);
  Machine::current().logError(std::move(entry));
}

VOID NDIS_API NdisQueryBuffer(PNDIS_BUFFER Buffer, PVOID* VirtualAddress, PUINT Length) {
  if (VirtualAddress != nullptr) {
    *VirtualAddress = systemAddressOf(*Buffer);
  }
  *Length = MmGetMdlByteCount(Buffer);
}

VOID NDIS_API NdisMSendComplete(NDIS_HANDLE MiniportAdapterHandle, PNDIS_PACKET Packet,
                                NDIS_STATUS Status) {
  adapterOf(MiniportAdapterHandle).sendComplete(*Packet, Status);
}

}  // extern "C"
