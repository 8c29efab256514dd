#include "driver/lifecycle.h"

#include "datapath/transmit.h"
#include "driver/configuration.h"
#include "driver/driver_entry.h"
#include "driver/miniport_handlers.h"
#include "nic/card_probe.h"
#include "nic/controller.h"
#include "nic/register_access.h"
#include "nic/registers.h"
#include "phy/phy.h"
#include "platform/hal.h"

namespace {

// The idle timer's period.
constexpr UINT kTimerPeriodMs = 5000;

// Time the controller is given to stop after the stop command of the
// presence probe.
constexpr ULONG kProbeSettleUs = 2000;

// Time given at halt for anything the card or NDIS still has in flight.
constexpr ULONG kHaltSettleUs = 250000;

// A controller that took the stop command reads back stopped with remote DMA
// aborted, and may still show the start bit it had.
constexpr UCHAR kCrProbeStopped = kCrStopAbortDma;
constexpr UCHAR kCrProbeStoppedWasStarted = kCrStopAbortDma | kCrSta;

// Where the PC Card keeps its station address in attribute memory.
constexpr ULONG kAttributeStationAddressOffset = 0x7F8;

// The station PROM read: the byte count programmed, the station address
// being its first six bytes.
constexpr UCHAR kStationPromReadCount = 0x0C;

NDIS_PAGEABLE_CODE VOID FreeAdapter(Adapter* adapter) {
  NdisFreeMemory(adapter, sizeof(Adapter), 0);
}

VOID UnlinkAdapter(const Adapter* adapter) {
  if (AdapterList == adapter) {
    AdapterList = adapter->Next;
    return;
  }
  for (Adapter* running = AdapterList; running != nullptr; running = running->Next) {
    if (running->Next == adapter) {
      running->Next = adapter->Next;
      return;
    }
  }
}

VOID ReleasePorts(const Adapter* adapter) {
  NdisMDeregisterIoPortRange(adapter->MiniportHandle, adapter->IoBaseAddress, kPortCount,
                             adapter->IoPort);
}

// Twelve transmit buffers at the start of the packet memory, the receive ring
// over the rest. Page numbers are 8 bits wide and wrap as the registers do.
NDIS_PAGEABLE_CODE VOID LayOutCardMemory(Adapter* adapter) {
  adapter->TxAreaStart = adapter->RamStart;
  adapter->RxAreaStart = adapter->RamStart + adapter->TxBufferCount * kCardPageSize;
  adapter->RxAreaEnd = adapter->RamStart + adapter->RamSize;
  adapter->TxStartPage = static_cast<UCHAR>(adapter->RamStart / kCardPageSize);
  adapter->RxFirstPage = static_cast<UCHAR>(adapter->TxStartPage + adapter->TxBufferCount);
  adapter->RxStopPage = static_cast<UCHAR>(adapter->TxStartPage + adapter->RamSize / kCardPageSize);
}

// The vendor register is read once before each write: the read is what lets
// the next write reach it rather than RBCR1.
VOID WriteVendorRegister(Adapter* adapter, UCHAR value) {
  adapter->VendorStatus = ReadRegister(adapter, kVendor);
  WriteRegister(adapter, kVendor, value);
}

}  // namespace

NDIS_PAGEABLE_CODE BOOLEAN ProbeController(Adapter* adapter) {
  WriteRegister(adapter, kImr, kImrNone);
  StopCommand(adapter);
  KeStallExecutionProcessor(kProbeSettleUs);
  const UCHAR cr = ReadRegister(adapter, kCr);
  return cr == kCrProbeStopped || cr == kCrProbeStoppedWasStarted ? TRUE : FALSE;
}

NDIS_PAGEABLE_CODE BOOLEAN ReadStationAddress(Adapter* adapter) {
  if (adapter->CardType == kCardTypePcCard) {
    if (NdisReadPcmciaAttributeMemory(adapter->MiniportHandle, kAttributeStationAddressOffset,
                                      adapter->PermanentAddress,
                                      kEthernetAddressLength) != kEthernetAddressLength) {
      return FALSE;
    }
  } else {
    // The remote read is left running: the controller start that follows
    // aborts it.
    WriteRegister(adapter, kRbcr0, kStationPromReadCount);
    WriteRegister(adapter, kRbcr1, 0);
    WriteRegister(adapter, kRsar0, 0);
    WriteRegister(adapter, kRsar1, 0);
    WriteRegister(adapter, kCr, kCrStartRemoteRead);
    for (UCHAR& byte : adapter->PermanentAddress) {
      byte = ReadRegister(adapter, kDataPort);
    }
  }

  BOOLEAN overridden = FALSE;
  for (const UCHAR byte : adapter->CurrentAddress) {
    overridden = overridden || byte != 0;
  }
  if (!overridden) {
    NdisMoveMemory(adapter->CurrentAddress, adapter->PermanentAddress, kEthernetAddressLength);
  }
  return TRUE;
}

NDIS_PAGEABLE_CODE NDIS_STATUS RegisterAdapterResources(Adapter* adapter, BOOLEAN ConfigError,
                                                        ULONG ConfigErrorValue) {
  if (ConfigError) {
    NdisWriteErrorLogEntry(adapter->MiniportHandle, NDIS_ERROR_CODE_UNSUPPORTED_CONFIGURATION, 1,
                           ConfigErrorValue);
    return NDIS_STATUS_FAILURE;
  }

  NdisMSetAttributesEx(adapter->MiniportHandle, adapter, 0, 0,
                       static_cast<NDIS_INTERFACE_TYPE>(adapter->BusType));

  PVOID portBase = nullptr;
  const NDIS_STATUS portStatus = NdisMRegisterIoPortRange(&portBase, adapter->MiniportHandle,
                                                          adapter->IoBaseAddress, kPortCount);
  if (portStatus != NDIS_STATUS_SUCCESS) {
    return portStatus;
  }
  adapter->IoPort = static_cast<PUCHAR>(portBase);

  BOOLEAN found = adapter->CardType != kCardTypeProbed || ProbeController(adapter);
  found = found && CardResetAndTest(adapter);
  if (found) {
    LayOutCardMemory(adapter);
    ClearTransmitRing(adapter);
    adapter->RcrValue = 0;
    found = ReadStationAddress(adapter);
  }
  if (!found) {
    NdisWriteErrorLogEntry(adapter->MiniportHandle, NDIS_ERROR_CODE_ADAPTER_NOT_FOUND, 0);
    ReleasePorts(adapter);
    return NDIS_STATUS_ADAPTER_NOT_FOUND;
  }

  adapter->ImrValue = kImrNormal;
  adapter->Next = AdapterList;
  AdapterList = adapter;

  NDIS_STATUS status = NDIS_STATUS_SUCCESS;
  if (!ControllerStart(adapter)) {
    NdisWriteErrorLogEntry(adapter->MiniportHandle, NDIS_ERROR_CODE_ADAPTER_NOT_FOUND, 0);
    status = NDIS_STATUS_ADAPTER_NOT_FOUND;
  } else {
    const auto vector = static_cast<UINT>(static_cast<LONG>(adapter->InterruptNumber));
    status = NdisMRegisterInterrupt(&adapter->Interrupt, adapter->MiniportHandle, vector, vector,
                                    FALSE, FALSE, NdisInterruptLatched);
    if (status != NDIS_STATUS_SUCCESS) {
      NdisWriteErrorLogEntry(adapter->MiniportHandle, NDIS_ERROR_CODE_INTERRUPT_CONNECT, 0);
    }
  }
  if (status != NDIS_STATUS_SUCCESS) {
    UnlinkAdapter(adapter);
    WriteRegister(adapter, kCr, kCrStop);
    ReleasePorts(adapter);
    return status;
  }

  WriteRegister(adapter, kTcr, kTcrNormal);
  return NDIS_STATUS_SUCCESS;
}

NDIS_PAGEABLE_CODE NDIS_STATUS NDIS_API
MiniportInitialize(PNDIS_STATUS /*OpenErrorStatus*/, PUINT SelectedMediumIndex,
                   PNDIS_MEDIUM MediumArray, UINT MediumArraySize,
                   NDIS_HANDLE MiniportAdapterHandle, NDIS_HANDLE WrapperConfigurationContext) {
  UINT medium = 0;
  while (medium < MediumArraySize && MediumArray[medium] != NdisMedium802_3) {
    ++medium;
  }
  if (medium == MediumArraySize) {
    return NDIS_STATUS_UNSUPPORTED_MEDIA;
  }
  *SelectedMediumIndex = medium;

  Adapter* adapter = nullptr;
  const NDIS_PHYSICAL_ADDRESS highest = NDIS_PHYSICAL_ADDRESS_CONST(-1, -1);
  NDIS_STATUS status =
      NdisAllocateMemory(reinterpret_cast<PVOID*>(&adapter), sizeof(Adapter), 0, highest);
  if (status != NDIS_STATUS_SUCCESS) {
    return status;
  }
  NdisZeroMemory(adapter, sizeof(Adapter));

  BOOLEAN configError = FALSE;
  ULONG configErrorValue = 0;
  status = ReadAdapterConfiguration(adapter, WrapperConfigurationContext, &configError,
                                    &configErrorValue);
  if (status != NDIS_STATUS_SUCCESS) {
    FreeAdapter(adapter);
    return status;
  }

  adapter->TxBufferCount = kTxBufferCount;
  adapter->MiniportHandle = MiniportAdapterHandle;
  adapter->Lookahead = kMaxLookahead;
  adapter->MulticastCount = 0;

  if (RegisterAdapterResources(adapter, configError, configErrorValue) != NDIS_STATUS_SUCCESS) {
    FreeAdapter(adapter);
    return NDIS_STATUS_FAILURE;
  }

  // Clear the PHY events the bring-up left latched, then refresh the link,
  // then let the card drive its interrupt line. In that order a link change
  // before the refresh is found by it, and one after stays latched and
  // interrupts.
  WriteVendorRegister(adapter, kVendorPhyEvent);
  LinkUpdate(adapter, FALSE);
  WriteVendorRegister(adapter, kVendorInterruptEnable);

  NdisMInitializeTimer(&adapter->Timer, MiniportAdapterHandle, TimerTick, adapter);
  NdisMSetPeriodicTimer(&adapter->Timer, kTimerPeriodMs);
  return NDIS_STATUS_SUCCESS;
}

VOID NDIS_API TimerTick(PVOID /*SystemSpecific1*/, PVOID /*FunctionContext*/,
                        PVOID /*SystemSpecific2*/, PVOID /*SystemSpecific3*/) {}

VOID NDIS_API MiniportHalt(NDIS_HANDLE MiniportAdapterContext) {
  auto* adapter = static_cast<Adapter*>(MiniportAdapterContext);
  ControllerStop(adapter);
  // The card stays quiet until an initialize arms it again. Left enabled, it
  // would interrupt the next initialize while its link update has register
  // page 3 selected, where the interrupt routine's mask writes miss.
  WriteVendorRegister(adapter, kVendorOutputOff);
  BOOLEAN cancelled = FALSE;
  NdisMCancelTimer(&adapter->Timer, &cancelled);
  NdisMDeregisterInterrupt(&adapter->Interrupt);
  // Nothing can take a packet from the queue any more.
  AbortSendQueue(adapter, NDIS_STATUS_REQUEST_ABORTED);
  KeStallExecutionProcessor(kHaltSettleUs);
  ReleasePorts(adapter);
  UnlinkAdapter(adapter);
  NdisFreeMemory(adapter, sizeof(Adapter), 0);
}

NDIS_STATUS NDIS_API MiniportReset(PBOOLEAN /*AddressingReset*/,
                                   NDIS_HANDLE MiniportAdapterContext) {
  auto* adapter = static_cast<Adapter*>(MiniportAdapterContext);
  AbortSendQueue(adapter, NDIS_STATUS_REQUEST_ABORTED);
  // The restart cuts off any frame being sent, and its interrupt never comes:
  // the ring is cleared of it too, with nothing left pending and nothing owed
  // to an overflow recovery, which would otherwise send a buffer that is no
  // longer there.
  ClearTransmitRing(adapter);
  adapter->ImrValue = kImrNormal;
  return ControllerRestart(adapter) ? NDIS_STATUS_SUCCESS : NDIS_STATUS_FAILURE;
}
