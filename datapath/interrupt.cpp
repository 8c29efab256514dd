// Interrupt service. The card interrupts through two gates: IMR over the
// controller's ISR, and the vendor register's output enable, which also
// reports PHY events. The device-level handlers close both gates and record
// what the card reported; the DPC then handles every cause in priority order
// until none is left, with the card masked throughout.
//
// None of these handlers selects a register page: page 0 is selected
// whenever the card can interrupt.
#include "datapath/receive.h"
#include "datapath/transmit.h"
#include "driver/miniport_handlers.h"
#include "nic/controller.h"
#include "nic/register_access.h"
#include "nic/registers.h"
#include "phy/phy.h"

namespace {

// The interrupt causes the service loop acts on.
constexpr UCHAR kTransmitCauses = kIsrPtx | kIsrTxe;
constexpr UCHAR kReceiveCauses = kIsrPrx | kIsrRxe;

// The vendor register is read once and written once, the write following the
// read directly: only then does the card take the write for the vendor
// register rather than for RBCR1.
VOID SetCardInterruptOutput(Adapter* adapter, BOOLEAN enabled) {
  const UCHAR vendor = ReadRegister(adapter, kVendor);
  adapter->VendorStatus = vendor;
  WriteRegister(adapter, kVendor,
                enabled ? static_cast<UCHAR>(vendor | kVendorInterruptEnable)
                        : static_cast<UCHAR>(vendor & ~kVendorInterruptEnable));
}

VOID MaskCard(Adapter* adapter) {
  WriteRegister(adapter, kImr, kImrNone);
  SetCardInterruptOutput(adapter, FALSE);
}

VOID UnmaskCard(Adapter* adapter) {
  WriteRegister(adapter, kImr, adapter->ImrValue);
  SetCardInterruptOutput(adapter, TRUE);
}

// Reads ISR, acknowledges exactly the bits seen and adds them to the work
// bits. FALSE when the card reads as gone; nothing is then changed.
BOOLEAN CollectInterruptStatus(Adapter* adapter) {
  const UCHAR status = ReadRegister(adapter, kIsr);
  if (status == kCardGone) {
    return FALSE;
  }
  if (status != 0) {
    WriteRegister(adapter, kIsr, status);
  }
  adapter->IsrAccum |= status;
  return TRUE;
}

VOID HandleTransmitInterrupt(Adapter* adapter) {
  ReadTransmitStatus(adapter);
  adapter->TxPending = FALSE;
  if (adapter->IsrAccum & kIsrTxe) {
    TransmitErrorRestart(adapter);
  }
  if (adapter->IsrAccum & kIsrPtx) {
    TransmitComplete(adapter);
  }
  adapter->IsrAccum &= static_cast<UCHAR>(~kTransmitCauses);
}

// A pass that used up its frame budget leaves the receive causes set, so the
// ring is drained further on a later round, after any transmit interrupt.
VOID HandleReceiveInterrupt(Adapter* adapter) {
  if (ReceivePass(adapter)) {
    adapter->IsrAccum &= static_cast<UCHAR>(~kReceiveCauses);
  }
  if (adapter->IsrAccum & kTransmitCauses) {
    HandleTransmitInterrupt(adapter);
  }
}

}  // namespace

VOID NDIS_API MiniportISR(PBOOLEAN InterruptRecognized, PBOOLEAN QueueMiniportHandleInterrupt,
                          NDIS_HANDLE MiniportAdapterContext) {
  Adapter* adapter = static_cast<Adapter*>(MiniportAdapterContext);
  WriteRegister(adapter, kImr, kImrNone);
  adapter->IsrAccum = ReadRegister(adapter, kIsr);
  SetCardInterruptOutput(adapter, FALSE);

  const BOOLEAN ours =
      (adapter->ImrValue & adapter->IsrAccum) != 0 || (adapter->VendorStatus & kVendorPhyEvent);
  if (!ours) {
    // NDIS runs neither the DPC nor the enable handler for an interrupt that
    // is not claimed, so the card is unmasked here or it would stay masked.
    UnmaskCard(adapter);
  }
  *InterruptRecognized = ours;
  *QueueMiniportHandleInterrupt = ours;
}

VOID NDIS_API MiniportDisableInterrupt(NDIS_HANDLE MiniportAdapterContext) {
  MaskCard(static_cast<Adapter*>(MiniportAdapterContext));
}

VOID NDIS_API MiniportEnableInterrupt(NDIS_HANDLE MiniportAdapterContext) {
  UnmaskCard(static_cast<Adapter*>(MiniportAdapterContext));
}

VOID NDIS_API MiniportHandleInterrupt(NDIS_HANDLE MiniportAdapterContext) {
  Adapter* adapter = static_cast<Adapter*>(MiniportAdapterContext);
  if (adapter->VendorStatus & kVendorPhyEvent) {
    LinkUpdate(adapter, TRUE);
  }

  // Causes in priority order: counter overflow, ring overflow (which also
  // receives), transmit, receive, receive error. A card that reads as gone
  // at any point ends the service: every later read would look the same.
  while (CollectInterruptStatus(adapter)) {
    const UCHAR work = adapter->IsrAccum;
    if (work & kIsrCnt) {
      ReadTallyCounters(adapter);
      adapter->IsrAccum &= static_cast<UCHAR>(~kIsrCnt);
    } else if (work & kIsrOvw) {
      ReadTallyCounters(adapter);
      adapter->IsrAccum &= static_cast<UCHAR>(~kIsrOvw);
      adapter->Overflowed = TRUE;
      HandleReceiveInterrupt(adapter);
    } else if (work & kTransmitCauses) {
      HandleTransmitInterrupt(adapter);
    } else if (work & kReceiveCauses) {
      // RXE does not interrupt; it shows up beside the PRX of a later frame,
      // and the pass clears both. Its tallies are fetched first, or the
      // statistics would miss them until a counter reached half range.
      if (work & kIsrRxe) {
        ReadTallyCounters(adapter);
      }
      HandleReceiveInterrupt(adapter);
    } else {
      return;
    }
  }
}
