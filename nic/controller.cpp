#include "nic/controller.h"

#include "nic/register_access.h"
#include "nic/registers.h"
#include "platform/hal.h"
#include "platform/ndis.h"

namespace {

// Polls of ISR for RST after a stop command, and the wait after each miss.
constexpr ULONG kStopPolls = 4;
constexpr ULONG kStopPollStallUs = 500;

// Time the controller is given to finish any frame in progress after a stop.
constexpr ULONG kRestartSettleUs = 2000;

// Error-log values naming a controller that would not start at a restart.
constexpr ULONG kRestartFailureValue0 = 0;
constexpr ULONG kRestartFailureValue1 = 1;

// A restart runs while the card may interrupt, and the start spends part of
// its sequence on register page 1, where the interrupt routine's IMR and
// vendor-register accesses would reach MAR7 and MAR3 instead. So the start
// runs with the interrupt held off; the stop before it stays on page 0 and
// need not.
BOOLEAN NDIS_API StartHeldOff(PVOID context) {
  return ControllerStart(static_cast<Adapter*>(context));
}

}  // namespace

BOOLEAN ControllerStart(Adapter* adapter) {
  StopCommand(adapter);
  // A card pulled from its socket reads all ones, which would pass the
  // stopped-state check.
  const UCHAR command = ReadRegister(adapter, kCr);
  if ((command & kCrStoppedMask) != kCrStoppedMask || command == kCardGone) {
    return FALSE;
  }

  WriteRegister(adapter, kDcr, adapter->EightBitMode ? kDcrByteWide : kDcrWordWide);
  WriteRegister(adapter, kRbcr1, 0);
  WriteRegister(adapter, kRbcr0, 0);
  WriteRegister(adapter, kRcr, adapter->RcrValue);
  WriteRegister(adapter, kTcr, kTcrLoopback);

  // An empty ring: the boundary trails the first page the controller fills.
  WriteRegister(adapter, kBnry, adapter->RxFirstPage);
  WriteRegister(adapter, kPstart, adapter->RxFirstPage);
  WriteRegister(adapter, kPstop, adapter->RxStopPage);
  adapter->Overflowed = FALSE;
  adapter->CurrentPage = static_cast<UCHAR>(adapter->RxFirstPage + 1);
  adapter->NextPacketPage = adapter->CurrentPage;

  WriteRegister(adapter, kIsr, kIsrAll);
  WriteRegister(adapter, kImr, adapter->ImrValue);

  WriteRegister(adapter, kCr, kCrPage1StopAbortDma);
  for (ULONG i = 0; i < kEthernetAddressLength; ++i) {
    WriteRegister(adapter, static_cast<UCHAR>(kPar0 + i), adapter->CurrentAddress[i]);
  }
  // Promiscuous reception opens the hash filter as all-multicast does: the
  // controller's PRO bit covers station addresses only, not groups.
  const BOOLEAN allMulticast = (adapter->PacketFilter & kAllMulticastPacketTypes) != 0;
  for (ULONG i = 0; i < kMulticastFilterSize; ++i) {
    WriteRegister(adapter, static_cast<UCHAR>(kMar0 + i),
                  allMulticast ? kMarAcceptAll : adapter->MulticastFilter[i]);
  }
  WriteRegister(adapter, kCurr, adapter->CurrentPage);

  StopCommand(adapter);  // back to page 0, still stopped
  WriteRegister(adapter, kCr, kCrStartAbortDma);
  return TRUE;
}

VOID ControllerStop(Adapter* adapter) {
  StopCommand(adapter);
  WriteRegister(adapter, kRbcr1, 0);
  WriteRegister(adapter, kRbcr0, 0);

  // The stopped state normally follows within a frame time; a controller that
  // never reports it is restarted all the same.
  for (ULONG poll = 0; poll < kStopPolls; ++poll) {
    if (ReadRegister(adapter, kIsr) & kIsrRst) {
      break;
    }
    KeStallExecutionProcessor(kStopPollStallUs);
  }

  WriteRegister(adapter, kTcr, kTcrLoopback);
  WriteRegister(adapter, kCr, kCrStartAbortDma);
}

BOOLEAN ControllerRestart(Adapter* adapter) {
  ControllerStop(adapter);
  KeStallExecutionProcessor(kRestartSettleUs);
  if (!NdisMSynchronizeWithInterrupt(&adapter->Interrupt, reinterpret_cast<PVOID>(StartHeldOff),
                                     adapter)) {
    NdisWriteErrorLogEntry(adapter->MiniportHandle, NDIS_ERROR_CODE_HARDWARE_FAILURE, 2,
                           kRestartFailureValue0, kRestartFailureValue1);
    return FALSE;
  }
  WriteRegister(adapter, kTcr, kTcrNormal);
  return TRUE;
}

VOID StopCommand(Adapter* adapter) { WriteRegister(adapter, kCr, kCrStopAbortDma); }

VOID ReadCurrentPage(Adapter* adapter) {
  WriteRegister(adapter, kCr, kCrPage1StartAbortDma);
  adapter->CurrentPage = ReadRegister(adapter, kCurr);
  WriteRegister(adapter, kCr, kCrStartAbortDma);
}

VOID ReadTransmitStatus(Adapter* adapter) { adapter->LastTsr = ReadRegister(adapter, kTsr); }

VOID WriteBoundary(Adapter* adapter) {
  const UCHAR boundary = adapter->NextPacketPage == adapter->RxFirstPage
                             ? static_cast<UCHAR>(adapter->RxStopPage - 1)
                             : static_cast<UCHAR>(adapter->NextPacketPage - 1);
  WriteRegister(adapter, kBnry, boundary);
}

VOID ReadTallyCounters(Adapter* adapter) {
  adapter->AlignErrorCount += ReadRegister(adapter, kCntr0);
  adapter->CrcErrorCount += ReadRegister(adapter, kCntr1);
  adapter->MissedCount += ReadRegister(adapter, kCntr2);
}

VOID ReadTallyCountersOnError(Adapter* adapter) {
  if (adapter->IsrAccum & kIsrRxe) {
    ReadTallyCounters(adapter);
  }
}
