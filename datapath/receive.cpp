#include "datapath/receive.h"

#include "datapath/transmit.h"
#include "driver/miniport_handlers.h"
#include "nic/controller.h"
#include "nic/register_access.h"
#include "nic/registers.h"
#include "nic/remote_dma.h"
#include "platform/hal.h"
#include "platform/ndis.h"

namespace {

// The ring header: receive status, next page, byte count low and high.
constexpr ULONG kHeaderStatus = 0;
constexpr ULONG kHeaderNext = 1;
constexpr ULONG kHeaderCountLow = 2;
constexpr ULONG kHeaderCountHigh = 3;
constexpr ULONG kHeaderDestination = 4;  // the frame's first byte
constexpr ULONG kRingHeaderLength = 4;
// One read takes the header and the first two bytes of the frame: enough to
// look at the header again one byte (byte mode) or one word further on.
constexpr ULONG kHeaderFetchLength = 6;

// The byte count includes the frame check sequence, which is stored too.
constexpr ULONG kFcsLength = 4;
// The I/G bit of a destination address: set for multicast and broadcast.
constexpr UCHAR kGroupAddressBit = 0x01;
// A frame whose count leaves fewer than the header's 4 bytes of its last page
// free ends one page further on than its count's high byte suggests.
constexpr UCHAR kCountLowFillsPage = kCardPageSize - kRingHeaderLength;

// Frames taken from the ring before a pass stops to let transmit interrupts
// be handled: the pass ends once the count goes above this.
constexpr ULONG kFrameBudget = 10;

// Time the controller is given to finish any frame in progress after a stop.
constexpr ULONG kStopSettleUs = 2000;
// Error-log value naming a failed card read in a data transfer.
constexpr ULONG kTransferFailureValue = 2;

ULONG FrameLength(UCHAR countLow, UCHAR countHigh) {
  return countHigh * kCardPageSize + countLow - kFcsLength;
}

BOOLEAN FrameLengthValid(ULONG length) {
  return length >= kMinFrameLength && length <= kMaxFrameLength;
}

// A next-page value the ring can hold. PSTOP itself passes here: it is the
// page the controller would wrap from, and the indication declines it.
BOOLEAN NextPageInRing(const Adapter* adapter, UCHAR page) {
  return page >= adapter->RxFirstPage && page <= adapter->RxStopPage;
}

// The controller can store a count whose high byte repeats the low byte. The
// pages between this frame's header and the next one's give the high byte
// back: the header and the count fill the high byte's pages plus one, or
// plus two when the low byte leaves less than the header's length in the
// last page. The distance is taken around the ring's end, where a frame that
// wraps has its next page below its own.
UCHAR RepairedCountHigh(const Adapter* adapter, UCHAR nextPage, UCHAR countLow) {
  UCHAR pages = static_cast<UCHAR>(nextPage - adapter->NextPacketPage);
  if (nextPage < adapter->NextPacketPage) {
    pages = static_cast<UCHAR>(pages + adapter->RxStopPage - adapter->RxFirstPage);
  }
  const UCHAR spill = countLow > kCountLowFillsPage ? 2 : 1;
  return static_cast<UCHAR>(pages - spill);
}

// Whether the four bytes at header make a usable ring header; repairs a
// repeated count byte in place. The destination byte after the header is
// looked at only on the first look, where it is known to have been read.
BOOLEAN ExamineRingHeader(const Adapter* adapter, PUCHAR header, BOOLEAN firstLook) {
  if (header[kHeaderStatus] & kRsrUnusable) {
    return FALSE;
  }
  // A group-address status on a frame sent to an individual address: the
  // bytes are not where a header should start.
  if (firstLook && (header[kHeaderStatus] & kRsrPhy) &&
      !(header[kHeaderDestination] & kGroupAddressBit)) {
    return FALSE;
  }
  const UCHAR saved = header[kHeaderCountHigh];
  if (header[kHeaderCountLow] == header[kHeaderCountHigh]) {
    header[kHeaderCountHigh] =
        RepairedCountHigh(adapter, header[kHeaderNext], header[kHeaderCountLow]);
  }
  if (!FrameLengthValid(FrameLength(header[kHeaderCountLow], header[kHeaderCountHigh]))) {
    header[kHeaderCountHigh] = saved;
    return FALSE;
  }
  return NextPageInRing(adapter, header[kHeaderNext]);
}

// Pages from `from` forward to `to` around the ring: 1 up to the ring's size.
ULONG RingDistance(const Adapter* adapter, UCHAR from, UCHAR to) {
  const LONG pages = adapter->RxStopPage - adapter->RxFirstPage;
  const LONG ahead = (static_cast<LONG>(to) - static_cast<LONG>(from)) % pages;
  return static_cast<ULONG>(ahead <= 0 ? ahead + pages : ahead);
}

// Whether the frame being looked at ends by CURR, as every frame the
// controller has finished storing does. A header whose count carries it past
// CURR (failing memory, or stale frames of an earlier lap round the ring)
// would have the pass take bytes never stored and go on round the ring,
// taking old frames again. CURR is read afresh before the frame is given up,
// since it moves on as frames come in.
BOOLEAN FrameEndsByCurrentPage(Adapter* adapter) {
  const ULONG frame = RingDistance(adapter, adapter->NextPacketPage, adapter->RxHeaderNext);
  if (frame <= RingDistance(adapter, adapter->NextPacketPage, adapter->CurrentPage)) {
    return TRUE;
  }
  ReadCurrentPage(adapter);
  return frame <= RingDistance(adapter, adapter->NextPacketPage, adapter->CurrentPage) ? TRUE
                                                                                       : FALSE;
}

// A page the controller can store into: PSTART up to the page before PSTOP.
BOOLEAN PageInRing(const Adapter* adapter, UCHAR page) {
  return page >= adapter->RxFirstPage && page < adapter->RxStopPage;
}

// Abandons every frame up to CURR. A CURR outside the ring (a card out of
// its socket reads all ones) is nowhere to read from: the read pointer stays
// where it is, so that a card that comes back is not read outside its ring.
VOID SkipToCurrentPage(Adapter* adapter) {
  ReadCurrentPage(adapter);
  if (PageInRing(adapter, adapter->CurrentPage)) {
    adapter->NextPacketPage = adapter->CurrentPage;
  }
}

// The second half of a receive-overflow recovery, once the ring is emptied
// (or the budget stopped the pass): back on the wire, and the transmission
// the stop cut short sent again.
VOID FinishOverflowRecovery(Adapter* adapter) {
  adapter->Overflowed = FALSE;
  ReadTallyCountersOnError(adapter);
  WriteRegister(adapter, kTcr, kTcrNormal);
  if (adapter->ResendAfterOverflow && adapter->CurrentTx != kTransmitterIdle) {
    adapter->ResendAfterOverflow = FALSE;
    adapter->TxPending = TRUE;
    StartTransmit(adapter);
  }
}

// While a protocol copies a frame during its indication, a transmission may
// have ended: the next packet waiting on the card is started at once, so the
// transmitter does not wait for the receive pass. With nothing waiting, the
// completion is left to the interrupt handler's TransmitComplete, which also
// refills the ring.
VOID CompleteTransmitEarly(Adapter* adapter) {
  if (adapter->Overflowed || adapter->CurrentTx == kTransmitterIdle) {
    return;
  }
  UCHAR status = ReadRegister(adapter, kIsr);
  if (status & kIsrTxe) {
    TransmitErrorRestart(adapter);
    adapter->IsrAccum &= static_cast<UCHAR>(~kIsrTxe);
    WriteRegister(adapter, kIsr, kIsrTxe);
    status &= static_cast<UCHAR>(~kIsrTxe);
  }
  if (!(status & kIsrPtx)) {
    return;
  }
  const ULONG count = TxBuffersFor(adapter->TxBufferLength[adapter->CurrentTx]);
  const ULONG next = NextSendBuffer(adapter, adapter->NextTxSend, count);
  if (adapter->TxBufferState[next] != kTxBufferFull) {
    WriteRegister(adapter, kIsr, kIsrPtx);
    adapter->IsrAccum |= status;
    return;
  }
  adapter->NextTxSend = next;
  (VOID) RetireCurrentTransmit(adapter);
  adapter->TxPending = FALSE;
  WriteRegister(adapter, kIsr, kIsrPtx);
  adapter->IsrAccum &= static_cast<UCHAR>(~kIsrPtx);
  adapter->CurrentTx = static_cast<LONG>(adapter->NextTxSend);
  adapter->TxPending = TRUE;
  StartTransmit(adapter);
}

}  // namespace

BOOLEAN ReceivePass(Adapter* adapter) {
  adapter->RcvIndicated = FALSE;
  ReadCurrentPage(adapter);
  if (adapter->Overflowed) {
    OverflowStop(adapter);
  }

  BOOLEAN emptied = FALSE;
  for (;;) {
    if (adapter->CurrentPage == adapter->NextPacketPage) {
      ReadCurrentPage(adapter);
      if (adapter->CurrentPage == adapter->NextPacketPage) {
        emptied = TRUE;
        break;
      }
    }
    // A CURR outside the ring (a card that lost its setup) gives the pass no
    // end to read to: it takes nothing rather than chase it for ever.
    if (!PageInRing(adapter, adapter->CurrentPage)) {
      emptied = TRUE;
      break;
    }
    ++adapter->RcvPassCount;

    BOOLEAN indicated = FALSE;
    if (FetchRingHeader(adapter)) {
      const ULONG length = FrameLength(adapter->RxHeaderLenLo, adapter->RxHeaderLenHi);
      const ULONG lookahead = length < adapter->Lookahead ? length : adapter->Lookahead;
      // One read even where the frame wraps: the remote-DMA address follows
      // the ring from PSTOP back to PSTART.
      if (DmaReadFromCard(adapter, adapter->LookaheadBuffer, adapter->RxDataAddress,
                          lookahead + kEthernetHeaderLength)) {
        indicated = IndicateFrame(adapter);
        ++adapter->RxGoodCount;
      }
    }
    if (indicated) {
      adapter->NextPacketPage = adapter->RxHeaderNext;
    } else {
      SkipToCurrentPage(adapter);
    }
    WriteBoundary(adapter);

    if (adapter->RcvPassCount > kFrameBudget) {
      adapter->RcvPassCount = 0;
      break;
    }
  }

  if (adapter->Overflowed) {
    FinishOverflowRecovery(adapter);
  }
  if (adapter->RcvIndicated) {
    NdisMEthIndicateReceiveComplete(adapter->MiniportHandle);
    adapter->RcvIndicated = FALSE;
  }
  return emptied;
}

BOOLEAN FetchRingHeader(Adapter* adapter) {
  UCHAR bytes[kHeaderFetchLength];
  const ULONG address =
      adapter->RxAreaStart + (adapter->NextPacketPage - adapter->RxFirstPage) * kCardPageSize;
  if (!DmaReadFromCard(adapter, bytes, address, kHeaderFetchLength)) {
    return FALSE;
  }

  // A header that makes no sense where it is may sit one data-port access
  // further on; when it makes no sense there either, the first position's
  // bytes are kept and judged once more below.
  const ULONG shift = adapter->EightBitMode ? 1 : 2;
  ULONG position = 0;
  if (!ExamineRingHeader(adapter, bytes, TRUE)) {
    position = shift;
    if (!ExamineRingHeader(adapter, bytes + shift, FALSE)) {
      position = 0;
    }
  }
  const PUCHAR header = bytes + position;
  adapter->RxHeaderStatus = header[kHeaderStatus];
  adapter->RxHeaderNext = header[kHeaderNext];
  adapter->RxHeaderLenLo = header[kHeaderCountLow];
  adapter->RxHeaderLenHi = header[kHeaderCountHigh];
  adapter->RxDataAddress = address + position + kRingHeaderLength;

  // A bad length with a next page inside the ring leaves nothing to trust;
  // anything else is checked again before the indication.
  return FrameLengthValid(FrameLength(adapter->RxHeaderLenLo, adapter->RxHeaderLenHi)) ||
         !NextPageInRing(adapter, adapter->RxHeaderNext);
}

BOOLEAN IndicateFrame(Adapter* adapter) {
  // The next frame starts one or two pages past the count's high byte,
  // wrapped into the ring. The sum is taken wider than a page number: a ring
  // that ends at page 0xFF would otherwise wrap it through 0 instead of
  // through its own end.
  ULONG expected = static_cast<ULONG>(adapter->NextPacketPage) + adapter->RxHeaderLenHi + 1;
  if (expected >= adapter->RxStopPage) {
    expected -= static_cast<ULONG>(adapter->RxStopPage - adapter->RxFirstPage);
  }
  if (adapter->RxHeaderNext != expected) {
    ++expected;
    if (expected == adapter->RxStopPage) {
      expected = adapter->RxFirstPage;
    }
    if (adapter->RxHeaderNext != expected) {
      return FALSE;
    }
  }
  if (!NextPageInRing(adapter, adapter->RxHeaderNext)) {
    return FALSE;
  }
  const ULONG length = FrameLength(adapter->RxHeaderLenLo, adapter->RxHeaderLenHi);
  if (length > kMaxFrameLength) {
    return FALSE;
  }
  if (!FrameEndsByCurrentPage(adapter)) {
    return FALSE;
  }

  adapter->RxPacketLength = length;
  const ULONG wanted = adapter->Lookahead + kEthernetHeaderLength;
  const ULONG indicated = wanted < length ? wanted : length;
  NdisMEthIndicateReceive(adapter->MiniportHandle, adapter, adapter->LookaheadBuffer,
                          kEthernetHeaderLength, adapter->LookaheadBuffer + kEthernetHeaderLength,
                          indicated - kEthernetHeaderLength, length - kEthernetHeaderLength);
  adapter->RcvIndicated = TRUE;
  return TRUE;
}

VOID OverflowStop(Adapter* adapter) {
  StopCommand(adapter);
  KeStallExecutionProcessor(kStopSettleUs);
  // A transmission that was started and has neither completed nor failed was
  // cut short by the stop.
  if (!(adapter->IsrAccum & (kIsrPtx | kIsrTxe)) &&
      !(ReadRegister(adapter, kIsr) & (kIsrPtx | kIsrTxe))) {
    adapter->ResendAfterOverflow = adapter->TxPending;
  }
  adapter->TxPending = FALSE;
  WriteRegister(adapter, kRbcr1, 0);
  WriteRegister(adapter, kRbcr0, 0);
  WriteRegister(adapter, kTcr, kTcrLoopback);
  WriteRegister(adapter, kCr, kCrStartAbortDma);
}

NDIS_STATUS NDIS_API MiniportTransferData(PNDIS_PACKET Packet, PUINT BytesTransferred,
                                          NDIS_HANDLE /*MiniportAdapterContext*/,
                                          NDIS_HANDLE MiniportReceiveContext, UINT ByteOffset,
                                          UINT BytesToTransfer) {
  Adapter* adapter = static_cast<Adapter*>(MiniportReceiveContext);
  const ULONG frameLength = adapter->RxPacketLength;

  // ByteOffset counts from the end of the Ethernet header. Compared without
  // sums, so that no offset or count can wrap past the frame's end.
  if (frameLength < kEthernetHeaderLength || ByteOffset > frameLength - kEthernetHeaderLength) {
    *BytesTransferred = 0;
    return NDIS_STATUS_FAILURE;
  }
  const ULONG start = ByteOffset + kEthernetHeaderLength;
  const ULONG wanted =
      BytesToTransfer < frameLength - start ? BytesToTransfer : frameLength - start;

  ULONG address = adapter->RxDataAddress + start;
  if (address >= adapter->RxAreaEnd) {
    address -= adapter->RxAreaEnd - adapter->RxAreaStart;
  }

  PNDIS_BUFFER buffer = nullptr;
  NdisQueryPacket(Packet, nullptr, nullptr, &buffer, nullptr);
  PVOID destination = nullptr;
  UINT bufferLength = 0;
  if (buffer != nullptr) {
    NdisQueryBuffer(buffer, &destination, &bufferLength);
  }
  ULONG offset = 0;
  ULONG remaining = wanted;
  while (remaining > 0 && buffer != nullptr) {
    ULONG chunk = bufferLength - offset < remaining ? bufferLength - offset : remaining;
    if (address + chunk > adapter->RxAreaEnd) {
      chunk = adapter->RxAreaEnd - address;
    }
    if (!DmaReadFromCard(adapter, static_cast<PUCHAR>(destination) + offset, address, chunk)) {
      *BytesTransferred = wanted - remaining;
      NdisWriteErrorLogEntry(adapter->MiniportHandle, NDIS_ERROR_CODE_HARDWARE_FAILURE, 1,
                             kTransferFailureValue);
      return NDIS_STATUS_FAILURE;
    }
    address += chunk;
    remaining -= chunk;
    if (address == adapter->RxAreaEnd) {
      address = adapter->RxAreaStart;
    }
    offset += chunk;
    if (offset == bufferLength) {
      NdisGetNextBuffer(buffer, &buffer);
      if (buffer != nullptr) {
        NdisQueryBuffer(buffer, &destination, &bufferLength);
      }
      offset = 0;
    }
  }
  *BytesTransferred = wanted - remaining;

  CompleteTransmitEarly(adapter);
  return NDIS_STATUS_SUCCESS;
}
