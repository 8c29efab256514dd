#include "datapath/transmit.h"

#include "driver/configuration.h"
#include "driver/miniport_handlers.h"
#include "nic/controller.h"
#include "nic/register_access.h"
#include "nic/registers.h"
#include "nic/remote_dma.h"
#include "platform/hal.h"
#include "platform/ndis.h"

namespace {

// Time the controller is given to finish any frame in progress after a stop.
constexpr ULONG kStopSettleUs = 2000;

// Error-log values: a packet copy whose preparatory read the controller never
// took up (followed by the card address), and a transmit interrupt with no
// transmission current.
constexpr ULONG kCopyFailureValue = 1;
constexpr ULONG kNoTransmissionValue = 4;

// Short frames are lengthened on the card with spaces rather than zeros.
constexpr UCHAR kPadByte = 0x20;

struct PaddingBlock {
  UCHAR Bytes[kMinFrameLength];
};

constexpr PaddingBlock MakePaddingBlock() {
  PaddingBlock block{};
  for (UCHAR& byte : block.Bytes) {
    byte = kPadByte;
  }
  return block;
}

constexpr PaddingBlock kPadding = MakePaddingBlock();

// The send queue links packets through the first pointer of MiniportReserved,
// which the miniport owns while it holds the packet.
PNDIS_PACKET QueueLink(const NDIS_PACKET* packet) {
  PNDIS_PACKET next;
  NdisMoveMemory(&next, packet->MiniportReserved, sizeof(next));
  return next;
}

VOID SetQueueLink(PNDIS_PACKET packet, PNDIS_PACKET next) {
  NdisMoveMemory(packet->MiniportReserved, &next, sizeof(next));
}

UINT PacketLength(PNDIS_PACKET packet) {
  UINT length = 0;
  NdisQueryPacket(packet, nullptr, nullptr, nullptr, &length);
  return length;
}

VOID SetTxBufferState(Adapter* adapter, ULONG first, ULONG count, ULONG state) {
  for (ULONG i = first; i < first + count && i < kTxBufferCount; ++i) {
    adapter->TxBufferState[i] = state;
  }
}

ULONG AdvanceTxIndex(ULONG index, ULONG count) {
  index += count;
  return index == kTxBufferCount ? 0 : index;
}

// Whether a packet of count buffers can go at NextTxFill; moves NextTxFill to
// buffer 0 when the packet would not fit before the end of the ring.
BOOLEAN ReserveTxBuffers(Adapter* adapter, ULONG count) {
  if (adapter->CurrentTx == kTransmitterIdle &&
      adapter->TxBufferState[adapter->NextTxSend] == kTxBufferEmpty) {
    // Nothing on the card: the whole ring is free.
    if (adapter->NextTxFill + count > kTxBufferCount) {
      adapter->NextTxFill = 0;
    }
    return TRUE;
  }
  // The buffers from the oldest packet on the card up to NextTxFill are taken.
  const ULONG oldest = adapter->CurrentTx != kTransmitterIdle
                           ? static_cast<ULONG>(adapter->CurrentTx)
                           : adapter->NextTxSend;
  if (oldest > adapter->NextTxFill) {
    return adapter->NextTxFill + count <= oldest;
  }
  if (adapter->NextTxFill + count <= kTxBufferCount) {
    return TRUE;
  }
  adapter->NextTxFill = 0;
  return count <= oldest;
}

PNDIS_PACKET DequeuePacket(Adapter* adapter) {
  const PNDIS_PACKET packet = adapter->SendQueueHead;
  adapter->SendQueueHead = QueueLink(packet);
  if (packet == adapter->SendQueueTail) {
    adapter->SendQueueTail = nullptr;
  }
  return packet;
}

// The first buffer of the chain from buffer on that holds any bytes, with its
// address and length; null at the end of the chain.
PNDIS_BUFFER NonEmptyBuffer(PNDIS_BUFFER buffer, PUCHAR* address, UINT* length) {
  while (buffer != nullptr) {
    PVOID virtualAddress = nullptr;
    NdisQueryBuffer(buffer, &virtualAddress, length);
    if (*length != 0) {
      *address = static_cast<PUCHAR>(virtualAddress);
      return buffer;
    }
    NdisGetNextBuffer(buffer, &buffer);
  }
  return nullptr;
}

// Pads a frame shorter than the minimum in the buffer `first` with the
// padding bytes, up to the minimum. FALSE when the card did not take them.
BOOLEAN PadFrame(Adapter* adapter, ULONG first) {
  const ULONG length = adapter->TxBufferLength[first];
  if (length >= kMinFrameLength) {
    return TRUE;
  }
  return DmaWriteToCard(adapter, adapter->TxAreaStart + first * kCardPageSize + length,
                        kPadding.Bytes, kMinFrameLength - length);
}

// The transmitter was idle and a packet is now on the card: start it, unless
// an overflow recovery has the controller in loopback, which starts it once
// it has finished.
VOID StartIdleTransmitter(Adapter* adapter) {
  adapter->NextTxSend = NextSendBuffer(adapter, adapter->NextTxSend, 0);
  adapter->CurrentTx = static_cast<LONG>(adapter->NextTxSend);
  if (adapter->Overflowed) {
    adapter->ResendAfterOverflow = TRUE;
    return;
  }
  adapter->TxPending = TRUE;
  StartTransmit(adapter);
}

}  // namespace

NDIS_STATUS NDIS_API MiniportSend(NDIS_HANDLE MiniportAdapterContext, PNDIS_PACKET Packet,
                                  UINT /*Flags*/) {
  Adapter* adapter = static_cast<Adapter*>(MiniportAdapterContext);

  // An empty packet has nothing to send, and one longer than the largest
  // frame could never be placed and would hold up every packet behind it.
  const UINT length = PacketLength(Packet);
  if (length == 0 || length > kMaxFrameLength) {
    NdisMSendComplete(adapter->MiniportHandle, Packet, NDIS_STATUS_FAILURE);
    return NDIS_STATUS_PENDING;
  }

  if (adapter->SendQueueHead == nullptr) {
    adapter->SendQueueHead = Packet;
  } else {
    SetQueueLink(adapter->SendQueueTail, Packet);
  }
  SetQueueLink(Packet, nullptr);
  adapter->SendQueueTail = Packet;

  FillTransmitBuffers(adapter);
  return NDIS_STATUS_PENDING;
}

VOID FillTransmitBuffers(Adapter* adapter) {
  while (adapter->SendQueueHead != nullptr) {
    if (adapter->TxBufferState[adapter->NextTxFill] != kTxBufferEmpty) {
      return;
    }
    const ULONG count = TxBuffersFor(PacketLength(adapter->SendQueueHead));
    if (!ReserveTxBuffers(adapter, count)) {
      return;
    }
    const PNDIS_PACKET packet = DequeuePacket(adapter);

    const ULONG first = adapter->NextTxFill;
    NDIS_STATUS status = NDIS_STATUS_SUCCESS;
    if (!CopyPacketToCard(adapter, packet, &adapter->TxBufferLength[first]) ||
        !PadFrame(adapter, first)) {
      SetTxBufferState(adapter, first, count, kTxBufferEmpty);
      status = NDIS_STATUS_FAILURE;
    } else {
      SetTxBufferState(adapter, first, count, kTxBufferFull);
      adapter->NextTxFill = AdvanceTxIndex(first, count);
      if (adapter->CurrentTx == kTransmitterIdle) {
        StartIdleTransmitter(adapter);
      }
    }
    // The packet's bytes are on the card (or never will be): NDIS has it back
    // before it is sent, and the transmission's outcome is only counted.
    NdisMSendComplete(adapter->MiniportHandle, packet, status);
  }
}

BOOLEAN CopyPacketToCard(Adapter* adapter, PNDIS_PACKET packet, PULONG length) {
  PNDIS_BUFFER buffer = nullptr;
  UINT total = 0;
  NdisQueryPacket(packet, nullptr, nullptr, &buffer, &total);
  if (total == 0) {
    return TRUE;
  }
  const ULONG address = adapter->TxAreaStart + adapter->NextTxFill * kCardPageSize;
  PUCHAR bytes = nullptr;
  UINT count = 0;
  buffer = NonEmptyBuffer(buffer, &bytes, &count);

  // The controller accepts a remote write only once it has taken up a read.
  DmaPreparatoryRead(adapter, address);
  if (!DmaPollAddress(adapter, address)) {
    NdisWriteErrorLogEntry(adapter->MiniportHandle, NDIS_ERROR_CODE_HARDWARE_FAILURE, 2,
                           kCopyFailureValue, address);
    return FALSE;
  }

  // RDC may still be set from the preparatory read or an earlier transfer;
  // acknowledged now, the one seen after the last byte is this write's own.
  // RDC never interrupts, so nothing else is lost by clearing it.
  WriteRegister(adapter, kIsr, kIsrRdc);
  DmaSetup(adapter, address, total, kCrStartRemoteWrite);

  // In word mode a buffer of odd length leaves its last byte to be paired
  // with the first byte of the next buffer, so the card sees one stream.
  BOOLEAN pending = FALSE;
  UCHAR pendingByte = 0;
  while (buffer != nullptr) {
    if (adapter->EightBitMode) {
      WRITE_PORT_BUFFER_UCHAR(Port(adapter, kDataPort), bytes, count);
    } else {
      if (pending) {
        WriteDataWord(adapter, static_cast<USHORT>(pendingByte | (bytes[0] << 8)));
        ++bytes;
        --count;
        pending = FALSE;
      }
      if (count / 2 != 0) {
        WRITE_PORT_BUFFER_USHORT(WordPort(adapter, kDataPort), reinterpret_cast<PUSHORT>(bytes),
                                 count / 2);
      }
      if (count & 1) {
        pendingByte = bytes[count - 1];
        pending = TRUE;
      }
    }
    NdisGetNextBuffer(buffer, &buffer);
    buffer = NonEmptyBuffer(buffer, &bytes, &count);
  }
  if (pending) {
    // The PC Card takes the last byte as a word cycle; the other cards as a
    // byte cycle.
    if (adapter->CardType == kCardTypePcCard) {
      WriteDataWord(adapter, pendingByte);
    } else {
      WriteRegister(adapter, kDataPort, pendingByte);
    }
  }
  // A card that is no longer there shows all ones in ISR, and RDC with
  // them: the bytes went nowhere.
  if (!DmaWaitComplete(adapter)) {
    NdisWriteErrorLogEntry(adapter->MiniportHandle, NDIS_ERROR_CODE_HARDWARE_FAILURE, 2,
                           kCopyFailureValue, address);
    return FALSE;
  }

  *length = total;
  return TRUE;
}

VOID StartTransmit(Adapter* adapter) {
  ULONG length = adapter->TxBufferLength[adapter->CurrentTx];
  WriteRegister(adapter, kTpsr, static_cast<UCHAR>(adapter->TxStartPage + adapter->CurrentTx));
  if (length < kMinFrameLength) {
    length = kMinFrameLength;
  }
  WriteRegister(adapter, kTbcr1, static_cast<UCHAR>(length >> 8));
  WriteRegister(adapter, kTbcr0, static_cast<UCHAR>(length));
  (VOID) ReadRegister(adapter, kCr);
  WriteRegister(adapter, kCr, kCrStartTransmit);
}

VOID TransmitComplete(Adapter* adapter) {
  if (adapter->CurrentTx == kTransmitterIdle) {
    NdisWriteErrorLogEntry(adapter->MiniportHandle, NDIS_ERROR_CODE_DRIVER_FAILURE, 1,
                           kNoTransmissionValue);
    return;
  }
  const ULONG freed = RetireCurrentTransmit(adapter);
  adapter->NextTxSend = NextSendBuffer(adapter, adapter->NextTxSend, freed);
  if (adapter->TxBufferState[adapter->NextTxSend] == kTxBufferEmpty) {
    adapter->CurrentTx = kTransmitterIdle;
  } else {
    // The next packet is already on the card: send it before refilling.
    adapter->CurrentTx = static_cast<LONG>(adapter->NextTxSend);
    adapter->TxPending = TRUE;
    StartTransmit(adapter);
  }
  FillTransmitBuffers(adapter);
}

VOID TransmitErrorRestart(Adapter* adapter) {
  WriteRegister(adapter, kIsr, kIsrTxe);
  StopCommand(adapter);
  KeStallExecutionProcessor(kStopSettleUs);
  WriteRegister(adapter, kTcr, kTcrLoopback);
  WriteRegister(adapter, kCr, kCrStartAbortDma);
  WriteRegister(adapter, kTcr, kTcrNormal);
  // The aborted attempt is not counted; the packet stays on the card and goes
  // again.
  if (adapter->CurrentTx != kTransmitterIdle) {
    adapter->TxPending = TRUE;
    StartTransmit(adapter);
  }
}

ULONG TxBuffersFor(ULONG length) { return (length + kCardPageSize - 1) / kCardPageSize; }

ULONG NextSendBuffer(const Adapter* adapter, ULONG index, ULONG count) {
  index = AdvanceTxIndex(index, count);
  if (adapter->TxBufferState[index] == kTxBufferEmpty && adapter->NextTxFill != index) {
    return 0;
  }
  return index;
}

ULONG RetireCurrentTransmit(Adapter* adapter) {
  ReadTransmitStatus(adapter);
  if (adapter->LastTsr & kTsrPtx) {
    ++adapter->TxGoodCount;
  } else {
    ++adapter->TxBadCount;
  }
  const ULONG first = static_cast<ULONG>(adapter->CurrentTx);
  const ULONG count = TxBuffersFor(adapter->TxBufferLength[first]);
  SetTxBufferState(adapter, first, count, kTxBufferEmpty);
  return count;
}

VOID ClearTransmitRing(Adapter* adapter) {
  SetTxBufferState(adapter, 0, kTxBufferCount, kTxBufferEmpty);
  adapter->NextTxFill = 0;
  adapter->NextTxSend = 0;
  adapter->CurrentTx = kTransmitterIdle;
  adapter->TxPending = FALSE;
  adapter->ResendAfterOverflow = FALSE;
}

// The queue is detached before the first completion: a protocol that sends
// again from its completion handler finds an empty queue, and its new packet
// waits there rather than being aborted with the old ones.
VOID AbortSendQueue(Adapter* adapter, NDIS_STATUS status) {
  PNDIS_PACKET packet = adapter->SendQueueHead;
  adapter->SendQueueHead = nullptr;
  adapter->SendQueueTail = nullptr;
  while (packet != nullptr) {
    const PNDIS_PACKET next = QueueLink(packet);
    NdisMSendComplete(adapter->MiniportHandle, packet, status);
    packet = next;
  }
}
