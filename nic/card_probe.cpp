#include "nic/card_probe.h"

#include "driver/configuration.h"
#include "nic/controller.h"
#include "nic/register_access.h"
#include "nic/registers.h"
#include "nic/remote_dma.h"
#include "phy/phy.h"
#include "platform/hal.h"

namespace {

// The fixed programming that takes the controller through a reset before the
// stopped-state check: a transmit page and a ring far from any memory the
// card may have, a minimum-length frame count, and monitor mode so that
// nothing received is stored.
constexpr UCHAR kProbeTransmitPage = 0xA0;
constexpr UCHAR kProbeRingStart = 0x04;
constexpr UCHAR kProbeRingStop = 0xFF;
constexpr UCHAR kProbeTransmitCount = 0x3C;
constexpr UCHAR kProbeRemoteCount = 0x37;

// Time the controller is given after each stop command.
constexpr ULONG kStopSettleUs = 2000;

// Polls of ISR for the stopped state after the reset for use.
constexpr ULONG kResetPolls = 0x3FFE;
constexpr ULONG kResetPollStallUs = 4;

// The station PROM as a byte-wide remote read sees it, and where in it the
// bus-width signature may lie.
constexpr ULONG kPromBytes = 32;
constexpr ULONG kSignatureFirst = 16;
constexpr UCHAR kSignatureByteWide = 0x42;  // 'B'
constexpr UCHAR kSignatureWordWide = 0x57;  // 'W'

// The memory search: 1 KiB blocks over the 64 KiB card address space, the
// first one skipped since the PROM answers there. A search that reaches the
// top ends one page short of it, so that the page past the ring still fits
// the 8-bit PSTOP.
constexpr ULONG kMemoryBlock = 0x400;
constexpr ULONG kAddressSpaceEnd = 0x10000;
constexpr ULONG kSearchedTop = kAddressSpaceEnd - kCardPageSize;
constexpr ULONG kPatternBytes = 4;
constexpr UCHAR kPattern[kPatternBytes] = {0xAA, 0x55, 0xFF, 0x00};

// The packet memory of the card types that do not search for it.
constexpr ULONG kFixedRamStart = 0x4000;
constexpr ULONG kFixedRamSize = 0x4000;

NDIS_PAGEABLE_CODE VOID ResetCard(Adapter* adapter) {
  (VOID) ReadRegister(adapter, kResetPort);
  WriteRegister(adapter, kResetPort, kResetPortPulse);
}

// Writes the pattern at cardAddress and reads it back. FALSE on a failed
// transfer or a mismatch.
NDIS_PAGEABLE_CODE BOOLEAN PatternHolds(Adapter* adapter, ULONG cardAddress) {
  UCHAR readBack[kPatternBytes];
  if (!DmaWriteToCard(adapter, cardAddress, kPattern, kPatternBytes) ||
      !DmaReadFromCard(adapter, readBack, cardAddress, kPatternBytes)) {
    return FALSE;
  }
  return NdisEqualMemory(readBack, kPattern, kPatternBytes) ? TRUE : FALSE;
}

// The fixed initialisation and the stopped-state check. FALSE when the
// controller does not report that it stopped.
NDIS_PAGEABLE_CODE BOOLEAN ControllerStops(Adapter* adapter) {
  StopCommand(adapter);
  WriteRegister(adapter, kDcr, kDcrProbe);
  WriteRegister(adapter, kTpsr, kProbeTransmitPage);
  WriteRegister(adapter, kTcr, kTcrNormal);
  WriteRegister(adapter, kRcr, kRcrMon);
  WriteRegister(adapter, kPstart, kProbeRingStart);
  WriteRegister(adapter, kPstop, kProbeRingStop);
  WriteRegister(adapter, kBnry, kProbeRingStart);
  WriteRegister(adapter, kTbcr0, kProbeTransmitCount);
  WriteRegister(adapter, kTbcr1, 0);
  KeStallExecutionProcessor(kStopSettleUs);

  WriteRegister(adapter, kIsr, kIsrAll);
  WriteRegister(adapter, kCr, kCrPage1Stop);
  WriteRegister(adapter, kCurr, kProbeRingStart);
  WriteRegister(adapter, kCr, kCrStop);
  KeStallExecutionProcessor(kStopSettleUs);
  return (ReadRegister(adapter, kCr) & kCrStp) ? TRUE : FALSE;
}

// Programs the controller for the bus width found and leaves it running in
// internal loopback. The stopped state normally follows at once; a controller
// that never reports it is used all the same.
NDIS_PAGEABLE_CODE VOID ResetForUse(Adapter* adapter) {
  WriteRegister(adapter, kImr, kImrNone);
  WriteRegister(adapter, kDcr, adapter->EightBitMode ? kDcrByteWide : kDcrWordWide);
  WriteRegister(adapter, kTcr, kTcrNormal);
  WriteRegister(adapter, kRcr, 0);
  WriteRegister(adapter, kIsr, kIsrAll);
  StopCommand(adapter);
  WriteRegister(adapter, kRbcr0, 0);
  WriteRegister(adapter, kRbcr1, 0);
  for (ULONG poll = 0; poll < kResetPolls; ++poll) {
    if (ReadRegister(adapter, kIsr) & kIsrRst) {
      break;
    }
    KeStallExecutionProcessor(kResetPollStallUs);
  }
  WriteRegister(adapter, kTcr, kTcrLoopback);
  WriteRegister(adapter, kCr, kCrStartAbortDma);
}

}  // namespace

NDIS_PAGEABLE_CODE BOOLEAN CardResetAndTest(Adapter* adapter) {
  if (!PhySetup(adapter)) {
    return FALSE;
  }
  LinkResolve(adapter);

  if (!ControllerStops(adapter)) {
    return FALSE;
  }
  WriteRegister(adapter, kRbcr0, kProbeRemoteCount);
  WriteRegister(adapter, kCr, kCrStartRemoteRead);

  // A Micro Channel card and the PC Card are always word-wide and carry no
  // signature to read.
  if (adapter->BusType == NdisInterfaceMca || adapter->CardType == kCardTypePcCard) {
    adapter->EightBitMode = FALSE;
  } else if (!DetectBusWidth(adapter)) {
    StopCommand(adapter);
    return FALSE;
  }

  ResetForUse(adapter);

  BOOLEAN found = TRUE;
  if (adapter->CardType == kCardTypeProbed) {
    found = FindCardMemory(adapter);
  } else {
    adapter->RamStart = kFixedRamStart;
    adapter->RamSize = kFixedRamSize;
  }
  StopCommand(adapter);

  // Too little memory for the transmit buffers and a ring that holds one
  // frame would leave the receiver nowhere to store.
  return found && adapter->RamSize >= kMinimumRamSize ? TRUE : FALSE;
}

NDIS_PAGEABLE_CODE BOOLEAN DetectBusWidth(Adapter* adapter) {
  ResetCard(adapter);
  StopCommand(adapter);
  KeStallExecutionProcessor(kStopSettleUs);
  if (ReadRegister(adapter, kCr) != kCrStopAbortDma) {
    return FALSE;
  }

  WriteRegister(adapter, kDcr, kDcrByteWide);
  WriteRegister(adapter, kImr, kImrNone);
  WriteRegister(adapter, kIsr, kIsrAll);
  WriteRegister(adapter, kRsar0, 0);
  WriteRegister(adapter, kRsar1, 0);
  WriteRegister(adapter, kRbcr0, static_cast<UCHAR>(kPromBytes));
  WriteRegister(adapter, kRbcr1, 0);
  WriteRegister(adapter, kCr, kCrStartRemoteRead);
  UCHAR prom[kPromBytes];
  for (UCHAR& byte : prom) {
    byte = ReadRegister(adapter, kDataPort);
  }
  ResetCard(adapter);

  BOOLEAN byteWide = FALSE;
  for (ULONG i = kSignatureFirst; i + 1 < kPromBytes; ++i) {
    if (prom[i] == kSignatureByteWide && prom[i + 1] == kSignatureByteWide) {
      adapter->EightBitMode = TRUE;
      byteWide = TRUE;
    } else if (prom[i] == kSignatureWordWide && prom[i + 1] == kSignatureWordWide) {
      adapter->EightBitMode = FALSE;
      return TRUE;
    }
  }
  return byteWide;
}

NDIS_PAGEABLE_CODE BOOLEAN FindCardMemory(Adapter* adapter) {
  ULONG start = kMemoryBlock;
  while (start < kAddressSpaceEnd && !PatternHolds(adapter, start)) {
    start += kMemoryBlock;
  }
  if (start >= kAddressSpaceEnd) {
    return FALSE;
  }

  ULONG end = start;
  while (end < kAddressSpaceEnd && PatternHolds(adapter, end)) {
    end += kMemoryBlock;
  }
  if (end == start) {
    return FALSE;
  }
  if (end == kAddressSpaceEnd) {
    end = kSearchedTop;
  }

  for (ULONG address = start; address < end; address += kPatternBytes) {
    if (!PatternHolds(adapter, address)) {
      return FALSE;
    }
  }
  adapter->RamStart = start;
  adapter->RamSize = end - start;
  return TRUE;
}
